// The joinable thread of the core runtime; its POSIX implementation lives in unix/.
#pragma once

#include "core/common/unix/thread_unix.h"

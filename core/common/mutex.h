// The recursive mutex of the core runtime; its POSIX implementation lives in unix/.
#pragma once

#include "core/common/unix/mutex_unix.h"

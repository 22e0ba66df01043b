// The common defaults of the file family live in file_object.cpp; the interfaces
// themselves are declared in the file header included here.
#pragma once

#include "core/include/file/file.h"

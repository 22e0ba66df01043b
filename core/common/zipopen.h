// Entries of the resource archive as readable files: the handle of an entry wrapped back
// into an si_file, whose errors are the entry's own, rebuilt from their serialized form.
#pragma once

#include "core/include/file/file.h"
#include "core/resources/resource_archive.h"

namespace Resources {

// A new file that owns `file`; null for a null handle.
si_file* CreateSIFileWrapper(FileHandle file);

// The archive entry `name` through the language candidates (each unit narrowed to its low
// byte), owned by the caller; null when the archive or the entry is missing.
si_file* OpenResourceFile(const char16_t* name);

}  // namespace Resources

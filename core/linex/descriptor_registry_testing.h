// Test seam of descriptor_registry.cpp: a descriptor registered with a chosen file class.
#pragma once

#include "core/linex/descriptor_registry.h"

namespace FileLock {

// Registers `fd` as if GetDescriptor had opened it, with a FileObject of the given class
// for a new file (for tests of the classes a local file system cannot choose).
int RegisterDescriptorAs(int fd, int flags, const char* path, FileObjectClass objectClass);

}  // namespace FileLock

// Test seams of descriptor_registry.cpp: a descriptor registered with a chosen file class
// or object. Built into the object library ormivane_testing, which only test programs
// link.
#pragma once

#include <memory>

#include "core/linex/descriptor_registry.h"

namespace FileLock {

// Registers `fd`, not registered yet, as if GetDescriptor had opened it by `path`, with a
// FileObject of the given class for a new file (for tests of the classes a local file
// system cannot choose). 0, or -1 with errno.
int RegisterDescriptorAsForTesting(int fd, int flags, const char* path, FileObjectClass objectClass);
// The same with the object a new file gets (for tests that watch its system calls).
int RegisterDescriptorAsForTesting(int fd, int flags, const char* path, std::shared_ptr<FileObject> object);

}  // namespace FileLock

// Test seams of the descriptor registry: descriptors registered with a file class or an
// object of the test's choosing. Linked only into test programs.
#include "core/linex/descriptor_registry_testing.h"

#include <cerrno>
#include <new>
#include <utility>

namespace FileLock {

int RegisterDescriptorAsForTesting(int fd, int flags, const char* path, FileObjectClass objectClass) {
  try {
    return RegisterDescriptorAsForTesting(fd, flags, path, MakeFileObject(objectClass));
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

int RegisterDescriptorAsForTesting(int fd, int flags, const char* path, std::shared_ptr<FileObject> object) {
  FileKey key;
  if (!KeyOfDescriptor(fd, &key)) return -1;
  try {
    DescriptorSlot slot = MakeDescriptorSlot();
    RegistryGuard registry;
    // A file the registry knows keeps its object.
    GetFileTable().try_emplace(key, std::move(object));
    RegisterOpened(fd, flags, key, path, slot);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
  return 0;
}

}  // namespace FileLock

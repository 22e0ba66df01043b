// The descriptor registry: ties each descriptor to the FileObject of its file, chooses
// the file's class, parks descriptors that other descriptors' locks still need and
// hands parked descriptors back to later opens of the same file.
#include "core/linex/descriptor_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "core/common/safe_assert.h"
#include "core/linex/network_mount.h"

namespace FileLock {

namespace {
// Assertion sites.
constexpr Common::Site kCloseFdsCloseSite{"CloseFds", 461};
constexpr Common::Site kOpenAndRegisterSite{"OpenAndRegister", 922};
constexpr Common::Site kRegisterSlotSite{"Register", 1056};
constexpr Common::Site kReleaseReferencedSite{"ReleaseDescriptor", 592};
constexpr Common::Site kReleaseCloseSite{"ReleaseDescriptor", 609};
constexpr Common::Site kReleaseSharedSite{"ReleaseDescriptor", 614};
constexpr Common::Site kParkedUnregisteredSite{"TakeParkedDescriptor", 178};
constexpr Common::Site kParkedValidSite{"TakeParkedDescriptor", 566};
constexpr Common::Site kParkedRewindSite{"TakeParkedDescriptor", 568};
}  // namespace

pthread_mutex_t RegistryMutex = PTHREAD_MUTEX_INITIALIZER;

RegistryGuard::RegistryGuard() { pthread_mutex_lock(&RegistryMutex); }

RegistryGuard::~RegistryGuard() {
  if (held) Unlock();
}

void RegistryGuard::Unlock() {
  held = false;
  pthread_mutex_unlock(&RegistryMutex);
}

FileTable& GetFileTable() {
  static FileTable* table = new FileTable;
  return *table;
}

DescriptorTable& GetDescriptorTable() {
  static DescriptorTable* table = new DescriptorTable;
  return *table;
}

bool operator<(const FileKey& a, const FileKey& b) {
  int byBytes = std::memcmp(a.FsId, b.FsId, sizeof a.FsId);
  if (byBytes != 0) return byBytes < 0;
  if (a.Device != b.Device) return a.Device < b.Device;
  return a.Inode < b.Inode;
}

std::shared_ptr<FileObject> FindFileObject(int fd) {
  RegistryGuard registry;
  DescriptorTable& descriptors = GetDescriptorTable();
  auto entry = descriptors.find(fd);
  return entry == descriptors.end() ? nullptr : entry->second.File;
}

int AccessModeIndex(int flags) {
  if (flags & O_RDWR) return 2;
  if (flags & O_WRONLY) return 1;
  return 0;
}

FileObjectClass ChooseFileObjectClass(uint64_t fsType, const std::string& path) {
  if (fsType != kCifsMagic) return FileObjectClass::Posix;
  return IsInNetworkMount(path) ? FileObjectClass::Windows : FileObjectClass::WindowsNoRanges;
}

std::shared_ptr<FileObject> MakeFileObject(FileObjectClass objectClass) {
  switch (objectClass) {
    case FileObjectClass::Windows: return std::make_shared<WindowsFileObject>();
    case FileObjectClass::WindowsNoRanges: return std::make_shared<WindowsFileObjectNoRanges>();
    case FileObjectClass::Posix: break;
  }
  return std::make_shared<PosixFileObject>();
}

void CloseFds(FileObject& object) {
  for (std::deque<int>& queue : object.ParkedFds) {
    while (!queue.empty()) {
      int fd = queue.front();
      TraceEntry("CloseFds", fd);
      if (close(fd) != 0) SafeAssert("res == 0", kAssertFile, kCloseFdsCloseSite);
      queue.pop_front();
    }
  }
}

namespace {

// The key of a file from its stat record and, when statfs succeeds, its file system.
// The magic number is a 32-bit value, whatever the width of f_type.
FileKey MakeKey(const struct stat64& status, const struct statfs64* fileSystem) {
  FileKey key = {};
  if (fileSystem != nullptr) {
    static_assert(sizeof fileSystem->f_fsid == sizeof key.FsId);
    std::memcpy(key.FsId, &fileSystem->f_fsid, sizeof key.FsId);
    key.FsType = static_cast<uint32_t>(fileSystem->f_type);
  }
  key.Device = status.st_dev;
  key.Inode = status.st_ino;
  return key;
}

void RemoveFileEntry(const FileKey& key, const std::shared_ptr<FileObject>& object) {
  FileTable& files = GetFileTable();
  auto it = files.find(key);
  if (it != files.end() && it->second == object) files.erase(it);
}

// Registers fd with its file's object (RegistryMutex held); `slot` is fd's
// DescriptorTable entry.
void Register(DescriptorTable::iterator slot, int flags, const FileKey& key, const std::shared_ptr<FileObject>& object) {
  slot->second = DescriptorEntry{flags, key, object};
  if (!slot->second.File) {
    SafeAssert("it->second", kAssertFile, kRegisterSlotSite);
    return;
  }
  FileObject::Guard guard(*object);
  ++object->RefCount;
}

// fd's number was registered before, and its holder closed it without LinuxExClose: its
// regions and waiters go without system calls (the number names another file now).
void DropStaleRegistration(int fd, DescriptorEntry& entry) {
  std::shared_ptr<FileObject> object = std::move(entry.File);
  const FileKey key = entry.Key;
  entry = DescriptorEntry{};
  if (!object) return;
  bool unused;
  {
    FileObject::Guard guard(*object);
    object->ReleaseDescriptorRegions(fd, true);
    if (object->Regions.empty()) CloseFds(*object);
    if (object->RefCount > 0) --object->RefCount;
    unused = object->RefCount == 0 && object->Regions.empty();
  }
  if (unused) RemoveFileEntry(key, object);
}

// Step 1: a parked descriptor of the file with the same access mode, registered again;
// -1 when there is none.
int TakeParkedDescriptor(const FileKey& key, int flags) {
  RegistryGuard registry;
  FileTable& files = GetFileTable();
  auto file = files.find(key);
  if (file == files.end()) return -1;
  std::shared_ptr<FileObject> object = file->second;

  FileObject::Guard guard(*object);
  std::deque<int>& queue = object->ParkedFds[AccessModeIndex(flags)];
  if (queue.empty()) return -1;
  int fd = queue.front();
  if (!(fd >= 0)) SafeAssert("fd >= 0", kAssertFile, kParkedValidSite);
  // The registration's room first: once the descriptor leaves the queue nothing fails.
  DescriptorTable& descriptors = GetDescriptorTable();
  auto [slot, inserted] = descriptors.try_emplace(fd);
  if (!inserted) {
    SafeAssert("parked descriptor registered", kAssertFile, kParkedUnregisteredSite);
    return -1;
  }
  if (lseek64(fd, 0, SEEK_SET) != 0) SafeAssert("res == 0", kAssertFile, kParkedRewindSite);
  // The status flags stay those of the open that made the descriptor, except that
  // appending, which a control request may have switched on, must not carry over to an
  // open that did not ask for it.
  int status = fcntl(fd, F_GETFL);
  if (status >= 0 && (status & O_APPEND) && !(flags & O_APPEND)) fcntl(fd, F_SETFL, status & ~O_APPEND);
  queue.pop_front();
  guard.Unlock();

  Register(slot, flags, key, object);
  return fd;
}

// Step 2 onwards. The registration's room is made before the open: once the descriptor
// is open, a failure must not close it again while other descriptors of its file hold
// locks, since a close drops every record lock of the process on the file.
int OpenAndRegister(const char* path, int flags, mode_t mode) {
  DescriptorSlot slot = MakeDescriptorSlot();
  int fd = open64(path, flags, mode);
  if (fd < 0) return -1;
  FileKey key;
  if (!KeyOfDescriptor(fd, &key)) {
    int error = errno;
    SafeAssert("false", kAssertFile, kOpenAndRegisterSite);
    TraceFailure("GetDescriptor", 923, error, fd);
    close(fd);
    errno = error;
    return -1;
  }
  RegistryGuard registry;
  try {
    RegisterOpened(fd, flags, key, path, slot);
  } catch (const std::bad_alloc&) {
    // Only a file new to the registry needs memory now, and no lock of the layer is held
    // on it; the registry stays locked until the close, so none can be taken meanwhile.
    close(fd);
    errno = ENOMEM;
    return -1;
  }
  return fd;
}

int ReleaseDescriptor(int fd) {
  RegistryGuard registry;
  DescriptorTable& descriptors = GetDescriptorTable();
  auto entry = descriptors.find(fd);
  if (entry == descriptors.end() || !entry->second.File) {
    errno = EBADF;
    TraceFailure("ReleaseDescriptor", 978, EBADF, fd);
    return -1;
  }
  std::shared_ptr<FileObject> object = entry->second.File;
  const int mode = AccessModeIndex(entry->second.OpenFlags);
  bool unused;
  {
    FileObject::Guard guard(*object);
    if (!(object->RefCount > 0)) SafeAssert("RefCount > 0", kAssertFile, kReleaseReferencedSite);
    // Room in the parking queue first, so that running out of memory changes nothing.
    std::deque<int>& queue = object->ParkedFds[mode];
    queue.push_back(fd);

    object->ReleaseDescriptorRegions(fd, false);
    if (!object->Regions.empty()) {
      // Other descriptors' locks need the descriptor open (closing it would drop them),
      // and so does a lock call of its own still in the system.
      if (object->LiveRegionsOfOthers(fd) && !(object->RefCount > 1))
        SafeAssert("RefCount > 1", kAssertFile, kReleaseSharedSite);
    } else {
      queue.pop_back();
      CloseFds(*object);
      TraceEntry("ReleaseDescriptor", fd);
      if (close(fd) != 0) SafeAssert("res == 0", kAssertFile, kReleaseCloseSite);
    }
    if (object->RefCount > 0) --object->RefCount;
    unused = object->RefCount == 0 && object->Regions.empty();
  }
  if (unused) RemoveFileEntry(entry->second.Key, object);
  descriptors.erase(entry);
  return 0;
}

}  // namespace

void ForgetUnusedFileObject(const std::shared_ptr<FileObject>& object) {
  RegistryGuard registry;
  {
    FileObject::Guard guard(*object);
    if (object->RefCount != 0 || !object->Regions.empty() || !object->Waiters.empty()) return;
  }
  FileTable& files = GetFileTable();
  for (auto it = files.begin(); it != files.end(); ++it) {
    if (it->second == object) {
      files.erase(it);
      return;
    }
  }
}

bool KeyOfDescriptor(int fd, FileKey* key) {
  struct stat64 status;
  if (fstat64(fd, &status) != 0) return false;
  struct statfs64 fileSystem;
  bool haveFileSystem = fstatfs64(fd, &fileSystem) == 0;
  *key = MakeKey(status, haveFileSystem ? &fileSystem : nullptr);
  return true;
}

DescriptorSlot MakeDescriptorSlot() {
  DescriptorTable scratch;
  return scratch.extract(scratch.try_emplace(-1).first);
}

void RegisterOpened(int fd, int flags, const FileKey& key, const char* path, DescriptorSlot& slot) {
  DescriptorTable& descriptors = GetDescriptorTable();
  auto entry = descriptors.find(fd);
  if (entry != descriptors.end()) DropStaleRegistration(fd, entry->second);
  FileTable& files = GetFileTable();
  auto file = files.find(key);
  if (file == files.end()) {
    try {
      FileObjectClass objectClass = ChooseFileObjectClass(key.FsType, path);
      file = files.emplace(key, MakeFileObject(objectClass)).first;
    } catch (...) {
      if (entry != descriptors.end()) descriptors.erase(entry);
      throw;
    }
  }
  if (entry == descriptors.end()) {
    slot.key() = fd;
    entry = descriptors.insert(std::move(slot)).position;
  }
  Register(entry, flags, key, file->second);
}

}  // namespace FileLock

using namespace FileLock;

int GetDescriptor(const char* path, int flags, mode_t mode) {
  try {
    if (!(flags & (O_CREAT | O_EXCL))) {
      struct stat64 status;
      if (stat64(path, &status) != 0) return -1;
      struct statfs64 fileSystem;
      bool haveFileSystem = statfs64(path, &fileSystem) == 0;
      int fd = TakeParkedDescriptor(MakeKey(status, haveFileSystem ? &fileSystem : nullptr), flags);
      if (fd >= 0) return fd;
    }
    return OpenAndRegister(path, flags, mode);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

int RegisterDescriptor(int fd, int flags, const struct stat64& status, const char* path) {
  try {
    DescriptorSlot slot = MakeDescriptorSlot();
    struct statfs64 fileSystem;
    bool haveFileSystem = fstatfs64(fd, &fileSystem) == 0;
    const FileKey key = MakeKey(status, haveFileSystem ? &fileSystem : nullptr);
    RegistryGuard registry;
    RegisterOpened(fd, flags, key, path, slot);
    return 0;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

int LinuxExClose(int fd) {
  TraceEntry("LinuxExClose", fd);
  try {
    return ReleaseDescriptor(fd);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    TraceFailure("LinuxExClose", 1093, ENOMEM, fd);
    return -1;
  }
}

// The descriptor registry of the lock layer: every descriptor of a POSIX file is obtained
// here and given back here, so that each is tied to its file's lock state, and so that a
// descriptor given back while other descriptors of the file hold locks stays open
// (closing it would drop the whole process's record locks on the file).
#pragma once

#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/linex/filelock.h"

// open64's contract: the descriptor, or -1 with errno. Without O_CREAT and O_EXCL a
// parked descriptor of the same file and access mode is taken back, rewound to 0.
int GetDescriptor(const char* path, int flags, mode_t mode);

// Registers a descriptor the caller opened itself (`status`: its fstat record) as if
// GetDescriptor had opened it, so that it goes back through LinuxExClose. 0, or -1 with
// errno; on failure the descriptor stays open and unregistered.
int RegisterDescriptor(int fd, int flags, const struct stat64& status, const char* path);

// Closes the descriptor, or parks it while other descriptors of its file hold locks; its
// own locks are released first. 0, or -1 with errno (EBADF: not registered, nothing done).
int LinuxExClose(int fd);

namespace FileLock {

// The identity of a file; FsType takes no part in the order.
struct FileKey {
  uint8_t FsId[8];
  uint64_t Device;
  uint64_t Inode;
  uint64_t FsType;
};

bool operator<(const FileKey& a, const FileKey& b);

struct DescriptorEntry {
  int OpenFlags = 0;
  FileKey Key = {};
  std::shared_ptr<FileObject> File;
};

// Table entries share their FileObject with the threads working on it, so the object
// outlives its table entry until the last of them lets go.
using FileTable = std::map<FileKey, std::shared_ptr<FileObject>>;
using DescriptorTable = std::map<int, DescriptorEntry>;

// Guards both tables; taken before any FileObject's Mutex, never after.
extern pthread_mutex_t RegistryMutex;

class RegistryGuard {
 public:
  RegistryGuard();
  ~RegistryGuard();
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;
  void Unlock();

 private:
  bool held = true;
};

// Created on first use, never destroyed. Call with RegistryMutex held.
FileTable& GetFileTable();
DescriptorTable& GetDescriptorTable();

// The FileObject a descriptor is registered with, or null (takes RegistryMutex).
std::shared_ptr<FileObject> FindFileObject(int fd);

// The statfs magic number of CIFS shares.
inline constexpr uint64_t kCifsMagic = 0xFF534D42;

enum class FileObjectClass { Posix, Windows, WindowsNoRanges };

// The class a file gets, from its file system's type and the path it was opened by.
FileObjectClass ChooseFileObjectClass(uint64_t fsType, const std::string& path);
std::shared_ptr<FileObject> MakeFileObject(FileObjectClass objectClass);

// Closes every parked descriptor of the file (its Mutex held).
void CloseFds(FileObject& object);

// Access mode of open flags: the index into ParkedFds.
int AccessModeIndex(int flags);

// The key of an open descriptor's file; false, with fstat's errno, when fstat fails.
bool KeyOfDescriptor(int fd, FileKey* key);

// A DescriptorTable entry made ahead of the open it is for (throws std::bad_alloc).
using DescriptorSlot = DescriptorTable::node_type;
DescriptorSlot MakeDescriptorSlot();

// Registers fd, just opened by `path`, in `slot` (RegistryMutex held). Only a file new to
// the registry needs memory, for its FileObject; running out of it leaves fd unregistered
// and is thrown.
void RegisterOpened(int fd, int flags, const FileKey& key, const char* path, DescriptorSlot& slot);

// Removes the object's FileTable entry once no descriptor is registered with it and no
// region or waiter is left (after a request that failed because its descriptor went).
void ForgetUnusedFileObject(const std::shared_ptr<FileObject>& object);

}  // namespace FileLock

// The descriptor registry of the lock layer: every descriptor of a POSIX file is obtained
// here and given back here, so that each is tied to its file's lock state, and so that a
// descriptor given back while other descriptors of the file hold locks stays open
// (closing it would drop the whole process's record locks on the file).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/linex/filelock.h"

// open64's contract: the descriptor, or -1 with errno. Without O_CREAT and O_EXCL a
// parked descriptor of the same file and access mode is taken back, rewound to 0.
int GetDescriptor(const char* path, int flags, mode_t mode);

// Closes the descriptor, or parks it while other descriptors of its file hold locks; its
// own locks are released first. 0, or -1 with errno (EBADF: not registered, nothing done).
int LinuxExClose(int fd);

namespace FileLock {

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

// Removes the object's FileTable entry once no descriptor is registered with it and no
// region or waiter is left (after a request that failed because its descriptor went).
void ForgetUnusedFileObject(const std::shared_ptr<FileObject>& object);

}  // namespace FileLock

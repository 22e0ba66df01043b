// posix_file: a registered descriptor with the read, write, positioning, lock and control
// operations of the file family, and posix_dir::Open, the one place files are opened.
#include "core/file/unix/posixsp.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/common/safe_assert.h"
#include "core/include/file/posix_control.h"
#include "core/file/unix/posixsp_site.h"
#include "core/file/unix/signal_disposition.h"
#include "core/linex/descriptor_registry.h"
#include "core/linex/filelock.h"

using PosixSites::kSource;

namespace {

constexpr Common::Site kLockSite{"DoLockFileHandle", 197};
constexpr Common::Site kReadSite{"Read", 338};
constexpr Common::Site kReadAssertSite{"Read", 344};
constexpr Common::Site kWriteSite{"Write", 369};
constexpr Common::Site kWriteAssertSite{"Write", 376};
constexpr Common::Site kFlushSite{"Flush", 388};
constexpr Common::Site kSeekSite{"Seek", 396};
constexpr Common::Site kSeekEndSite{"SeekEnd", 428};
constexpr Common::Site kTruncateSite{"Truncate", 437};
constexpr Common::Site kSetTimesSite{"IOCTL", 455};
constexpr Common::Site kAppendSite{"IOCTL", 462};
constexpr Common::Site kGetFlagsSite{"IOCTL", 480};
constexpr Common::Site kSetFlagsSite{"IOCTL", 490};
constexpr Common::Site kDeallocateSite{"IOCTL", 499};
constexpr Common::Site kBlockSizeSite{"IOCTL", 534};
constexpr Common::Site kBlockMapSite{"IOCTL", 554};
constexpr Common::Site kUnknownRequestSite{"IOCTL", 230};
using PosixSites::kOpenSite;
constexpr Common::Site kCloexecSite{"Open", 705};
constexpr Common::Site kWholeLockSite{"Open", 716};
constexpr Common::Site kHeldTruncateSite{"Open", 730};

constexpr int64_t kSectorBytes = 512;

// Writing past the file-size limit must fail with EFBIG rather than kill the process. The
// disposition found there is kept for the programs this process launches; once, so that
// a second opener at the same time cannot take the library's SIG_IGN for the one found.
pthread_once_t g_sigxfszOnce = PTHREAD_ONCE_INIT;
std::atomic<bool> g_sigxfszIgnored{false};
struct sigaction g_sigxfszFound;
struct sigaction g_sigxfszInstalled;

void IgnoreFileSizeSignal() {
  if (SignalDisposition::Install(SIGXFSZ, SignalDisposition::Marked(SIG_IGN), &g_sigxfszInstalled, &g_sigxfszFound))
    g_sigxfszIgnored.store(true, std::memory_order_release);
}

void IgnoreFileSizeSignalOnce() { pthread_once(&g_sigxfszOnce, IgnoreFileSizeSignal); }

// A truncation strips these from the file, so a file that carries one is truncated even
// when it is empty.
constexpr mode_t kPrivilegeBits = S_ISUID | S_ISGID;
constexpr const char* kCapabilityAttribute = "security.capability";

// Whether the file carries a capability attribute; when that cannot be told, it may.
bool MayHoldCapability(int fd) {
  if (fgetxattr(fd, kCapabilityAttribute, nullptr, 0) >= 0) return true;
  return errno != ENODATA && errno != ENOTSUP;
}

// The truncation that posix_dir::Open held back. A file that is already empty, with no
// blocks kept past its end and nothing a truncation strips, only gets the times a
// truncation would give it: ext4, XFS and btrfs take a truncation to zero for a file being
// replaced and write it out when it is closed, so every freshly created file would be
// flushed at its close and its removal would wait for that write. Every other file, and
// any failure of that road, is truncated.
void TruncateHeldBack(posix_file& file) {
  struct stat64 st;
  if (fstat64(file.GetFd(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 && st.st_blocks == 0 &&
      (st.st_mode & kPrivilegeBits) == 0 && !MayHoldCapability(file.GetFd())) {
    // The modification time, and so the change time, as ftruncate sets them; the access
    // time stays.
    const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    if (futimens(file.GetFd(), times) == 0) return;
  }
  file.Truncate(0);
}

}  // namespace

bool GetFileSizeSignalFound(struct sigaction* found) {
  if (!g_sigxfszIgnored.load(std::memory_order_acquire)) return false;
  struct sigaction current;
  if (sigaction(SIGXFSZ, nullptr, &current) != 0) return false;
  if (!SignalDisposition::Same(current, g_sigxfszInstalled)) return false;
  *found = g_sigxfszFound;
  return true;
}

Common::Error DoLockFileHandle(bool lock, int fd, bool exclusive, bool wait, uint64_t start, uint64_t length) {
  struct flock64 request {};
  request.l_type = static_cast<short>(!lock ? F_UNLCK : exclusive ? F_WRLCK : F_RDLCK);
  request.l_whence = SEEK_SET;
  request.l_start = static_cast<off64_t>(start);
  request.l_len = static_cast<off64_t>(length);
  request.l_pid = 0;
  if (LinuxExRangeLock(fd, wait ? F_SETLKW64 : F_SETLK64, &request) == 0) return Common::NoError;
  return FileErrorFromErrno(kSource.At(kLockSite), Common::FILE_LOCK_FAILED);
}

posix_file::posix_file(int fd, bool range_locks) : fd(fd), range_locks(range_locks) {}

// The descriptor goes back to the registry, which keeps it open while other descriptors
// of the same file still hold locks.
posix_file::~posix_file() { LinuxExClose(fd); }

void posix_file::Read(void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (HoldsError() || length == 0) return;
  auto* at = static_cast<uint8_t*>(buffer);
  uint32_t remaining = length;
  while (remaining > 0) {
    ssize_t n = read(fd, at, remaining);
    if (n < 0) {
      ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kReadSite), Common::FILE_READ_ERROR));
      return;
    }
    if (n == 0) return;
    if (static_cast<size_t>(n) > remaining) {
      SafeAssert("rr <= Size", PosixSites::kSourceFile, kReadAssertSite);
      return;
    }
    at += n;
    *done += static_cast<uint32_t>(n);
    remaining -= static_cast<uint32_t>(n);
  }
}

void posix_file::Write(const void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (HoldsError() || length == 0) return;
  auto* at = static_cast<const uint8_t*>(buffer);
  uint32_t remaining = length;
  while (remaining > 0) {
    ssize_t n = write(fd, at, remaining);
    if (n < 0) {
      // A full disk or the size limit shows as a short count; the exact-length Write
      // turns that into "The disk is full.".
      if (errno == EFBIG || errno == ENOSPC) return;
      ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kWriteSite), Common::FILE_WRITE_ERROR));
      return;
    }
    if (n == 0) return;
    if (static_cast<size_t>(n) > remaining) {
      SafeAssert("rr <= Size", PosixSites::kSourceFile, kWriteAssertSite);
      return;
    }
    at += n;
    *done += static_cast<uint32_t>(n);
    remaining -= static_cast<uint32_t>(n);
  }
}

void posix_file::Flush() {
  if (HoldsError()) return;
  if (fsync(fd) != 0) ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kFlushSite), Common::FILE_WRITE_ERROR));
}

void posix_file::Truncate(uint64_t size) {
  if (HoldsError()) return;
  if (ftruncate64(fd, static_cast<off64_t>(size)) != 0)
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kTruncateSite), Common::FILE_WRITE_ERROR));
}

uint64_t posix_file::Seek(uint64_t offset, int whence) {
  off64_t position = lseek64(fd, static_cast<off64_t>(offset), whence);
  if (position == -1) {
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kSeekSite), Common::FILE_SEEK_ERROR));
    return 0;
  }
  return static_cast<uint64_t>(position);
}

void posix_file::SetPos(uint64_t position) { Seek(position, SEEK_SET); }

uint64_t posix_file::SeekCur(int64_t delta) { return Seek(static_cast<uint64_t>(delta), SEEK_CUR); }

uint64_t posix_file::SeekEnd(int64_t delta) {
  // The fallback belongs to this call's own EBADF only: a stale errno next to an error
  // held from before must not clear that error.
  errno = 0;
  off64_t position = lseek64(fd, delta, SEEK_END);
  if (position != -1) return static_cast<uint64_t>(position);
  int seekErrno = errno;
  ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kSeekSite), Common::FILE_SEEK_ERROR));
  if (seekErrno != EBADF) return 0;
  struct stat64 st;
  if (fstat64(fd, &st) != 0) {
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kSeekEndSite), Common::FILE_SEEK_ERROR));
    return 0;
  }
  ReplaceLastError(*this, Common::NoError);
  return Seek(static_cast<uint64_t>(st.st_size + delta), SEEK_SET);
}

void posix_file::RangeLock(bool lock, bool exclusive, bool wait, uint64_t start, uint64_t length) {
  if (HoldsError() || !range_locks) return;
  ReplaceLastError(*this, DoLockFileHandle(lock, fd, exclusive, wait, start, length));
}

void posix_file::LockShared(uint64_t start, uint64_t length, bool wait) { RangeLock(true, false, wait, start, length); }

void posix_file::LockExclusive(uint64_t start, uint64_t length, bool wait) {
  RangeLock(true, true, wait, start, length);
}

void posix_file::Unlock(uint64_t start, uint64_t length) { RangeLock(false, false, false, start, length); }

void posix_file::IOCTL(void* request) {
  if (HoldsError()) return;
  if (request == nullptr) return file_object::IOCTL(request);
  switch (PosixControl::ReadControlCode(request)) {
    case PosixControl::kGetSector:
      return GetSector(request);
    case PosixControl::kUserIoctl:
      return UserIoctl(request);
    case PosixControl::kSetAppendMode:
      return SetAppendMode();
    case PosixControl::kGetInodeFlags:
      return GetInodeFlags(request);
    case PosixControl::kSetInodeFlags:
      return SetInodeFlags(request);
    case PosixControl::kSetFileTimes:
      return SetFileTimes(request);
    case PosixControl::kDeallocateRange:
      return DeallocateRange(request);
    default:
      file_object::IOCTL(request);
  }
}

void posix_file::GetSector(void* request) {
  auto* block = static_cast<PosixControl::GetSectorRequest*>(request);
  int blockBytes = 0;
  if (ioctl(fd, FIGETBSZ, &blockBytes) != 0) {
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kBlockSizeSite), Common::FILE_NOT_SUPPORTED));
    return;
  }
  int64_t perBlock = static_cast<uint32_t>(blockBytes) / kSectorBytes;
  // A block smaller than a sector has no sector arithmetic.
  if (perBlock == 0) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kUnknownRequestSite), Common::FILE_NOT_SUPPORTED));
    return;
  }
  int64_t position = lseek64(fd, 0, SEEK_CUR);
  int64_t sector = position / kSectorBytes;
  int64_t logical = sector / perBlock;
  int64_t within = sector % perBlock;
  int mapped = static_cast<int>(logical);
  if (ioctl(fd, FIBMAP, &mapped) != 0) {
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kBlockMapSite), Common::FILE_NOT_SUPPORTED));
    return;
  }
  uint64_t physical = static_cast<uint32_t>(mapped);
  block->Sector = physical != 0 ? physical * static_cast<uint64_t>(perBlock) + static_cast<uint64_t>(within)
                                : PosixControl::kSectorInHole;
  block->SectorsToEnd = static_cast<uint32_t>(perBlock - within);
  block->Reserved = 0;
  block->ReservedByte = 0;
}

void posix_file::UserIoctl(void* request) {
  auto* block = static_cast<PosixControl::UserIoctlRequest*>(request);
  int result = ioctl(fd, static_cast<unsigned long>(block->Request), block->Argument);
  block->Result = result;
  if (result != 0) block->Errno = errno;
}

void posix_file::SetAppendMode() {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_APPEND) >= 0) return;
  int failure = errno;
  Common::Error error(kSource.At(kAppendSite), Common::FILE_WRITE_ERROR);
  error.AddPosixError(failure);
  ReplaceLastError(*this, error);
}

void posix_file::GetInodeFlags(void* request) {
  auto* block = static_cast<PosixControl::InodeFlagsRequest*>(request);
  // The kernel moves an int whatever width the request number's type suggests.
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kGetFlagsSite), Common::FILE_WRITE_ERROR));
    return;
  }
  block->Flags = static_cast<uint32_t>(flags);
}

void posix_file::SetInodeFlags(void* request) {
  auto* block = static_cast<PosixControl::InodeFlagsRequest*>(request);
  int flags = static_cast<int>(block->Flags);
  if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kSetFlagsSite), Common::FILE_WRITE_ERROR));
}

void posix_file::SetFileTimes(void* request) {
  auto* block = static_cast<PosixControl::SetFileTimesRequest*>(request);
  timeval times[2] = {PosixSites::MillisToTimeval(block->AccessTime),
                      PosixSites::MillisToTimeval(block->ModificationTime)};
  if (futimes(fd, times) != 0)
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kSetTimesSite), Common::FILE_WRITE_ERROR));
}

void posix_file::DeallocateRange(void* request) {
  auto* block = static_cast<PosixControl::DeallocateRangeRequest*>(request);
  int result;
  do {
    result = fallocate64(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off64_t>(block->Offset),
                         static_cast<off64_t>(block->Length));
  } while (result != 0 && errno == EINTR);
  if (result != 0) ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kDeallocateSite), Common::FILE_WRITE_ERROR));
}

namespace {

// The descriptor becomes the file's only once the file exists: when it cannot be made,
// the descriptor (and the whole-file lock on it) goes back before the failure travels on.
posix_file* AdoptDescriptor(int fd, bool range_locks) {
  try {
    return new posix_file(fd, range_locks);
  } catch (...) {
    LinuxExClose(fd);
    throw;
  }
}

}  // namespace

namespace {

// The whole-file lock of a file opened without range locks; on failure the descriptor
// goes back and the refusal is the cause of the error returned.
Common::Error LockWholeFile(int fd, bool exclusive) {
  Common::Error lockError = DoLockFileHandle(true, fd, exclusive, false, 0, 0);
  if (!lockError) return Common::NoError;
  Common::Error denied = Common::MakeError(kSource.At(kWholeLockSite), Common::FILE_ACCESS_DENIED);
  denied.AddCause(lockError);
  LinuxExClose(fd);
  return denied;
}

}  // namespace

posix_file* posix_dir::Open(const std::string& native_path, uint32_t flags, bool range_locks, uint32_t mode) {
  int openFlags = static_cast<int>(flags);
  // The truncation must wait until the whole-file lock stands, or a file that another
  // holder keeps locked would be emptied under it.
  bool truncateLater = !range_locks && (openFlags & O_TRUNC) != 0;
  if (truncateLater) openFlags &= ~O_TRUNC;
  bool writable = (openFlags & O_ACCMODE) != O_RDONLY;
  if (writable) IgnoreFileSizeSignalOnce();

  const char* path = native_path.c_str();
  int fd = GetDescriptor(path, openFlags, static_cast<mode_t>(mode));
  if (fd == -1) {
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kOpenSite), Common::FILE_OPEN_ERROR, path));
    return nullptr;
  }
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1) {
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kCloexecSite), Common::FILE_OPEN_ERROR, path));
    // Through the registry, so that it keeps no entry for a descriptor it never sees again.
    LinuxExClose(fd);
    return nullptr;
  }
  if (!range_locks) {
    if (Common::Error denied = LockWholeFile(fd, writable)) {
      ReplaceLastError(*this, denied);
      return nullptr;
    }
  }
  auto* file = AdoptDescriptor(fd, range_locks);
  if (truncateLater) {
    TruncateHeldBack(*file);
    if (file->last_error) {
      Common::Error failed = FileErrorFromErrno(kSource.At(kHeldTruncateSite), Common::FILE_OPEN_ERROR, path);
      failed.AddCause(TakeLastError(*file));
      ReplaceLastError(*this, failed);
      delete file;
      return nullptr;
    }
  }
  ReplaceLastError(*this, Common::NoError);
  return file;
}

posix_file* AdoptOpenedFile(int fd, int flags, bool range_locks, const struct stat64& status, const std::string& path,
                            Common::Error& error) {
  if (RegisterDescriptor(fd, flags, status, path.c_str()) != 0) {
    error = FileErrorFromErrno(kSource.At(kOpenSite), Common::FILE_OPEN_ERROR, path.c_str());
    close(fd);
    return nullptr;
  }
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  if (writable) IgnoreFileSizeSignalOnce();
  if (!range_locks && (error = LockWholeFile(fd, writable))) return nullptr;
  error = Common::NoError;
  return AdoptDescriptor(fd, range_locks);
}

// The byte-range lock layer: Windows-style locks that belong to the descriptor that took
// them and conflict between descriptors of one process, built over POSIX record locks,
// which belong to the process. Conflicts inside the process are decided here; only the
// first lock of each region, and its matching unlock, reach the system.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>

// fcntl-shaped entry: cmd F_SETLK64 (fail with EAGAIN on a conflict) or F_SETLKW64 (wait
// for conflicting locks of this process and of others); l_whence must be SEEK_SET and an
// l_type other than F_RDLCK or F_WRLCK unlocks. 0, or -1 with errno.
int LinuxExRangeLock(int fd, int cmd, struct flock64* lock);

namespace FileLock {

// The source file named by the layer's assertions.
inline constexpr const char* kAssertFile = "core/linex/filelock";

// The 63-bit offset range: a region never ends beyond it.
inline constexpr int64_t kMaxOffset = INT64_MAX;

enum LockType { LOCK_NONE = 0, LOCK_SHARED = 1, LOCK_EXCLUSIVE = 2 };

// A locked byte range [Start, Start + Len) and the descriptor holding it (-1 in regions
// built only for searching or computing). Ordered by Start, Len, OwnerFd.
struct FileRegion {
  FileRegion(int64_t start, int64_t len, int ownerFd = -1);

  int64_t End() const { return Start + Len; }
  bool Overlaps(const FileRegion& other) const {
    return Start < other.Start + other.Len && other.Start < Start + Len;
  }

  int64_t Start;
  int64_t Len;
  int OwnerFd;
};

bool operator<(const FileRegion& a, const FileRegion& b);
bool operator==(const FileRegion& a, const FileRegion& b);

// A table entry. A region whose first lock is still waiting in the system is Pending:
// the table already reserves it, but nobody may count on the system holding it yet.
// Released marks a pending region whose descriptor was given back meanwhile: the thread
// that waits in the system removes it when the call returns (DescriptorGone: through a
// descriptor that is closed, so without any system call). Serial tells the entry from
// earlier and later ones of the same key: a granted waiter that wakes late may find its
// entry gone and another made under the same key, by the descriptor number's next holder.
struct LockState {
  LockType Type = LOCK_NONE;
  uint32_t LockCount = 0;
  bool Pending = false;
  bool Released = false;
  bool DescriptorGone = false;
  uint64_t Serial = 0;
};

using RegionMap = std::map<FileRegion, LockState>;

// A request of this process waiting for a conflicting region to go. It lives in the
// waiting thread's frame; Node is the table entry made in advance, so that granting it
// never allocates. Failure receives the errno of a request that is given up (EBADF when
// its descriptor is released while it waits); GrantedEntry the Serial of the entry its
// grant made or joined.
struct WaitRequest {
  WaitRequest(const FileRegion& region, LockType type, pthread_cond_t* cond, bool* granted, int* failure);

  FileRegion Region;
  LockType Type;
  pthread_cond_t* Cond;
  bool* Granted;
  int* Failure;
  uint64_t GrantedEntry = 0;
  RegionMap::node_type Node;
};

class FileObject;

// The entries of Regions that overlap a range, in table order.
class OverlapRange {
 public:
  class Iterator {
   public:
    Iterator(RegionMap::iterator at, RegionMap::iterator last, int64_t start);
    RegionMap::iterator operator*() const { return at; }
    RegionMap::value_type* operator->() const { return &*at; }
    Iterator& operator++();
    bool operator!=(const Iterator& other) const { return at != other.at; }

   private:
    void SkipDisjoint();
    RegionMap::iterator at;
    RegionMap::iterator last;
    int64_t start;
  };

  OverlapRange(RegionMap::iterator first, RegionMap::iterator last, int64_t start) : first(first), last(last), start(start) {}
  Iterator begin() const { return Iterator(first, last, start); }
  Iterator end() const { return Iterator(last, last, start); }

 private:
  RegionMap::iterator first;
  RegionMap::iterator last;
  int64_t start;
};

// The lock state of one open file. Its own recursive Mutex guards everything in it; the
// registry mutex, when needed too, is always taken first.
class FileObject {
 public:
  FileObject();
  virtual ~FileObject();
  FileObject(const FileObject&) = delete;
  FileObject& operator=(const FileObject&) = delete;

  // The system's lock call (fcntl here): 0, or -1 with errno.
  virtual int SysLockOp(int fd, int64_t start, int64_t len, LockType type, bool wait);
  // The system unlock of a region being released.
  virtual void DoUnlockRegion(int fd, int64_t start, int64_t len) = 0;
  // After a waiting system lock failed: undo what the system may still hold in the range
  // for it. Nothing by default.
  virtual void DoForgetFailedLock(int fd, int64_t start, int64_t len);

  // 0, or -1 with errno. LockRegion with wait sleeps until a release grants the region.
  int LockRegion(int fd, int64_t start, int64_t len, LockType type, bool wait);
  int UnlockRegion(int fd, int64_t start, int64_t len);

  OverlapRange FindOverlapRange(int64_t start, int64_t len);
  bool CanLock(const FileRegion& region, LockType type);
  // `node`, when given, is used for a new entry (no allocation); a new entry is marked
  // Pending when its system call will be made without the mutex. The entry's Serial.
  uint64_t AcquireRegion(const FileRegion& region, LockType type, RegionMap::node_type* node = nullptr,
                         bool pending = false);
  // Erases a region held once and grants every waiting request that now can be.
  void ReleaseRegion(const FileRegion& region);

  // For a descriptor being given back (Mutex held): its waiters fail with EBADF, its
  // regions are released whatever their count, its pending regions marked Released.
  // With `descriptorGone` the number no longer names this file: no system call is made.
  void ReleaseDescriptorRegions(int fd, bool descriptorGone);
  // Whether another descriptor holds a region that is not merely Released.
  bool LiveRegionsOfOthers(int fd) const;

  // Scope guard of Mutex; a failed lock or unlock asserts.
  class Guard {
   public:
    explicit Guard(FileObject& object);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    void Lock();
    void Unlock();

   private:
    FileObject& object;
    bool held = false;
  };

  // LockRegion for a caller that already holds Mutex exactly once through `guard`.
  int LockRegionHeld(Guard& guard, int fd, int64_t start, int64_t len, LockType type, bool wait);

  pthread_mutex_t Mutex;
  // Descriptors kept open for other descriptors' locks, by access mode (0 read-only,
  // 1 write-only, 2 read-write), oldest first.
  std::deque<int> ParkedFds[3];
  RegionMap Regions;
  std::list<WaitRequest*> Waiters;
  // Registered descriptors of the file.
  uint32_t RefCount = 0;

 private:
  void GrantWaiters();
  int FinishWaitingLock(Guard& guard, const FileRegion& region, LockType type, uint64_t entry);
  int DropReleasedRegion(const FileRegion& region, int result);
  int WaitForGrant(const FileRegion& region, LockType type, uint64_t* entry);

  // Serials given to entries so far.
  uint64_t entriesMade = 0;
};

// fcntl record locks; a released region unlocks only the parts no other region covers.
class PosixFileObject : public FileObject {
 public:
  void DoUnlockRegion(int fd, int64_t start, int64_t len) override;
  void DoForgetFailedLock(int fd, int64_t start, int64_t len) override;
};

// fcntl record locks on a share whose server keeps locks per descriptor: a released
// region unlocks exactly its range.
class WindowsFileObject : public FileObject {
 public:
  void DoUnlockRegion(int fd, int64_t start, int64_t len) override;
};

// A share that offers only whole-file locks: flock for the whole-file region, any other
// range is refused with EOPNOTSUPP.
class WindowsFileObjectNoRanges : public WindowsFileObject {
 public:
  int SysLockOp(int fd, int64_t start, int64_t len, LockType type, bool wait) override;
};

// Trace level from VELTRA_LOG, read once: 0 none, 1 failures, 2 every call.
int GetTraceLevel();
// "called with fd = ..." at level 2.
void TraceEntry(const char* function, int fd);
// "Line = ..., Error = ..." at level 1 or 2.
void TraceFailure(const char* function, int line, int error, int fd);

}  // namespace FileLock

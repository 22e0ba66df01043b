// The byte-range lock layer: region bookkeeping and conflicts of one file, the waiting
// of lock requests, the system lock calls of the three file classes, the fcntl-shaped
// entry point and the layer's trace lines.
#include "core/linex/filelock.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <new>
#include <tuple>

#include "core/common/safe_assert.h"
#include "core/common/text.h"
#include "core/linex/descriptor_registry.h"

namespace FileLock {

namespace {

// Assertion and failure-trace sites.
constexpr Common::Site kAcquireUnlockedSite{"AcquireRegion", 698};
constexpr Common::Site kAcquireSharedSite{"AcquireRegion", 703};
constexpr Common::Site kCanLockStartSite{"CanLock", 672};
constexpr Common::Site kCanLockLenSite{"CanLock", 673};
constexpr Common::Site kCanLockOwnerSite{"CanLock", 674};
constexpr Common::Site kCanLockTypeSite{"CanLock", 675};
constexpr Common::Site kHeldStartSite{"CanLock", 681};
constexpr Common::Site kHeldLenSite{"CanLock", 682};
constexpr Common::Site kHeldOwnerSite{"CanLock", 683};
constexpr Common::Site kHeldTypeSite{"CanLock", 684};
constexpr Common::Site kLockOpNoDescriptorSite{"DoLockOp", 1002};
constexpr Common::Site kDoUnlockSite{"DoUnlockRegion", 800};
constexpr Common::Site kRegionStartSite{"FileRegion", 308};
constexpr Common::Site kRegionLenSite{"FileRegion", 309};
constexpr Common::Site kRegionOwnerSite{"FileRegion", 310};
constexpr Common::Site kFinishWaitingFoundSite{"FinishWaitingLock", 418};
constexpr Common::Site kRangeLockOutOfRangeSite{"LinuxExRangeLock", 618};
constexpr Common::Site kRangeLockNoBlockSite{"LinuxExRangeLock", 1106};
constexpr Common::Site kRangeLockUnsupportedSite{"LinuxExRangeLock", 1114};
constexpr Common::Site kRangeLockNegativeStartSite{"LinuxExRangeLock", 1122};
constexpr Common::Site kRangeLockEmptySite{"LinuxExRangeLock", 1130};
constexpr Common::Site kRangeLockOutOfMemorySite{"LinuxExRangeLock", 1147};
constexpr Common::Site kMutexLockSite{"Lock", 201};
constexpr Common::Site kLockGoneAfterWaitSite{"LockRegion", 367};
constexpr Common::Site kLockWaitFailedSite{"LockRegion", 404};
constexpr Common::Site kFinishWaitingGoneSite{"LockRegion", 419};
constexpr Common::Site kLockReleasedInFlightSite{"LockRegion", 447};
constexpr Common::Site kLockBusySite{"LockRegion", 477};
constexpr Common::Site kLockSystemFailedSite{"LockRegion", 514};
constexpr Common::Site kFinishWaitingSystemFailedSite{"LockRegion", 527};
constexpr Common::Site kLockHeldTypeSite{"LockRegionHeld", 503};
constexpr Common::Site kReleaseDescriptorUnlockSite{"ReleaseDescriptorRegions", 600};
constexpr Common::Site kReleaseFoundSite{"ReleaseRegion", 711};
constexpr Common::Site kReleaseTypeSite{"ReleaseRegion", 712};
constexpr Common::Site kReleaseCountSite{"ReleaseRegion", 713};
constexpr Common::Site kMutexUnlockSite{"Unlock", 207};
constexpr Common::Site kUnlockNotHeldSite{"UnlockRegion", 541};
constexpr Common::Site kUnlockCountSite{"UnlockRegion", 544};
constexpr Common::Site kUnlockTypeSite{"UnlockRegion", 545};
constexpr Common::Site kUncoveredOverlapSite{"UnlockUncoveredParts", 743};
constexpr Common::Site kUncoveredSharedSite{"UnlockUncoveredParts", 744};
constexpr Common::Site kUncoveredCountSite{"UnlockUncoveredParts", 745};
constexpr Common::Site kUncoveredUnlockSite{"UnlockUncoveredParts", 755};
constexpr Common::Site kUncoveredExcludedSite{"UnlockUncoveredParts", 761};
constexpr Common::Site kWaitRegionLenSite{"WaitRequest", 396};
constexpr Common::Site kWaitTypeSite{"WaitRequest", 397};
constexpr Common::Site kObjectUnreferencedSite{"~FileObject", 446};
void Check(bool condition, const char* expression, Common::Site site) {
  if (!condition) SafeAssert(expression, kAssertFile, site);
}

// ---- Trace lines ----

int ReadTraceLevel() {
  Common::WString value = Common::GetEnv(u"VELTRA_LOG");
  if (value.empty()) return 0;
  if (value[0] == u'F' || value[0] == u'f') return 2;
  return 1;
}

constexpr size_t kLinkNameBytes = 4096;

// The target of /proc/self/fd/<fd>, or "(invalid fd)".
void DescriptorName(int fd, char (&name)[kLinkNameBytes]) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, name, sizeof name - 1);
  if (length < 0) {
    std::snprintf(name, sizeof name, "%s", "(invalid fd)");
    return;
  }
  name[length] = '\0';
}

// The leading fields of every line: seconds, pid, kernel thread id.
struct LinePrefix {
  LinePrefix() : Seconds(static_cast<unsigned long long>(static_cast<int64_t>(time(nullptr)))), Pid(getpid()) {
    std::snprintf(Tid, sizeof Tid, "%lld", static_cast<long long>(gettid()));
  }
  unsigned long long Seconds;
  int Pid;
  char Tid[24];
};

const char* LockTypeName(short type) {
  switch (type) {
    case F_RDLCK: return "F_RDLCK";
    case F_WRLCK: return "F_WRLCK";
    case F_UNLCK: return "F_UNLCK";
    default: return "Unknown";
  }
}

const char* WhenceName(short whence) {
  switch (whence) {
    case SEEK_SET: return "SEEK_SET";
    case SEEK_CUR: return "SEEK_CUR";
    case SEEK_END: return "SEEK_END";
    default: return "Unknown";
  }
}

const char* RegionTypeName(LockType type) {
  switch (type) {
    case LOCK_NONE: return "LOCK_NONE";
    case LOCK_SHARED: return "LOCK_SHARED";
    case LOCK_EXCLUSIVE: return "LOCK_EXCLUSIVE";
    default: return "Unknown";
  }
}

void TraceFlock(const struct flock64& lock) {
  if (GetTraceLevel() != 2) return;
  int saved = errno;
  LinePrefix prefix;
  std::fprintf(stderr, "%llu:[%d:%s] %s:%s: LockType %s, whence %s, start %llu, len %llu\n", prefix.Seconds,
               prefix.Pid, prefix.Tid, "DumpFlockStruct", "calling fcntl for ", LockTypeName(lock.l_type),
               WhenceName(lock.l_whence), static_cast<unsigned long long>(lock.l_start),
               static_cast<unsigned long long>(lock.l_len));
  errno = saved;
}

void TraceFlockPid(const struct flock64& lock) {
  if (GetTraceLevel() != 2) return;
  int saved = errno;
  LinePrefix prefix;
  std::fprintf(stderr, "%llu:[%d:%s] %s:%s: LockType %s, whence %s, start %llu, len %llu, pid %llu\n",
               prefix.Seconds, prefix.Pid, prefix.Tid, "DumpFlockStructPid", "Lock err, busy lock ",
               LockTypeName(lock.l_type), WhenceName(lock.l_whence), static_cast<unsigned long long>(lock.l_start),
               static_cast<unsigned long long>(lock.l_len),
               static_cast<unsigned long long>(static_cast<int64_t>(lock.l_pid)));
  errno = saved;
}

void TraceRangeNotSupported(int fd, int64_t start, int64_t len, LockType type, bool wait) {
  if (GetTraceLevel() != 2) return;
  int saved = errno;
  LinePrefix prefix;
  char name[kLinkNameBytes];
  DescriptorName(fd, name);
  std::fprintf(stderr, "%llu:[%d:%s] %s:Lock %s not supp name='%s', fd=%d, start=%llu, len=%llu, wait=%d\n",
               prefix.Seconds, prefix.Pid, prefix.Tid, "SysLockOp", RegionTypeName(type), name, fd,
               static_cast<unsigned long long>(start), static_cast<unsigned long long>(len), wait ? 1 : 0);
  errno = saved;
}

// Fails a call: errno and the failure trace.
int Fail(Common::Site site, int error, int fd) {
  errno = error;
  TraceFailure(site.Function, static_cast<int>(site.Line), error, fd);
  return -1;
}

// The whole-file region reaches the system as "to the end of the file" (length 0).
bool IsWholeFile(int64_t start, int64_t len) { return start == 0 && len == kMaxOffset; }

// Destroys a waiter's condition variable on every way out.
class ConditionGuard {
 public:
  explicit ConditionGuard(pthread_cond_t& cond) : cond(cond) {}
  ~ConditionGuard() { pthread_cond_destroy(&cond); }
  ConditionGuard(const ConditionGuard&) = delete;
  ConditionGuard& operator=(const ConditionGuard&) = delete;

 private:
  pthread_cond_t& cond;
};

}  // namespace

int GetTraceLevel() {
  static const int level = ReadTraceLevel();
  return level;
}

void TraceEntry(const char* function, int fd) {
  if (GetTraceLevel() != 2) return;
  int saved = errno;
  LinePrefix prefix;
  char name[kLinkNameBytes];
  DescriptorName(fd, name);
  std::fprintf(stderr, "%llu:[%d:%s] %s:called with fd = %d, name = %s\n", prefix.Seconds, prefix.Pid, prefix.Tid,
               function, fd, name);
  errno = saved;
}

void TraceFailure(const char* function, int line, int error, int fd) {
  if (GetTraceLevel() < 1) return;
  int saved = errno;
  LinePrefix prefix;
  char name[kLinkNameBytes];
  DescriptorName(fd, name);
  std::fprintf(stderr, "%llu:[%d:%s] %s:Line = %d, Error = %d, name = %s\n", prefix.Seconds, prefix.Pid, prefix.Tid,
               function, line, error, name);
  errno = saved;
}

// ---- Regions ----

FileRegion::FileRegion(int64_t start, int64_t len, int ownerFd) : Start(start), Len(len), OwnerFd(ownerFd) {
  Check(start >= 0, "start >= 0", kRegionStartSite);
  Check(len >= 0, "len >= 0", kRegionLenSite);
  Check(ownerFd >= -1, "ownerFd >= -1", kRegionOwnerSite);
}

bool operator<(const FileRegion& a, const FileRegion& b) {
  return std::tie(a.Start, a.Len, a.OwnerFd) < std::tie(b.Start, b.Len, b.OwnerFd);
}

bool operator==(const FileRegion& a, const FileRegion& b) {
  return a.Start == b.Start && a.Len == b.Len && a.OwnerFd == b.OwnerFd;
}

WaitRequest::WaitRequest(const FileRegion& region, LockType type, pthread_cond_t* cond, bool* granted, int* failure)
    : Region(region), Type(type), Cond(cond), Granted(granted), Failure(failure) {
  Check(Region.Len > 0, "Region.Len > 0", kWaitRegionLenSite);
  Check(type != LOCK_NONE, "type != LOCK_NONE", kWaitTypeSite);
}

OverlapRange::Iterator::Iterator(RegionMap::iterator at, RegionMap::iterator last, int64_t start)
    : at(at), last(last), start(start) {
  SkipDisjoint();
}

OverlapRange::Iterator& OverlapRange::Iterator::operator++() {
  ++at;
  SkipDisjoint();
  return *this;
}

// Every entry before `last` starts before the range's end; it overlaps when it reaches
// past the range's start.
void OverlapRange::Iterator::SkipDisjoint() {
  while (at != last && at->first.End() <= start) ++at;
}

// ---- FileObject ----

FileObject::FileObject() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&Mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

FileObject::~FileObject() {
  Check(RefCount == 0, "RefCount == 0", kObjectUnreferencedSite);
  CloseFds(*this);
  pthread_mutex_destroy(&Mutex);
}

FileObject::Guard::Guard(FileObject& object) : object(object) { Lock(); }

FileObject::Guard::~Guard() {
  if (held) Unlock();
}

void FileObject::Guard::Lock() {
  int res = pthread_mutex_lock(&object.Mutex);
  Check(res == 0, "res == 0", kMutexLockSite);
  held = true;
}

void FileObject::Guard::Unlock() {
  held = false;
  int res = pthread_mutex_unlock(&object.Mutex);
  Check(res == 0, "res == 0", kMutexUnlockSite);
}

int FileObject::SysLockOp(int fd, int64_t start, int64_t len, LockType type, bool wait) {
  TraceEntry("SysLockOp", fd);
  struct flock64 lock = {};
  lock.l_type = type == LOCK_NONE ? F_UNLCK : type == LOCK_SHARED ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  // An unlock that runs to the end of the range goes through the last offset too, which
  // only a whole-file lock (length 0) reaches: otherwise that byte would stay locked.
  const bool toTheEnd = type == LOCK_NONE && len == kMaxOffset - start;
  lock.l_len = IsWholeFile(start, len) || toTheEnd ? 0 : len;
  TraceFlock(lock);
  int res = fcntl(fd, wait ? F_SETLKW64 : F_SETLK64, &lock);
  if (res != 0) {
    int error = errno;
    if (fcntl(fd, F_GETLK64, &lock) == 0) TraceFlockPid(lock);
    errno = error;
  }
  return res;
}

void FileObject::DoForgetFailedLock(int, int64_t, int64_t) {}

OverlapRange FileObject::FindOverlapRange(int64_t start, int64_t len) {
  // Shared regions overlap one another, so one that reaches into the range may start
  // anywhere before it: every entry that starts before the range's end is a candidate.
  RegionMap::iterator last = Regions.lower_bound(FileRegion(start + len, 0, -1));
  return OverlapRange(Regions.begin(), last, start);
}

bool FileObject::CanLock(const FileRegion& region, LockType type) {
  Check(region.Start >= 0, "reg.Start >= 0", kCanLockStartSite);
  Check(region.Len > 0, "reg.Len > 0", kCanLockLenSite);
  Check(region.OwnerFd >= 0, "reg.OwnerFd >= 0", kCanLockOwnerSite);
  Check(type != LOCK_NONE, "type != LOCK_NONE", kCanLockTypeSite);
  for (RegionMap::iterator it : FindOverlapRange(region.Start, region.Len)) {
    Check(it->first.Start >= 0, "it->first.Start >= 0", kHeldStartSite);
    Check(it->first.Len > 0, "it->first.Len > 0", kHeldLenSite);
    Check(it->first.OwnerFd > -1, "it->first.OwnerFd > -1", kHeldOwnerSite);
    Check(it->second.Type != LOCK_NONE, "it->second.Type != LOCK_NONE", kHeldTypeSite);
    if (type == LOCK_EXCLUSIVE || it->second.Type != LOCK_SHARED) return false;
    // The same descriptor's first lock of this very range is still waiting in the
    // system: a second one must not be told it already holds it.
    if (it->second.Pending && it->first == region) return false;
  }
  return true;
}

void FileObject::AcquireRegion(const FileRegion& region, LockType type, RegionMap::node_type* node, bool pending) {
  RegionMap::iterator it = Regions.find(region);
  if (it == Regions.end()) {
    if (node != nullptr && !node->empty()) {
      node->mapped() = LockState{};
      it = Regions.insert(std::move(*node)).position;
    } else {
      it = Regions.emplace(region, LockState{}).first;
    }
  }
  LockState& state = it->second;
  if (state.Type == LOCK_NONE) {
    Check(state.LockCount == 0, "st.LockCount == 0", kAcquireUnlockedSite);
    state.Type = type;
    state.Pending = pending;
  } else {
    Check(state.Type == LOCK_SHARED && type == LOCK_SHARED, "st.Type == LOCK_SHARED && type == LOCK_SHARED",
          kAcquireSharedSite);
  }
  ++state.LockCount;
}

void FileObject::ReleaseRegion(const FileRegion& region) {
  RegionMap::iterator it = Regions.find(region);
  if (it == Regions.end()) {
    SafeAssert("it != Regions.end()", kAssertFile, kReleaseFoundSite);
    return;
  }
  Check(it->second.Type != LOCK_NONE, "it->second.Type != LOCK_NONE", kReleaseTypeSite);
  Check(it->second.LockCount == 1, "it->second.LockCount == 1", kReleaseCountSite);
  Regions.erase(it);
  GrantWaiters();
}

// Grants, in queue order, every waiting request that the table as it now stands allows.
// Granting never allocates: each request brought its table entry along.
void FileObject::GrantWaiters() {
  for (auto it = Waiters.begin(); it != Waiters.end();) {
    WaitRequest* request = *it;
    if (!CanLock(request->Region, request->Type)) {
      ++it;
      continue;
    }
    AcquireRegion(request->Region, request->Type, &request->Node, true);
    it = Waiters.erase(it);
    *request->Granted = true;
    pthread_cond_signal(request->Cond);
  }
}

int FileObject::LockRegion(int fd, int64_t start, int64_t len, LockType type, bool wait) {
  Guard guard(*this);
  return LockRegionHeld(guard, fd, start, len, type, wait);
}

int FileObject::LockRegionHeld(Guard& guard, int fd, int64_t start, int64_t len, LockType type, bool wait) {
  TraceEntry("LockRegion", fd);
  FileRegion region(start, len, fd);

  if (CanLock(region, type)) {
    AcquireRegion(region, type, nullptr, wait);
  } else if (wait) {
    int failure = WaitForGrant(region, type);
    if (failure != 0) {
      errno = failure;
      return -1;
    }
  } else {
    return Fail(kLockBusySite, EAGAIN, fd);
  }

  RegionMap::iterator it = Regions.find(region);
  if (it == Regions.end()) {
    // Granted, then released with its descriptor before this thread woke up.
    return Fail(kLockGoneAfterWaitSite, EBADF, fd);
  }
  Check(it->second.Type != LOCK_NONE, "curr.Type != LOCK_NONE", kLockHeldTypeSite);
  if (it->second.Released) return DropReleasedRegion(region, -1);
  if (wait) {
    // Only the request whose grant made the entry finds it Pending, and it alone calls
    // the system. One that joined an entry the system already holds is done, however
    // far unlocks of the same descriptor have lowered the count before it woke.
    if (!it->second.Pending) return 0;
    return FinishWaitingLock(guard, region, type);
  }
  if (it->second.LockCount >= 2) return 0;  // the system already holds this very lock
  if (SysLockOp(fd, start, len, type, false) != 0) {
    int error = errno;
    ReleaseRegion(region);
    return Fail(kLockSystemFailedSite, error, fd);
  }
  return 0;
}

// Queues the request and sleeps on a condition of its own until a release grants it (0)
// or it is given up (its errno). Mutex is held exactly once, so the wait releases it.
int FileObject::WaitForGrant(const FileRegion& region, LockType type) {
  pthread_cond_t cond;
  int res = pthread_cond_init(&cond, nullptr);
  if (res != 0) return res;
  ConditionGuard destroyCond(cond);
  bool granted = false;
  int failure = 0;
  WaitRequest request(region, type, &cond, &granted, &failure);
  RegionMap scratch;
  request.Node = scratch.extract(scratch.emplace(region, LockState{}).first);
  Waiters.push_back(&request);
  // A thread cancelled in the wait leaves with the mutex held again: take the request
  // out of the queue before its frame goes.
  struct Dequeue {
    std::list<WaitRequest*>& waiters;
    WaitRequest* request;
    ~Dequeue() { waiters.remove(request); }
  } dequeue{Waiters, &request};
  while (!granted && failure == 0) pthread_cond_wait(&cond, &Mutex);
  if (granted) return 0;
  TraceFailure(kLockWaitFailedSite.Function, static_cast<int>(kLockWaitFailedSite.Line), failure, region.OwnerFd);
  return failure;
}

// The first lock of a region with wait: the system call runs with no lock of the layer
// held while the table keeps the region reserved (Pending).
int FileObject::FinishWaitingLock(Guard& guard, const FileRegion& region, LockType type) {
  guard.Unlock();
  int res = SysLockOp(region.OwnerFd, region.Start, region.Len, type, true);
  int error = errno;
  guard.Lock();

  RegionMap::iterator it = Regions.find(region);
  if (it == Regions.end()) {
    SafeAssert("it != Regions.end()", kAssertFile, kFinishWaitingFoundSite);
    return Fail(kFinishWaitingGoneSite, EBADF, region.OwnerFd);
  }
  if (it->second.Released) return DropReleasedRegion(region, res);
  it->second.Pending = false;
  if (res == 0) {
    GrantWaiters();  // requests of the same range that waited for this call
    return 0;
  }
  DoForgetFailedLock(region.OwnerFd, region.Start, region.Len);
  ReleaseRegion(region);
  return Fail(kFinishWaitingSystemFailedSite, error, region.OwnerFd);
}

// A pending region whose descriptor was given back while its system call was in flight:
// undo what the call obtained and fail the request. The descriptor was kept open for
// this (parked), unless it was already closed behind the layer's back.
int FileObject::DropReleasedRegion(const FileRegion& region, int result) {
  RegionMap::iterator it = Regions.find(region);
  if (!it->second.DescriptorGone) {
    if (result == 0) {
      DoUnlockRegion(region.OwnerFd, region.Start, region.Len);
    } else {
      DoForgetFailedLock(region.OwnerFd, region.Start, region.Len);
    }
  }
  it->second.LockCount = 1;
  ReleaseRegion(region);
  if (Regions.empty()) CloseFds(*this);
  return Fail(kLockReleasedInFlightSite, EBADF, region.OwnerFd);
}

int FileObject::UnlockRegion(int fd, int64_t start, int64_t len) {
  TraceEntry("UnlockRegion", fd);
  Guard guard(*this);
  FileRegion region(start, len, fd);
  RegionMap::iterator it = Regions.find(region);
  // A region whose first lock is still in the system is not held yet.
  if (it == Regions.end() || it->second.Pending) return Fail(kUnlockNotHeldSite, EINVAL, fd);
  Check(it->second.LockCount > 0, "it->second.LockCount > 0", kUnlockCountSite);
  Check(it->second.Type != LOCK_NONE, "it->second.Type != LOCK_NONE", kUnlockTypeSite);
  if (it->second.LockCount >= 2) {
    --it->second.LockCount;
    return 0;
  }
  DoUnlockRegion(fd, start, len);
  ReleaseRegion(region);
  return 0;
}

void FileObject::ReleaseDescriptorRegions(int fd, bool descriptorGone) {
  for (auto it = Waiters.begin(); it != Waiters.end();) {
    WaitRequest* request = *it;
    if (request->Region.OwnerFd != fd) {
      ++it;
      continue;
    }
    it = Waiters.erase(it);
    *request->Failure = EBADF;
    pthread_cond_signal(request->Cond);
  }

  for (auto it = Regions.begin(); it != Regions.end();) {
    if (it->first.OwnerFd != fd) {
      ++it;
      continue;
    }
    if (it->second.Pending) {
      it->second.Released = true;
      it->second.DescriptorGone = it->second.DescriptorGone || descriptorGone;
      ++it;
      continue;
    }
    FileRegion region = it->first;
    it->second.LockCount = 1;
    ++it;  // releasing erases the entry; granting only inserts
    if (descriptorGone) {
      ReleaseRegion(region);
      continue;
    }
    int res = UnlockRegion(fd, region.Start, region.Len);
    Check(res == 0, "res == 0", kReleaseDescriptorUnlockSite);
  }
}

bool FileObject::LiveRegionsOfOthers(int fd) const {
  for (const auto& [region, state] : Regions)
    if (region.OwnerFd != fd && !state.Released) return true;
  return false;
}

// ---- The three classes ----

// Unlocks, in ascending order, the parts of [start, start + len) that no region other
// than (start, len, fd) covers: an fcntl unlock would drop them for every descriptor.
static void UnlockUncoveredParts(FileObject& object, int fd, int64_t start, int64_t len) {
  const FileRegion exclude(start, len, fd);
  int64_t from = start;
  int64_t to = start + len;
  auto unlockPiece = [&](int64_t pieceStart, int64_t pieceEnd) {
    int res = object.FileObject::SysLockOp(fd, pieceStart, pieceEnd - pieceStart, LOCK_NONE, false);
    Check(res == 0, "res == 0", kUncoveredUnlockSite);
  };
  for (RegionMap::iterator i : object.FindOverlapRange(start, len)) {
    if (i->first == exclude) continue;
    Check(i->first.Overlaps(FileRegion(start, len)), "i->first.Overlaps(FileRegion(start, len))",
          kUncoveredOverlapSite);
    Check(i->second.Type == LOCK_SHARED, "i->second.Type == LOCK_SHARED", kUncoveredSharedSite);
    Check(i->second.LockCount >= 1, "i->second.LockCount >= 1", kUncoveredCountSite);
    if (from < to && FileRegion(from, to - from) == i->first)
      SafeAssert("!(from == exclude)", kAssertFile, kUncoveredExcludedSite);
    const int64_t coverStart = i->first.Start;
    const int64_t coverEnd = i->first.End();
    if (from >= coverEnd || coverStart >= to) continue;
    if (from < coverStart && coverEnd < to) {
      unlockPiece(from, coverStart);
      from = coverEnd;
    } else if (from < coverStart) {
      to = coverStart;
    } else if (coverEnd < to) {
      from = coverEnd;
    } else {
      to = from;
    }
  }
  if (to > from) unlockPiece(from, to);
}

void PosixFileObject::DoUnlockRegion(int fd, int64_t start, int64_t len) {
  TraceEntry("DoUnlockRegion", fd);
  UnlockUncoveredParts(*this, fd, start, len);
}

// A waiting lock that failed may have found parts of its range still locked for the
// process, kept for it while it waited: those that no other region covers go.
void PosixFileObject::DoForgetFailedLock(int fd, int64_t start, int64_t len) {
  UnlockUncoveredParts(*this, fd, start, len);
}

void WindowsFileObject::DoUnlockRegion(int fd, int64_t start, int64_t len) {
  int res = SysLockOp(fd, start, len, LOCK_NONE, false);
  Check(res == 0, "res == 0", kDoUnlockSite);
}

int WindowsFileObjectNoRanges::SysLockOp(int fd, int64_t start, int64_t len, LockType type, bool wait) {
  if (!IsWholeFile(start, len)) {
    TraceRangeNotSupported(fd, start, len, type, wait);
    errno = EOPNOTSUPP;
    return -1;
  }
  int operation = type == LOCK_NONE ? LOCK_UN : type == LOCK_SHARED ? LOCK_SH : LOCK_EX;
  if (!wait) operation |= LOCK_NB;
  return flock(fd, operation);
}

}  // namespace FileLock

using namespace FileLock;

namespace {

// Steps 7 and 8: the descriptor's FileObject, then the request.
int DoLockOp(int fd, bool wait, int64_t start, int64_t len, LockType type) {
  TraceEntry("DoLockOp", fd);
  RegistryGuard registry;
  TraceEntry("GetFileObject", fd);
  DescriptorTable& descriptors = GetDescriptorTable();
  auto entry = descriptors.find(fd);
  if (entry == descriptors.end() || !entry->second.File) return Fail(kLockOpNoDescriptorSite, EBADF, fd);
  // Shared with the table, so the object outlives a release of the descriptor meanwhile.
  std::shared_ptr<FileObject> object = entry->second.File;

  if (type == LOCK_NONE) return object->UnlockRegion(fd, start, len);
  if (!wait) return object->LockRegion(fd, start, len, type, false);

  // The file's mutex is taken before the registry is let go, so the descriptor cannot be
  // released between the look-up and the request; it is then held once, as the wait needs.
  FileObject::Guard guard(*object);
  registry.Unlock();
  int result = object->LockRegionHeld(guard, fd, start, len, type, true);
  int error = errno;
  guard.Unlock();
  if (result != 0 && error == EBADF) ForgetUnusedFileObject(object);
  errno = error;
  return result;
}

}  // namespace

int LinuxExRangeLock(int fd, int cmd, struct flock64* lock) {
  TraceEntry("LinuxExRangeLock", fd);
  if (lock == nullptr) return Fail(kRangeLockNoBlockSite, EFAULT, fd);
  if (lock->l_whence != SEEK_SET || (cmd != F_SETLK64 && cmd != F_SETLKW64))
    return Fail(kRangeLockUnsupportedSite, EOPNOTSUPP, fd);
  const int64_t start = lock->l_start;
  if (start < 0) return Fail(kRangeLockNegativeStartSite, EINVAL, fd);
  int64_t len = lock->l_len;
  if (len == 0) {
    len = kMaxOffset - start;
    if (len == 0) return Fail(kRangeLockEmptySite, EINVAL, fd);
  } else if (len < 0 || len > kMaxOffset - start) {
    // A region must lie inside the 63-bit range.
    return Fail(kRangeLockOutOfRangeSite, EINVAL, fd);
  }
  const LockType type = lock->l_type == F_RDLCK ? LOCK_SHARED : lock->l_type == F_WRLCK ? LOCK_EXCLUSIVE : LOCK_NONE;
  try {
    return DoLockOp(fd, cmd == F_SETLKW64, start, len, type);
  } catch (const std::bad_alloc&) {
    return Fail(kRangeLockOutOfMemorySite, ENOMEM, fd);
  }
}

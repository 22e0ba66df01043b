// Tests of the byte-range lock layer: argument errors, conflicts between descriptors of
// one process, what reaches the system (read by a forked probe), waiting requests and
// their grants, and requests whose descriptor is given back while they wait.
#include "core/linex/filelock.h"

#include <pthread.h>
#include <signal.h>
#include <sys/file.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/linex/descriptor_registry.h"
#include "core/linex/descriptor_registry_testing.h"
#include "core/linex/tests/lock_fixture.h"
#include "core/linex/tests/lock_probe.h"

namespace {

using namespace Testing;
using FileLock::kMaxOffset;

constexpr int64_t kFar = int64_t{1} << 40;  // an offset beyond every bounded region

class FileLockTest : public LockFileTest {};

TEST_F(FileLockTest, ArgumentAndStateErrors) {
  int a = Open();
  int b = Open();
  int plain = open(path.c_str(), O_RDONLY);  // open, but not through the registry
  ASSERT_GE(plain, 0);
  ASSERT_EQ(Exclusive(b, 1000, 10), kLocked);

  struct Case {
    const char* what;
    int fd;
    int cmd;
    short type;
    short whence;
    int64_t start;
    int64_t len;
    int error;
  };
  const Case cases[] = {
      {"whence SEEK_CUR", a, F_SETLK64, F_RDLCK, SEEK_CUR, 0, 10, EOPNOTSUPP},
      {"whence SEEK_END", a, F_SETLKW64, F_WRLCK, SEEK_END, 0, 10, EOPNOTSUPP},
      {"F_GETLK64", a, F_GETLK64, F_RDLCK, SEEK_SET, 0, 10, EOPNOTSUPP},
      {"negative start", a, F_SETLK64, F_RDLCK, SEEK_SET, -1, 10, EINVAL},
      {"to the end from the last offset", a, F_SETLK64, F_RDLCK, SEEK_SET, kMaxOffset, 0, EINVAL},
      {"negative length", a, F_SETLK64, F_RDLCK, SEEK_SET, 10, -5, EINVAL},
      {"end beyond 2^63 - 1", a, F_SETLK64, F_WRLCK, SEEK_SET, 10, kMaxOffset - 9, EINVAL},
      {"unlock beyond 2^63 - 1", a, F_SETLK64, F_UNLCK, SEEK_SET, kMaxOffset, kMaxOffset, EINVAL},
      {"descriptor not registered", plain, F_SETLK64, F_RDLCK, SEEK_SET, 0, 10, EBADF},
      {"descriptor not open", 987, F_SETLKW64, F_RDLCK, SEEK_SET, 0, 10, EBADF},
      {"unlock of nothing held", a, F_SETLK64, F_UNLCK, SEEK_SET, 0, 10, EINVAL},
      {"unlock of another's lock", a, F_SETLK64, F_UNLCK, SEEK_SET, 1000, 10, EINVAL},
      {"unlock with another length", b, F_SETLK64, F_UNLCK, SEEK_SET, 1000, 5, EINVAL},
      {"unlock with another start", b, F_SETLK64, F_UNLCK, SEEK_SET, 1001, 10, EINVAL},
      {"conflict without wait", a, F_SETLK64, F_RDLCK, SEEK_SET, 1005, 1, EAGAIN},
  };
  for (const Case& c : cases) {
    struct flock64 lock = {};
    lock.l_type = c.type;
    lock.l_whence = c.whence;
    lock.l_start = c.start;
    lock.l_len = c.len;
    errno = 0;
    EXPECT_EQ(LinuxExRangeLock(c.fd, c.cmd, &lock), -1) << c.what;
    EXPECT_EQ(errno, c.error) << c.what;
  }
  errno = 0;
  EXPECT_EQ(LinuxExRangeLock(a, F_SETLK64, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);

  // The refused requests left nothing behind, and b's lock stands.
  EXPECT_TRUE(WithFileObject(a, [](FileLock::FileObject& o) { return o.Regions.size() == 1 && o.Waiters.empty(); }));
  EXPECT_EQ(ProbeOsLock(path, 1000, 10).Type, F_WRLCK);
  EXPECT_EQ(Shared(a, 2000, kMaxOffset - 2000), kLocked);  // the longest region that fits

  close(plain);
  EXPECT_EQ(LinuxExClose(a), 0);
  EXPECT_EQ(LinuxExClose(b), 0);
}

// Each step is one request through one of three descriptors of the file; a request of a
// descriptor conflicts with its own regions as with anyone's.
TEST_F(FileLockTest, ConflictsBetweenDescriptorsOfOneProcess) {
  int fds[3] = {Open(), Open(O_RDONLY), Open()};
  struct Step {
    int who;
    short type;  // F_UNLCK unlocks
    int64_t start;
    int64_t len;
    int error;   // 0: granted
  };
  const Step steps[] = {
      {0, F_RDLCK, 0, 100, 0},
      {1, F_RDLCK, 50, 100, 0},       // shared over shared
      {2, F_WRLCK, 90, 20, EAGAIN},   // exclusive over both
      {0, F_WRLCK, 0, 100, EAGAIN},   // over its own shared region
      {0, F_WRLCK, 200, 10, 0},
      {1, F_RDLCK, 205, 1, EAGAIN},   // shared over exclusive
      {1, F_RDLCK, 210, 5, 0},        // adjacent: no overlap
      {1, F_RDLCK, 190, 10, 0},
      {0, F_WRLCK, 200, 10, EAGAIN},  // the same exclusive region again
      {0, F_UNLCK, 200, 10, 0},
      {2, F_WRLCK, 200, 10, 0},
      {2, F_UNLCK, 200, 10, 0},
      {0, F_UNLCK, 0, 100, 0},
      {2, F_WRLCK, 0, 50, 0},         // what 0 held alone is free again
      {2, F_WRLCK, 50, 10, EAGAIN},   // 1 still holds [50, 150)
      {1, F_UNLCK, 50, 100, 0},
      {2, F_WRLCK, 50, 140, 0},
  };
  int index = 0;
  for (const Step& s : steps) {
    LockResult expected{s.error == 0 ? 0 : -1, s.error};
    LockResult got = s.type == F_UNLCK ? Unlock(fds[s.who], s.start, s.len) : RangeLock(fds[s.who], s.type, s.start, s.len);
    EXPECT_EQ(got, expected) << "step " << index;
    ++index;
  }
  for (int fd : fds) EXPECT_EQ(LinuxExClose(fd), 0);
}

// The table looks at every region that overlaps a request, not only the nearest one
// before it: a long shared region further back still counts.
TEST_F(FileLockTest, OverlapSearchSeesEveryOverlappingRegion) {
  int a = Open(), b = Open(), c = Open();
  ASSERT_EQ(Shared(a, 0, 100), kLocked);
  ASSERT_EQ(Shared(b, 10, 10), kLocked);
  EXPECT_EQ(Exclusive(c, 50, 10), (LockResult{-1, EAGAIN}));
  EXPECT_EQ(Exclusive(c, 99, 1), (LockResult{-1, EAGAIN}));

  // Releasing c's shared [50, 60) must keep the system lock that a's region needs.
  ASSERT_EQ(Shared(c, 50, 10), kLocked);
  ASSERT_EQ(Unlock(c, 50, 10), kLocked);
  EXPECT_EQ(ProbeOsLock(path, 50, 10).Type, F_RDLCK);
  for (int fd : {a, b, c}) EXPECT_EQ(LinuxExClose(fd), 0);
}

TEST_F(FileLockTest, SameRangeSharedTwiceReachesTheSystemOnce) {
  int a = Open();
  ASSERT_EQ(Shared(a, 10, 20), kLocked);
  ASSERT_EQ(Shared(a, 10, 20), kLocked);
  FileLock::LockState state;
  ASSERT_TRUE(FindRegion(a, 10, 20, &state));
  EXPECT_EQ(state.LockCount, 2u);
  ASSERT_EQ(Unlock(a, 10, 20), kLocked);
  EXPECT_EQ(ProbeOsLock(path, 10, 20).Type, F_RDLCK);  // still held once
  ASSERT_EQ(Unlock(a, 10, 20), kLocked);
  EXPECT_EQ(ProbeOsLock(path, 10, 20).Type, F_UNLCK);
  EXPECT_EQ(Unlock(a, 10, 20), (LockResult{-1, EINVAL}));
  EXPECT_EQ(LinuxExClose(a), 0);
}

TEST_F(FileLockTest, LengthZeroRunsToTheEndOfTheRange) {
  int a = Open(), b = Open();
  ASSERT_EQ(Exclusive(a, 0, 0), kLocked);
  OsLock seen = ProbeOsLock(path, kFar, 1);
  EXPECT_EQ(seen.Type, F_WRLCK);
  EXPECT_EQ(seen.Start, 0);
  EXPECT_EQ(seen.Len, 0);  // the system got the whole file
  EXPECT_TRUE(FindRegion(a, 0, kMaxOffset, nullptr));
  ASSERT_EQ(Unlock(a, 0, 0), kLocked);

  ASSERT_EQ(Shared(b, 10, 0), kLocked);
  EXPECT_TRUE(FindRegion(b, 10, kMaxOffset - 10, nullptr));
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_UNLCK);
  seen = ProbeOsLock(path, kFar, 1);
  EXPECT_EQ(seen.Type, F_RDLCK);
  EXPECT_EQ(seen.Start, 10);
  EXPECT_EQ(seen.Len, kMaxOffset - 10);
  EXPECT_EQ(Exclusive(a, kFar, 1), (LockResult{-1, EAGAIN}));
  ASSERT_EQ(Unlock(b, 10, kMaxOffset - 10), kLocked);  // the same key, named explicitly
  EXPECT_EQ(ProbeOsLock(path, kFar, 1).Type, F_UNLCK);
  EXPECT_EQ(LinuxExClose(a), 0);
  EXPECT_EQ(LinuxExClose(b), 0);
}

// The whole-file lock reaches the last offset, 2^63 - 1, which no bounded region
// does; an unlock of the part beyond another region must give that offset back too.
TEST_F(FileLockTest, UnlockToTheEndReleasesTheLastOffset) {
  int a = Open(), b = Open();
  ASSERT_EQ(Shared(a, 0, 0), kLocked);
  ASSERT_EQ(Shared(b, 0, 10), kLocked);
  EXPECT_EQ(ProbeOsLock(path, kMaxOffset, 1).Type, F_RDLCK);
  ASSERT_EQ(Unlock(a, 0, 0), kLocked);
  EXPECT_EQ(ProbeOsLock(path, 10, 0).Type, F_UNLCK);
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_RDLCK);
  ASSERT_EQ(Unlock(b, 0, 10), kLocked);
  EXPECT_EQ(ProbeOsLock(path, 0, 0).Type, F_UNLCK);
  for (int fd : {a, b}) EXPECT_EQ(LinuxExClose(fd), 0);
}

// An unlock gives back to the system only what no other descriptor's region covers.
TEST_F(FileLockTest, PosixUnlockKeepsWhatOthersCover) {
  int a = Open(), b = Open(), c = Open();
  ASSERT_EQ(Shared(a, 0, 100), kLocked);
  ASSERT_EQ(Shared(b, 50, 100), kLocked);
  ASSERT_EQ(Unlock(a, 0, 100), kLocked);
  EXPECT_EQ(ProbeOsLock(path, 0, 50).Type, F_UNLCK);
  OsLock seen = ProbeOsLock(path, 0, 200);
  EXPECT_EQ(seen.Type, F_RDLCK);
  EXPECT_EQ(seen.Start, 50);
  EXPECT_EQ(seen.Len, 100);

  // A region with others inside and on both edges leaves only the gaps.
  ASSERT_EQ(Shared(a, 40, 10), kLocked);    // [40, 50)
  ASSERT_EQ(Shared(c, 20, 200), kLocked);   // [20, 220) over a [40, 50) and b [50, 150)
  ASSERT_EQ(Unlock(b, 50, 100), kLocked);   // c covers it all: nothing changes
  EXPECT_EQ(ProbeOsLock(path, 20, 200).Start, 20);
  ASSERT_EQ(Shared(b, 100, 10), kLocked);   // [100, 110) inside c
  ASSERT_EQ(Shared(b, 210, 20), kLocked);   // [210, 230) over c's tail
  ASSERT_EQ(Unlock(c, 20, 200), kLocked);
  const std::vector<OsLock> cells = ProbeOsLocks(path, {{20, 20}, {40, 10}, {50, 50}, {100, 10}, {110, 100}, {210, 20}});
  const short expected[] = {F_UNLCK, F_RDLCK, F_UNLCK, F_RDLCK, F_UNLCK, F_RDLCK};
  for (size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(cells[i].Type, expected[i]) << "cell " << i;
  for (int fd : {a, b, c}) EXPECT_EQ(LinuxExClose(fd), 0);
}

TEST_F(FileLockTest, WaitingRequestIsGrantedByTheRelease) {
  int a = Open(), b = Open();
  ASSERT_EQ(Exclusive(a, 0, 100), kLocked);
  LockResult result{-2, 0};
  std::thread waiter([&] { result = Shared(b, 0, 10, true); });
  AwaitWaiters(b, 1);
  EXPECT_FALSE(FindRegion(b, 0, 10, nullptr));  // nothing reserved before the grant
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_WRLCK);
  ASSERT_EQ(Unlock(a, 0, 100), kLocked);
  waiter.join();
  EXPECT_EQ(result, kLocked);
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_RDLCK);
  EXPECT_EQ(ProbeOsLock(path, 10, 90).Type, F_UNLCK);
  for (int fd : {a, b}) EXPECT_EQ(LinuxExClose(fd), 0);
}

// One release grants every queued request that no longer conflicts, in queue order,
// and leaves in the queue those that still do.
TEST_F(FileLockTest, ReleaseGrantsEveryCompatibleWaiter) {
  int a = Open(), b = Open(), c = Open(), d = Open(), e = Open();
  ASSERT_EQ(Exclusive(a, 0, 100), kLocked);
  LockResult results[4] = {{-2, 0}, {-2, 0}, {-2, 0}, {-2, 0}};
  std::vector<std::thread> waiters;
  waiters.emplace_back([&] { results[0] = Shared(b, 0, 10, true); });
  AwaitWaiters(a, 1);
  waiters.emplace_back([&] { results[1] = Shared(c, 20, 10, true); });
  AwaitWaiters(a, 2);
  waiters.emplace_back([&] { results[2] = Exclusive(d, 5, 20, true); });  // conflicts with b's and c's
  AwaitWaiters(a, 3);
  waiters.emplace_back([&] { results[3] = Shared(e, 50, 10, true); });
  AwaitWaiters(a, 4);

  ASSERT_EQ(Unlock(a, 0, 100), kLocked);
  // The grants happened inside the unlock.
  EXPECT_TRUE(WithFileObject(a, [&](FileLock::FileObject& o) {
    return o.Waiters.size() == 1 && o.Waiters.front()->Region.OwnerFd == d && o.Regions.size() == 3;
  }));
  waiters[0].join();
  waiters[1].join();
  waiters[3].join();
  EXPECT_EQ(results[0], kLocked);
  EXPECT_EQ(results[1], kLocked);
  EXPECT_EQ(results[3], kLocked);
  ASSERT_EQ(Unlock(b, 0, 10), kLocked);
  EXPECT_EQ(WaiterCount(a), 1u);
  ASSERT_EQ(Unlock(c, 20, 10), kLocked);
  waiters[2].join();
  EXPECT_EQ(results[2], kLocked);
  EXPECT_EQ(ProbeOsLock(path, 5, 20).Type, F_WRLCK);
  for (int fd : {a, b, c, d, e}) EXPECT_EQ(LinuxExClose(fd), 0);
}

// While the first waiting system call of a range is in flight, the same descriptor's
// further requests for that range are not told they already hold it.
TEST_F(FileLockTest, RangeInFlightIsNotYetHeld) {
  int a = Open();
  ForeignLockHolder other(path, F_WRLCK, 0, 10);
  ASSERT_TRUE(other.Held());
  LockResult first{-2, 0}, second{-2, 0};
  std::thread firstThread([&] { first = Shared(a, 0, 10, true); });
  AwaitState(a, [&](FileLock::FileObject& o) {
    auto it = o.Regions.find(FileLock::FileRegion(0, 10, a));
    return it != o.Regions.end() && it->second.Pending;
  });
  EXPECT_EQ(Shared(a, 0, 10), (LockResult{-1, EAGAIN}));
  EXPECT_EQ(Unlock(a, 0, 10), (LockResult{-1, EINVAL}));
  std::thread secondThread([&] { second = Shared(a, 0, 10, true); });
  AwaitWaiters(a, 1);

  other.Release();
  firstThread.join();
  secondThread.join();
  EXPECT_EQ(first, kLocked);
  EXPECT_EQ(second, kLocked);
  FileLock::LockState state;
  ASSERT_TRUE(FindRegion(a, 0, 10, &state));
  EXPECT_EQ(state.LockCount, 2u);
  EXPECT_FALSE(state.Pending);
  ASSERT_EQ(Unlock(a, 0, 10), kLocked);
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_RDLCK);
  ASSERT_EQ(Unlock(a, 0, 10), kLocked);
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_UNLCK);
  EXPECT_EQ(LinuxExClose(a), 0);
}

void IgnoreSignal(int) {}

// A waiting call that the system refuses gives back what the process kept in its range
// for it meanwhile: here c's shared lock, released while b's call was in flight.
TEST_F(FileLockTest, FailedWaitingCallLeavesNothingAtTheSystem) {
  int b = Open(), c = Open();
  ForeignLockHolder other(path, F_WRLCK, 0, 5);
  ASSERT_TRUE(other.Held());
  struct sigaction interrupt = {}, previous = {};
  interrupt.sa_handler = IgnoreSignal;  // no SA_RESTART: the waiting fcntl fails with EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &interrupt, &previous), 0);

  std::atomic<bool> done{false};
  LockResult result{-2, 0};
  std::thread waiter([&] {
    result = Shared(b, 0, 20, true);
    done = true;
  });
  AwaitState(b, [&](FileLock::FileObject& o) { return o.Regions.size() == 1; });
  ASSERT_EQ(Shared(c, 5, 10), kLocked);
  ASSERT_EQ(Unlock(c, 5, 10), kLocked);  // b's reserved range still covers [5, 15)
  while (!done) {
    pthread_kill(waiter.native_handle(), SIGUSR1);
    sched_yield();
  }
  waiter.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(result, (LockResult{-1, EINTR}));
  EXPECT_FALSE(FindRegion(b, 0, 20, nullptr));
  EXPECT_EQ(ProbeOsLock(path, 5, 10).Type, F_UNLCK);
  other.Release();
  for (int fd : {b, c}) EXPECT_EQ(LinuxExClose(fd), 0);
}

TEST_F(FileLockTest, SystemRefusalWithoutWaitKeepsNothing) {
  int a = Open();
  ForeignLockHolder other(path, F_WRLCK, 0, 10);
  ASSERT_TRUE(other.Held());
  LockResult refused = Shared(a, 5, 10);
  EXPECT_EQ(refused.Code, -1);
  EXPECT_TRUE(refused.Errno == EAGAIN || refused.Errno == EACCES) << refused.Errno;
  EXPECT_FALSE(FindRegion(a, 5, 10, nullptr));
  EXPECT_EQ(Shared(a, 10, 10), kLocked);
  other.Release();
  EXPECT_EQ(LinuxExClose(a), 0);
}

TEST_F(FileLockTest, ReleasingADescriptorFailsItsWaiters) {
  int a = Open(), b = Open();
  ASSERT_EQ(Exclusive(a, 0, 10), kLocked);
  LockResult result{-2, 0};
  std::thread waiter([&] { result = Exclusive(b, 0, 10, true); });
  AwaitWaiters(a, 1);
  ASSERT_EQ(LinuxExClose(b), 0);
  waiter.join();
  EXPECT_EQ(result, (LockResult{-1, EBADF}));
  EXPECT_EQ(WaiterCount(a), 0u);
  EXPECT_TRUE(IsOpen(b));  // parked: a still holds a lock
  EXPECT_EQ(LinuxExClose(a), 0);
  EXPECT_FALSE(IsOpen(b));
}

// A descriptor given back while its own waiting call is in the system stays open for
// that call; when the call returns, what it got is undone and the request fails.
TEST_F(FileLockTest, ReleaseDuringTheSystemCallUndoesItsLock) {
  int a = Open();
  ForeignLockHolder other(path, F_WRLCK, 0, 10);
  ASSERT_TRUE(other.Held());
  std::shared_ptr<FileLock::FileObject> object = FileLock::FindFileObject(a);
  LockResult result{-2, 0};
  std::thread waiter([&] { result = Exclusive(a, 0, 10, true); });
  AwaitState(a, [&](FileLock::FileObject& o) { return o.Regions.size() == 1; });
  ASSERT_EQ(LinuxExClose(a), 0);
  EXPECT_TRUE(IsOpen(a));
  other.Release();
  waiter.join();
  EXPECT_EQ(result, (LockResult{-1, EBADF}));
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_UNLCK);
  EXPECT_FALSE(IsOpen(a));
  {
    FileLock::FileObject::Guard guard(*object);
    EXPECT_TRUE(object->Regions.empty());
    EXPECT_EQ(object->RefCount, 0u);
  }
  object.reset();
}

TEST_F(FileLockTest, ReleasingWithSeveralLocksGrantsOthers) {
  int a = Open(), b = Open();
  ASSERT_EQ(Shared(a, 0, 10), kLocked);
  ASSERT_EQ(Shared(a, 0, 10), kLocked);
  ASSERT_EQ(Exclusive(a, 20, 10), kLocked);
  LockResult result{-2, 0};
  std::thread waiter([&] { result = Exclusive(b, 0, 30, true); });
  AwaitWaiters(a, 1);
  ASSERT_EQ(LinuxExClose(a), 0);  // every region of a goes, whatever its count
  waiter.join();
  EXPECT_EQ(result, kLocked);
  EXPECT_TRUE(IsOpen(a));  // parked behind b's lock
  EXPECT_EQ(ProbeOsLock(path, 0, 30).Type, F_WRLCK);
  EXPECT_EQ(LinuxExClose(b), 0);
  EXPECT_FALSE(IsOpen(a));
}

// Holds a thread inside a signal handler, so that a thread asleep in the layer cannot
// take the file's mutex back when it is woken; it goes on when told to.
class HandlerPause {
 public:
  HandlerPause() {
    if (pipe(entered) != 0 || pipe(resume) != 0) return;
    struct sigaction pause = {};
    pause.sa_handler = Hold;
    sigaction(SIGUSR2, &pause, &previous);
  }
  ~HandlerPause() {
    sigaction(SIGUSR2, &previous, nullptr);
    for (int fd : {entered[0], entered[1], resume[0], resume[1]}) close(fd);
  }
  HandlerPause(const HandlerPause&) = delete;
  HandlerPause& operator=(const HandlerPause&) = delete;

  bool Pause(std::thread& thread) {
    char byte = 0;
    return pthread_kill(thread.native_handle(), SIGUSR2) == 0 && read(entered[0], &byte, 1) == 1;
  }
  bool Resume() {
    char byte = 0;
    return write(resume[1], &byte, 1) == 1;
  }

 private:
  static void Hold(int) {
    const int saved = errno;
    char byte = 0;
    if (write(entered[1], &byte, 1) == 1) {
      while (read(resume[0], &byte, 1) < 0 && errno == EINTR) {
      }
    }
    errno = saved;
  }

  static inline int entered[2] = {-1, -1};
  static inline int resume[2] = {-1, -1};
  struct sigaction previous = {};
};

// A file object whose waiting system lock calls stop, once armed, until the gate opens.
class GatedFileObject : public FileLock::PosixFileObject {
 public:
  int SysLockOp(int fd, int64_t start, int64_t len, FileLock::LockType type, bool wait) override {
    if (wait) {
      std::unique_lock<std::mutex> lock(mutex);
      if (armed) {
        ++gatedCalls;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
      }
    }
    return FileObject::SysLockOp(fd, start, len, type, wait);
  }

  void Arm() {
    std::lock_guard<std::mutex> lock(mutex);
    armed = true;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  // Until `done` holds or a call waits at the gate; the number of calls stopped there.
  int AwaitDoneOrGated(const std::atomic<bool>& done) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return done || gatedCalls > 0; });
    return gatedCalls;
  }
  void Notify() {
    std::lock_guard<std::mutex> lock(mutex);
    changed.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  bool armed = false;
  bool open = false;
  int gatedCalls = 0;
};

// Two waiters of one descriptor for the same shared range: the first is granted, and its
// lock is unlocked once before the second wakes. The second then holds the range through
// the entry the first made, which the system already holds: it makes no system call, and
// giving the descriptor back later takes its lock at the system too.
TEST_F(FileLockTest, SecondWaiterOfAHeldRangeMakesNoSystemCall) {
#if defined(__SANITIZE_ADDRESS__) && defined(__i386__)
  // The test holds a waiter in a signal handler on its own thread; 32-bit AddressSanitizer
  // under qemu's user-mode emulator fails its own checks in such a handler.
  GTEST_SKIP() << "a signal handler on a thread trips 32-bit AddressSanitizer under the emulator";
#endif
  auto object = std::make_shared<GatedFileObject>();
  int a = open(path.c_str(), O_RDWR);
  ASSERT_GE(a, 0);
  ASSERT_EQ(FileLock::RegisterDescriptorAsForTesting(a, O_RDWR, path.c_str(), object), 0);
  int b = Open();
  ASSERT_EQ(FileLock::FindFileObject(b), object);
  ASSERT_EQ(Shared(b, 100, 10), kLocked);  // keeps a open (parked) when it is given back
  ASSERT_EQ(Exclusive(b, 0, 10), kLocked);
  HandlerPause pause;
  LockResult first{-2, 0}, second{-2, 0};
  std::atomic<bool> secondDone{false};
  std::thread firstThread([&] { first = Shared(a, 0, 10, true); });
  AwaitWaiters(a, 1);
  std::thread secondThread([&] {
    second = Shared(a, 0, 10, true);
    secondDone = true;
    object->Notify();
  });
  AwaitWaiters(a, 2);
  ASSERT_TRUE(pause.Pause(secondThread));

  ASSERT_EQ(Unlock(b, 0, 10), kLocked);  // grants the first; its system call grants the second
  firstThread.join();
  ASSERT_EQ(first, kLocked);
  ASSERT_EQ(Unlock(a, 0, 10), kLocked);
  FileLock::LockState state;
  ASSERT_TRUE(FindRegion(a, 0, 10, &state));
  EXPECT_EQ(state.LockCount, 1u);
  EXPECT_EQ(WaiterCount(a), 0u);
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_RDLCK);

  object->Arm();
  ASSERT_TRUE(pause.Resume());
  // The moment the second would be in the system, the descriptor is given back.
  EXPECT_EQ(object->AwaitDoneOrGated(secondDone), 0)
      << "the second waiter called the system for a range its descriptor held";
  EXPECT_EQ(LinuxExClose(a), 0);
  object->Open();
  secondThread.join();
  EXPECT_EQ(second, kLocked);
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_UNLCK);
  EXPECT_TRUE(IsOpen(a));  // parked behind b's lock
  object.reset();
  EXPECT_EQ(LinuxExClose(b), 0);
  EXPECT_FALSE(IsOpen(a));
}

// A file object whose waiting system lock calls first run the test's hook, on the calling
// thread, with no lock of the layer held.
class HookedFileObject : public FileLock::PosixFileObject {
 public:
  int SysLockOp(int fd, int64_t start, int64_t len, FileLock::LockType type, bool wait) override {
    if (wait && hook) hook();
    return FileObject::SysLockOp(fd, start, len, type, wait);
  }

  std::function<void()> hook;
};

// A waiter granted a share of an entry the system already holds wakes only after that
// entry went with its descriptor, and the number, taken back, got an entry of the same key
// whose waiting system call is in flight. That entry is not the waiter's: it fails with
// EBADF and touches neither the entry nor the system. The waiter is kept from waking from
// before its grant until the new entry is in the system: by the test thread holding the
// file's mutex (nothing else takes the registry meanwhile, so taking it under that mutex
// cannot deadlock here), or, where ThreadSanitizer would report that order, in a signal
// handler (which 32-bit AddressSanitizer under the emulator cannot run on a thread).
TEST_F(FileLockTest, LateWaiterLeavesTheNextHoldersPendingEntryAlone) {
  auto object = std::make_shared<HookedFileObject>();
  int a = open(path.c_str(), O_RDWR);
  ASSERT_GE(a, 0);
  ASSERT_EQ(FileLock::RegisterDescriptorAsForTesting(a, O_RDWR, path.c_str(), object), 0);
  int b = Open();
  ASSERT_EQ(FileLock::FindFileObject(b), object);
  ASSERT_EQ(Shared(b, 100, 10), kLocked);  // keeps a open (parked) when it is given back

  const std::thread::id testThread = std::this_thread::get_id();
  std::thread waiter;
#if defined(__SANITIZE_THREAD__)
  HandlerPause pause;
  auto holdOff = [&] { ASSERT_TRUE(pause.Pause(waiter)); };
  auto letWake = [&] { ASSERT_TRUE(pause.Resume()); };
#else
  std::optional<FileLock::FileObject::Guard> hold;
  auto holdOff = [&] { hold.emplace(*object); };
  auto letWake = [&] { hold.reset(); };
#endif
  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool waiterCalled = false, waiterDone = false, gateOpen = false;
  LockResult late{-2, 0};
  int call = 0;
  object->hook = [&] {
    if (std::this_thread::get_id() != testThread) {  // the late waiter calls the system
      std::unique_lock<std::mutex> lock(gateMutex);
      waiterCalled = true;
      gateChanged.notify_all();
      gateChanged.wait(lock, [&] { return gateOpen; });
      return;
    }
    if (++call == 1) {
      // The first lock's call is in flight: the waiter queues behind its Pending entry, and
      // is granted a share of it, once the call returns, under the mutex held from here.
      waiter = std::thread([&] {
        late = Shared(a, 0, 10, true);
        std::lock_guard<std::mutex> lock(gateMutex);
        waiterDone = true;
        gateChanged.notify_all();
      });
      AwaitWaiters(a, 1);
      holdOff();
      return;
    }
    // The new entry's call is in flight: the waiter may wake now.
    letWake();
    std::unique_lock<std::mutex> lock(gateMutex);
    gateChanged.wait(lock, [&] { return waiterDone || waiterCalled; });
  };

  ASSERT_EQ(Shared(a, 0, 10, true), kLocked);
  FileLock::LockState state;
  ASSERT_TRUE(FindRegion(a, 0, 10, &state));
  EXPECT_EQ(state.LockCount, 2u);  // the waiter's share, granted
  ASSERT_EQ(LinuxExClose(a), 0);   // takes the entry, whatever its count
  ASSERT_EQ(Open(), a);            // the parked descriptor, registered again
  ASSERT_EQ(Shared(a, 0, 10, true), kLocked);
  ASSERT_EQ(Unlock(a, 0, 10), kLocked);  // the new entry goes while the waiter may still be in the system
  {
    std::lock_guard<std::mutex> lock(gateMutex);
    EXPECT_FALSE(waiterCalled) << "the late waiter called the system for another request's entry";
    gateOpen = true;
    gateChanged.notify_all();
  }
  waiter.join();
  object->hook = nullptr;
  EXPECT_EQ(late, (LockResult{-1, EBADF}));
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_UNLCK);
  object.reset();
  EXPECT_EQ(LinuxExClose(a), 0);
  EXPECT_EQ(LinuxExClose(b), 0);
  EXPECT_FALSE(IsOpen(a));
}

}  // namespace

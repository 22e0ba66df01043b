// Tests of the lock layer when memory runs out: each call fails with ENOMEM and leaves
// the tables, the system's locks and the descriptors as they were.
#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/linex/descriptor_registry.h"
#include "core/linex/filelock.h"
#include "core/linex/tests/lock_fixture.h"
#include "core/linex/tests/lock_probe.h"
#include "tools/testing/failing_new.h"

namespace {

using namespace Testing;

// Runs one call with allocation failing; errno is read before anything else allocates.
template <class Call>
LockResult WithoutMemory(Call call) {
  Testing::FailScalarNew = true;
  errno = 0;
  int code = call();
  int error = errno;
  Testing::FailScalarNew = false;
  return LockResult{code, error};
}

class OutOfMemoryTest : public LockFileTest {
 protected:
  void SetUp() override {
    LockFileTest::SetUp();
    FileLock::GetTraceLevel();  // read the environment while memory is there
  }

  size_t RegionCount(int fd) {
    size_t count = 0;
    WithFileObject(fd, [&](FileLock::FileObject& o) {
      count = o.Regions.size();
      return o.Waiters.empty();
    });
    return count;
  }
};

TEST_F(OutOfMemoryTest, LockRequestsChangeNothing) {
  int a = Open(), b = Open();
  ASSERT_EQ(Exclusive(a, 0, 10), kLocked);
  struct flock64 lock = {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 100;
  lock.l_len = 10;
  EXPECT_EQ(WithoutMemory([&] { return LinuxExRangeLock(b, F_SETLK64, &lock); }), (LockResult{-1, ENOMEM}));
  lock.l_start = 0;  // a conflict that would have to wait: the queue cannot grow
  EXPECT_EQ(WithoutMemory([&] { return LinuxExRangeLock(b, F_SETLKW64, &lock); }), (LockResult{-1, ENOMEM}));
  EXPECT_EQ(RegionCount(a), 1u);
  EXPECT_EQ(ProbeOsLock(path, 100, 10).Type, F_UNLCK);
  // What needs no memory still works: unlocking, and the same shared range again.
  ASSERT_EQ(Shared(b, 200, 10), kLocked);
  lock.l_start = 200;
  EXPECT_EQ(WithoutMemory([&] { return LinuxExRangeLock(b, F_SETLK64, &lock); }), kLocked);
  lock.l_type = F_UNLCK;
  EXPECT_EQ(WithoutMemory([&] { return LinuxExRangeLock(b, F_SETLK64, &lock); }), kLocked);
  EXPECT_EQ(WithoutMemory([&] { return LinuxExRangeLock(b, F_SETLK64, &lock); }), kLocked);
  EXPECT_EQ(RegionCount(a), 1u);
  for (int fd : {a, b}) EXPECT_EQ(LinuxExClose(fd), 0);
}

// Parking needs room in the queue only now and then: descriptors are parked until one
// release finds none, which must then change nothing.
TEST_F(OutOfMemoryTest, ReleaseThatCannotParkChangesNothing) {
  int holder = Open();
  ASSERT_EQ(Exclusive(holder, 0, 10), kLocked);
  std::vector<int> parked;
  int refused = -1;
  for (int i = 0; i < 600 && refused < 0; ++i) {
    int fd = Open(O_RDONLY | O_CREAT);  // never a parked one taken back
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Shared(fd, 100, 10), kLocked);
    LockResult result = WithoutMemory([&] { return LinuxExClose(fd); });
    if (result.Code == 0) {
      ASSERT_TRUE(IsOpen(fd));
      parked.push_back(fd);
      continue;
    }
    ASSERT_EQ(result, (LockResult{-1, ENOMEM}));
    refused = fd;
  }
  ASSERT_GE(refused, 0) << "the queue never needed memory";
  // The refused descriptor is still registered with its lock, and nothing was parked.
  EXPECT_EQ(RegionCount(holder), 2u);
  EXPECT_EQ(ProbeOsLock(path, 100, 10).Type, F_RDLCK);
  EXPECT_TRUE(WithFileObject(holder, [&](FileLock::FileObject& o) { return o.ParkedFds[0].size() == parked.size(); }));
  EXPECT_EQ(LinuxExClose(refused), 0);
  EXPECT_EQ(ProbeOsLock(path, 100, 10).Type, F_UNLCK);
  EXPECT_EQ(LinuxExClose(holder), 0);
  for (int fd : parked) EXPECT_FALSE(IsOpen(fd));
  EXPECT_FALSE(IsOpen(refused));
}

TEST_F(OutOfMemoryTest, OpenLeavesNoDescriptor) {
  const size_t before = OpenDescriptorCount();
  EXPECT_EQ(WithoutMemory([&] { return GetDescriptor(path.c_str(), O_RDWR, 0); }), (LockResult{-1, ENOMEM}));
  EXPECT_EQ(OpenDescriptorCount(), before);
  // Taking a parked descriptor back must not lose it either.
  int holder = Open(), parked = Open(O_RDONLY);
  ASSERT_EQ(Shared(holder, 0, 1), kLocked);
  ASSERT_EQ(LinuxExClose(parked), 0);
  LockResult again = WithoutMemory([&] { return GetDescriptor(path.c_str(), O_RDONLY, 0); });
  EXPECT_EQ(again, (LockResult{-1, ENOMEM}));
  EXPECT_EQ(Open(O_RDONLY), parked);
  for (int fd : {parked, holder}) EXPECT_EQ(LinuxExClose(fd), 0);
}

// A new descriptor of a file whose other descriptors hold locks must not be closed again
// for want of memory: closing any descriptor of the file drops the process's locks on it.
TEST_F(OutOfMemoryTest, OpenBesideLocksKeepsThem) {
  int holder = Open();
  ASSERT_EQ(Shared(holder, 0, 10), kLocked);
  for (int flags : {O_RDWR, O_RDONLY, O_RDWR | O_CREAT}) {
    EXPECT_EQ(WithoutMemory([&] { return GetDescriptor(path.c_str(), flags, 0644); }), (LockResult{-1, ENOMEM}))
        << "flags " << flags;
    EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_RDLCK) << "flags " << flags;
  }
  EXPECT_EQ(RegionCount(holder), 1u);
  EXPECT_EQ(LinuxExClose(holder), 0);
  EXPECT_EQ(ProbeOsLock(path, 0, 10).Type, F_UNLCK);
}

}  // namespace

// Tests of the descriptor registry: parking and taking back descriptors, what a release
// closes, the choice of a file's class, and the two classes of Windows shares, which a
// local file system never chooses and which are therefore made directly.
#include "core/linex/descriptor_registry.h"

#include <sys/file.h>

#include <climits>
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/common/tests/safe_assert_recorder.h"
#include "core/linex/descriptor_registry_testing.h"
#include "core/linex/network_mount.h"
#include "core/linex/tests/lock_fixture.h"
#include "core/linex/tests/lock_probe.h"

namespace {

using namespace Testing;
using FileLock::FileObjectClass;
using FileLock::kMaxOffset;

class RegistryTest : public LockFileTest {
 protected:
  std::shared_ptr<FileLock::FileObject> ObjectOf(int fd) { return FileLock::FindFileObject(fd); }

  size_t Parked(int fd, int mode) {
    size_t count = 0;
    WithFileObject(fd, [&](FileLock::FileObject& o) {
      count = o.ParkedFds[mode].size();
      return true;
    });
    return count;
  }

  off_t Offset(int fd) { return lseek(fd, 0, SEEK_CUR); }
};

TEST_F(RegistryTest, DescriptorsOfOneFileShareOneObject) {
  int a = Open(O_RDONLY), b = Open(O_WRONLY);
  std::string other = dir + "/other";
  int c = GetDescriptor(other.c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(c, 0);
  EXPECT_EQ(ObjectOf(a), ObjectOf(b));
  EXPECT_NE(ObjectOf(a), ObjectOf(c));
  EXPECT_TRUE(WithFileObject(a, [](FileLock::FileObject& o) { return o.RefCount == 2; }));
  EXPECT_NE(dynamic_cast<FileLock::PosixFileObject*>(ObjectOf(a).get()), nullptr);
  for (int fd : {a, b, c}) EXPECT_EQ(LinuxExClose(fd), 0);
}

TEST_F(RegistryTest, ReleaseParksWhileOthersHoldLocks) {
  int a = Open(O_RDONLY), b = Open(O_RDONLY);
  ASSERT_EQ(Shared(a, 0, 0), kLocked);
  ASSERT_EQ(Shared(b, 0, 0), kLocked);
  std::shared_ptr<FileLock::FileObject> object = ObjectOf(a);
  ASSERT_EQ(LinuxExClose(a), 0);
  EXPECT_TRUE(IsOpen(a));
  EXPECT_EQ(Parked(b, 0), 1u);
  EXPECT_EQ(ProbeOsLock(path, 0, 0).Type, F_RDLCK);  // closing a would have dropped b's lock
  ASSERT_EQ(LinuxExClose(b), 0);
  EXPECT_FALSE(IsOpen(a));
  EXPECT_FALSE(IsOpen(b));
  EXPECT_EQ(ProbeOsLock(path, 0, 0).Type, F_UNLCK);
  EXPECT_EQ(object.use_count(), 1);  // gone from the table
}

TEST_F(RegistryTest, ParkedDescriptorIsTakenBackByTheSameAccessMode) {
  int holder = Open(O_RDWR);
  ASSERT_EQ(Exclusive(holder, 100, 10), kLocked);
  int a = Open(O_RDONLY);
  char buffer[16];
  ASSERT_EQ(read(a, buffer, sizeof buffer), static_cast<ssize_t>(sizeof buffer));
  ASSERT_EQ(LinuxExClose(a), 0);
  ASSERT_TRUE(IsOpen(a));

  int w = Open(O_WRONLY);  // another access mode: a new descriptor
  EXPECT_NE(w, a);
  std::string same = dir + "/./file";
  int created = GetDescriptor(same.c_str(), O_RDONLY | O_CREAT, 0644);  // O_CREAT never takes one back
  EXPECT_NE(created, a);
  int r = Open(O_RDONLY);
  EXPECT_EQ(r, a);
  EXPECT_EQ(Offset(r), 0);
  EXPECT_EQ(Parked(holder, 0), 0u);
  EXPECT_TRUE(WithFileObject(r, [](FileLock::FileObject& o) { return o.RefCount == 4; }));
  for (int fd : {w, created, r, holder}) EXPECT_EQ(LinuxExClose(fd), 0);
  EXPECT_FALSE(IsOpen(r));
}

TEST_F(RegistryTest, ExclusiveOpenNeverTakesBack) {
  int holder = Open(O_RDWR);
  ASSERT_EQ(Shared(holder, 0, 1), kLocked);
  int a = Open(O_RDWR);
  ASSERT_EQ(LinuxExClose(a), 0);
  std::string fresh = dir + "/fresh";
  int excl = GetDescriptor(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(excl, 0);
  EXPECT_NE(excl, a);
  EXPECT_EQ(GetDescriptor(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600), -1);
  EXPECT_EQ(errno, EEXIST);
  int again = Open(O_RDWR);
  EXPECT_EQ(again, a);
  for (int fd : {excl, again, holder}) EXPECT_EQ(LinuxExClose(fd), 0);
}

// A control request may switch appending on; a later ordinary open that takes the
// descriptor back must write at its position, not at the end.
TEST_F(RegistryTest, TakenBackDescriptorDoesNotAppend) {
  int holder = Open(O_RDWR);
  ASSERT_EQ(Shared(holder, 0, 1), kLocked);
  int a = Open(O_RDWR);
  int flags = fcntl(a, F_GETFL);
  ASSERT_EQ(fcntl(a, F_SETFL, flags | O_APPEND), 0);
  ASSERT_EQ(LinuxExClose(a), 0);
  int b = Open(O_RDWR);
  ASSERT_EQ(b, a);
  EXPECT_EQ(fcntl(b, F_GETFL) & O_APPEND, 0);
  ASSERT_EQ(write(b, "AB", 2), 2);
  char start[2];
  ASSERT_EQ(pread(b, start, 2, 0), 2);
  EXPECT_EQ(std::string(start, 2), "AB");
  for (int fd : {b, holder}) EXPECT_EQ(LinuxExClose(fd), 0);
}

TEST_F(RegistryTest, ReleaseWithoutLocksClosesParkedDescriptorsToo) {
  int holder = Open(O_RDWR);
  ASSERT_EQ(Exclusive(holder, 0, 10), kLocked);
  int parked = Open(O_RDONLY);
  ASSERT_EQ(LinuxExClose(parked), 0);
  ASSERT_TRUE(IsOpen(parked));
  ASSERT_EQ(Unlock(holder, 0, 10), kLocked);
  int last = Open(O_WRONLY);
  ASSERT_EQ(LinuxExClose(last), 0);  // no lock left anywhere
  EXPECT_FALSE(IsOpen(last));
  EXPECT_FALSE(IsOpen(parked));
  EXPECT_EQ(Parked(holder, 0), 0u);
  EXPECT_EQ(LinuxExClose(holder), 0);
}

TEST_F(RegistryTest, ReleaseDropsOwnLocksOnlyWhateverTheirCount) {
  int a = Open(O_RDONLY), b = Open(O_RDONLY);
  ASSERT_EQ(Shared(a, 0, 100), kLocked);
  ASSERT_EQ(Shared(a, 0, 100), kLocked);
  ASSERT_EQ(Shared(b, 50, 100), kLocked);
  ASSERT_EQ(LinuxExClose(a), 0);
  EXPECT_TRUE(WithFileObject(b, [&](FileLock::FileObject& o) {
    return o.Regions.size() == 1 && o.Regions.begin()->first.OwnerFd == b;
  }));
  EXPECT_EQ(ProbeOsLock(path, 0, 50).Type, F_UNLCK);
  EXPECT_EQ(ProbeOsLock(path, 50, 100).Type, F_RDLCK);
  EXPECT_EQ(LinuxExClose(b), 0);
}

TEST_F(RegistryTest, FailuresOfTheCalls) {
  int plain = open(path.c_str(), O_RDONLY);
  ASSERT_GE(plain, 0);
  errno = 0;
  EXPECT_EQ(LinuxExClose(plain), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(IsOpen(plain));  // nothing closed
  close(plain);
  std::string missing = dir + "/missing";
  EXPECT_EQ(GetDescriptor(missing.c_str(), O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  std::string below = dir + "/missing/x";
  EXPECT_EQ(GetDescriptor(below.c_str(), O_RDWR | O_CREAT, 0600), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(GetDescriptor(dir.c_str(), O_WRONLY, 0), -1);
  EXPECT_EQ(errno, EISDIR);
}

// A number whose holder closed it without the registry, then opened again: the old
// registration and its regions go instead of blocking the file for ever.
TEST_F(RegistryTest, StaleRegistrationIsDropped) {
  int a = Open(O_RDWR), b = Open(O_RDWR);
  ASSERT_EQ(Exclusive(a, 0, 10), kLocked);
  std::shared_ptr<FileLock::FileObject> object = ObjectOf(a);
  close(a);  // behind the registry's back (the system drops the process's locks)
  std::string other = dir + "/other";
  int c = GetDescriptor(other.c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_EQ(c, a);
  EXPECT_NE(ObjectOf(c), object);
  EXPECT_EQ(Exclusive(b, 0, 10), kLocked);
  EXPECT_TRUE(WithFileObject(b, [](FileLock::FileObject& o) { return o.RefCount == 1; }));
  for (int fd : {b, c}) EXPECT_EQ(LinuxExClose(fd), 0);
}

TEST(NetworkMountTest, PrefixIsTheResolvedRunDirectory) {
  char resolved[PATH_MAX];
  std::string base = realpath("/var/run", resolved) ? resolved : "/var/run";
  EXPECT_EQ(std::string(NetworkMountPrefix()), base + "/.mnt_net_");
  EXPECT_EQ(NetworkMountPrefix(), NetworkMountPrefix());
}

TEST(NetworkMountTest, InsideAMountDirectory) {
  const std::string prefix = NetworkMountPrefix();
  struct Case {
    std::string path;
    bool inside;
  };
  const Case cases[] = {
      {prefix + "share", false},         // the mount directory itself
      {prefix + "share/f", true},
      {prefix + "share/d/f", true},
      {prefix + "/f", true},
      {prefix, false},
      {prefix.substr(0, prefix.size() - 1) + "/f", false},
      {"/mnt/share/f", false},
      {"/", false},
      {"/tmp" + prefix + "x/f", false},  // compared from the start
  };
  AssertRecorder asserts;
  for (const Case& c : cases) EXPECT_EQ(IsInNetworkMount(c.path), c.inside) << c.path;
  EXPECT_TRUE(asserts.Reports().empty());
  EXPECT_FALSE(IsInNetworkMount("relative/" + prefix));  // asserts, then answers
  EXPECT_FALSE(IsInNetworkMount(""));
  const std::string report = AssertText("!path.empty() && path[0] == '/'", "core/linex/network_mount", 69);
  EXPECT_EQ(asserts.Reports(), (std::vector<std::string>{report, report}));
}

TEST(FileClassTest, ChosenByFileSystemAndPath) {
  const std::string mount = std::string(NetworkMountPrefix()) + "x/file";
  struct Case {
    uint64_t fsType;
    std::string path;
    FileObjectClass expected;
  };
  const Case cases[] = {
      {FileLock::kCifsMagic, mount, FileObjectClass::Windows},
      {FileLock::kCifsMagic, "/mnt/share/file", FileObjectClass::WindowsNoRanges},
      {FileLock::kCifsMagic, std::string(NetworkMountPrefix()) + "x", FileObjectClass::WindowsNoRanges},
      {0xEF53, mount, FileObjectClass::Posix},  // ext4
      {0, "/tmp/file", FileObjectClass::Posix},  // statfs failed
      {0xFFFFFFFFFF534D42ull, mount, FileObjectClass::Posix},
  };
  for (const Case& c : cases) EXPECT_EQ(FileLock::ChooseFileObjectClass(c.fsType, c.path), c.expected) << c.path;
  EXPECT_NE(dynamic_cast<FileLock::WindowsFileObjectNoRanges*>(FileLock::MakeFileObject(FileObjectClass::WindowsNoRanges).get()), nullptr);
  auto windows = FileLock::MakeFileObject(FileObjectClass::Windows);
  EXPECT_NE(dynamic_cast<FileLock::WindowsFileObject*>(windows.get()), nullptr);
  EXPECT_EQ(dynamic_cast<FileLock::WindowsFileObjectNoRanges*>(windows.get()), nullptr);
}

// A share with whole-file locks only: those become flock; ranges are refused.
TEST_F(RegistryTest, WholeFileOnlyShareUsesFlock) {
  int fd = open(path.c_str(), O_RDWR);
  int other = open(path.c_str(), O_RDWR);  // another open file description: flock conflicts
  ASSERT_GE(fd, 0);
  ASSERT_GE(other, 0);
  {
    FileLock::WindowsFileObjectNoRanges object;
    errno = 0;
    EXPECT_EQ(object.LockRegion(fd, 0, 10, FileLock::LOCK_SHARED, false), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    errno = 0;
    EXPECT_EQ(object.LockRegion(fd, 10, kMaxOffset - 10, FileLock::LOCK_EXCLUSIVE, true), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_TRUE(object.Regions.empty());
    EXPECT_EQ(object.LockRegion(fd, 0, kMaxOffset, FileLock::LOCK_EXCLUSIVE, false), 0);
    EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    EXPECT_EQ(ProbeOsLock(path, 0, 0).Type, F_UNLCK);  // no record lock
    EXPECT_EQ(object.UnlockRegion(fd, 0, kMaxOffset), 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(flock(other, LOCK_UN), 0);
    EXPECT_EQ(object.LockRegion(fd, 0, kMaxOffset, FileLock::LOCK_SHARED, true), 0);
    EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(flock(other, LOCK_UN), 0);
    EXPECT_EQ(object.UnlockRegion(fd, 0, kMaxOffset), 0);
  }
  close(fd);
  close(other);
}

// Through the entry point, for a descriptor registered with that class.
TEST_F(RegistryTest, WholeFileOnlyShareThroughTheEntryPoint) {
  int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(FileLock::RegisterDescriptorAsForTesting(fd, O_RDWR, path.c_str(), FileObjectClass::WindowsNoRanges), 0);
  EXPECT_EQ(Shared(fd, 0, 10), (LockResult{-1, EOPNOTSUPP}));
  EXPECT_EQ(Exclusive(fd, 5, 10, true), (LockResult{-1, EOPNOTSUPP}));
  EXPECT_TRUE(WithFileObject(fd, [](FileLock::FileObject& o) { return o.Regions.empty(); }));
  EXPECT_EQ(Exclusive(fd, 0, 0), kLocked);
  EXPECT_EQ(Unlock(fd, 0, 0), kLocked);
  EXPECT_EQ(LinuxExClose(fd), 0);
  EXPECT_FALSE(IsOpen(fd));
}

// A share whose server keeps locks per descriptor: a release unlocks exactly its range
// (on a local file system that drops the overlap for the whole process, which shows it).
TEST_F(RegistryTest, PerDescriptorShareUnlocksExactly) {
  int a = open(path.c_str(), O_RDWR);
  ASSERT_GE(a, 0);
  {
    FileLock::WindowsFileObject object;
    ASSERT_EQ(object.LockRegion(a, 0, 100, FileLock::LOCK_SHARED, false), 0);
    ASSERT_EQ(object.LockRegion(a + 1000, 50, 100, FileLock::LOCK_SHARED, false), -1);  // no such descriptor
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(object.Regions.size() == 1);
    ASSERT_EQ(object.LockRegion(a, 50, 100, FileLock::LOCK_SHARED, false), 0);
    ASSERT_EQ(object.UnlockRegion(a, 0, 100), 0);
    EXPECT_EQ(ProbeOsLock(path, 0, 100).Type, F_UNLCK);
    EXPECT_EQ(ProbeOsLock(path, 100, 50).Type, F_RDLCK);
    ASSERT_EQ(object.UnlockRegion(a, 50, 100), 0);
  }
  close(a);
}

}  // namespace

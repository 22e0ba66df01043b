// posix_file and posix_dir::Open: opening and its failures, whole-file and range locks,
// the held-error rule, short counts, positioning and the file control codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/common/error_codes.h"
#include "core/common/locations.h"
#include "core/include/file/posix_control.h"
#include "core/file/unix/posixsp.h"
#include "core/file/unix/posixsp_site.h"
#include "core/file/unix/tests/posixsp_support.h"
#include "core/linex/tests/lock_probe.h"
#include "tools/testing/error_matchers.h"

namespace {

using ::testing::AllOf;
using Testing::CauseAt;
using Testing::HasCode;
using Testing::HasSite;
using Testing::RaisedAt;

using PosixTest::ChainLength;
using PosixTest::ErrnoOf;
using PosixTest::Param;
using PosixTest::RecordAt;
using PosixTest::RunInChild;
using PosixTest::ScratchDir;


class PosixFileTest : public ::testing::Test {
 protected:
  PosixFileTest() : dir(scratch.Path()) {}

  posix_file* Posix(file_object* file) { return dynamic_cast<posix_file*>(file); }

  ScratchDir scratch;
  posix_dir dir;
};

uint32_t ReadAll(i_file& file, std::string& out, uint32_t length) {
  out.assign(length, '\0');
  uint32_t done = 99;
  file.Read(out.data(), length, &done);
  out.resize(done);
  return done;
}

TEST_F(PosixFileTest, ReadsToTheEndWithoutError) {
  scratch.WriteFile("f", std::string(60, 'x'));
  std::unique_ptr<ri_file> file(dir.OpenI(u"f", false));
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(dir.last_error);
  std::string data;
  EXPECT_EQ(ReadAll(*file, data, 100), 60u);
  EXPECT_EQ(data, std::string(60, 'x'));
  EXPECT_FALSE(file->last_error);
  EXPECT_EQ(ReadAll(*file, data, 100), 0u);
  EXPECT_FALSE(file->last_error);
  EXPECT_EQ(file->Size(), 60u);
}

TEST_F(PosixFileTest, WriteAndReadBackThroughOneFile) {
  std::unique_ptr<rio_file> file(dir.Create(u"f", true, nullptr));
  ASSERT_NE(file, nullptr);
  Write(*file, "hello world", 11);
  EXPECT_FALSE(file->last_error);
  file->Flush();
  file->SetPos(6);
  std::string data;
  EXPECT_EQ(ReadAll(*file, data, 5), 5u);
  EXPECT_EQ(data, "world");
  EXPECT_EQ(file->SeekCur(-5), 6u);
  EXPECT_EQ(file->SeekEnd(-1), 10u);
  file->Truncate(5);
  EXPECT_EQ(file->Size(), 5u);
  file.reset();
  EXPECT_EQ(scratch.ReadFile("f"), "hello");
}

TEST_F(PosixFileTest, DescriptorIsCloseOnExecAndReleasedWithTheFile) {
  scratch.WriteFile("f", "x");
  int before = PosixTest::OpenDescriptorCount();
  auto* file = dir.OpenI(u"f", false);
  ASSERT_NE(file, nullptr);
  int fd = Posix(file)->GetFd();
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(PosixTest::OpenDescriptorCount(), before + 1);
  delete file;
  EXPECT_EQ(PosixTest::OpenDescriptorCount(), before);
}

TEST_F(PosixFileTest, OpenFailuresNameThePathAndCarryTheErrno) {
  struct Case {
    const char* what;
    std::function<file_object*(posix_dir&)> open;
    uint32_t code;
    int errnum;
  };
  scratch.MakeDir("sub");
  const std::vector<Case> cases = {
      {"missing for reading", [](posix_dir& d) { return d.OpenI(u"missing", false); }, Common::FILE_NOT_FOUND, ENOENT},
      {"missing for writing", [](posix_dir& d) { return d.OpenO(u"missing", true); }, Common::FILE_NOT_FOUND, ENOENT},
      {"directory for writing", [](posix_dir& d) { return d.OpenIO(u"sub", true); }, Common::FILE_OPEN_ERROR, EISDIR},
      {"below a file", [](posix_dir& d) { return d.OpenI(u"sub/none/x", true); }, Common::FILE_NOT_FOUND, ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    file_object* file = c.open(dir);
    EXPECT_EQ(file, nullptr);
    ASSERT_EQ(ChainLength(dir.last_error), 2);
    EXPECT_THAT(dir.last_error,
                CauseAt(0, AllOf(HasCode(c.code), RaisedAt(PosixSites::kSource, Common::Site{"Open", 679}))));
    EXPECT_EQ(RecordAt(dir.last_error, 1).Code, Common::POSIX_ERROR);
    EXPECT_EQ(ErrnoOf(RecordAt(dir.last_error, 1).Record), c.errnum);
    EXPECT_NE(Param(RecordAt(dir.last_error, 0).Record, "path").find(scratch.Path()), std::string::npos);
  }
}

TEST_F(PosixFileTest, CreateRewrapsAnOpenErrorThreeRecordsDeep) {
  scratch.MakeDir("sub");
  EXPECT_EQ(dir.Create(u"sub", false, nullptr), nullptr);
  ASSERT_EQ(ChainLength(dir.last_error), 3);
  EXPECT_THAT(dir.last_error, CauseAt(0, AllOf(HasCode(Common::FILE_CREATE_ERROR),
                                               RaisedAt(PosixSites::kSource, Common::Site{"Create", 818}))));
  EXPECT_THAT(dir.last_error, CauseAt(1, AllOf(HasCode(Common::FILE_OPEN_ERROR),
                                               RaisedAt(PosixSites::kSource, Common::Site{"Open", 679}))));
  EXPECT_EQ(ErrnoOf(RecordAt(dir.last_error, 2).Record), EISDIR);
  EXPECT_EQ(Param(RecordAt(dir.last_error, 1).Record, "path"), scratch.At("sub"));

  // A mapped open error (here "does not exist") is not rewrapped.
  EXPECT_EQ(dir.Create(u"none/f", false, nullptr), nullptr);
  EXPECT_THAT(dir.last_error, CauseAt(0, AllOf(HasCode(Common::FILE_NOT_FOUND),
                                               RaisedAt(PosixSites::kSource, Common::Site{"Open", 679}))));
}

TEST_F(PosixFileTest, AFailedHeldBackTruncationNamesItsCause) {
  // A FIFO opens and locks, but cannot be truncated.
  ASSERT_EQ(mkfifo(scratch.At("fifo").c_str(), 0600), 0);
  int before = PosixTest::OpenDescriptorCount();
  EXPECT_EQ(dir.Create(u"fifo", false, nullptr), nullptr);
  EXPECT_EQ(PosixTest::OpenDescriptorCount(), before);
  ASSERT_EQ(ChainLength(dir.last_error), 4);
  EXPECT_THAT(dir.last_error, CauseAt(0, AllOf(HasCode(Common::FILE_CREATE_ERROR),
                                               RaisedAt(PosixSites::kSource, Common::Site{"Create", 818}))));
  EXPECT_THAT(dir.last_error, CauseAt(1, AllOf(HasCode(Common::FILE_OPEN_ERROR),
                                               RaisedAt(PosixSites::kSource, Common::Site{"Open", 730}))));
  EXPECT_EQ(Param(RecordAt(dir.last_error, 1).Record, "path"), scratch.At("fifo"));
  EXPECT_THAT(dir.last_error, CauseAt(2, AllOf(HasCode(Common::FILE_WRITE_ERROR),
                                               RaisedAt(PosixSites::kSource, Common::Site{"Truncate", 437}))));
  EXPECT_EQ(ErrnoOf(RecordAt(dir.last_error, 3).Record), EINVAL);
}

TEST_F(PosixFileTest, CreateUsesTheRightsModeOrTheDefault) {
  mode_t old = umask(022);
  AccessRights rights{0, 0600};
  delete dir.Create(u"given", false, &rights);
  delete dir.Create(u"default", false, nullptr);
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(scratch.At("given").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(stat(scratch.At("default").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(PosixFileTest, WholeFileLocksConflictInsideTheProcess) {
  scratch.WriteFile("f", "content");
  struct Case {
    const char* what;
    bool firstWrites;
    bool secondWrites;
    bool conflict;
  };
  const Case cases[] = {
      {"two readers share", false, false, false},
      {"reader then writer", false, true, true},
      {"writer then reader", true, false, true},
      {"two writers", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<file_object> first(c.firstWrites ? static_cast<file_object*>(dir.OpenO(u"f", false))
                                                     : static_cast<file_object*>(dir.OpenI(u"f", false)));
    ASSERT_NE(first, nullptr);
    std::unique_ptr<file_object> second(c.secondWrites ? static_cast<file_object*>(dir.OpenO(u"f", false))
                                                       : static_cast<file_object*>(dir.OpenI(u"f", false)));
    if (!c.conflict) {
      EXPECT_NE(second, nullptr);
      EXPECT_FALSE(dir.last_error);
      continue;
    }
    EXPECT_EQ(second, nullptr);
    ASSERT_EQ(ChainLength(dir.last_error), 3);
    EXPECT_THAT(dir.last_error, CauseAt(0, AllOf(HasCode(Common::FILE_ACCESS_DENIED),
                                                 RaisedAt(PosixSites::kSource, Common::Site{"Open", 716}))));
    EXPECT_EQ(Param(RecordAt(dir.last_error, 0).Record, "path"), "");
    EXPECT_THAT(dir.last_error,
                CauseAt(1, AllOf(HasCode(Common::FILE_LOCK_FAILED),
                                 RaisedAt(PosixSites::kSource, Common::Site{"DoLockFileHandle", 197}))));
    EXPECT_EQ(ErrnoOf(RecordAt(dir.last_error, 2).Record), EAGAIN);
  }
  // Range-lock mode takes no lock at open.
  std::unique_ptr<ro_file> writer(dir.OpenO(u"f", false));
  ASSERT_NE(writer, nullptr);
  std::unique_ptr<ri_file> reader(dir.OpenI(u"f", true));
  EXPECT_NE(reader, nullptr);
}

TEST_F(PosixFileTest, WholeFileLocksAreSeenByOtherProcesses) {
  scratch.WriteFile("f", "content");
  std::unique_ptr<ro_file> writer(dir.OpenO(u"f", false));
  ASSERT_NE(writer, nullptr);
  std::string file = scratch.At("f");
  pid_t parent = getpid();
  // The child asks the system itself (its copy of the lock layer's tables would answer
  // from the parent's bookkeeping).
  int status = RunInChild([&] {
    int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return 1;
    struct flock64 probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK64, &probe) != 0) return 2;
    if (probe.l_type != F_WRLCK || probe.l_pid != parent || probe.l_start != 0 || probe.l_len != 0) return 3;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(PosixFileTest, CreateLocksBeforeItTruncates) {
  scratch.WriteFile("f", "keep me");
  std::unique_ptr<ri_file> reader(dir.OpenI(u"f", false));
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(dir.Create(u"f", false, nullptr), nullptr);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_ACCESS_DENIED);
  EXPECT_EQ(scratch.ReadFile("f"), "keep me");
  reader.reset();
  std::unique_ptr<rio_file> created(dir.Create(u"f", false, nullptr));
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(scratch.ReadFile("f"), "");
}

// Times from long ago, so that a renewed modification time shows without a clock.
constexpr time_t kOldSeconds = 1000000000;

void MakeOld(const std::string& path) {
  const timespec times[2] = {{kOldSeconds, 0}, {kOldSeconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << std::strerror(errno);
}

// However the held-back truncation is done, Create leaves the file empty, without blocks,
// with a new modification time and the access time it had.
void ExpectEmptiedByCreate(const std::string& path) {
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_blocks, 0);
  EXPECT_GT(st.st_mtime, kOldSeconds);
  EXPECT_EQ(st.st_atime, kOldSeconds);
}

TEST_F(PosixFileTest, CreateEmptiesAnExistingFileAsATruncationWould) {
  struct Case {
    const char* what;
    const char* content;
    bool blocksPastTheEnd;
  };
  const Case cases[] = {
      {"an empty file", "", false},
      {"a file with data", "old content", false},
      // Last: not every file system keeps blocks past a file's end.
      {"an empty file with blocks kept past its end", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scratch.WriteFile("f", c.content);
    if (c.blocksPastTheEnd) {
      int fd = ::open(scratch.At("f").c_str(), O_WRONLY);
      ASSERT_GE(fd, 0);
      int kept = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 1 << 16);
      ::close(fd);
      if (kept != 0) GTEST_SKIP() << "this file system keeps no blocks past a file's end";
    }
    MakeOld(scratch.At("f"));
    std::unique_ptr<rio_file> file(dir.Create(u"f", false, nullptr));
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(dir.last_error);
    ExpectEmptiedByCreate(scratch.At("f"));
  }
}

// Only the owner may set a file's times; a writer who is not must still get the file.
TEST_F(PosixFileTest, CreateEmptiesAnEmptyFileOfAnotherOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "a file of another owner needs root to make";
  scratch.WriteFile("f", "", 0666);
  ASSERT_EQ(chmod(scratch.At("f").c_str(), 0666), 0);
  ASSERT_EQ(chmod(scratch.Path().c_str(), 0755), 0);
  MakeOld(scratch.At("f"));
  std::string path = scratch.Path();
  int status = RunInChild([&] {
    if (!PosixTest::DropPrivileges()) return 20;
    posix_dir child(path);
    std::unique_ptr<rio_file> file(child.Create(u"f", false, nullptr));
    return file != nullptr && !child.last_error ? 0 : 1;
  });
  if (status == 20) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(status, 0);
  ExpectEmptiedByCreate(scratch.At("f"));
}

// A file capability that grants binding to low ports (revision 2, 20 bytes).
std::vector<uint8_t> CapabilityValue() {
  vfs_cap_data value{};
  value.magic_etc = VFS_CAP_REVISION_2;
  value.data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(bytes, bytes + XATTR_CAPS_SZ_2);
}

bool HasCapabilityAttribute(const std::string& path) {
  return getxattr(path.c_str(), "security.capability", nullptr, 0) >= 0;
}

// The kernel keeps the set-id bits through a truncation by a caller that may set them
// (CAP_FSETID); without it they go, as for any other user.
bool DropSetIdCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= ~(1u << CAP_FSETID);
  return syscall(SYS_capset, &header, data) == 0;
}

// An empty file that carries what a truncation strips keeps it no more through Create
// than through a truncation: the held-back truncation takes the shortcut of new times
// only for a file with nothing to strip. A second file, truncated directly beside it,
// shows what the kernel strips.
TEST_F(PosixFileTest, CreateStripsAnEmptyFileAsATruncationWould) {
  struct Case {
    const char* what;
    mode_t mode;
    bool capability;
    bool stripped;  // whether a truncation takes the bits or the attribute
  };
  const Case cases[] = {
      {"a plain empty file", 0644, false, false},
      {"an empty set-user-id file", 04755, false, true},
      {"an empty set-group-id file", 02775, false, true},
      {"an empty file with a capability", 0755, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string names[] = {"f", "truncated"};
    bool refused = false;
    for (const std::string& name : names) {
      scratch.WriteFile(name, "", c.mode);
      ASSERT_EQ(chmod(scratch.At(name).c_str(), c.mode), 0);
      if (c.capability) {
        if (geteuid() != 0) GTEST_SKIP() << "setting a file capability needs root";
        const std::vector<uint8_t> value = CapabilityValue();
        refused = setxattr(scratch.At(name).c_str(), "security.capability", value.data(), value.size(), 0) != 0;
      }
      MakeOld(scratch.At(name));
    }
    if (refused) GTEST_SKIP() << "this file system takes no file capability: " << std::strerror(errno);
    const std::string path = scratch.Path();
    int status = RunInChild([&] {
      if (!DropSetIdCapability()) return 20;
      int fd = ::open((path + "/truncated").c_str(), O_WRONLY);
      if (fd < 0 || ftruncate(fd, 0) != 0) return 2;
      ::close(fd);
      posix_dir child(path);
      std::unique_ptr<rio_file> file(child.Create(u"f", false, nullptr));
      return file != nullptr && !child.last_error ? 0 : 1;
    });
    if (status == 20) GTEST_SKIP() << "cannot drop CAP_FSETID here";
    ASSERT_EQ(status, 0);
    struct stat truncated;
    ASSERT_EQ(stat(scratch.At("truncated").c_str(), &truncated), 0);
    // The kernel strips here what the case expects, or the comparison shows nothing.
    EXPECT_EQ((truncated.st_mode & 07777) != c.mode || HasCapabilityAttribute(scratch.At("truncated")) != c.capability,
              c.stripped);
    struct stat created;
    ASSERT_EQ(stat(scratch.At("f").c_str(), &created), 0);
    EXPECT_EQ(created.st_mode & 07777, truncated.st_mode & 07777);
    EXPECT_EQ(HasCapabilityAttribute(scratch.At("f")), HasCapabilityAttribute(scratch.At("truncated")));
    ExpectEmptiedByCreate(scratch.At("f"));
  }
}

TEST_F(PosixFileTest, RangeLocksActOnlyInRangeLockMode) {
  scratch.WriteFile("f", std::string(100, 'a'));
  std::unique_ptr<rio_file> whole(dir.OpenIO(u"f", false));
  ASSERT_NE(whole, nullptr);
  whole->LockExclusive(0, 10, false);
  whole->Unlock(0, 10);
  whole->LockShared(0, 10, false);
  EXPECT_FALSE(whole->last_error);
  // Another process still meets the whole-file write lock: the unlock punched no hole.
  for (int64_t start : {0, 5}) {
    Testing::OsLock seen = Testing::ProbeOsLock(scratch.At("f"), start, 10);
    EXPECT_EQ(seen.Type, F_WRLCK) << start;
    EXPECT_EQ(seen.Start, 0) << start;
    EXPECT_EQ(seen.Len, 0) << start;
    EXPECT_EQ(seen.Pid, getpid()) << start;
  }
  whole.reset();

  std::unique_ptr<rio_file> a(dir.OpenIO(u"f", true));
  std::unique_ptr<rio_file> b(dir.OpenIO(u"f", true));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  a->LockExclusive(10, 10, false);
  EXPECT_FALSE(a->last_error);
  b->LockShared(15, 10, false);
  EXPECT_THAT(b->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_LOCK_FAILED),
                                              RaisedAt(PosixSites::kSource, Common::Site{"DoLockFileHandle", 197}))));
  EXPECT_EQ(ErrnoOf(RecordAt(b->last_error, 1).Record), EAGAIN);
  TakeLastError(*b).IgnoreError();
  b->LockShared(20, 10, false);
  EXPECT_FALSE(b->last_error);
  a->Unlock(10, 10);
  EXPECT_FALSE(a->last_error);
  b->LockShared(10, 5, false);
  EXPECT_FALSE(b->last_error);
}

TEST_F(PosixFileTest, AFileKeepsItsFirstErrorButPositioningActs) {
  scratch.WriteFile("f", "0123456789");
  std::unique_ptr<ri_file> file(dir.OpenI(u"f", true));
  ASSERT_NE(file, nullptr);
  auto* posix = Posix(file.get());
  uint32_t done = 7;
  posix->Write("x", 1, &done);  // EBADF on a read-only descriptor
  EXPECT_EQ(done, 0u);
  EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_WRITE_ERROR),
                                                 RaisedAt(PosixSites::kSource, Common::Site{"Write", 369}))));
  const Common::ErrorRecord* first = file->last_error.GetHead();

  std::string data;
  EXPECT_EQ(ReadAll(*file, data, 4), 0u);
  posix->Flush();
  posix->Truncate(0);
  posix->LockExclusive(0, 0, false);
  PosixControl::InodeFlagsRequest flags{PosixControl::kGetInodeFlags, 0};
  posix->IOCTL(&flags);
  EXPECT_EQ(file->last_error.GetHead(), first);
  EXPECT_EQ(scratch.ReadFile("f"), "0123456789");

  // Positioning acts regardless: a success leaves the error, a failure replaces it.
  EXPECT_EQ(file->SeekCur(3), 3u);
  EXPECT_EQ(file->SeekCur(0), 3u);
  EXPECT_EQ(file->last_error.GetHead(), first);
  EXPECT_EQ(file->SeekCur(-100), 0u);
  EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_SEEK_ERROR),
                                                 RaisedAt(PosixSites::kSource, Common::Site{"Seek", 396}))));
  EXPECT_EQ(ErrnoOf(RecordAt(file->last_error, 1).Record), EINVAL);

  Common::Error taken = TakeLastError(*file);
  EXPECT_EQ(taken.GetCode(), Common::FILE_SEEK_ERROR);
  EXPECT_FALSE(file->last_error);
  file->SetPos(2);
  EXPECT_EQ(ReadAll(*file, data, 3), 3u);
  EXPECT_EQ(data, "234");
}

TEST_F(PosixFileTest, SeekEndKeepsAHeldErrorWhateverErrnoSays) {
  scratch.WriteFile("f", "0123456789");
  std::unique_ptr<ri_file> file(dir.OpenI(u"f", true));
  ASSERT_NE(file, nullptr);
  uint32_t done = 0;
  Posix(file.get())->Write("x", 1, &done);
  ASSERT_TRUE(file->last_error);
  errno = EBADF;  // stale, from nothing this call did
  EXPECT_EQ(file->SeekEnd(-2), 8u);
  EXPECT_EQ(file->last_error.GetCode(), Common::FILE_WRITE_ERROR);
}

TEST_F(PosixFileTest, ADirectoryReadAsAFileFailsWithItsErrno) {
  scratch.MakeDir("sub");
  std::unique_ptr<ri_file> file(dir.OpenI(u"sub", true));
  ASSERT_NE(file, nullptr);
  std::string data;
  EXPECT_EQ(ReadAll(*file, data, 8), 0u);
  EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_READ_ERROR),
                                                 RaisedAt(PosixSites::kSource, Common::Site{"Read", 338}))));
  EXPECT_EQ(Param(RecordAt(file->last_error, 0).Record, "path"), "");
  EXPECT_EQ(ErrnoOf(RecordAt(file->last_error, 1).Record), EISDIR);
}

TEST_F(PosixFileTest, AFifoCannotSeek) {
  ASSERT_EQ(mkfifo(scratch.At("fifo").c_str(), 0600), 0);
  std::unique_ptr<rio_file> file(dir.OpenIO(u"fifo", true));
  ASSERT_NE(file, nullptr);
  Write(*file, "abc", 3);
  EXPECT_FALSE(file->last_error);
  std::string data;
  EXPECT_EQ(ReadAll(*file, data, 3), 3u);
  EXPECT_EQ(file->SeekCur(0), 0u);
  EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_SEEK_ERROR),
                                                 RaisedAt(PosixSites::kSource, Common::Site{"Seek", 396}))));
  EXPECT_EQ(ErrnoOf(RecordAt(file->last_error, 1).Record), ESPIPE);
}

TEST(PosixFileDevice, AFullDiskGivesAShortCountThenDiskFull) {
  posix_dir root("/");
  std::unique_ptr<ro_file> file(root.OpenO(u"dev/full", true));
  if (file == nullptr) GTEST_SKIP() << "/dev/full cannot be opened here";
  uint32_t done = 5;
  file->Write("abcd", 4, &done);
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(file->last_error);
  Write(*file, "abcd", 4);
  EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_DISK_FULL), HasSite("Write", 41))));
}

TEST_F(PosixFileTest, TheFileSizeLimitGivesEfbigNotASignal) {
  int signal = 0;
  std::string path = scratch.Path();
  int status = RunInChild(
      [&] {
        struct rlimit limit = {10, 10};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        posix_dir child(path);
        std::unique_ptr<rio_file> file(child.Create(u"big", false, nullptr));
        if (file == nullptr) return 11;
        uint32_t done = 0;
        file->Write(std::string(100, 'z').data(), 100, &done);
        if (done != 10 || file->last_error) return 12;
        file->Write("z", 1, &done);  // EFBIG: no signal, no error of its own
        if (done != 0 || file->last_error) return 13;
        Write(*file, "z", 1);
        if (file->last_error.GetCode() != Common::FILE_DISK_FULL) return 14;
        return 0;
      },
      &signal);
  EXPECT_EQ(status, 0) << "signal " << signal;
}

TEST_F(PosixFileTest, PermissionDeniedForAnUnprivilegedUser) {
  scratch.WriteFile("secret", "x", 0600);
  chmod(scratch.Path().c_str(), 0755);
  std::string path = scratch.Path();
  int status = RunInChild([&] {
    if (!PosixTest::DropPrivileges()) return 20;
    posix_dir child(path);
    if (child.OpenI(u"secret", false) != nullptr) return 21;
    PosixTest::RecordView head = RecordAt(child.last_error, 0);
    if (head.Code != Common::FILE_ACCESS_DENIED || head.Line != 679) return 22;
    if (ErrnoOf(RecordAt(child.last_error, 1).Record) != EACCES) return 23;
    return 0;
  });
  if (status == 20) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(status, 0);
}

// Control codes ----------------------------------------------------------------------------

TEST_F(PosixFileTest, UnknownCodeIsTheFileObjectDefault) {
  scratch.WriteFile("f", "x");
  std::unique_ptr<ri_file> file(dir.OpenI(u"f", true));
  uint32_t request[4] = {PosixControl::MakeControlCode("ABCD"), 0, 0, 0};
  file->IOCTL(request);
  EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_NOT_SUPPORTED), HasSite("IOCTL", 28))));
  EXPECT_EQ(RecordAt(file->last_error, 0).IdHigh, Common::Locations::CoreCommonFileObject.High);
}

TEST_F(PosixFileTest, UserIoctlReportsInTheBlockOnly) {
  scratch.WriteFile("f", "x");
  std::unique_ptr<ri_file> file(dir.OpenI(u"f", true));
  PosixControl::UserIoctlRequest refused{PosixControl::kUserIoctl, 0x5401 /* TCGETS */, 0, 7, 7};
  file->IOCTL(&refused);
  EXPECT_EQ(refused.Result, -1);
  EXPECT_EQ(refused.Errno, ENOTTY);
  EXPECT_FALSE(file->last_error);

  int blockBytes = 0;
  PosixControl::UserIoctlRequest accepted{PosixControl::kUserIoctl, FIGETBSZ,
                                          reinterpret_cast<uintptr_t>(&blockBytes), 7, 7};
  file->IOCTL(&accepted);
  EXPECT_EQ(accepted.Result, 0);
  EXPECT_EQ(accepted.Errno, 7);
  EXPECT_GT(blockBytes, 0);
}

TEST_F(PosixFileTest, AppendModeWritesAtTheEnd) {
  scratch.WriteFile("f", "abc");
  std::unique_ptr<ro_file> file(dir.OpenO(u"f", true));
  PosixControl::SetAppendModeRequest request{PosixControl::kSetAppendMode};
  file->IOCTL(&request);
  EXPECT_FALSE(file->last_error);
  file->SetPos(0);
  Write(*file, "de", 2);
  file.reset();
  EXPECT_EQ(scratch.ReadFile("f"), "abcde");
}

// A descriptor that only names the file refuses F_SETFL: the append request fails with a
// record of its own, without text, whose cause is the errno record.
TEST_F(PosixFileTest, AppendModeThatTheSystemRefuses) {
  scratch.WriteFile("f", "abc");
  int named = ::open(scratch.At("f").c_str(), O_PATH | O_CLOEXEC);
  ASSERT_GE(named, 0);
  posix_file file(named, true);
  PosixControl::SetAppendModeRequest request{PosixControl::kSetAppendMode};
  file.IOCTL(&request);
  EXPECT_THAT(file.last_error, CauseAt(0, AllOf(HasCode(Common::FILE_WRITE_ERROR),
                                                RaisedAt(PosixSites::kSource, Common::Site{"IOCTL", 462}))));
  Common::WString text = u"unset";
  file.last_error.GetHead()->Kind->GetText(text, file.last_error.GetHead());
  EXPECT_EQ(Common::ToUtf8(text.c_str()), "");
  EXPECT_EQ(Param(file.last_error.GetHead(), "path"), "");
  EXPECT_EQ(ChainLength(file.last_error), 2);
  EXPECT_EQ(ErrnoOf(RecordAt(file.last_error, 1).Record), EBADF);
}

// fsync of a FIFO fails: the flush reports it.
TEST_F(PosixFileTest, FailingFlush) {
  ASSERT_EQ(mkfifo(scratch.At("fifo").c_str(), 0644), 0);
  std::unique_ptr<rio_file> fifo(dir.OpenIO(u"fifo", true));
  ASSERT_NE(fifo, nullptr);
  fifo->Flush();
  EXPECT_THAT(fifo->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_WRITE_ERROR),
                                                 RaisedAt(PosixSites::kSource, Common::Site{"Flush", 388}))));
  EXPECT_EQ(ErrnoOf(RecordAt(fifo->last_error, 1).Record), EINVAL);
}

bool Unsupported(int errnum) { return errnum == EINVAL || errnum == ENOTTY || errnum == EOPNOTSUPP || errnum == EPERM; }

TEST_F(PosixFileTest, InodeFlagsRoundTrip) {
  scratch.WriteFile("f", "x");
  std::unique_ptr<rio_file> file(dir.OpenIO(u"f", true));
  PosixControl::InodeFlagsRequest get{PosixControl::kGetInodeFlags, 0xFFFFFFFF};
  file->IOCTL(&get);
  if (file->last_error) {
    int errnum = ErrnoOf(RecordAt(file->last_error, 1).Record);
    if (Unsupported(errnum)) GTEST_SKIP() << "inode flags not supported here: " << std::strerror(errnum);
    EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_WRITE_ERROR),
                                                   RaisedAt(PosixSites::kSource, Common::Site{"IOCTL", 480}))));
    FAIL();
  }
  // "no dump" is harmless; immutable or append-only flags are never set here.
  PosixControl::InodeFlagsRequest set{PosixControl::kSetInodeFlags, get.Flags | FS_NODUMP_FL};
  file->IOCTL(&set);
  if (file->last_error) {
    int errnum = ErrnoOf(RecordAt(file->last_error, 1).Record);
    if (Unsupported(errnum)) GTEST_SKIP() << "inode flags cannot be set here: " << std::strerror(errnum);
    FAIL() << "SUFL failed";
  }
  PosixControl::InodeFlagsRequest again{PosixControl::kGetInodeFlags, 0};
  file->IOCTL(&again);
  EXPECT_EQ(again.Flags, get.Flags | FS_NODUMP_FL);
  PosixControl::InodeFlagsRequest restore{PosixControl::kSetInodeFlags, get.Flags};
  file->IOCTL(&restore);
  EXPECT_FALSE(file->last_error);
}

TEST_F(PosixFileTest, SetTimesAcceptsTimesBefore1970) {
  scratch.WriteFile("f", "x");
  std::unique_ptr<ro_file> file(dir.OpenO(u"f", true));
  struct Case {
    int64_t modification;
    int64_t access;
  };
  const Case cases[] = {{1500, 2250}, {-1500, -1}, {0, -999}, {1700000000123, 1000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.modification);
    PosixControl::SetFileTimesRequest request{PosixControl::kSetFileTimes, c.modification, 12345, c.access};
    file->IOCTL(&request);
    ASSERT_FALSE(file->last_error);
    struct stat st;
    ASSERT_EQ(stat(scratch.At("f").c_str(), &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000, c.modification);
    EXPECT_EQ(static_cast<int64_t>(st.st_atim.tv_sec) * 1000 + st.st_atim.tv_nsec / 1000000, c.access);
  }
}

TEST_F(PosixFileTest, DeallocateKeepsTheSize) {
  constexpr size_t kBytes = 1 << 20;
  scratch.WriteFile("f", std::string(kBytes, 'd'));
  std::unique_ptr<rio_file> file(dir.OpenIO(u"f", true));
  file->Flush();
  struct stat before;
  ASSERT_EQ(stat(scratch.At("f").c_str(), &before), 0);
  PosixControl::DeallocateRangeRequest request{PosixControl::kDeallocateRange, 0, kBytes / 2};
  file->IOCTL(&request);
  if (file->last_error) {
    int errnum = ErrnoOf(RecordAt(file->last_error, 1).Record);
    if (Unsupported(errnum)) GTEST_SKIP() << "hole punching not supported here: " << std::strerror(errnum);
    EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_WRITE_ERROR),
                                                   RaisedAt(PosixSites::kSource, Common::Site{"IOCTL", 499}))));
    FAIL();
  }
  struct stat after;
  ASSERT_EQ(stat(scratch.At("f").c_str(), &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_LT(after.st_blocks, before.st_blocks);
  std::string data;
  EXPECT_EQ(ReadAll(*file, data, 4), 4u);
  EXPECT_EQ(data, std::string(4, '\0'));
}

TEST_F(PosixFileTest, SectorOfThePositionAndOfAHole) {
  scratch.WriteFile("f", std::string(8192, 's'));
  {
    std::unique_ptr<ro_file> grow(dir.OpenO(u"f", true));
    grow->Truncate(1 << 22);  // a hole after the data
    grow->Flush();
  }
  std::unique_ptr<ri_file> file(dir.OpenI(u"f", true));
  int blockBytes = 0;
  ASSERT_EQ(ioctl(Posix(file.get())->GetFd(), FIGETBSZ, &blockBytes), 0);
  uint32_t perBlock = static_cast<uint32_t>(blockBytes) / 512;

  file->SetPos(1024);
  PosixControl::GetSectorRequest data{PosixControl::kGetSector, 0, 0, 7, 7};
  file->IOCTL(&data);
  if (file->last_error) {
    int errnum = ErrnoOf(RecordAt(file->last_error, 1).Record);
    if (Unsupported(errnum)) GTEST_SKIP() << "block mapping not supported here: " << std::strerror(errnum);
    EXPECT_THAT(file->last_error, CauseAt(0, AllOf(HasCode(Common::FILE_NOT_SUPPORTED),
                                                   RaisedAt(PosixSites::kSource, Common::Site{"IOCTL", 554}))));
    FAIL();
  }
  uint32_t within = 2 % perBlock;
  EXPECT_NE(data.Sector, PosixControl::kSectorInHole);
  EXPECT_EQ(data.Sector % perBlock, within);
  EXPECT_EQ(data.SectorsToEnd, perBlock - within);
  EXPECT_EQ(data.Reserved, 0u);
  EXPECT_EQ(data.ReservedByte, 0u);

  file->SetPos(3u << 20);
  PosixControl::GetSectorRequest hole{PosixControl::kGetSector, 0, 0, 7, 7};
  file->IOCTL(&hole);
  ASSERT_FALSE(file->last_error);
  EXPECT_EQ(hole.Sector, PosixControl::kSectorInHole);
}

}  // namespace

// Times before 1970 and times that a 32-bit count of seconds cannot hold, on real files:
// before 1901, just after January 2038 and in 2100. Stat, iteration, "SFTM", "STME" and a backup and restore
// must all carry them unchanged. The test reads and sets times through the kernel's
// 64-bit interfaces itself, so that it checks the library and not its own build.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/common/error_display.h"
#include "core/include/file/posix_control.h"
#include "core/file/unix/tests/posix_backup_fixture.h"
#include "core/file/unix/tests/posixsp_support.h"

namespace {

constexpr int64_t kMillisPerSecond = 1000;
constexpr int64_t kNanosPerMilli = 1000000;

// The kernel's 64-bit timespec, whatever the size of this build's time_t.
struct KernelTimespec {
  int64_t Seconds;
  int64_t Nanos;
};

KernelTimespec FromMillis(int64_t millis) {
  int64_t seconds = millis / kMillisPerSecond;
  int64_t rest = millis % kMillisPerSecond;
  if (rest < 0) {
    rest += kMillisPerSecond;
    seconds -= 1;
  }
  return {seconds, rest * kNanosPerMilli};
}

bool SetTimes(const std::string& path, int64_t accessMillis, int64_t modificationMillis) {
#ifdef SYS_utimensat_time64
  constexpr long kUtimensat = SYS_utimensat_time64;
#else
  constexpr long kUtimensat = SYS_utimensat;
#endif
  KernelTimespec times[2] = {FromMillis(accessMillis), FromMillis(modificationMillis)};
  return syscall(kUtimensat, AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

int64_t ToMillis(const struct statx_timestamp& t) {
  return t.tv_sec * kMillisPerSecond + static_cast<int64_t>(t.tv_nsec) / kNanosPerMilli;
}

struct Times {
  int64_t Access = 0;
  int64_t Modification = 0;
};

// An unreadable entry gives a time nobody sets in these tests.
Times ReadTimes(const std::string& path) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_ATIME | STATX_MTIME, &sx) != 0) return {-1, -1};
  return {ToMillis(sx.stx_atime), ToMillis(sx.stx_mtime)};
}

std::string Describe(const Common::Error& error) { return Common::ToUtf8(Common::FormatError(error).c_str()); }

struct TimeCase {
  const char* Name;
  int64_t Modification;  // milliseconds since 1970
  int64_t Access;
};

void PrintTo(const TimeCase& c, std::ostream* out) { *out << c.Name; }

class WideTimes : public testing::TestWithParam<TimeCase> {
 protected:
  // A file whose times are the case's; skips where the file system cannot store them
  // (the kernel clamps a time to its range, which is not a fault to report).
  void MakeDatedFile(const std::string& name) {
    scratch.WriteFile(name, "dated");
    ASSERT_TRUE(SetTimes(scratch.At(name), GetParam().Access, GetParam().Modification)) << strerror(errno);
    Times stored = ReadTimes(scratch.At(name));
    if (stored.Modification != GetParam().Modification || stored.Access != GetParam().Access)
      GTEST_SKIP() << "the file system under " << scratch.Path() << " cannot store this time";
  }

  void ExpectTimes(const std::string& name, int64_t access, int64_t modification) {
    Times stored = ReadTimes(scratch.At(name));
    EXPECT_EQ(stored.Modification, modification);
    EXPECT_EQ(stored.Access, access);
  }

  PosixTest::ScratchDir scratch;
  posix_dir dir{scratch.Path()};
};

TEST_P(WideTimes, StatAndIterationReportThem) {
  MakeDatedFile("f");
  if (IsSkipped()) return;
  std::unique_ptr<i_dir::iterator> self(dir.GetIterator(u"f"));
  ASSERT_NE(self, nullptr) << Describe(dir.last_error);
  EXPECT_EQ(static_cast<int64_t>(self->GetModificationTime()), GetParam().Modification);
  EXPECT_EQ(static_cast<int64_t>(self->GetAccessTime()), GetParam().Access);
  EXPECT_FALSE(self->last_error) << Describe(self->last_error);

  std::unique_ptr<i_dir::iterator> walk(dir.GetIterator());
  ASSERT_NE(walk, nullptr);
  ASSERT_FALSE(walk->last_error);
  EXPECT_EQ(Common::ToUtf8(walk->GetName()), "f");
  EXPECT_EQ(static_cast<int64_t>(walk->GetModificationTime()), GetParam().Modification);
  EXPECT_EQ(walk->GetSize(), 5u);
  EXPECT_FALSE(walk->last_error) << Describe(walk->last_error);

  dir.SetUnixPermissions(u"f", 0600);
  EXPECT_FALSE(dir.last_error) << Describe(dir.last_error);
}

TEST_P(WideTimes, SetThroughFileAndDirectory) {
  MakeDatedFile("probe");
  if (IsSkipped()) return;
  const TimeCase& c = GetParam();
  scratch.WriteFile("f", "x");
  std::unique_ptr<ro_file> file(dir.OpenO(u"f", true));
  ASSERT_NE(file, nullptr);
  PosixControl::SetFileTimesRequest onFile{PosixControl::kSetFileTimes, c.Modification, 0, c.Access};
  file->IOCTL(&onFile);
  EXPECT_FALSE(file->last_error) << Describe(file->last_error);
  ExpectTimes("f", c.Access, c.Modification);

  scratch.WriteFile("g", "x");
  PosixControl::SetEntryTimesRequest byName{PosixControl::kSetEntryTimes, u"g", c.Modification, 0, c.Access};
  dir.IOCTL(&byName);
  EXPECT_FALSE(dir.last_error) << Describe(dir.last_error);
  ExpectTimes("g", c.Access, c.Modification);
}

// The restore sets the access time to the modification time.
TEST_P(WideTimes, SurviveBackupAndRestore) {
  MakeDatedFile("f");
  if (IsSkipped()) return;
  scratch.MakeDir("restored");
  BackupTesting::RecordingSink sink;
  Common::Error backedUp = PosixBackupTest::SendBackup(dir, "f", &sink);
  ASSERT_TRUE(backedUp.IsEmpty()) << Describe(backedUp);
  posix_dir target(scratch.At("restored"));
  Common::Error restored = PosixBackupTest::SendRestore(target, u"f", sink.chunks);
  ASSERT_TRUE(restored.IsEmpty()) << Describe(restored);
  // Before the content is read, which may move the access time.
  ExpectTimes("restored/f", GetParam().Modification, GetParam().Modification);
  EXPECT_EQ(scratch.ReadFile("restored/f"), "dated");
}

INSTANTIATE_TEST_SUITE_P(PosixTimes, WideTimes,
                         testing::Values(TimeCase{"Before1901", -2147483649000 + 250, -2147483649000 + 750},
                                         TimeCase{"Year1938", -1000000000000 + 250, -999},
                                         TimeCase{"JustPast2038", 2147483648000 + 500, 2147483647000},
                                         TimeCase{"Year2100", 4102444800000 + 125, 4102444800000 + 999}),
                         [](const testing::TestParamInfo<TimeCase>& info) { return std::string(info.param.Name); });

}  // namespace

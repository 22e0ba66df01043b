// What a restore finds at the name it restores: a symbolic link is never written through
// or followed, "already exists" is accepted only for a directory over a directory, a
// file over a file is rewritten, and a disk that fills up ends the restore and removes
// the partial file.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "core/common/error_display.h"
#include "core/file/unix/tests/posix_backup_fixture.h"
#include "core/file/unix/tests/posixsp_support.h"

namespace {

using BackupTesting::RecordedChunk;
using PosixBackupTest::Lstat;
using PosixBackupTest::MtimeMillis;
using PosixBackupTest::SendBackup;
using PosixBackupTest::SendRestore;

std::string Describe(const Common::Error& error) { return Common::ToUtf8(Common::FormatError(error).c_str()); }

constexpr uint32_t kErrnoRecordCode = Common::POSIX_ERROR;

// The errno of the first errno record in the chain, 0 when there is none.
int ChainErrno(const Common::Error& error) {
  for (int depth = 0; depth < PosixTest::ChainLength(error); ++depth) {
    PosixTest::RecordView record = PosixTest::RecordAt(error, depth);
    if (record.Code == kErrnoRecordCode) return PosixTest::ErrnoOf(record.Record);
  }
  return 0;
}

std::vector<uint32_t> ChainCodes(const Common::Error& error) {
  std::vector<uint32_t> codes;
  for (int depth = 0; depth < PosixTest::ChainLength(error); ++depth)
    codes.push_back(PosixTest::RecordAt(error, depth).Code);
  return codes;
}

// Entries made in src/ are backed up and restored into dst/, where the test has put
// whatever the restore must not harm.
class RestoreTarget : public testing::Test {
 protected:
  RestoreTarget() {
    scratch.MakeDir("src");
    scratch.MakeDir("dst");
    scratch.MakeDir("outside");
  }

  std::vector<RecordedChunk> BackUp(const std::string& name) {
    BackupTesting::RecordingSink sink;
    posix_dir src(scratch.At("src"));
    Common::Error error = SendBackup(src, name.c_str(), &sink);
    EXPECT_TRUE(error.IsEmpty()) << Describe(error);
    return sink.chunks;
  }

  Common::Error Restore(const std::string& name, const std::vector<RecordedChunk>& chunks) {
    posix_dir dst(scratch.At("dst"));
    return SendRestore(dst, Common::ToUtf16(name.c_str()).c_str(), chunks);
  }

  PosixTest::ScratchDir scratch;
};

// A stream that makes x a link to a file outside and then restores a file x.
TEST_F(RestoreTarget, FileIsNeverWrittenThroughALink) {
  scratch.WriteFile("outside/victim", "keep", 0600);
  const uint64_t victimTime = MtimeMillis(Lstat(scratch.At("outside/victim")));
  ASSERT_EQ(symlink((scratch.Path() + "/outside/victim").c_str(), scratch.At("src/x").c_str()), 0);
  ASSERT_TRUE(Restore("x", BackUp("x")).IsEmpty());
  ASSERT_EQ(unlink(scratch.At("src/x").c_str()), 0);
  scratch.WriteFile("src/x", "replaced", 0644);

  Common::Error error = Restore("x", BackUp("x"));
  EXPECT_EQ(ChainCodes(error), (std::vector<uint32_t>{Common::FILE_RECOVER_ERROR, Common::FILE_CREATE_ERROR,
                                                      Common::FILE_OPEN_ERROR, kErrnoRecordCode}))
      << Describe(error);
  EXPECT_EQ(ChainErrno(error), ELOOP) << Describe(error);
  EXPECT_EQ(scratch.ReadFile("outside/victim"), "keep");
  EXPECT_EQ(Lstat(scratch.At("outside/victim")).st_mode & 07777, 0600u);
  EXPECT_EQ(MtimeMillis(Lstat(scratch.At("outside/victim"))), victimTime);
  EXPECT_TRUE(S_ISLNK(Lstat(scratch.At("dst/x")).st_mode));  // the link stays: it was not created by this restore
}

// Owner and mode of the stream must not land on the file or on a link's target.
TEST_F(RestoreTarget, DirectoryOverAnythingButADirectoryFails) {
  scratch.MakeDir("src/x", 0700);
  const std::vector<RecordedChunk> directory = BackUp("x");
  struct Case {
    const char* Name;
    std::function<void()> Prepare;
    std::string Checked;  // the entry whose mode must stay 0640
  };
  const Case cases[] = {
      {"file", [&] { scratch.WriteFile("dst/x", "content", 0640); }, "dst/x"},
      {"link to a directory",
       [&] {
         scratch.MakeDir("outside/d", 0640);
         ASSERT_EQ(symlink((scratch.Path() + "/outside/d").c_str(), scratch.At("dst/x").c_str()), 0);
       },
       "outside/d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    c.Prepare();
    Common::Error error = Restore("x", directory);
    EXPECT_EQ(ChainCodes(error),
              (std::vector<uint32_t>{Common::FILE_RECOVER_ERROR, Common::FILE_ALREADY_EXISTS, kErrnoRecordCode}))
        << Describe(error);
    EXPECT_EQ(ChainErrno(error), EEXIST);
    EXPECT_EQ(Lstat(scratch.At(c.Checked)).st_mode & 07777, 0640u);
    unlink(scratch.At("dst/x").c_str());
  }
}

TEST_F(RestoreTarget, DirectoryOverDirectoryTakesItsMode) {
  scratch.MakeDir("src/x", 0700);
  scratch.MakeDir("dst/x", 0755);
  scratch.WriteFile("dst/x/inside", "stays");
  Common::Error error = Restore("x", BackUp("x"));
  EXPECT_TRUE(error.IsEmpty()) << Describe(error);
  EXPECT_EQ(Lstat(scratch.At("dst/x")).st_mode & 07777, 0700u);
  EXPECT_EQ(scratch.ReadFile("dst/x/inside"), "stays");
}

TEST_F(RestoreTarget, FileOverDirectoryFails) {
  scratch.WriteFile("src/x", "data");
  scratch.MakeDir("dst/x", 0750);
  Common::Error error = Restore("x", BackUp("x"));
  EXPECT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR) << Describe(error);
  EXPECT_EQ(ChainErrno(error), EISDIR) << Describe(error);
  struct stat64 st = Lstat(scratch.At("dst/x"));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0750u);
}

TEST_F(RestoreTarget, FileOverFileIsRewritten) {
  scratch.WriteFile("src/x", "new", 0600);
  scratch.WriteFile("dst/x", "a longer old content", 0644);
  Common::Error error = Restore("x", BackUp("x"));
  EXPECT_TRUE(error.IsEmpty()) << Describe(error);
  EXPECT_EQ(scratch.ReadFile("dst/x"), "new");
  EXPECT_EQ(Lstat(scratch.At("dst/x")).st_mode & 07777, 0600u);
}

// A tmpfs of a few hundred KiB fills up under a larger file.
TEST_F(RestoreTarget, FullDiskEndsTheRestoreAndRemovesThePartialFile) {
  constexpr const char* kSmallFs = "size=256k,mode=0755";
  constexpr size_t kFileBytes = 1 << 20;
  scratch.WriteFile("src/big", std::string(kFileBytes, 'b'));
  const std::vector<RecordedChunk> chunks = BackUp("big");
  if (mount("ormivane-test", scratch.At("dst").c_str(), "tmpfs", 0, kSmallFs) != 0)
    GTEST_SKIP() << "mounting a small tmpfs needs root: " << strerror(errno);
  Common::Error error = Restore("big", chunks);
  const bool gone = access(scratch.At("dst/big").c_str(), F_OK) != 0;
  umount2(scratch.At("dst").c_str(), MNT_DETACH);
  ASSERT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR) << Describe(error);
  EXPECT_EQ(PosixTest::RecordAt(error, 1).Code, Common::FILE_DISK_FULL) << Describe(error);
  EXPECT_TRUE(gone);
}

}  // namespace

// What a restore finds at the name it restores and on the way to it: whatever stands at
// a file's name is replaced, never written through; a link in place of a directory on the
// way is refused; "already exists" is accepted only for a directory over a directory; a
// file over a file is replaced whole, so a failure keeps the old one; and a disk that
// fills up ends the restore and removes the partial file.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
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

// The by-name restore wrote a file through whatever stood at its name: a hard link's
// other name outside got the content, mode, times and owner, a FIFO or a device took the
// data. Now the file is made apart and renamed over the name.
TEST_F(RestoreTarget, WhateverStandsAtAFileNameIsReplacedNeverWrittenThrough) {
  scratch.WriteFile("outside/victim", "keep", 0600);
  scratch.MakeDir("outside/d", 0750);
  scratch.WriteFile("src/x", "new", 0640);
  const std::vector<RecordedChunk> file = BackUp("x");
  struct Case {
    const char* Name;
    bool NeedsRoot;
    std::function<int()> Plant;
  };
  const std::string victim = scratch.At("outside/victim");
  const std::string at = scratch.At("dst/x");
  const Case cases[] = {
      {"symbolic link to a file outside", false, [&] { return symlink(victim.c_str(), at.c_str()); }},
      {"symbolic link to a directory outside", false,
       [&] { return symlink(scratch.At("outside/d").c_str(), at.c_str()); }},
      {"hard link to a file outside", false, [&] { return link(victim.c_str(), at.c_str()); }},
      {"FIFO", false, [&] { return mkfifo(at.c_str(), 0666); }},
      {"device node", true, [&] { return mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.NeedsRoot && geteuid() != 0) continue;
    ASSERT_EQ(c.Plant(), 0) << strerror(errno);
    const auto outside = PosixBackupTest::SnapshotTree(scratch.At("outside"));
    Common::Error error = Restore("x", file);
    EXPECT_TRUE(error.IsEmpty()) << Describe(error);
    EXPECT_EQ(PosixBackupTest::SnapshotTree(scratch.At("outside")), outside);
    struct stat64 st = Lstat(at);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(scratch.ReadFile("dst/x"), "new");
    EXPECT_EQ(PosixBackupTest::Names(scratch.At("dst")), std::vector<std::string>{"x"});
    ASSERT_EQ(unlink(at.c_str()), 0);
  }
}

// A name of several components whose directory is a link to a directory outside: no kind
// of entry is made there, whatever the stream holds.
TEST_F(RestoreTarget, LinkInPlaceOfADirectoryOnTheWayIsRefused) {
  scratch.MakeDir("outside/d", 0755);
  scratch.WriteFile("outside/d/x", "keep", 0600);
  scratch.WriteFile("src/x", "new");
  scratch.MakeDir("src/dir", 0700);
  ASSERT_EQ(mkfifo(scratch.At("src/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("anywhere", scratch.At("src/link").c_str()), 0);
  ASSERT_EQ(symlink(scratch.At("outside/d").c_str(), scratch.At("dst/sub").c_str()), 0);
  const char* const entries[] = {"x", "dir", "fifo", "link"};
  for (const char* name : entries) {
    SCOPED_TRACE(name);
    const std::vector<RecordedChunk> chunks = BackUp(name);
    const auto outside = PosixBackupTest::SnapshotTree(scratch.At("outside"));
    for (const std::string& through : {std::string("sub/") + name, std::string("sub/../sub/") + name}) {
      Common::Error error = Restore(through, chunks);
      EXPECT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR) << Describe(error);
      const int refused = ChainErrno(error);
      EXPECT_TRUE(refused == ENOTDIR || refused == ELOOP) << Describe(error);
      EXPECT_EQ(PosixBackupTest::SnapshotTree(scratch.At("outside")), outside);
    }
  }
  EXPECT_EQ(PosixBackupTest::Names(scratch.At("dst")), std::vector<std::string>{"sub"});
}

// ".." may not lead above the directory handed in, whatever stands there.
TEST_F(RestoreTarget, NameThatClimbsAboveTheDirectoryIsRefused) {
  scratch.WriteFile("src/x", "new");
  const std::vector<RecordedChunk> chunks = BackUp("x");
  const auto before = PosixBackupTest::SnapshotTree(scratch.Path());
  Common::Error error = Restore("../outside/x", chunks);
  EXPECT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR) << Describe(error);
  EXPECT_EQ(ChainErrno(error), EXDEV) << Describe(error);
  EXPECT_EQ(PosixBackupTest::SnapshotTree(scratch.Path()), before);
  // Within it, ".." is only a way back.
  scratch.MakeDir("dst/a");
  EXPECT_TRUE(Restore("a/../y", chunks).IsEmpty());
  EXPECT_EQ(scratch.ReadFile("dst/y"), "new");
}

// Cancels the restore once some of the data was written.
class CancelAfterData : public BackupTesting::ScriptedCallback {
 public:
  bool IsCanceled() override { return !progress.empty(); }
};

// A restore over a file that fails midway leaves the old file whole; one that succeeds
// puts a new file at the name and leaves the old inode, linked elsewhere, as it was.
TEST_F(RestoreTarget, FileOverFileNeverLosesBothVersions) {
  scratch.WriteFile("dst/x", "old content", 0644);
  ASSERT_EQ(link(scratch.At("dst/x").c_str(), scratch.At("outside/other").c_str()), 0);
  const ino_t oldInode = Lstat(scratch.At("dst/x")).st_ino;
  scratch.WriteFile("src/x", "new", 0600);
  const std::vector<RecordedChunk> whole = BackUp("x");
  struct Case {
    const char* Name;
    RecordedChunk After;  // appended to the stream; type 0 (ignored) when none
    bool Cancel;
    uint32_t Cause;  // the code below 0x4001A
  };
  const Case cases[] = {
      {"a directory attribute after the data contradicts the file",
       RecordedChunk{CHUNK_ATTRIBUTES, BackupTesting::U32(kAttributeDirectory), 0, true}, false,
       Common::FILE_CORRUPTED},
      {"an attribute record cut short after the data", RecordedChunk{CHUNK_XATTR, {1, 2, 3, 4, 5}, 0, true}, false,
       Common::FILE_END_OF_FILE},
      {"cancelled once data was written", RecordedChunk{0, {}, 0, true}, true, Common::FILE_CANCELED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<RecordedChunk> failing = whole;
    failing.push_back(c.After);
    CancelAfterData canceler;
    posix_dir dst(scratch.At("dst"));
    Common::Error error = SendRestore(dst, u"x", failing, c.Cancel ? &canceler : nullptr);
    EXPECT_EQ(PosixTest::RecordAt(error, 1).Code, c.Cause) << Describe(error);
    EXPECT_EQ(scratch.ReadFile("dst/x"), "old content");
    EXPECT_EQ(Lstat(scratch.At("dst/x")).st_ino, oldInode);
    EXPECT_EQ(PosixBackupTest::Names(scratch.At("dst")), std::vector<std::string>{"x"});
  }

  Common::Error error = Restore("x", whole);
  EXPECT_TRUE(error.IsEmpty()) << Describe(error);
  EXPECT_EQ(scratch.ReadFile("dst/x"), "new");
  EXPECT_NE(Lstat(scratch.At("dst/x")).st_ino, oldInode);
  EXPECT_EQ(scratch.ReadFile("outside/other"), "old content");
  EXPECT_EQ(Lstat(scratch.At("outside/other")).st_mode & 07777, 0644u);
  EXPECT_EQ(PosixBackupTest::Names(scratch.At("dst")), std::vector<std::string>{"x"});
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

TEST_F(RestoreTarget, FileOverFileIsReplaced) {
  scratch.WriteFile("src/x", "new", 0600);
  scratch.WriteFile("dst/x", "a longer old content", 0644);
  Common::Error error = Restore("x", BackUp("x"));
  EXPECT_TRUE(error.IsEmpty()) << Describe(error);
  EXPECT_EQ(scratch.ReadFile("dst/x"), "new");
  EXPECT_EQ(Lstat(scratch.At("dst/x")).st_mode & 07777, 0600u);
}

// While the data is written, the file (at the name, or under a temporary name while an
// old file stands there) is its owner's alone: someone who opened a secret file's copy then
// would keep reading it whatever mode it gets at the end.
class TemporaryFileWatch : public BackupTesting::ScriptedCallback {
 public:
  explicit TemporaryFileWatch(std::string directory)
      : directory(std::move(directory)), before(PosixBackupTest::Names(this->directory)) {}
  void Progress(uint64_t bytes) override {
    ScriptedCallback::Progress(bytes);
    for (const std::string& name : PosixBackupTest::Names(directory))
      if (std::find(before.begin(), before.end(), name) == before.end())
        modes.push_back(Lstat(directory + "/" + name).st_mode & 07777);
  }

  std::string directory;
  std::vector<std::string> before;  // the names that stood there already
  std::vector<mode_t> modes;        // of every new file seen, at every piece written
};

TEST_F(RestoreTarget, TheFileIsItsOwnersAloneUntilItIsWhole) {
  scratch.WriteFile("src/x", "secret", 0644);
  std::vector<RecordedChunk> chunks = BackUp("x");
  struct Case {
    const char* Name;
    bool WithMode;
    mode_t Expected;  // the mode under the name at the end
    bool OverOldFile;
  };
  const mode_t mask = umask(022);
  umask(mask);
  const Case cases[] = {
      {"stream with a mode", true, 0644, false},
      {"stream without an entry record", false, static_cast<mode_t>(0644 & ~mask), false},
      {"over an old file", true, 0644, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.OverOldFile) scratch.WriteFile("dst/x", "old", 0600);
    std::vector<RecordedChunk> restored;
    for (const RecordedChunk& chunk : chunks)
      if (c.WithMode || chunk.Type != CHUNK_ENTRY) restored.push_back(chunk);
    TemporaryFileWatch watch(scratch.At("dst"));
    posix_dir dst(scratch.At("dst"));
    Common::Error error = SendRestore(dst, u"x", restored, &watch);
    EXPECT_TRUE(error.IsEmpty()) << Describe(error);
    ASSERT_FALSE(watch.modes.empty());
    for (mode_t mode : watch.modes) EXPECT_EQ(mode & 077, 0u) << std::oct << mode;
    EXPECT_EQ(Lstat(scratch.At("dst/x")).st_mode & 07777, c.Expected);
    EXPECT_EQ(scratch.ReadFile("dst/x"), "secret");
    ASSERT_EQ(unlink(scratch.At("dst/x").c_str()), 0);
  }
}

// The temporary file is made through a descriptor's path, which means nothing to whoever
// reads the error: it names the entry.
TEST_F(RestoreTarget, AFailedCreateNamesTheEntry) {
  scratch.WriteFile("src/x", "data");
  const std::vector<RecordedChunk> chunks = BackUp("x");
  ASSERT_EQ(chmod(scratch.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(scratch.At("dst").c_str(), 0555), 0);
  const std::string entry = scratch.At("dst/x");
  auto refusedAndNamed = [&] {
    if (geteuid() == 0 && !PosixTest::DropPrivileges()) return 20;
    Common::Error error = Restore("x", chunks);
    // As the by-name create reports it: the open's own error, not rewrapped, for a code
    // other than 0x40007.
    if (ChainCodes(error) !=
        std::vector<uint32_t>{Common::FILE_RECOVER_ERROR, Common::FILE_ACCESS_DENIED, kErrnoRecordCode})
      return 1;
    if (ChainErrno(error) != EACCES) return 2;
    return PosixTest::Param(PosixTest::RecordAt(error, 1).Record, "path") == entry ? 0 : 3;
  };
  int status = geteuid() == 0 ? PosixTest::RunInChild(refusedAndNamed) : refusedAndNamed();
  chmod(scratch.At("dst").c_str(), 0755);
  if (status == 20) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(status, 0) << "1: other chain, 2: other errno, 3: another path";
}

// A tmpfs of a few hundred KiB fills up under a larger file. Whether the name was free or
// held an old file, the directory is left as it was: no partial file, no temporary one.
TEST_F(RestoreTarget, FullDiskEndsTheRestoreAndRemovesThePartialFile) {
  constexpr const char* kSmallFs = "size=256k,mode=0755";
  constexpr size_t kFileBytes = 1 << 20;
  scratch.WriteFile("src/big", std::string(kFileBytes, 'b'));
  const std::vector<RecordedChunk> chunks = BackUp("big");
  for (const bool oldFile : {false, true}) {
    SCOPED_TRACE(oldFile ? "over an old file" : "at a free name");
    if (mount("ormivane-test", scratch.At("dst").c_str(), "tmpfs", 0, kSmallFs) != 0)
      GTEST_SKIP() << "mounting a small tmpfs needs root: " << strerror(errno);
    if (oldFile) scratch.WriteFile("dst/big", "old", 0640);
    const std::vector<std::string> before = PosixBackupTest::Names(scratch.At("dst"));
    Common::Error error = Restore("big", chunks);
    const std::vector<std::string> after = PosixBackupTest::Names(scratch.At("dst"));
    const std::string content = oldFile ? scratch.ReadFile("dst/big") : std::string();
    umount2(scratch.At("dst").c_str(), MNT_DETACH);
    EXPECT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR) << Describe(error);
    EXPECT_EQ(PosixTest::RecordAt(error, 1).Code, Common::FILE_DISK_FULL) << Describe(error);
    EXPECT_EQ(after, before);
    if (oldFile) {
      EXPECT_EQ(content, "old");
    }
  }
}

}  // namespace

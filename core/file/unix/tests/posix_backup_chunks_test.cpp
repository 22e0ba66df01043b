// Tests of the POSIX chunks of a backup (extended attributes, flag words, their order and
// bytes, failures of the sink) and of the POSIX restore (attribute records, malformed
// records, the error that wraps every failure, refused owners as an unprivileged user).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/common/error_display.h"
#include "core/file/unix/posix_backup.h"
#include "core/file/unix/tests/posix_backup_fixture.h"
#include "core/file/unix/tests/posixsp_support.h"
#include "tools/testing/location_id.h"

namespace {

using BackupTesting::Bytes;
using BackupTesting::Join;
using BackupTesting::RecordedChunk;
using BackupTesting::RecordingSink;
using BackupTesting::ScriptedCallback;
using BackupTesting::SinkOptions;
using BackupTesting::Text;
using BackupTesting::U16;
using BackupTesting::U32;
using BackupTesting::U64;
using PosixBackupTest::GetAttribute;
using PosixBackupTest::SendBackup;
using PosixBackupTest::SendRestore;
using PosixTest::RecordAt;

std::string Describe(const Common::Error& error) { return Common::ToUtf8(Common::FormatError(error).c_str()); }

// The inode flags word of a path, or false when the file system has none.
bool InodeFlags(const std::string& path, uint32_t& flags) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  int word = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &word) == 0;
  close(fd);
  flags = static_cast<uint32_t>(word);
  return ok;
}

bool SetInodeFlags(const std::string& path, uint32_t flags) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  int word = static_cast<int>(flags);
  bool ok = ioctl(fd, FS_IOC_SETFLAGS, &word) == 0;
  close(fd);
  return ok;
}

// The flag chunks a backup of `path` must end with: CHUNK_UNIX_FLAGS only for a non-zero word.
std::vector<uint32_t> ExpectedFlagChunks(const std::string& path) {
  uint32_t flags = 0;
  if (InodeFlags(path, flags) && flags != 0) return {CHUNK_UNIX_FLAGS};
  return {};
}

Bytes XattrRecord(const std::string& name, const std::string& value, uint64_t valueLength) {
  return Join({U16(static_cast<uint16_t>(name.size() + 1)), U64(valueLength), Text(name), Bytes(1, 0), Text(value)});
}
Bytes XattrRecord(const std::string& name, const std::string& value) { return XattrRecord(name, value, value.size()); }

struct ParsedRecord {
  std::string Name;
  std::string Value;
};

// Splits a CHUNK_XATTR payload; fails the test on a malformed one.
std::vector<ParsedRecord> ParseXattrs(const Bytes& payload) {
  std::vector<ParsedRecord> records;
  size_t at = 0;
  while (at < payload.size()) {
    EXPECT_GE(payload.size() - at, 10u);
    if (payload.size() - at < 10) break;
    uint16_t nameBytes = BackupFormat::LoadLe16(&payload[at]);
    uint64_t valueBytes = BackupFormat::LoadLe64(&payload[at + 2]);
    at += 10;
    EXPECT_LE(at + nameBytes + valueBytes, payload.size());
    if (at + nameBytes + valueBytes > payload.size()) break;
    EXPECT_EQ(payload[at + nameBytes - 1], 0);
    ParsedRecord record;
    record.Name.assign(reinterpret_cast<const char*>(&payload[at]), nameBytes - 1);
    at += nameBytes;
    record.Value.assign(reinterpret_cast<const char*>(&payload[at]), static_cast<size_t>(valueBytes));
    at += static_cast<size_t>(valueBytes);
    records.push_back(record);
  }
  return records;
}

class PosixChunks : public testing::Test {
 protected:
  PosixTest::ScratchDir scratch;
  posix_dir dir{scratch.Path()};
};

// ---- Backup ----

TEST_F(PosixChunks, RegularFileOrderEndsWithTheAttributesAndTheFlagWord) {
  scratch.WriteFile("f", "abc");
  RecordingSink sink;
  ASSERT_TRUE(SendBackup(dir, "f", &sink).IsEmpty());
  std::vector<uint32_t> expected = {CHUNK_ATTRIBUTES, CHUNK_DATA, CHUNK_TIMES, CHUNK_ENTRY, CHUNK_XATTR};
  for (uint32_t type : ExpectedFlagChunks(scratch.At("f"))) expected.push_back(type);
  EXPECT_EQ(sink.Types(), expected);
  uint32_t flags = 0;
  const RecordedChunk* chunk = sink.Find(CHUNK_UNIX_FLAGS);
  if (chunk != nullptr && InodeFlags(scratch.At("f"), flags)) {
    EXPECT_EQ(chunk->Payload, U32(flags));
  }
  EXPECT_TRUE(dir.last_error.IsEmpty());
}

TEST_F(PosixChunks, RequestFlagsLeaveThePosixChunks) {
  scratch.WriteFile("f", "abc");
  RecordingSink sink;
  ASSERT_TRUE(SendBackup(dir, "f", &sink, kBackupNoData | kBackupNoMetadata).IsEmpty());
  std::vector<uint32_t> expected = {CHUNK_XATTR};
  for (uint32_t type : ExpectedFlagChunks(scratch.At("f"))) expected.push_back(type);
  EXPECT_EQ(sink.Types(), expected);
}

TEST_F(PosixChunks, AttributeRecordsInListingOrder) {
  if (!PosixBackupTest::AttributesWork(scratch.Path(), "user.probe")) GTEST_SKIP() << "no user. attributes here";
  scratch.WriteFile("f", "");
  ASSERT_EQ(setxattr(scratch.At("f").c_str(), "user.key", "value", 5, 0), 0);
  ASSERT_EQ(setxattr(scratch.At("f").c_str(), "user.empty", "", 0, 0), 0);
  char list[256];
  ssize_t n = llistxattr(scratch.At("f").c_str(), list, sizeof list);
  ASSERT_GT(n, 0);
  std::vector<std::string> names;
  for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(list + at)) + 1) names.emplace_back(list + at);

  RecordingSink sink(SinkOptions{9, true});
  ASSERT_TRUE(SendBackup(dir, "f", &sink).IsEmpty());
  const RecordedChunk* chunk = sink.Find(CHUNK_XATTR);
  ASSERT_NE(chunk, nullptr);
  std::vector<ParsedRecord> records = ParseXattrs(chunk->Payload);
  ASSERT_EQ(records.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(records[i].Name, names[i]);
    EXPECT_EQ(records[i].Value, GetAttribute(scratch.At("f"), names[i].c_str()));
  }
  // The empty value is a record of 11 + name length bytes.
  const Bytes emptyRecord = XattrRecord("user.empty", "");
  EXPECT_EQ(emptyRecord.size(), 11u + std::strlen("user.empty"));
  EXPECT_NE(std::search(chunk->Payload.begin(), chunk->Payload.end(), emptyRecord.begin(), emptyRecord.end()),
            chunk->Payload.end());
  EXPECT_EQ(BackupTesting::CountedBuffer::Live(), 0);
}

TEST_F(PosixChunks, SymbolicLinkGivesItsOwnAttributesAndNoFlagWords) {
  scratch.WriteFile("target", "t");
  ASSERT_EQ(symlink("target", scratch.At("link").c_str()), 0);
  bool trusted = geteuid() == 0 && PosixBackupTest::AttributesWork(scratch.Path(), "trusted.probe");
  if (trusted) {
    ASSERT_EQ(setxattr(scratch.At("target").c_str(), "trusted.who", "target", 6, 0), 0);
    ASSERT_EQ(lsetxattr(scratch.At("link").c_str(), "trusted.who", "link", 4, 0), 0);
  }
  RecordingSink sink;
  ASSERT_TRUE(SendBackup(dir, "link", &sink).IsEmpty());
  EXPECT_EQ(sink.Types(), (std::vector<uint32_t>{CHUNK_ATTRIBUTES, CHUNK_TIMES, CHUNK_ENTRY, CHUNK_XATTR}));
  if (!trusted) return;
  std::vector<ParsedRecord> records = ParseXattrs(sink.Find(CHUNK_XATTR)->Payload);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Value, "link");
}

TEST_F(PosixChunks, FifoIsNeverOpenedAndHasNoFlagWords) {
  ASSERT_EQ(mkfifo(scratch.At("p").c_str(), 0600), 0);
  RecordingSink sink;
  // Opening the FIFO for reading would block here.
  ASSERT_TRUE(SendBackup(dir, "p", &sink).IsEmpty());
  EXPECT_EQ(sink.Types(), (std::vector<uint32_t>{CHUNK_ATTRIBUTES, CHUNK_TIMES, CHUNK_ENTRY, CHUNK_XATTR}));
}

// The directory itself is asked for its own flags, not those of a child of the same name.
TEST_F(PosixChunks, DirectoryItselfReportsItsOwnFlags) {
  scratch.MakeDir("d");
  scratch.MakeDir("d/d");
  uint32_t childFlags = 0;
  if (!InodeFlags(scratch.At("d/d"), childFlags) || !SetInodeFlags(scratch.At("d/d"), childFlags | FS_NOATIME_FL))
    GTEST_SKIP() << "inode flags cannot be set here";
  uint32_t ownFlags = 0;
  ASSERT_TRUE(InodeFlags(scratch.At("d"), ownFlags));
  ASSERT_TRUE(InodeFlags(scratch.At("d/d"), childFlags));
  ASSERT_NE(ownFlags, childFlags);

  for (bool byName : {false, true}) {
    SCOPED_TRACE(byName ? "by name from the parent" : "the directory itself");
    RecordingSink sink;
    posix_dir self(scratch.At("d"));
    ASSERT_TRUE((byName ? SendBackup(dir, "d", &sink) : SendBackup(self, nullptr, &sink)).IsEmpty());
    const RecordedChunk* chunk = sink.Find(CHUNK_UNIX_FLAGS);
    if (ownFlags == 0) {
      EXPECT_EQ(chunk, nullptr);
    } else {
      ASSERT_NE(chunk, nullptr);
      EXPECT_EQ(chunk->Payload, U32(ownFlags));
    }
    EXPECT_EQ(sink.Find(CHUNK_FLAGS), nullptr);
  }
}

TEST_F(PosixChunks, MissingEntryIsTheDirectoryError) {
  RecordingSink sink;
  Common::Error error = SendBackup(dir, "absent", &sink);
  EXPECT_EQ(error.GetCode(), Common::FILE_NOT_FOUND);
  EXPECT_TRUE(sink.chunks.empty());
}

TEST_F(PosixChunks, NullSinkIsRefused) {
  scratch.WriteFile("f", "x");
  Common::Error error = SendBackup(dir, "f", nullptr);
  ASSERT_EQ(error.GetCode(), Common::FILE_BACKUP_ERROR);
  EXPECT_EQ(RecordAt(error, 1).Code, Common::FILE_WRITE_ERROR);
  EXPECT_EQ(RecordAt(error, 1).Line, 117u);
}

TEST_F(PosixChunks, SinkFailuresOfThePosixChunks) {
  bool user = PosixBackupTest::AttributesWork(scratch.Path(), "user.probe");
  scratch.WriteFile("f", "abc");
  if (user) {
    ASSERT_EQ(setxattr(scratch.At("f").c_str(), "user.k", "v", 1, 0), 0);
  }
  struct Case {
    const char* Name;
    SinkOptions Options;
    bool NeedsAttribute;
    uint32_t Code;
  } cases[] = {
      // Chunks 1 to 4 are the common ones; the attribute chunk is the fifth. Buffers 1 to
      // 5 go to them (the data copy asks twice), writes 1 to 4.
      {"CreateXattrChunk", {0, false, 5}, false, Common::FILE_WRITE_ERROR},
      {"NoBufferForARecord", {0, false, 0, 0, 6}, true, Common::FILE_BACKUP_ERROR},
      {"ShortBufferForARecord", {0, false, 0, 0, 0, 6}, true, Common::FILE_BACKUP_ERROR},
      {"WriteARecord", {0, false, 0, 5}, true, Common::FILE_WRITE_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.NeedsAttribute && !user) continue;
    RecordingSink sink(c.Options);
    Common::Error error = SendBackup(dir, "f", &sink);
    EXPECT_EQ(error.GetCode(), c.Code) << Describe(error);
    // Not wrapped: the attribute chunk is the POSIX side's own.
    EXPECT_NE(RecordAt(error, 0).Function, "CommonBackupFile");
    for (const RecordedChunk& chunk : sink.chunks) EXPECT_TRUE(chunk.Closed);
    EXPECT_EQ(sink.Find(CHUNK_UNIX_FLAGS), nullptr);
    EXPECT_EQ(BackupTesting::CountedBuffer::Live(), 0);
  }
}

TEST_F(PosixChunks, FlagChunkThatCannotBeOpenedEndsTheBackup) {
  scratch.WriteFile("f", "abc");
  if (ExpectedFlagChunks(scratch.At("f")).empty()) GTEST_SKIP() << "this file has no inode flags here";
  RecordingSink sink(SinkOptions{0, false, 6});
  Common::Error error = SendBackup(dir, "f", &sink);
  EXPECT_EQ(error.GetCode(), Common::FILE_WRITE_ERROR);
  EXPECT_EQ(RecordAt(error, 0).Function, "Injected");
}

TEST(GetXattr, ReportsTheFailureWithBothNames) {
  ssize_t result = 0;
  Common::Error error = GetXattr("/nonexistent/path", "user.x", nullptr, 0, &result);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error.GetCode(), Common::FILE_NOT_FOUND);
  EXPECT_EQ(RecordAt(error, 0).Line, 154u);
  EXPECT_EQ(RecordAt(error, 0).Function, "GetXattr");
  EXPECT_EQ(PosixTest::Param(error.GetHead(), "path1"), "/nonexistent/path");
  EXPECT_EQ(PosixTest::Param(error.GetHead(), "path2"), "user.x");
  EXPECT_EQ(PosixTest::ErrnoOf(error.GetHead()->Cause), ENOENT);
}

// ---- Restore ----

std::vector<RecordedChunk> Chunks(std::initializer_list<std::pair<uint32_t, Bytes>> list) {
  std::vector<RecordedChunk> chunks;
  for (const auto& [type, payload] : list) chunks.push_back(RecordedChunk{type, payload, 0, true});
  return chunks;
}

Bytes Entry(uint32_t size, uint32_t type, uint32_t mode, Bytes extra = {}) {
  return Join({U32(size), U32(type), U32(0xFFFFFFFF), U32(0xFFFFFFFF), U32(mode), extra});
}

struct FailedRestoreCase {
  const char* Name;
  std::vector<RecordedChunk> Chunks;
  uint32_t CauseCode;
  const char* CauseFunction;
  uint32_t CauseLine;  // 0: not checked
};

void PrintTo(const FailedRestoreCase& c, std::ostream* out) { *out << c.Name; }

class FailedRestore : public testing::TestWithParam<FailedRestoreCase> {};

TEST_P(FailedRestore, IsWrappedAndLeavesNoEntry) {
  const FailedRestoreCase& c = GetParam();
  PosixTest::ScratchDir scratch;
  posix_dir dir(scratch.Path());
  Common::Error error = SendRestore(dir, u"x", c.Chunks);
  ASSERT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR) << Describe(error);
  EXPECT_EQ(RecordAt(error, 0).Line, 551u);
  EXPECT_EQ(Testing::LocationId(error), 0x0EE4C316B43CF3AAu);  // posix_backup, line 551
  EXPECT_EQ(RecordAt(error, 0).Function, "PosixRestoreFile");
  EXPECT_EQ(RecordAt(error, 1).Code, c.CauseCode) << Describe(error);
  EXPECT_EQ(RecordAt(error, 1).Function, c.CauseFunction);
  if (c.CauseLine != 0) {
    EXPECT_EQ(RecordAt(error, 1).Line, c.CauseLine);
  }
  EXPECT_NE(access(scratch.At("x").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, FailedRestore,
    testing::Values(
        FailedRestoreCase{"XattrHeaderCut", Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_XATTR, Bytes(5, 1)}}),
                          Common::FILE_END_OF_FILE, "ProcessChunk", 473},
        FailedRestoreCase{"XattrNameCut", Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_XATTR, Join({U16(9), U64(0), Text("user")})}}),
                          Common::FILE_END_OF_FILE, "Read", 27},
        FailedRestoreCase{"XattrValueLongerThanItsChunk",
                          Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_XATTR, XattrRecord("user.v", "abc", 0x100)}}),
                          Common::FILE_END_OF_FILE, "Read", 27},
        // No value Linux could take is longer than 64 KiB: a longer one is refused unread,
        // so a declared 4 GiB holds no memory.
        FailedRestoreCase{"XattrValueOverTheSystemLimit",
                          Chunks({{CHUNK_DATA, Text("a")},
                                  {CHUNK_XATTR, XattrRecord("user.v", std::string(65537, 'v'))}}),
                          Common::FILE_END_OF_FILE, "ProcessChunk", 476},
        FailedRestoreCase{"XattrValueOf4GiB",
                          Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_XATTR, XattrRecord("user.v", "abc", 0xFFFFFFFF)}}),
                          Common::FILE_END_OF_FILE, "ProcessChunk", 476},
        FailedRestoreCase{"XattrOfUnknownNamespace", Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_XATTR, XattrRecord("bogus.n", "v")}}),
                          Common::FILE_NOT_SUPPORTED, "SetXattr", 171},
        FailedRestoreCase{"DeviceRecordCut", Chunks({{CHUNK_ENTRY, Entry(24, 1, 020600, U32(1))}}), Common::FILE_CORRUPTED,
                          "ProcessChunk", 1301},
        FailedRestoreCase{"FileThenDirectory", Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_ATTRIBUTES, U32(0x10)}}),
                          Common::FILE_CORRUPTED, "MayCreate", 1093}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(PosixRestore, SetXattrFailureNamesTheEntryAndTheAttribute) {
  PosixTest::ScratchDir scratch;
  posix_dir dir(scratch.Path());
  Common::Error error = SendRestore(dir, u"x", Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_XATTR, XattrRecord("bogus.n", "v")}}));
  const Common::ErrorRecord* cause = RecordAt(error, 1).Record;
  ASSERT_NE(cause, nullptr);
  EXPECT_EQ(PosixTest::Param(cause, "path1"), scratch.At("x"));
  EXPECT_EQ(PosixTest::Param(cause, "path2"), "bogus.n");
  EXPECT_EQ(PosixTest::ErrnoOf(cause->Cause), EOPNOTSUPP);
}

constexpr int kChildSeconds = 30;

void ExpectTwoNamesSkipped(posix_dir& dir) {
  Bytes skipped = XattrRecord("security.selinux", "system_u:object_r:tmp_t:s0");
  // Without privileges a trusted name is refused for want of them, not as unsupported.
  if (geteuid() == 0) skipped = Join({skipped, XattrRecord("trusted.pfcache", "x")});
  Common::Error kept = SendRestore(dir, u"f", Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_XATTR, skipped}}));
  EXPECT_TRUE(kept.IsEmpty()) << Describe(kept);

  Common::Error refused =
      SendRestore(dir, u"g", Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_XATTR, XattrRecord("security.other", "v")}}));
  ASSERT_EQ(refused.GetCode(), Common::FILE_RECOVER_ERROR) << Describe(refused);
  PosixTest::RecordView cause = RecordAt(refused, 1);
  EXPECT_EQ(cause.Code, Common::FILE_NOT_SUPPORTED);
  EXPECT_EQ(cause.Function, "SetXattr");
  EXPECT_EQ(cause.Line, 171u);
  EXPECT_EQ(PosixTest::Param(cause.Record, "path2"), "security.other");
}

// ramfs takes no extended attribute of any name (tmpfs takes the security and trusted ones
// as root, so a file there would not show the skip): mounted over the scratch directory in
// a mount namespace of a child's own.
TEST(PosixRestore, TwoAttributeNamesAreSkippedWhereTheFileSystemRefusesThem) {
  PosixTest::ScratchDir scratch;
  const int status = PosixTest::RunInChildWithin(
      [&] {
        std::string why;
        if (!PosixTest::EnterPrivateMounts(&why)) {
          std::printf("%s\n", why.c_str());
          return PosixTest::kChildCannotSetUp;
        }
        if (mount("ramfs", scratch.Path().c_str(), "ramfs", 0, nullptr) != 0) {
          std::printf("mounting ramfs: %s\n", std::strerror(errno));
          return PosixTest::kChildCannotSetUp;
        }
        posix_dir dir(scratch.Path());
        ExpectTwoNamesSkipped(dir);
        return testing::Test::HasFailure() ? PosixTest::kChildAssertionsFailed : 0;
      },
      kChildSeconds);
  if (status == PosixTest::kChildCannotSetUp) GTEST_SKIP() << "needs root to mount ramfs in a mount namespace of its own";
  EXPECT_EQ(status, 0);
}

TEST(PosixRestore, AttributesOfARecordRestoredByTheLowWordOfTheLength) {
  PosixTest::ScratchDir scratch;
  if (!PosixBackupTest::AttributesWork(scratch.Path(), "user.probe")) GTEST_SKIP() << "no user. attributes here";
  posix_dir dir(scratch.Path());
  Bytes records = Join({XattrRecord("user.two", "ok", 0xFFFFFFFF00000002), XattrRecord("user.none", "")});
  Common::Error error = SendRestore(dir, u"x", Chunks({{CHUNK_DATA, Text("d")}, {CHUNK_XATTR, records}}));
  ASSERT_TRUE(error.IsEmpty()) << Describe(error);
  EXPECT_EQ(GetAttribute(scratch.At("x"), "user.two"), "ok");
  EXPECT_EQ(GetAttribute(scratch.At("x"), "user.none"), "");
  EXPECT_EQ(scratch.ReadFile("x"), "d");
}

TEST(PosixRestore, AttributesOntoADirectoryAreIgnored) {
  PosixTest::ScratchDir scratch;
  posix_dir dir(scratch.Path());
  Common::Error error = SendRestore(dir, u"d", Chunks({{CHUNK_ATTRIBUTES, U32(0x10)}, {CHUNK_XATTR, Bytes(5, 0xFF)}}));
  ASSERT_TRUE(error.IsEmpty()) << Describe(error);
  EXPECT_TRUE(S_ISDIR(PosixBackupTest::Lstat(scratch.At("d")).st_mode));
}

TEST(PosixRestore, WithoutDirectoryPathEveryChunkFails) {
  PosixTest::ScratchDir scratch;
  posix_dir dir(scratch.Path());
  BackupTesting::ScriptedSource source{{CHUNK_DATA, Text("a")}};
  Common::Error error = PosixRestoreFile(&dir, nullptr, u"x", {&source, nullptr, 0, u"x"});
  ASSERT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR);
  EXPECT_EQ(RecordAt(error, 1).Code, Common::FILE_READ_ERROR);
  EXPECT_EQ(RecordAt(error, 1).Line, 435u);

  BackupTesting::ScriptedSource empty;
  EXPECT_TRUE(PosixRestoreFile(&dir, nullptr, u"y", {&empty, nullptr, 0, u"y"}).IsEmpty());
  EXPECT_EQ(access(scratch.At("y").c_str(), F_OK), 0);
}

TEST(PosixRestore, NullNameOrSourceIsAnError) {
  PosixTest::ScratchDir scratch;
  posix_dir dir(scratch.Path());
  Common::Error error = SendRestore(dir, nullptr, Chunks({{CHUNK_DATA, Text("a")}}));
  ASSERT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR);
  EXPECT_EQ(RecordAt(error, 1).Code, Common::FILE_CREATE_ERROR);

  RestoreRequest block{PosixControl::kRestore, {nullptr, nullptr, 0, u"x"}};
  dir.IOCTL(&block);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_RECOVER_ERROR);
  EXPECT_EQ(RecordAt(dir.last_error, 1).Code, Common::FILE_READ_ERROR);
}

TEST(PosixRestore, CancelledRestoreRemovesTheFile) {
  PosixTest::ScratchDir scratch;
  posix_dir dir(scratch.Path());
  ScriptedCallback callback;
  callback.cancelAtQuery = 2;
  Common::Error error = SendRestore(dir, u"x", Chunks({{CHUNK_DATA, Text("abc")}, {CHUNK_TIMES, Join({U64(5), U64(0)})}}),
                                    &callback);
  ASSERT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR);
  EXPECT_EQ(RecordAt(error, 1).Code, Common::FILE_CANCELED);
  EXPECT_NE(access(scratch.At("x").c_str(), F_OK), 0);
}

TEST(PosixRestore, IgnoredTimesLeaveTheModificationTime) {
  PosixTest::ScratchDir scratch;
  posix_dir dir(scratch.Path());
  Bytes times = Join({U64(1000), U64(0)});
  ASSERT_TRUE(SendRestore(dir, u"kept", Chunks({{CHUNK_TIMES, times}}), nullptr, kRestoreIgnoreTimes).IsEmpty());
  ASSERT_TRUE(SendRestore(dir, u"set", Chunks({{CHUNK_TIMES, times}})).IsEmpty());
  EXPECT_NE(PosixBackupTest::MtimeMillis(PosixBackupTest::Lstat(scratch.At("kept"))), 1000u);
  EXPECT_EQ(PosixBackupTest::MtimeMillis(PosixBackupTest::Lstat(scratch.At("set"))), 1000u);
}

// As an unprivileged user the owner of a record cannot be restored: without a callback
// the restore reports success and the entry goes; answer 0 reports the refusal.
TEST(PosixRestore, RefusedOwnerAsUnprivilegedUser) {
  PosixTest::ScratchDir scratch;
  scratch.MakeDir("pub", 0777);
  ASSERT_EQ(chmod(scratch.At("pub").c_str(), 0777), 0);
  ASSERT_EQ(chmod(scratch.Path().c_str(), 0755), 0);
  std::string pub = scratch.At("pub");
  int status = PosixTest::RunInChild([&] {
    if (!PosixTest::DropPrivileges()) return 20;
    posix_dir dir(pub);
    Bytes rootOwned = Join({U32(20), U32(0), U32(0), U32(0), U32(0100644)});
    if (!SendRestore(dir, u"quiet", Chunks({{CHUNK_DATA, Text("a")}, {CHUNK_ENTRY, rootOwned}})).IsEmpty()) return 1;
    if (access((pub + "/quiet").c_str(), F_OK) == 0) return 2;
    ScriptedCallback callback;
    callback.answer = 0;
    Common::Error error = SendRestore(dir, u"loud", Chunks({{CHUNK_ENTRY, rootOwned}}), &callback);
    if (error.GetCode() != Common::FILE_RECOVER_ERROR) return 3;
    if (RecordAt(error, 1).Code != Common::FILE_ACCESS_DENIED) return 4;
    if (callback.questions != 1 || callback.questionPath != Common::ToUtf16((pub + "/loud").c_str())) return 5;
    if (access((pub + "/loud").c_str(), F_OK) == 0) return 6;
    return 0;
  });
  if (status == 20) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(status, 0);
}

}  // namespace

// Tests of the common restore processor against a directory that logs every call: the
// creation of the target by chunk, the order of the end-of-restore steps, malformed
// records and streams, the security question's answers, cancellation and clean-up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/common/error_display.h"
#include "core/common/tests/safe_assert_recorder.h"
#include "core/file/backup.h"
#include "core/file/tests/backup_fakes.h"
#include "tools/testing/error_matchers.h"

namespace {

using Testing::HasSite;

using BackupTesting::Bytes;
using BackupTesting::Join;
using BackupTesting::RecordingDir;
using BackupTesting::ScriptedCallback;
using BackupTesting::ScriptedSource;
using BackupTesting::Text;
using BackupTesting::U16;
using BackupTesting::U32;
using BackupTesting::U64;
using BackupTesting::Units;
using RestoreHelpers::CommonRestoreChunkProcessor;

constexpr uint32_t kNone = 0xFFFFFFFF;

Bytes Entry(uint32_t size, uint32_t type, uint32_t uid, uint32_t gid, uint32_t mode, Bytes extra = {}) {
  return Join({U32(size), U32(type), U32(uid), U32(gid), U32(mode), extra});
}
Bytes LinkEntry(const std::u16string& target) {
  return Entry(24 + 2 * static_cast<uint32_t>(target.size()), 5, 1, 2, 0120777,
               Join({U16(static_cast<uint16_t>(target.size())), Units(target), U16(0)}));
}
Bytes Stream(uint32_t id, uint64_t size, Bytes name = {}, Bytes body = {}) {
  return Join({U32(id), U32(0x55), U64(size), U32(static_cast<uint32_t>(name.size())), name, body});
}
Bytes Sparse(uint64_t offset, Bytes body) { return Stream(9, 8 + body.size(), {}, Join({U64(offset), body})); }
Bytes Times(uint64_t m, uint64_t c) { return Join({U64(m), U64(c)}); }

Common::Error Injected(uint32_t code) { return FileTesting::InjectedError(code); }

// One restore of entry "x" into a logging directory; the processor is gone when Run returns.
struct Restore {
  RecordingDir dir;
  ScriptedSource source;
  ScriptedCallback callback;
  bool withCallback = false;
  uint32_t flags = 0;
  // The restored file as it was just before the processor (its owner) went.
  std::string dataAtEnd;
  int flushesAtEnd = 0;
  int writesAtEnd = 0;

  Common::Error Run(const char16_t* name = u"x") {
    Common::Error result;
    {
      CommonRestoreChunkProcessor processor(&dir, name);
      result = processor.DoRestore({&source, withCallback ? &callback : nullptr, flags, name});
      if (!dir.files.empty()) {
        dataAtEnd.assign(dir.files[0]->data.begin(), dir.files[0]->data.end());
        flushesAtEnd = dir.files[0]->flushCalls;
        writesAtEnd = dir.files[0]->writeCalls;
      }
    }
    EXPECT_EQ(source.ReadersAlive(), 0);
    return result;
  }
};

std::string Describe(const Common::Error& error) { return Common::ToUtf8(Common::FormatError(error).c_str()); }

TEST(Restore, EmptyStreamCreatesAnEmptyFile) {
  Restore r;
  EXPECT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dir.Calls(), "Create(x,default)");
  EXPECT_EQ(r.source.nextCalls, 1);
  EXPECT_EQ(r.dataAtEnd, "");
}

TEST(Restore, AppliesEverythingAfterTheLastChunkInItsOrder) {
  Restore r;
  r.source.Add(CHUNK_ATTRIBUTES, U32(0x20));
  r.source.Add(CHUNK_TIMES, Times(1, 1));
  r.source.Add(CHUNK_TIMES, Times(5000, 7000));  // the last of its type wins
  r.source.Add(CHUNK_ENTRY, Entry(20, 0, 1, 2, 0100640));
  r.source.Add(CHUNK_FLAGS, U32(0x10));
  r.source.Add(CHUNK_DATA, Text("hello"));
  r.source.Add(CHUNK_UNIX_FLAGS, U32(0x80));  // read by nobody
  r.source.Add(42, Text("ignored"));

  ASSERT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dir.Calls(),
            "Create(x,default) SetDOSAttributes(x,32) SFTM(5000,7000,5000) SetUnixOwner(x,1,2) "
            "SetUnixPermissions(x,0100640) SMUF(16)");
  EXPECT_EQ(r.dataAtEnd, "hello");
  EXPECT_EQ(r.flushesAtEnd, 1);
  EXPECT_EQ(r.source.readCalls[6], 0);
  EXPECT_EQ(r.source.readCalls[7], 0);
}

TEST(Restore, DirectoryTargetSkipsDataAndSetsTimesByName) {
  Restore r;
  r.source.Add(CHUNK_ATTRIBUTES, U32(0x10));
  r.source.Add(CHUNK_DATA, Text("zz"));
  r.source.Add(CHUNK_TIMES, Times(0, 9));
  r.source.Add(CHUNK_ENTRY, Entry(20, 128, 3, 4, 040700));
  r.source.Add(CHUNK_FLAGS, U32(7));
  ASSERT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dir.Calls(),
            "CreateDir(x,default) SetDOSAttributes(x,16) STME(x,9,9,9) SetUnixOwner(x,3,4) "
            "SetUnixPermissions(x,040700) SMFN(x,7)");
  EXPECT_EQ(r.source.readCalls[1], 0);
}

TEST(Restore, ExistingDirectoryIsAccepted) {
  Restore r;
  r.dir.failures["CreateDir"] = Injected(Common::FILE_ALREADY_EXISTS);
  r.dir.existing[u"x"] = 128;
  r.source.Add(CHUNK_ENTRY, Entry(20, 128, kNone, kNone, kNone));
  EXPECT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dir.Calls(), "CreateDir(x,default) SetUnixOwner(x,4294967295,4294967295)");
}

// Over anything else "already exists" ends the restore: owner and mode must not land on it.
TEST(Restore, ExistingEntryThatIsNoDirectoryIsRefused) {
  for (uint32_t existingType : {0u, 5u}) {
    SCOPED_TRACE(existingType);
    Restore r;
    r.dir.failures["CreateDir"] = Injected(Common::FILE_ALREADY_EXISTS);
    r.dir.existing[u"x"] = existingType;
    r.source.Add(CHUNK_ENTRY, Entry(20, 128, 1, 2, 040700));
    EXPECT_EQ(r.Run().GetCode(), Common::FILE_ALREADY_EXISTS);
    EXPECT_EQ(r.dir.Calls(), "CreateDir(x,default)");
  }
}

TEST(Restore, SecondDataChunkAppends) {
  Restore r;
  r.source.Add(CHUNK_DATA, Text("abc"));
  r.source.Add(CHUNK_DATA, Text("def"));
  r.source.Add(CHUNK_ENTRY, Entry(20, 0, 1, 1, 0100600));
  ASSERT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dataAtEnd, "abcdef");
  EXPECT_EQ(r.dir.Calls(), "Create(x,default) SetUnixOwner(x,1,1) SetUnixPermissions(x,0100600)");
}

TEST(Restore, IgnoreTimesFlagLeavesTheChunkUnread) {
  Restore r;
  r.flags = kRestoreIgnoreTimes;
  r.source.Add(CHUNK_TIMES, Times(5, 6));
  ASSERT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dir.Calls(), "Create(x,default)");
  EXPECT_EQ(r.source.readCalls[0], 0);
}

TEST(Restore, ShortEntrySizeCreatesButAppliesNothing) {
  Restore r;
  r.source.Add(CHUNK_ENTRY, Entry(0, 3, 1, 2, 010640));
  ASSERT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dir.Calls(), "CreateDeviceNode(x,3,010640,0,0)");
}

// A record without a mode must not turn into 07777 (setuid, setgid, sticky, writable by
// all): nodes get a default mode and no chmod follows.
TEST(Restore, RecordWithoutModeIsNeverAppliedAsAllBits) {
  struct Case {
    Bytes Record;
    std::string Calls;
  } cases[] = {
      {Entry(20, 0, 1, 2, kNone), "Create(x,default) SetUnixOwner(x,1,2)"},
      {Entry(20, 3, 1, 2, kNone), "CreateDeviceNode(x,3,0644,0,0) SetUnixOwner(x,1,2)"},
      {Entry(20, 4, 1, 2, kNone), "CreateDeviceNode(x,4,0644,0,0) SetUnixOwner(x,1,2)"},
      {Entry(28, 1, 1, 2, kNone, Join({U32(1), U32(3)})), "CreateDeviceNode(x,1,0600,1,3) SetUnixOwner(x,1,2)"},
      {Entry(28, 2, 1, 2, kNone, Join({U32(8), U32(0)})), "CreateDeviceNode(x,2,0600,8,0) SetUnixOwner(x,1,2)"},
  };
  for (const Case& c : cases) {
    Restore r;
    r.source.Add(CHUNK_ENTRY, c.Record);
    EXPECT_TRUE(r.Run().IsEmpty());
    EXPECT_EQ(r.dir.Calls(), c.Calls);
  }
}

TEST(Restore, EntryTypesCreateTheirKind) {
  struct Case {
    Bytes Record;
    std::string Calls;
  } cases[] = {
      {Entry(20, 6, 0, 0, 0100600), "Create(x,default) SetUnixOwner(x,0,0) SetUnixPermissions(x,0100600)"},
      {Entry(28, 1, 0, 0, 020600, Join({U32(4), U32(64)})),
       "CreateDeviceNode(x,1,020600,4,64) SetUnixOwner(x,0,0) SetUnixPermissions(x,020600)"},
      // Extra bytes past the device numbers are read and not used.
      {Entry(32, 2, 0, 0, 060600, Join({U32(7), U32(1), U32(99)})),
       "CreateDeviceNode(x,2,060600,7,1) SetUnixOwner(x,0,0) SetUnixPermissions(x,060600)"},
      {LinkEntry(u"../t\u00e9"),
       "CreateSymLink(x,../t\xC3\xA9,5,0) SetUnixOwner(x,1,2) SetUnixPermissions(x,0120777)"},
      // The target ends at its first zero unit, whatever the length field says.
      {Entry(30, 5, 1, 2, 0120777, Join({U16(9), Units(u"ab"), U16(0), U16('c')})),
       "CreateSymLink(x,ab,5,0) SetUnixOwner(x,1,2) SetUnixPermissions(x,0120777)"},
  };
  for (const Case& c : cases) {
    Restore r;
    r.source.Add(CHUNK_ENTRY, c.Record);
    EXPECT_TRUE(r.Run().IsEmpty());
    EXPECT_EQ(r.dir.Calls(), c.Calls);
  }
}

TEST(Restore, UnknownEntryTypeIsReportedAndCreatedAsAFileOnce) {
  Restore r;
  r.source.Add(CHUNK_ENTRY, Entry(20, 77, 1, 2, 0600));
  r.source.Add(CHUNK_ENTRY, Entry(20, 78, 1, 2, 0600));
  EXPECT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dir.Calls(), "Create(x,default) SetUnixOwner(x,1,2) SetUnixPermissions(x,0600)");
}

// ---- Contradictions and malformed input ----

struct BadStreamCase {
  const char* Name;
  std::vector<ScriptedSource::Chunk> Chunks;
  uint32_t Code;
  const char* Function;
  uint32_t Line;           // 0: not checked
  bool RemovedAtTheEnd;    // a created non-directory entry goes again
};

void PrintTo(const BadStreamCase& c, std::ostream* out) { *out << c.Name; }

class BadStream : public testing::TestWithParam<BadStreamCase> {};

TEST_P(BadStream, FailsWithItsErrorAndCleansUp) {
  const BadStreamCase& c = GetParam();
  Restore r;
  r.source.chunks = c.Chunks;
  Common::Error error = r.Run();
  ASSERT_EQ(error.GetCode(), c.Code) << Describe(error);
  EXPECT_STREQ(error.GetHead()->Function, c.Function);
  if (c.Line != 0) {
    EXPECT_EQ(error.GetHead()->Line, c.Line);
  }
  bool removed = !r.dir.log.empty() && r.dir.log.back() == "Remove(x)";
  EXPECT_EQ(removed, c.RemovedAtTheEnd) << r.dir.Calls();
  // Nothing is applied after a failure.
  EXPECT_EQ(r.dir.Calls().find("SetUnix"), std::string::npos);
}

const uint64_t kMax = ~uint64_t{0};
const uint32_t kEof = Common::FILE_END_OF_FILE;
const uint32_t kBad = Common::FILE_CORRUPTED;

INSTANTIATE_TEST_SUITE_P(
    Malformed, BadStream,
    testing::Values(
        BadStreamCase{"DeviceWithoutNumbers", {{CHUNK_ENTRY, Entry(20, 1, 0, 0, 020600)}}, kBad, "ProcessChunk", 1301, false},
        BadStreamCase{"DeviceShorterThan28", {{CHUNK_ENTRY, Entry(27, 2, 0, 0, 060600, Bytes(7, 1))}}, kBad, "ProcessChunk", 1301, false},
        BadStreamCase{"LinkWithoutTarget", {{CHUNK_ENTRY, Entry(20, 5, 0, 0, 0120777)}}, kBad, "ProcessChunk", 1318, false},
        BadStreamCase{"LinkOnlyLengthField", {{CHUNK_ENTRY, Entry(22, 5, 0, 0, 0120777, U16(0))}}, kBad, "ProcessChunk", 1318, false},
        BadStreamCase{"LinkOddLength", {{CHUNK_ENTRY, Entry(25, 5, 0, 0, 0120777, Join({U16(1), U16('a'), Bytes(1, 0)}))}}, kBad, "ProcessChunk", 1318, false},
        BadStreamCase{"LinkWithoutZeroUnit", {{CHUNK_ENTRY, Entry(26, 5, 0, 0, 0120777, Join({U16(2), Units(u"ab")}))}}, kBad, "ProcessChunk", 1318, false},
        BadStreamCase{"EntryBeyondTheCap", {{CHUNK_ENTRY, Entry(24 + 2 * 65535 + 2, 0, 0, 0, 0100600)}}, kBad, "ProcessChunk", 0, false},
        BadStreamCase{"EntryHugeSize", {{CHUNK_ENTRY, Entry(0xFFFFFFF0, 5, 0, 0, 0120777)}}, kBad, "ProcessChunk", 0, false},
        BadStreamCase{"EntryLongerThanItsChunk", {{CHUNK_ENTRY, Entry(1000, 0, 0, 0, 0100600, Bytes(10, 0))}}, kEof, "Read", 27, false},
        BadStreamCase{"EntryHeaderCut", {{CHUNK_ENTRY, Bytes(19, 0)}}, kEof, "Read", 27, false},
        BadStreamCase{"AttributesCut", {{CHUNK_ATTRIBUTES, Bytes(3, 0)}}, kEof, "Read", 27, false},
        BadStreamCase{"TimesCut", {{CHUNK_TIMES, Bytes(15, 0)}}, kEof, "Read", 27, false},
        BadStreamCase{"FlagsCut", {{CHUNK_FLAGS, Bytes(2, 0)}}, kEof, "Read", 27, false},
        BadStreamCase{"TypeThreeFirst", {{3, Text("?")}}, Common::FILE_NOT_SUPPORTED, "ProcessChunk", 1249, false},
        BadStreamCase{"FileThenLink", {{CHUNK_DATA, Text("a")}, {CHUNK_ENTRY, LinkEntry(u"t")}}, kBad, "MayCreate", 1093, true},
        BadStreamCase{"LinkThenData", {{CHUNK_ENTRY, LinkEntry(u"t")}, {CHUNK_ENTRY, Entry(20, 0, 0, 0, 0100600)}}, kBad, "MayCreate", 1093, true},
        BadStreamCase{"DirectoryThenFile", {{CHUNK_ATTRIBUTES, U32(0x10)}, {CHUNK_ENTRY, Entry(20, 0, 0, 0, 0100600)}}, kBad, "MayCreate", 1093, false},
        BadStreamCase{"FifoThenSocket", {{CHUNK_ENTRY, Entry(20, 3, 0, 0, 010600)}, {CHUNK_ENTRY, Entry(20, 4, 0, 0, 0140600)}}, kBad, "MayCreate", 1093, true},
        BadStreamCase{"StreamHeaderCut", {{CHUNK_STREAMS, Bytes(7, 1)}}, kEof, "RestoreWindowsStream", 705, true},
        BadStreamCase{"SparseWithoutOffset", {{CHUNK_STREAMS, Stream(9, 7, {}, Bytes(7, 0))}}, kBad, "RestoreWindowsStream", 728, true},
        BadStreamCase{"SparseOffsetCut", {{CHUNK_STREAMS, Stream(9, 8, {}, Bytes(3, 0))}}, kEof, "Read", 27, true},
        BadStreamCase{"SparseEndWrapsU64", {{CHUNK_STREAMS, Sparse(kMax - 4, Text("0123456789"))}}, kBad, "RestoreWindowsStream", 760, true},
        BadStreamCase{"SparseBeyondFilePositions", {{CHUNK_STREAMS, Sparse(uint64_t{1} << 63, Text("a"))}}, kBad, "RestoreWindowsStream", 760, true},
        BadStreamCase{"DataNegativeLength", {{CHUNK_STREAMS, Stream(1, uint64_t{1} << 63)}}, kBad, "RestoreWindowsStream", 760, true},
        BadStreamCase{"SkippedSizesWrap", {{CHUNK_STREAMS, Stream(3, kMax - 1, Text("name"))}}, kBad, "RestoreWindowsStream", 0, true},
        BadStreamCase{"DataAfterData", {{CHUNK_STREAMS, Join({Stream(1, 3, {}, Text("abc")), Stream(1, 2, {}, Text("de"))})}}, kBad, "RestoreWindowsStream", 760, true},
        BadStreamCase{"SparseBeforeEnd", {{CHUNK_STREAMS, Join({Stream(1, 4, {}, Text("abcd")), Sparse(2, Text("x"))})}}, kBad, "RestoreWindowsStream", 760, true},
        BadStreamCase{"DataBodyCut", {{CHUNK_STREAMS, Stream(1, 10, {}, Text("abc"))}}, kEof, "Read", 27, true},
        BadStreamCase{"SkippedBodyCut", {{CHUNK_STREAMS, Stream(4, 100, Text("n"), Text("abc"))}}, kEof, "Read", 27, true}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Restore, TypeThreeAfterCreationIsIgnored) {
  Restore r;
  r.source.Add(CHUNK_DATA, Text("a"));
  r.source.Add(3, Text("??"));
  EXPECT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.source.readCalls[1], 0);
}

TEST(Restore, CreationFailureIsTheResultAndNothingIsRemoved) {
  Restore r;
  r.dir.failures["Create"] = Injected(Common::FILE_ACCESS_DENIED);
  r.source.Add(CHUNK_DATA, Text("abc"));
  r.source.Add(CHUNK_ENTRY, Entry(20, 0, 1, 2, 0600));
  EXPECT_EQ(r.Run().GetCode(), Common::FILE_ACCESS_DENIED);
  EXPECT_EQ(r.dir.Calls(), "Create(x,default)");
  EXPECT_EQ(r.source.nextCalls, 1);
}

TEST(Restore, NullSourceOrNameIsAnErrorNotACrash) {
  RecordingDir dir;
  {
    CommonRestoreChunkProcessor processor(&dir, u"x");
    Common::Error error = processor.DoRestore({nullptr, nullptr, 0, u"x"});
    EXPECT_EQ(error.GetCode(), Common::FILE_READ_ERROR);
  }
  {
    ScriptedSource source{{CHUNK_DATA, Text("a")}};
    CommonRestoreChunkProcessor processor(&dir, nullptr);
    Common::Error error = processor.DoRestore({&source, nullptr, 0, nullptr});
    EXPECT_EQ(error.GetCode(), Common::FILE_CREATE_ERROR);
    EXPECT_EQ(source.nextCalls, 0);
  }
  EXPECT_EQ(dir.Calls(), "");
}

// ---- Windows streams ----

TEST(Restore, StreamsRestoreDataAndSparseBlocksAndSkipTheRest) {
  Restore r;
  r.withCallback = true;
  r.source.Add(CHUNK_STREAMS, Join({
                                  Stream(1, 4, {}, Text("abcd")),
                                  Stream(1, 2, Text("NAME"), Text("zz")),   // named: skipped
                                  Stream(9, 9, Text("N"), Bytes(9, 'q')),   // named sparse: skipped
                                  Stream(7, 5, {}, Text("xxxxx")),          // other id: skipped
                                  Sparse(10, Text("XY")),
                                  Sparse(20, {}),                            // a hole to the end
                              }));
  ASSERT_TRUE(r.Run().IsEmpty());
  std::string expected = "abcd" + std::string(6, '\0') + "XY" + std::string(8, '\0');
  EXPECT_EQ(r.dataAtEnd, expected);
  EXPECT_EQ(r.callback.progress, (std::vector<uint64_t>{4, 2}));
  EXPECT_EQ(r.flushesAtEnd, 1);
}

TEST(Restore, StreamsEndingWithBlockOfLengthZeroExtendTheFile) {
  Restore r;
  r.source.Add(CHUNK_STREAMS, Sparse(5000, {}));
  ASSERT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dataAtEnd, std::string(5000, '\0'));
  EXPECT_EQ(r.writesAtEnd, 1);
}

// A refinement may take over streams of its own.
class HookedProcessor : public CommonRestoreChunkProcessor {
 public:
  using CommonRestoreChunkProcessor::CommonRestoreChunkProcessor;
  Common::Error ProcessWinntStream(i_file* reader, const StreamHeader* header, BackupCallback* callback) override {
    ids.push_back(header->Id);
    if (header->Id == 42) {
      std::vector<uint8_t> body(header->Size + header->NameSize);
      ::Read(*reader, body.data(), static_cast<uint32_t>(body.size()));
      return TakeLastError(*reader);
    }
    if (header->Id == 43) return FileTesting::InjectedError(Common::FILE_SEEK_ERROR);
    return CommonRestoreChunkProcessor::ProcessWinntStream(reader, header, callback);
  }
  std::vector<uint32_t> ids;
};

TEST(Restore, StreamHookTakesOverOrEndsTheChunk) {
  RecordingDir dir;
  ScriptedSource source{{CHUNK_STREAMS, Join({Stream(42, 3, Text("n"), Text("own")), Stream(1, 2, {}, Text("ok"))})}};
  {
    HookedProcessor processor(&dir, u"x");
    EXPECT_TRUE(processor.DoRestore({&source, nullptr, 0, u"x"}).IsEmpty());
    EXPECT_EQ(processor.ids, (std::vector<uint32_t>{42, 1}));
    EXPECT_EQ(std::string(dir.files[0]->data.begin(), dir.files[0]->data.end()), "ok");
  }
  RecordingDir other;
  ScriptedSource failing{{CHUNK_STREAMS, Stream(43, 0)}};
  HookedProcessor processor(&other, u"x");
  EXPECT_EQ(processor.DoRestore({&failing, nullptr, 0, u"x"}).GetCode(), Common::FILE_SEEK_ERROR);
}

TEST(Restore, BaseStreamHookAnswersNotSupported) {
  RecordingDir dir;
  CommonRestoreChunkProcessor processor(&dir, u"x");
  StreamHeader header{1, 0, 0, 0};
  Common::Error error = processor.ProcessWinntStream(nullptr, &header, nullptr);
  EXPECT_EQ(error.GetCode(), Common::FILE_NOT_SUPPORTED);
  EXPECT_THAT(error.GetHead(), HasSite("ProcessWinntStream", 1350u));
}

// ---- Progress and cancellation ----

TEST(Restore, DataProgressReportsEachPiece) {
  Restore r;
  r.withCallback = true;
  r.source.Add(CHUNK_DATA, Bytes(40000, 'd'), 10000);
  ASSERT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dataAtEnd.size(), 40000u);
  EXPECT_EQ(r.callback.progress, (std::vector<uint64_t>{10000, 10000, 10000, 10000}));
}

struct CancelCase {
  const char* Name;
  bool Directory;
  int CancelAtQuery;
  const char* Function;
  uint32_t Line;
  bool Removed;
};

void PrintTo(const CancelCase& c, std::ostream* out) { *out << c.Name; }

class RestoreCancel : public testing::TestWithParam<CancelCase> {};

TEST_P(RestoreCancel, StopsAndRemovesACreatedFileButNoDirectory) {
  const CancelCase& c = GetParam();
  Restore r;
  r.withCallback = true;
  r.callback.cancelAtQuery = c.CancelAtQuery;
  if (c.Directory) r.source.Add(CHUNK_ATTRIBUTES, U32(0x10));
  r.source.Add(CHUNK_DATA, Text("abc"));
  r.source.Add(CHUNK_ENTRY, Entry(20, c.Directory ? 128 : 0, 1, 2, 0600));
  Common::Error error = r.Run();
  ASSERT_EQ(error.GetCode(), Common::FILE_CANCELED);
  EXPECT_THAT(error.GetHead(), HasSite(c.Function, c.Line));
  bool removed = !r.dir.log.empty() && r.dir.log.back() == "Remove(x)";
  EXPECT_EQ(removed, c.Removed) << r.dir.Calls();
}

// Queries: 1 before the first chunk; for the data chunk 2 before reading, 3 before writing,
// 4 before the read that finds its end; 5 before the entry chunk.
INSTANTIATE_TEST_SUITE_P(Cancel, RestoreCancel,
                         testing::Values(CancelCase{"BeforeAnyChunk", false, 1, "DoRestore", 1143, false},
                                         CancelCase{"BeforeReadingData", false, 2, "RestorePlainStream", 283, true},
                                         CancelCase{"BeforeWritingData", false, 3, "RestorePlainStream", 298, true},
                                         CancelCase{"BeforeEntryChunk", false, 5, "DoRestore", 1143, true},
                                         CancelCase{"DirectoryStays", true, 2, "DoRestore", 1143, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Restore, CancelWhileSkippingOrCopyingStreams) {
  struct Case {
    Bytes Streams;
    int CancelAt;
    uint32_t Line;
  } cases[] = {
      {Stream(5, 3, {}, Text("abc")), 2, 745},
      {Stream(1, 3, {}, Text("abc")), 2, 780},
      {Stream(1, 3, {}, Text("abc")), 3, 792},
  };
  for (const Case& c : cases) {
    Restore r;
    r.withCallback = true;
    r.callback.cancelAtQuery = c.CancelAt;
    r.source.Add(CHUNK_STREAMS, c.Streams);
    Common::Error error = r.Run();
    ASSERT_EQ(error.GetCode(), Common::FILE_CANCELED);
    EXPECT_THAT(error.GetHead(), HasSite("RestoreWindowsStream", c.Line));
  }
}

// ---- The security question ----

struct SecurityCase {
  const char* Name;
  bool WithCallback;
  uint32_t Answer;
  uint32_t ResultCode;
  bool FlagsApplied;
};

void PrintTo(const SecurityCase& c, std::ostream* out) { *out << c.Name; }

class SecurityAnswers : public testing::TestWithParam<SecurityCase> {};

TEST_P(SecurityAnswers, DecideResultFlagsAndTheEntry) {
  const SecurityCase& c = GetParam();
  Restore r;
  r.withCallback = c.WithCallback;
  r.callback.answer = c.Answer;
  r.dir.failures["SetUnixOwner"] = Injected(Common::FILE_ACCESS_DENIED);
  r.source.Add(CHUNK_ENTRY, Entry(20, 0, 0, 0, 04755));
  r.source.Add(CHUNK_FLAGS, U32(4));

  Testing::AssertRecorder asserts;
  Common::Error error = r.Run();

  EXPECT_EQ(error.GetCode(), c.ResultCode);
  // The answer 1 is reported as an assertion of this file's own site, and the restore goes on.
  std::vector<std::string> expectedReports;
  if (c.WithCallback && c.Answer == 1) expectedReports.push_back(Testing::AssertText("false", "core/file/backup", 1184));
  EXPECT_EQ(asserts.Reports(), expectedReports);
  std::string calls = r.dir.Calls();
  EXPECT_EQ(calls.find("SetUnixPermissions"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("SMUF(4)") != std::string::npos, c.FlagsApplied) << calls;
  // The refusal stays in the target whatever the answer: the file goes.
  EXPECT_EQ(r.dir.log.back(), "Remove(x)");
  if (!c.WithCallback) return;
  ASSERT_EQ(r.callback.questions, 1);
  EXPECT_EQ(r.callback.question.GetCode(), Common::FILE_SECURITY_ERROR);
  EXPECT_THAT(r.callback.question.GetHead(), HasSite("Ask4SecurityWriting", 919u));
  ASSERT_NE(r.callback.question.GetHead()->Cause, nullptr);
  EXPECT_EQ(r.callback.question.GetHead()->Cause->Code, Common::FILE_ACCESS_DENIED);
  EXPECT_EQ(r.callback.questionPath, u"/restore/x");
}

INSTANTIATE_TEST_SUITE_P(Answers, SecurityAnswers,
                         testing::Values(SecurityCase{"NoCallbackMeansTwo", false, 0, 0, false},
                                         SecurityCase{"Zero", true, 0, Common::FILE_ACCESS_DENIED, false},
                                         SecurityCase{"OneAssertsAndGoesOn", true, 1, Common::FILE_ACCESS_DENIED, true},
                                         SecurityCase{"TwoReportsSuccess", true, 2, 0, false},
                                         SecurityCase{"OtherGoesOn", true, 3, Common::FILE_ACCESS_DENIED, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Restore, RefusedModeOfADirectoryKeepsTheDirectory) {
  Restore r;
  r.withCallback = true;
  r.callback.answer = 2;
  r.dir.failures["SetUnixPermissions"] = Injected(Common::FILE_ACCESS_DENIED);
  r.source.Add(CHUNK_ENTRY, Entry(20, 128, 0, 0, 040755));
  EXPECT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.callback.questions, 1);
  EXPECT_EQ(r.dir.Calls(), "CreateDir(x,default) SetUnixOwner(x,0,0) SetUnixPermissions(x,040755)");
}

TEST(Restore, FileTimesRefusalOfAnyCodeFailsTheRestore) {
  Restore r;
  r.dir.failures["SFTM"] = Injected(Common::FILE_NOT_SUPPORTED);
  r.source.Add(CHUNK_DATA, Text("a"));
  r.source.Add(CHUNK_TIMES, Times(10, 0));
  EXPECT_EQ(r.Run().GetCode(), Common::FILE_NOT_SUPPORTED);
  EXPECT_EQ(r.dir.log.back(), "Remove(x)");
}

TEST(Restore, NamedTimesNotSupportedCountsAsSuccess) {
  Restore r;
  r.dir.failures["STME"] = Injected(Common::FILE_NOT_SUPPORTED);
  r.source.Add(CHUNK_ENTRY, LinkEntry(u"t"));
  r.source.Add(CHUNK_TIMES, Times(10, 0));
  EXPECT_TRUE(r.Run().IsEmpty());
  EXPECT_EQ(r.dir.Calls(), "CreateSymLink(x,t,5,0) STME(x,10,0,10) SetUnixOwner(x,1,2) SetUnixPermissions(x,0120777)");
}

}  // namespace

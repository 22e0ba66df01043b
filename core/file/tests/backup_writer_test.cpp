// Tests of the common backup writer: the chunks and their bytes per entry type and flag
// combination, the data copy with buffers at an offset and writers that take some
// buffers, failures injected at each step, cancellation, and the backup error record.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "core/common/error_display.h"
#include "core/file/backup.h"
#include "core/file/tests/backup_fakes.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/location_id.h"

namespace {

using Testing::HasSite;

using BackupTesting::Bytes;
using BackupTesting::CountedBuffer;
using BackupTesting::EntryFacts;
using BackupTesting::FakeEntryDir;
using BackupTesting::FakeIterator;
using BackupTesting::Join;
using BackupTesting::RecordingSink;
using BackupTesting::ScriptedCallback;
using BackupTesting::SinkOptions;
using BackupTesting::U16;
using BackupTesting::U32;
using BackupTesting::U64;

constexpr uint32_t kNone = 0xFFFFFFFF;

Bytes EntryHeader(uint32_t size, uint32_t type, uint32_t uid, uint32_t gid, uint32_t mode) {
  return Join({U32(size), U32(type), U32(uid), U32(gid), U32(mode)});
}

struct ExpectedChunk {
  uint32_t Type;
  Bytes Payload;
};

struct EntryCase {
  const char* Name;
  EntryFacts Facts;
  bool WithId;
  uint32_t Flags;
  std::string Content;
  std::vector<ExpectedChunk> Chunks;
};

void PrintTo(const EntryCase& c, std::ostream* out) { *out << c.Name; }

EntryFacts Facts(uint32_t type, int32_t mode, uint64_t modified = 0, uint64_t created = 0) {
  EntryFacts facts;
  facts.Type = type;
  facts.Mode = mode;
  facts.Modified = modified;
  facts.Created = created;
  facts.Uid = 1000;
  facts.Gid = 100;
  return facts;
}

EntryFacts With(EntryFacts facts, const std::function<void(EntryFacts&)>& change) {
  change(facts);
  return facts;
}

std::vector<EntryCase> EntryCases() {
  const Bytes attrZero = U32(0);
  const Bytes attrDir = U32(0x10);
  return {
      {"RegularAllChunks", Facts(0, 0100644, 1234), true, 0, "abc",
       {{CHUNK_ATTRIBUTES, attrZero},
        {CHUNK_DATA, BackupTesting::Text("abc")},
        {CHUNK_TIMES, Join({U64(1234), U64(0)})},
        {CHUNK_ENTRY, EntryHeader(20, 0, 1000, 100, 0100644)}}},
      {"NoMetadataKeepsOnlyData", Facts(0, 0100644, 1234), true, kBackupNoMetadata, "abc",
       {{CHUNK_DATA, BackupTesting::Text("abc")}}},
      {"NoDataKeepsMetadata", Facts(0, 0100644, 1234), true, kBackupNoData, "abc",
       {{CHUNK_ATTRIBUTES, attrZero},
        {CHUNK_TIMES, Join({U64(1234), U64(0)})},
        {CHUNK_ENTRY, EntryHeader(20, 0, 1000, 100, 0100644)}}},
      {"BothFlagsWriteNothing", Facts(0, 0100644, 1234), true, kBackupNoData | kBackupNoMetadata, "abc", {}},
      {"SelfNeverHasData", Facts(0, 0100600, 5), false, 0, "abc",
       {{CHUNK_ATTRIBUTES, attrZero},
        {CHUNK_TIMES, Join({U64(5), U64(0)})},
        {CHUNK_ENTRY, EntryHeader(20, 0, 1000, 100, 0100600)}}},
      {"EmptyFileOpensDataChunk", Facts(0, -1), true, 0, "", {{CHUNK_ATTRIBUTES, attrZero}, {CHUNK_DATA, {}}}},
      {"DirectoryHasNoTimes", Facts(128, 040755, 99, 98), true, 0, "",
       {{CHUNK_ATTRIBUTES, attrDir}, {CHUNK_ENTRY, EntryHeader(20, 128, 1000, 100, 040755)}}},
      {"DirectoryWithoutModeHasOnlyAttributes", Facts(128, -1, 99), true, 0, "", {{CHUNK_ATTRIBUTES, attrDir}}},
      {"IteratorDirectoryBitStopsTimes", With(Facts(0, -1, 7), [](EntryFacts& f) { f.Dos = 0x10; }), true, 0, "z",
       {{CHUNK_ATTRIBUTES, attrDir}, {CHUNK_DATA, BackupTesting::Text("z")}}},
      {"IteratorAttributesWithoutDirectoryBit", With(Facts(128, -1, 7), [](EntryFacts& f) { f.Dos = 0x21; }), true, 0,
       "", {{CHUNK_ATTRIBUTES, U32(0x21)}, {CHUNK_TIMES, Join({U64(7), U64(0)})}}},
      {"CreationTimeAlone", Facts(0, -1, 0, 42), true, kBackupNoData, "",
       {{CHUNK_ATTRIBUTES, attrZero}, {CHUNK_TIMES, Join({U64(0), U64(42)})}}},
      {"TypeSixIsLikeRegular", Facts(6, -1, 3), true, 0, "q",
       {{CHUNK_ATTRIBUTES, attrZero}, {CHUNK_DATA, BackupTesting::Text("q")}, {CHUNK_TIMES, Join({U64(3), U64(0)})}}},
      {"FifoWithoutModeStillHasEntry", With(Facts(3, -1), [](EntryFacts& f) { f.Uid = f.Gid = -1; }), true, 0, "",
       {{CHUNK_ATTRIBUTES, attrZero}, {CHUNK_ENTRY, EntryHeader(20, 3, kNone, kNone, kNone)}}},
      {"Socket", Facts(4, 0140755), true, 0, "",
       {{CHUNK_ATTRIBUTES, attrZero}, {CHUNK_ENTRY, EntryHeader(20, 4, 1000, 100, 0140755)}}},
      {"CharDevice", With(Facts(1, 020620), [](EntryFacts& f) { f.Major = 4, f.Minor = 64; }), true, 0, "",
       {{CHUNK_ATTRIBUTES, attrZero},
        {CHUNK_ENTRY, Join({EntryHeader(28, 1, 1000, 100, 020620), U32(4), U32(64)})}}},
      {"BlockDeviceWithoutNumbers", Facts(2, -1), true, 0, "",
       {{CHUNK_ATTRIBUTES, attrZero}, {CHUNK_ENTRY, Join({EntryHeader(28, 2, 1000, 100, kNone), U32(0), U32(0)})}}},
      {"SymbolicLink",
       With(Facts(5, 0120777), [](EntryFacts& f) { f.HasLinkTarget = true, f.LinkTarget = u"a\u00e9b"; }), true, 0,
       "",
       {{CHUNK_ATTRIBUTES, attrZero},
        {CHUNK_ENTRY, Join({EntryHeader(30, 5, 1000, 100, 0120777), U16(3), U16('a'), U16(0xE9), U16('b'), U16(0)})}}},
      {"SymbolicLinkWithoutTarget", Facts(5, -1), true, 0, "",
       {{CHUNK_ATTRIBUTES, attrZero}, {CHUNK_ENTRY, Join({EntryHeader(24, 5, 1000, 100, kNone), U16(0), U16(0)})}}},
  };
}

struct SinkVariant {
  const char* Name;
  SinkOptions Options;
};

void PrintTo(const SinkVariant& c, std::ostream* out) { *out << c.Name; }

const SinkVariant kSinkVariants[] = {
    {"PlainBuffers", {}},
    {"OffsetBuffersSomeTaken", {7, true}},
};

class EntryTable : public testing::TestWithParam<std::tuple<EntryCase, SinkVariant>> {};

TEST_P(EntryTable, WritesChunksInOrderWithTheirBytes) {
  const EntryCase& c = std::get<0>(GetParam());
  RecordingSink sink(std::get<1>(GetParam()).Options);
  FakeEntryDir dir(c.Facts, BackupTesting::Text(c.Content));
  FileTesting::StubIdentifier id;
  BackupRequestBody request{&sink, nullptr, c.Flags, c.WithId ? &id : nullptr};

  Common::Error error = CommonBackupFile(&dir, request.Entry, request);

  ASSERT_TRUE(error.IsEmpty()) << Common::ToUtf8(Common::FormatError(error).c_str());
  ASSERT_EQ(sink.chunks.size(), c.Chunks.size());
  for (size_t i = 0; i < c.Chunks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sink.chunks[i].Type, c.Chunks[i].Type);
    EXPECT_EQ(sink.chunks[i].Payload, c.Chunks[i].Payload);
    EXPECT_TRUE(sink.chunks[i].Closed);
    // Fixed records go in one write; an empty file's data chunk gets none.
    if (c.Chunks[i].Type != CHUNK_DATA) {
      EXPECT_EQ(sink.chunks[i].WriteCalls, 1);
    } else if (c.Content.empty()) {
      EXPECT_EQ(sink.chunks[i].WriteCalls, 0);
    }
  }
  EXPECT_EQ(CountedBuffer::Live(), 0);
  EXPECT_TRUE(dir.last_error.IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Entries, EntryTable, testing::Combine(testing::ValuesIn(EntryCases()), testing::ValuesIn(kSinkVariants)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).Name) + "_" + std::get<1>(info.param).Name;
                         });

TEST(EntryRecords, SizesFollowTheType) {
  EXPECT_EQ(EntryRecordSize(0, 9), 20u);
  EXPECT_EQ(EntryRecordSize(1, 0), 28u);
  EXPECT_EQ(EntryRecordSize(2, 0), 28u);
  EXPECT_EQ(EntryRecordSize(5, 0), 24u);
  EXPECT_EQ(EntryRecordSize(5, 10), 44u);
  EXPECT_EQ(EntryRecordSize(128, 3), 20u);
  std::unique_ptr<uint8_t[]> record = NewEntryRecord(5, 2);
  EXPECT_EQ(BackupFormat::LoadLe32(record.get()), 28u);
  EXPECT_EQ(BackupFormat::LoadLe32(record.get() + 4), 5u);
  EXPECT_EQ(BackupFormat::LoadLe16(record.get() + 26), 0u);
}

// The payload and the room in front of it must fit together: a sum that wraps would give
// a buffer smaller than its payload.
TEST(RawData, SizeAndOffsetMustFitTogether) {
  struct Case {
    const char* Name;
    uint32_t Size;
    uint32_t Offset;
    bool Fits;
  };
  constexpr bool kWraps = sizeof(size_t) == sizeof(uint32_t);
  const Case cases[] = {
      {"empty", 0, 0, true},
      {"payload behind framing", 16, 8, true},
      {"sum wraps to 16 bytes", 0xFFFFFFF0u, 0x20, !kWraps},
      {"sum wraps to 0 bytes", 0xFFFFFFFFu, 1, !kWraps},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    // On a 64-bit build the large rows fit, and zeroing gigabytes proves nothing.
    if (c.Fits && static_cast<uint64_t>(c.Size) + c.Offset > 0xFFFF) continue;
    if (!c.Fits) {
      EXPECT_THROW(raw_data(c.Size, c.Offset), std::bad_alloc);
      continue;
    }
    raw_data buffer(c.Size, c.Offset);
    EXPECT_EQ(buffer.Payload(), buffer.data + c.Offset);
    EXPECT_EQ(buffer.size, c.Size);
  }
}

// ---- The data copy ----

Bytes Pattern(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  return bytes;
}

TEST(DataCopy, ShortReadsDoNotEndTheCopyAndProgressIsARunningTotal) {
  RecordingSink sink(SinkOptions{5, true});
  Bytes content = Pattern(40000);
  FakeEntryDir dir(Facts(0, -1), content);
  dir.readChunkLimit = 10000;
  ScriptedCallback callback;
  FileTesting::StubIdentifier id;
  BackupRequestBody request{&sink, &callback, kBackupNoMetadata, &id};

  ASSERT_TRUE(CommonBackupFile(&dir, &id, request).IsEmpty());

  ASSERT_EQ(sink.chunks.size(), 1u);
  EXPECT_EQ(sink.chunks[0].Payload, content);
  EXPECT_EQ(sink.chunks[0].WriteCalls, 4);
  EXPECT_EQ(callback.progress, (std::vector<uint64_t>{10000, 20000, 30000, 40000}));
  for (uint32_t size : sink.bufferSizes) EXPECT_EQ(size, 16384u);
  EXPECT_EQ(CountedBuffer::Live(), 0);
}

struct CancelCase {
  const char* Name;
  int CancelAtQuery;
  uint32_t Line;
  int WritesBefore;
};

void PrintTo(const CancelCase& c, std::ostream* out) { *out << c.Name; }

class DataCancel : public testing::TestWithParam<CancelCase> {};

TEST_P(DataCancel, StopsWithCanceledAndClosesTheChunk) {
  const CancelCase& c = GetParam();
  RecordingSink sink;
  FakeEntryDir dir(Facts(0, -1), Pattern(20000));
  ScriptedCallback callback;
  callback.cancelAtQuery = c.CancelAtQuery;
  FileTesting::StubIdentifier id;
  BackupRequestBody request{&sink, &callback, kBackupNoMetadata, &id};

  Common::Error error = CommonBackupFile(&dir, &id, request);

  ASSERT_EQ(error.GetCode(), Common::FILE_BACKUP_ERROR);
  const Common::ErrorRecord* cause = error.GetHead()->Cause;
  ASSERT_NE(cause, nullptr);
  EXPECT_EQ(cause->Code, Common::FILE_CANCELED);
  EXPECT_THAT(cause, HasSite("BackupPlainStream", c.Line));
  ASSERT_EQ(sink.chunks.size(), 1u);
  EXPECT_TRUE(sink.chunks[0].Closed);
  EXPECT_EQ(sink.chunks[0].WriteCalls, c.WritesBefore);
  EXPECT_EQ(CountedBuffer::Live(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cancel, DataCancel,
                         testing::Values(CancelCase{"BeforeFirstFill", 1, 242, 0},
                                         CancelCase{"AfterFirstFill", 2, 258, 0},
                                         CancelCase{"BeforeSecondFill", 3, 242, 1},
                                         CancelCase{"AfterSecondFill", 4, 258, 1}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- Failures ----

std::u16string WideParam(const Common::ErrorRecord* record, const char* name) {
  const char16_t* value = record->Kind->GetWideParam(record, name);
  return value != nullptr ? value : u"<null>";
}

struct FailureCase {
  const char* Name;
  SinkOptions Options;
  std::vector<uint32_t> ChunksLeft;  // what the stream holds after the failure
  uint32_t CauseCode;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.Name; }

class FailureTable : public testing::TestWithParam<FailureCase> {};

TEST_P(FailureTable, WrapsTheCauseWithPathAndNameAndKeepsEarlierChunks) {
  const FailureCase& c = GetParam();
  RecordingSink sink(c.Options);
  EntryFacts facts = Facts(0, 0100644, 1234);
  facts.Name = u"file.txt";
  FakeEntryDir dir(facts, BackupTesting::Text("data"));
  FileTesting::StubIdentifier id;
  BackupRequestBody request{&sink, nullptr, 0, &id};

  Common::Error error = CommonBackupFile(&dir, &id, request);

  ASSERT_EQ(error.GetCode(), Common::FILE_BACKUP_ERROR);
  const Common::ErrorRecord* head = error.GetHead();
  EXPECT_EQ(head->Line, 103u);
  EXPECT_EQ(Testing::LocationId(error), 0xA90A29013D5C4B73u);  // core/file/backup, line 103
  EXPECT_STREQ(head->Function, "CommonBackupFile");
  EXPECT_EQ(head->Kind, &BackupErrorKind);
  EXPECT_EQ(WideParam(head, "path"), u"/fake/");
  EXPECT_EQ(WideParam(head, "name"), u"file.txt");
  ASSERT_NE(head->Cause, nullptr);
  EXPECT_EQ(head->Cause->Code, c.CauseCode);
  EXPECT_EQ(sink.Types(), c.ChunksLeft);
  for (const auto& chunk : sink.chunks) EXPECT_TRUE(chunk.Closed);
  EXPECT_EQ(CountedBuffer::Live(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureTable,
    testing::Values(
        FailureCase{"CreateAttributes", {0, false, 1}, {}, Common::FILE_WRITE_ERROR},
        FailureCase{"CreateData", {0, false, 2}, {CHUNK_ATTRIBUTES}, Common::FILE_WRITE_ERROR},
        FailureCase{"CreateTimes", {0, false, 3}, {CHUNK_ATTRIBUTES, CHUNK_DATA}, Common::FILE_WRITE_ERROR},
        FailureCase{"CreateEntry", {0, false, 4}, {CHUNK_ATTRIBUTES, CHUNK_DATA, CHUNK_TIMES}, Common::FILE_WRITE_ERROR},
        FailureCase{"WriteAttributes", {0, false, 0, 1}, {CHUNK_ATTRIBUTES}, Common::FILE_WRITE_ERROR},
        FailureCase{"WriteData", {0, false, 0, 2}, {CHUNK_ATTRIBUTES, CHUNK_DATA}, Common::FILE_WRITE_ERROR},
        FailureCase{"WriteTimes", {0, false, 0, 3}, {CHUNK_ATTRIBUTES, CHUNK_DATA, CHUNK_TIMES},
                    Common::FILE_WRITE_ERROR},
        FailureCase{"WriteEntry", {0, false, 0, 4}, {CHUNK_ATTRIBUTES, CHUNK_DATA, CHUNK_TIMES, CHUNK_ENTRY},
                    Common::FILE_WRITE_ERROR},
        // A data copy without a buffer would read through a null pointer: it fails instead.
        FailureCase{"NullDataBuffer", {0, false, 0, 0, 2}, {CHUNK_ATTRIBUTES, CHUNK_DATA}, Common::FILE_BACKUP_ERROR},
        FailureCase{"ShortDataBuffer", {0, false, 0, 0, 0, 2}, {CHUNK_ATTRIBUTES, CHUNK_DATA},
                    Common::FILE_BACKUP_ERROR}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Failures, RecordWithoutBufferLeavesItsChunkEmpty) {
  for (SinkOptions options : {SinkOptions{0, false, 0, 0, 1}, SinkOptions{3, false, 0, 0, 0, 1}}) {
    RecordingSink sink(options);
    FakeEntryDir dir(Facts(0, -1));
    BackupRequestBody request{&sink, nullptr, 0, nullptr};
    ASSERT_TRUE(CommonBackupFile(&dir, nullptr, request).IsEmpty());
    ASSERT_EQ(sink.Types(), std::vector<uint32_t>{CHUNK_ATTRIBUTES});
    EXPECT_TRUE(sink.chunks[0].Payload.empty());
    EXPECT_EQ(sink.chunks[0].WriteCalls, 1);
    EXPECT_EQ(CountedBuffer::Live(), 0);
  }
}

TEST(Failures, DataFileReadErrorIsWrapped) {
  RecordingSink sink;
  FakeEntryDir dir(Facts(0, -1), Pattern(30000));
  dir.failReadAt = 16384;
  FileTesting::StubIdentifier id;
  BackupRequestBody request{&sink, nullptr, kBackupNoMetadata, &id};
  Common::Error error = CommonBackupFile(&dir, &id, request);
  ASSERT_EQ(error.GetCode(), Common::FILE_BACKUP_ERROR);
  EXPECT_EQ(error.GetHead()->Cause->Code, Common::FILE_READ_ERROR);
  ASSERT_EQ(sink.chunks.size(), 1u);
  EXPECT_EQ(sink.chunks[0].Payload.size(), 16384u);
  EXPECT_TRUE(sink.chunks[0].Closed);
}

TEST(Failures, ReachingTheEntryIsNotWrapped) {
  RecordingSink sink;
  FileTesting::StubIdentifier id;
  BackupRequestBody request{&sink, nullptr, 0, &id};

  FakeEntryDir missing(Facts(0, -1));
  missing.iteratorFails = true;
  Common::Error error = CommonBackupFile(&missing, &id, request);
  EXPECT_EQ(error.GetCode(), Common::FILE_NOT_FOUND);
  EXPECT_TRUE(missing.last_error.IsEmpty());

  FakeEntryDir unreadable(Facts(0, -1));
  unreadable.openFails = true;
  error = CommonBackupFile(&unreadable, &id, request);
  EXPECT_EQ(error.GetCode(), Common::FILE_OPEN_ERROR);
  EXPECT_TRUE(sink.chunks.empty());
}

TEST(Failures, WriterFormArguments) {
  RecordingSink sink;
  BackupRequestBody request{&sink, nullptr, 0, nullptr};
  Common::Error error = CommonBackupFile(static_cast<i_file*>(nullptr), nullptr, request);
  EXPECT_EQ(error.GetCode(), Common::FILE_OPEN_ERROR);
  EXPECT_EQ(error.GetHead()->Line, 113u);

  FakeIterator entry(Facts(0, -1));
  BackupRequestBody noSink{nullptr, nullptr, 0, nullptr};
  error = CommonBackupFile(static_cast<i_file*>(nullptr), &entry, noSink);
  EXPECT_EQ(error.GetCode(), Common::FILE_WRITE_ERROR);
  EXPECT_THAT(error.GetHead(), HasSite("CommonBackupFile", 117u));

  // Through the entry form the same refusal comes wrapped.
  FakeEntryDir dir(Facts(0, -1));
  error = CommonBackupFile(&dir, nullptr, noSink);
  EXPECT_EQ(error.GetCode(), Common::FILE_BACKUP_ERROR);
  EXPECT_EQ(error.GetHead()->Cause->Code, Common::FILE_WRITE_ERROR);
}

// ---- The backup error record ----

TEST(BackupErrorRecord, ParametersSurviveCloningAndDisplay) {
  RecordingSink sink(SinkOptions{0, false, 1});
  EntryFacts facts = Facts(0, -1);
  facts.Name = u"n\u00e4me";
  FakeEntryDir dir(facts);
  BackupRequestBody request{&sink, nullptr, 0, nullptr};
  Common::Error error = CommonBackupFile(&dir, nullptr, request);
  ASSERT_EQ(error.GetHead()->Kind, &BackupErrorKind);

  const Common::ErrorRecord* head = error.GetHead();
  EXPECT_STREQ(head->Kind->GetParamNames(head), "path,name,$module");
  EXPECT_STREQ(head->Kind->GetAsciiParam(head, "$module"), Common::kModuleName);
  EXPECT_EQ(head->Kind->GetAsciiParam(head, "path"), nullptr);
  EXPECT_EQ(head->Kind->GetNumberParam(head, "path"), 0u);
  EXPECT_EQ(WideParam(head, "other"), u"<null>");

  // A shared record is cloned before a cause is replaced; the clone keeps its texts.
  Common::Error shared = error;
  shared.AddCause(Common::MakeError(
      Common::MakeLocation(Common::Locations::CoreFileBackup, "core/file/tests/backup_writer_test.cpp", "Test", 1),
      Common::FILE_CORRUPTED));
  ASSERT_NE(shared.GetHead(), error.GetHead());
  EXPECT_EQ(WideParam(shared.GetHead(), "path"), u"/fake/");
  EXPECT_EQ(WideParam(shared.GetHead(), "name"), u"n\u00e4me");

  std::string text = Common::ToUtf8(Common::FormatError(error).c_str());
  EXPECT_NE(text.find("Error occurred while backing up."), std::string::npos) << text;
  EXPECT_NE(text.find("path: /fake/"), std::string::npos) << text;
  EXPECT_NE(text.find("name: n\xC3\xA4me"), std::string::npos) << text;
}

TEST(BackupErrorRecord, DirectoryWithoutPathGivesNoPath) {
  RecordingSink sink(SinkOptions{0, false, 1});
  FakeEntryDir dir(Facts(0, -1));
  dir.dirPath.clear();
  BackupRequestBody request{&sink, nullptr, 0, nullptr};
  Common::Error error = CommonBackupFile(&dir, nullptr, request);
  EXPECT_EQ(WideParam(error.GetHead(), "path"), u"<null>");
  EXPECT_EQ(WideParam(error.GetHead(), "name"), u"entry");
}

}  // namespace

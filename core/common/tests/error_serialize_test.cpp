// The serialized form of error chains: round trips that display as the original, the exact
// bytes of one record, and blobs that are cut or lie about their contents.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/common/error_display.h"
#include "core/common/error_serialize.h"
#include "tools/testing/failing_new.h"

using Common::Error;
using Common::ErrorRecord;
using Common::WString;

namespace {

// A kind of the sort file errors use: a UTF-16 path, an 8-bit call name and a number,
// stored behind the text, every other name handed to the core defaults.
struct FileLikeData {
  uint64_t Flags;
  char16_t Path[64];
  char Call[32];
};

const FileLikeData* DataOf(const ErrorRecord* record) {
  const auto* base = reinterpret_cast<const uint8_t*>(record);
  return reinterpret_cast<const FileLikeData*>(base + record->Size - sizeof(FileLikeData));
}

uint64_t FileLikeNumber(const ErrorRecord* record, const char* name) {
  return std::strcmp(name, "flags") == 0 ? DataOf(record)->Flags : Common::NoNumberParam(record, name);
}

const char* FileLikeAscii(const ErrorRecord* record, const char* name) {
  return std::strcmp(name, "libcCall") == 0 ? DataOf(record)->Call : Common::GetModuleParam(record, name);
}

const char16_t* FileLikeWide(const ErrorRecord* record, const char* name) {
  return std::strcmp(name, "path") == 0 ? DataOf(record)->Path : Common::NoWideParam(record, name);
}

const char* FileLikeNames(const ErrorRecord*) { return "path,libcCall,flags,$module"; }

const Common::ErrorKind kFileLikeKind = {Common::FreeRecord, Common::CloneRecord, Common::GetRecordText,
                                         FileLikeNumber,     FileLikeAscii,       FileLikeWide,
                                         FileLikeNames};

constexpr Common::SourceFileId kTestFile{0x11223344, 0xA1B2C3D4};

Common::SourceLocation Site(const char* function, uint32_t line) {
  return Common::MakeLocation(kTestFile, "core/common/tests/error_serialize_test.cpp", function, line);
}

Error FileLike(Common::SourceLocation location, uint32_t code, const char16_t* text, const char16_t* path,
               const char* call, uint64_t flags) {
  size_t offset = 0;
  ErrorRecord* record = Common::AllocateTextRecord(location, code, &kFileLikeKind, text, sizeof(FileLikeData), &offset);
  if (record == nullptr) return Error::Adopt(nullptr);
  auto* data = reinterpret_cast<FileLikeData*>(reinterpret_cast<uint8_t*>(record) + offset);
  data->Flags = flags;
  std::char_traits<char16_t>::copy(data->Path, path, std::char_traits<char16_t>::length(path) + 1);
  std::strcpy(data->Call, call);
  return Error::Adopt(record);
}

const char16_t* Catalog(uint32_t number) { return Common::GetMessageText(Common::Message(number)); }

Error RoundTrip(const Error& error) {
  uint32_t size = 0;
  std::unique_ptr<uint8_t[]> blob(Common::SerializeError(error, size));
  Error rebuilt;
  Common::DeserializeError(rebuilt, blob.get(), static_cast<int32_t>(size));
  return rebuilt;
}

std::vector<uint8_t> Bytes(const Error& error) {
  uint32_t size = 0;
  std::unique_ptr<uint8_t[]> blob(Common::SerializeError(error, size));
  return std::vector<uint8_t>(blob.get(), blob.get() + size);
}

size_t ChainLength(const Error& error) {
  size_t n = 0;
  for (const ErrorRecord* r = error.GetHead(); r != nullptr; r = r->Cause) ++n;
  return n;
}

// Deserializes from a block of exactly `bytes.size()` bytes, so that reading past it is
// visible to the address sanitizer.
Error FromBytes(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  Error rebuilt;
  Common::DeserializeError(rebuilt, exact.get(), static_cast<int32_t>(bytes.size()));
  return rebuilt;
}

struct RoundTripCase {
  const char* Name;
  std::function<Error()> Make;
};

const RoundTripCase kRoundTrips[] = {
    {"file-like record with catalog text and an errno cause",
     [] {
       Error e = FileLike(Site("OpenFile", 541), Common::FILE_NOT_FOUND, Catalog(367), u"/tmp/d\u00e9j\u00e0/x",
                          "open64", 0x8000);
       return e.AddPosixError(ENOENT);
     }},
    {"three records, the middle one without text",
     [] {
       Error e = Common::MakeError(Site("Launch", 274), Common::LAUNCHER_EXECUTE_FAILED, {u"tool --arg"});
       Error middle(Site("Split", 12), Common::CHILD_STD_HANDLE_ERROR);
       middle.AddPosixError(EBADF);
       return e.AddCause(middle);
     }},
    {"texts and values of several lines, outside the BMP",
     [] {
       return FileLike(Site("Read", 7), Common::FILE_READ_ERROR, u"first\nsecond \U0001F600", u"a\nb \u20AC",
                       "read", 0);
     }},
    {"no file, function or line", [] { return Error({5, 6, nullptr, nullptr, 0}, Common::FILE_CORRUPTED, u"x"); }},
    {"empty copied text", [] { return Error(Site("Empty", 1), Common::FILE_CANCELED, u""); }},
    {"out of memory record", [] { return Error::Adopt(nullptr); }},
};

TEST(ErrorSerializeTest, RoundTripsDisplayAsTheOriginal) {
  for (const RoundTripCase& c : kRoundTrips) {
    SCOPED_TRACE(c.Name);
    Error original = c.Make();
    Error rebuilt = RoundTrip(original);
    EXPECT_EQ(Common::ToUtf8(Common::FormatError(rebuilt).c_str()), Common::ToUtf8(Common::FormatError(original).c_str()));
    EXPECT_EQ(ChainLength(rebuilt), ChainLength(original));
    for (const ErrorRecord* r = rebuilt.GetHead(); r != nullptr; r = r->Cause) EXPECT_EQ(r->Kind, &Common::BlobErrorKind);
    // A rebuilt chain serializes to the same bytes: nothing was lost or reordered.
    EXPECT_EQ(Bytes(rebuilt), Bytes(original));
  }
}

TEST(ErrorSerializeTest, EmptyErrorIsTheVersionByteAlone) {
  EXPECT_EQ(Bytes(Error()), std::vector<uint8_t>{0x01});
  EXPECT_EQ(Bytes(Error(Site("F", 1), 0, u"ignored")), std::vector<uint8_t>{0x01});
  Error rebuilt = Common::MakeError(Site("F", 1), Common::FILE_CORRUPTED);
  Common::DeserializeError(rebuilt, "\x01", 1);
  EXPECT_TRUE(rebuilt.IsEmpty());
  EXPECT_EQ(rebuilt.GetHead(), nullptr);
}

struct ByteWriter {
  std::vector<uint8_t> Out;
  ByteWriter& U8(uint8_t v) {
    Out.push_back(v);
    return *this;
  }
  ByteWriter& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) Out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  ByteWriter& U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) Out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  // The string with its NUL.
  ByteWriter& Str(const std::string& s) {
    Out.insert(Out.end(), s.begin(), s.end());
    Out.push_back(0);
    return *this;
  }
  ByteWriter& Raw(const std::string& s) {
    Out.insert(Out.end(), s.begin(), s.end());
    return *this;
  }
  ByteWriter& Append(const std::vector<uint8_t>& bytes) {
    Out.insert(Out.end(), bytes.begin(), bytes.end());
    return *this;
  }
};

TEST(ErrorSerializeTest, RecordBytesAreExact) {
  const uint32_t low = 0x01020304, high = 0xF0E0D0C0;
  Error error({low, high, "src/f.cpp", "Fn", 28}, Common::FILE_NOT_SUPPORTED, Catalog(383));
  ByteWriter expected;
  expected.U8(0x01).U8(0x0E).U8(0x00).U8(0x04).U8(0x00);
  expected.U8(0x04).U8(0x03).U8(0x02).U8(0x01).U8(0xC0).U8(0xD0).U8(0xE0).U8(0xF0);
  expected.Str("The operation is not supported.");
  expected.Str("$module").U8('A').Str("ormivane_packed_lx_31346");
  expected.Str("$file").U8('A').Str("src/f.cpp");
  expected.Str("$func").U8('A').Str("Fn");
  expected.Str("$line").U8('N').U8(0x1C).U8(0).U8(0).U8(0).U8(0).U8(0).U8(0).U8(0);
  expected.U8(0);
  EXPECT_EQ(Bytes(error), expected.Out);
}

TEST(ErrorSerializeTest, ErrnoRecordCarriesItsCodeAsNumber) {
  Error error = Common::MakeError(Site("Open", 3), Common::FILE_NOT_FOUND);
  error.AddPosixError(ENOENT);
  std::vector<uint8_t> blob = Bytes(error);
  std::vector<uint8_t> code = ByteWriter().Str("code").U8('N').U64(ENOENT).Out;
  EXPECT_NE(std::search(blob.begin(), blob.end(), code.begin(), code.end()), blob.end());
  Error rebuilt = RoundTrip(error);
  const ErrorRecord* cause = rebuilt.GetHead()->Cause;
  ASSERT_NE(cause, nullptr);
  EXPECT_EQ(cause->Code, Common::POSIX_ERROR);
  EXPECT_EQ(cause->Kind->GetNumberParam(cause, "code"), uint64_t{ENOENT});
  EXPECT_STREQ(cause->Function, "AddPosixError");
  EXPECT_EQ(cause->Line, 346u);
}

// A first record that is whole, so each malformed record can be checked both as the first
// (nothing is rebuilt) and behind it (the first is kept).
std::vector<uint8_t> GoodRecord() {
  return ByteWriter().U32(0x40001).U32(1).U32(2).Str("good").Str("p").U8('A').Str("v").U8(0).Out;
}

ByteWriter RecordStart() { return std::move(ByteWriter().U32(0x4000D).U32(3).U32(4)); }

struct MalformedCase {
  const char* Name;
  std::vector<uint8_t> Record;
};

const MalformedCase kMalformedRecords[] = {
    {"text without NUL", RecordStart().Raw("abc").Out},
    {"text not UTF-8", RecordStart().Str("\xFF").U8(0).Out},
    {"location cut short", ByteWriter().U32(0x4000D).U32(3).Raw("\x01\x02\x03").Out},
    {"name without NUL", RecordStart().Str("t").Raw("name").Out},
    {"no type byte", RecordStart().Str("t").Str("name").Out},
    {"unknown type byte", RecordStart().Str("t").Str("n").U8('X').Str("v").U8(0).Out},
    {"number cut short", RecordStart().Str("t").Str("n").U8('N').Raw("\x01\x02\x03\x04\x05\x06\x07").Out},
    {"8-bit value without NUL", RecordStart().Str("t").Str("n").U8('A').Raw("value").Out},
    {"wide value without NUL", RecordStart().Str("t").Str("n").U8('W').Raw("value").Out},
    {"wide value not UTF-8", RecordStart().Str("t").Str("n").U8('W').Str("\xC3").U8(0).Out},
    {"no empty name at the end", RecordStart().Str("t").Str("n").U8('A').Str("v").Out},
    {"name holding the list separator", RecordStart().Str("t").Str("a,b").U8('A').Str("v").U8(0).Out},
};

TEST(ErrorSerializeTest, MalformedRecordEndsTheReading) {
  for (const MalformedCase& c : kMalformedRecords) {
    SCOPED_TRACE(c.Name);
    Error alone = FromBytes(ByteWriter().U8(0x01).Append(c.Record).Out);
    EXPECT_EQ(alone.GetHead(), nullptr);
    Error behind = FromBytes(ByteWriter().U8(0x01).Append(GoodRecord()).Append(c.Record).Out);
    ASSERT_EQ(ChainLength(behind), 1u);
    EXPECT_EQ(behind.GetCode(), 0x40001u);
    EXPECT_STREQ(behind.GetHead()->Kind->GetAsciiParam(behind.GetHead(), "p"), "v");
  }
}

struct BlobCase {
  const char* Name;
  std::vector<uint8_t> Blob;
  size_t Records;
};

const BlobCase kBlobs[] = {
    {"nothing", {}, 0},
    {"other version", ByteWriter().U8(0x02).Append(GoodRecord()).Out, 0},
    {"12 bytes", ByteWriter().U8(0x01).U32(0x40001).U32(1).Raw("\x01\x02\x03").Out, 0},
    {"first code 0", ByteWriter().U8(0x01).U32(0).U32(1).U32(2).Str("t").U8(0).Out, 0},
    {"second code 0", ByteWriter().U8(0x01).Append(GoodRecord()).U32(0).U32(1).U32(2).Str("t").U8(0).Out, 1},
    {"11 bytes behind a record", ByteWriter().U8(0x01).Append(GoodRecord()).Raw("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B").Out, 1},
    {"two records", ByteWriter().U8(0x01).Append(GoodRecord()).Append(GoodRecord()).Out, 2},
};

TEST(ErrorSerializeTest, BlobTable) {
  for (const BlobCase& c : kBlobs) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(ChainLength(FromBytes(c.Blob)), c.Records);
  }
  Error rebuilt;
  std::vector<uint8_t> good = ByteWriter().U8(0x01).Append(GoodRecord()).Out;
  Common::DeserializeError(rebuilt, good.data(), -1);
  EXPECT_EQ(rebuilt.GetHead(), nullptr);
  Common::DeserializeError(rebuilt, nullptr, 100);
  EXPECT_EQ(rebuilt.GetHead(), nullptr);
}

// Every prefix of a real two-record blob rebuilds exactly the records it holds whole.
TEST(ErrorSerializeTest, EveryCutKeepsTheWholeRecordsBeforeIt) {
  Error head = FileLike(Site("Write", 90), Common::FILE_WRITE_ERROR, u"w\u00fcrite", u"/p", "write", 5);
  size_t firstEnd = Bytes(head).size();
  Error chain = head;
  chain.AddPosixError(ENOSPC);
  std::vector<uint8_t> blob = Bytes(chain);
  for (size_t cut = 0; cut <= blob.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    Error rebuilt = FromBytes(std::vector<uint8_t>(blob.begin(), blob.begin() + cut));
    size_t expected = cut == blob.size() ? 2 : cut >= firstEnd ? 1 : 0;
    ASSERT_EQ(ChainLength(rebuilt), expected);
    if (expected == 1) {
      EXPECT_EQ(Common::FormatError(rebuilt), Common::FormatError(head));
    }
  }
}

TEST(ErrorSerializeTest, ParameterLookupInRebuiltRecords) {
  std::vector<uint8_t> blob = ByteWriter()
                                  .U8(0x01)
                                  .U32(0x40001).U32(1).U32(2).Str("t")
                                  .Str("x").U8('N').U64(7)
                                  .Str("x").U8('A').Str("second")
                                  .Str("$file").U8('N').U64(9)
                                  .Str("$line").U8('A').Str("L")
                                  .Str("$file").U8('A').Str("f.cpp")
                                  .U8(0)
                                  .Out;
  Error rebuilt = FromBytes(blob);
  const ErrorRecord* r = rebuilt.GetHead();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(Common::GetBlobParamNames(r), "x,x,$file,$line");
  EXPECT_EQ(Common::GetBlobNumberParam(r, "x"), 7u);
  EXPECT_EQ(Common::GetBlobAsciiParam(r, "x"), nullptr);
  EXPECT_EQ(Common::GetBlobWideParam(r, "x"), nullptr);
  EXPECT_EQ(Common::GetBlobNumberParam(r, "$file"), 9u);
  EXPECT_STREQ(Common::GetBlobAsciiParam(r, "$line"), "L");
  EXPECT_EQ(Common::FindBlobParam(r, "absent"), nullptr);
  EXPECT_EQ(Common::FindBlobParam(r, ""), nullptr);
  EXPECT_EQ(Common::FindBlobParam(r, "$module"), nullptr);
  EXPECT_STREQ(r->File, "f.cpp");
  EXPECT_EQ(r->Function, nullptr);
  EXPECT_EQ(r->Line, 0u);
}

// UTF-16 values are handed out in place: whatever the length of the names before them,
// they must be readable as char16_t.
TEST(ErrorSerializeTest, WideValuesAreAligned) {
  for (std::string name : {"a", "ab", "abc", "abcd"}) {
    SCOPED_TRACE(name);
    Error rebuilt = FromBytes(ByteWriter().U8(0x01).U32(0x40001).U32(1).U32(2).Str("").Str(name).U8('W')
                                  .Str("\xE2\x82\xAC/x").U8(0).Out);
    const char16_t* value = Common::GetBlobWideParam(rebuilt.GetHead(), name.c_str());
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(value) % alignof(char16_t), 0u);
    EXPECT_EQ(WString(value), u"\u20AC/x");
  }
}

TEST(ErrorSerializeTest, SharedRebuiltRecordClonesOnAddCause) {
  Error original = FileLike(Site("Seek", 4), Common::FILE_SEEK_ERROR, Catalog(380), u"/q", "lseek64", 1);
  Error rebuilt = RoundTrip(original);
  Error shared = rebuilt;
  Error cause = Common::MakeError(Site("Inner", 5), Common::FILE_CORRUPTED);
  shared.AddCause(cause);
  EXPECT_NE(shared.GetHead(), rebuilt.GetHead());
  Error expected = original;
  expected.AddCause(cause);
  EXPECT_EQ(Common::FormatError(shared), Common::FormatError(expected));
  EXPECT_EQ(Common::FormatError(rebuilt), Common::FormatError(original));
}

TEST(ErrorSerializeTest, FileNamesAreInterned) {
  Error original = FileLike(Site("Stat", 8), Common::FILE_OPEN_ERROR, nullptr, u"/s", "stat64", 0);
  Error first = RoundTrip(original), second = RoundTrip(original);
  EXPECT_EQ(first.GetHead()->File, second.GetHead()->File);
  EXPECT_EQ(first.GetHead()->Function, second.GetHead()->Function);
  std::string a = "interned-name", b = "interned-name";
  EXPECT_EQ(Common::InternName(a.c_str()), Common::InternName(b.c_str()));
  EXPECT_NE(Common::InternName(a.c_str()), a.c_str());
  EXPECT_NE(Common::InternName("interned-other"), Common::InternName(a.c_str()));
  EXPECT_EQ(Common::InternName(nullptr), nullptr);
}

// The set cannot take the name (its node is made with scalar new): the copy made for it
// goes too, and the name is interned once memory is back.
TEST(ErrorSerializeTest, NameThatCannotBeInternedLeavesNothing) {
  Common::InternName("interned-first");
  const long live = Testing::LiveAllocations();
  {
    Testing::NewFailure node(Testing::kScalarNew, 1);
    EXPECT_THROW(Common::InternName("interned-later"), std::bad_alloc);
    EXPECT_TRUE(node.Failed());
  }
  EXPECT_EQ(Testing::LiveAllocations(), live);
  EXPECT_STREQ(Common::InternName("interned-later"), "interned-later");
}

TEST(DynamicBufferTest, WriteAtStaysInsideWhatWasWritten) {
  Common::DynamicBuffer buffer;
  EXPECT_TRUE(buffer.Write("abcd", 4));
  EXPECT_TRUE(buffer.Write(nullptr, 3));
  ASSERT_EQ(buffer.Size(), 7u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), 7), std::string("abcd\0\0\0", 7));
  EXPECT_TRUE(buffer.WriteAt(5, "XY", 2));
  EXPECT_FALSE(buffer.WriteAt(6, "XY", 2));
  EXPECT_FALSE(buffer.WriteAt(8, "", 0));
  EXPECT_FALSE(buffer.WriteAt(0xFFFFFFFF, "XY", 2));
  EXPECT_FALSE(buffer.WriteAt(1, "XY", 0xFFFFFFFF));
  EXPECT_TRUE(buffer.WriteAt(7, "", 0));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), 7), std::string("abcd\0XY", 7));
  // Growing keeps what was written.
  std::string big(1000, 'z');
  EXPECT_TRUE(buffer.Write(big.data(), static_cast<uint32_t>(big.size())));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), 7), std::string("abcd\0XY", 7));
  EXPECT_EQ(buffer.Size(), 1007u);
  std::unique_ptr<uint8_t[]> block(buffer.Release());
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_EQ(block[1006], 'z');
}

// A sink that refuses after a budget: the writer stops at the first refusal.
class LimitedBuffer final : public Common::Buffer {
 public:
  explicit LimitedBuffer(uint32_t writes) : left(writes) {}
  bool Write(const void* bytes, uint32_t length) override {
    if (left == 0) return false;
    --left;
    return inner.Write(bytes, length);
  }
  bool WriteAt(uint32_t position, const void* bytes, uint32_t length) override {
    return inner.WriteAt(position, bytes, length);
  }
  uint32_t Size() const override { return inner.Size(); }
  uint32_t left;
  Common::DynamicBuffer inner;
};

TEST(ErrorSerializeTest, WriterStopsAtTheFirstRefusedWrite) {
  Error error = FileLike(Site("Lock", 2), Common::FILE_LOCK_FAILED, u"t", u"/l", "fcntl", 3);
  std::vector<uint8_t> whole = Bytes(error);
  for (uint32_t writes = 0; writes < 64; ++writes) {
    LimitedBuffer sink(writes);
    bool done = Common::WriteErrorChain(sink, error.GetHead());
    std::vector<uint8_t> written(sink.inner.Data(), sink.inner.Data() + sink.Size());
    ASSERT_TRUE(std::equal(written.begin(), written.end(), whole.begin())) << writes;
    if (done) {
      EXPECT_EQ(written, whole);
      return;
    }
    EXPECT_EQ(sink.left, 0u);
  }
  ADD_FAILURE() << "the writer never finished";
}

}  // namespace

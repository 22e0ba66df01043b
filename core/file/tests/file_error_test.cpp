// File-system errors: the errno table, the three record shapes, byte-wise copies of path
// records, running out of memory, and display and serialized round trips.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/common/error.h"
#include "core/common/error_display.h"
#include "core/common/error_serialize.h"
#include "core/file/file_error.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/failing_new.h"

using Common::Error;
using Common::ErrorRecord;
using Common::Message;

namespace {

using Testing::HasSite;

constexpr Common::SourceFileId kPosix = Common::Locations::CoreFileUnixPosixsp;
constexpr uint32_t kOpenLine = 611;
const Common::SourceLocation kOpenSite =
    Common::MakeLocation(kPosix, "core/file/tests/file_error_test.cpp", "Open", kOpenLine);
const char16_t kCallerText[] = u"Caller's own text.";

Error RaiseWithErrno(int errnum, uint32_t defaultCode, const char16_t* text, const char* path1 = nullptr,
                     const char* path2 = nullptr) {
  errno = errnum;
  return MakeFileError(kOpenSite, defaultCode, text, path1, path2);
}

std::string TextOf(const ErrorRecord* record) {
  Common::WString text;
  record->Kind->GetText(text, record);
  return Common::ToUtf8(text.c_str());
}

std::string MessageText(uint32_t number) { return Common::ToUtf8(Common::GetMessageText(Message(number))); }

const char* Ascii(const Error& error, const char* name) {
  const ErrorRecord* r = error.GetHead();
  return r->Kind->GetAsciiParam(r, name);
}

struct ErrnoCase {
  int errnum;
  uint32_t defaultCode;
  uint32_t code;
  uint32_t message;  // 0: the caller's text stays
};

TEST(FileErrorTest, ErrnoTable) {
  const ErrnoCase cases[] = {
      {EPERM, Common::FILE_OPEN_ERROR, Common::FILE_ACCESS_DENIED, 341},
      {EACCES, Common::FILE_OPEN_ERROR, Common::FILE_ACCESS_DENIED, 341},
      {ETXTBSY, Common::FILE_WRITE_ERROR, Common::FILE_ACCESS_DENIED, 341},
      {EPERM, Common::FILE_LOCK_FAILED, Common::FILE_LOCK_FAILED, 0},
      {EACCES, Common::FILE_LOCK_FAILED, Common::FILE_LOCK_FAILED, 0},
      {ETXTBSY, Common::FILE_LOCK_FAILED, Common::FILE_LOCK_FAILED, 0},
      {ENOENT, Common::FILE_OPEN_ERROR, Common::FILE_NOT_FOUND, 367},
      // Only the access rows spare a lock request.
      {ENOENT, Common::FILE_LOCK_FAILED, Common::FILE_NOT_FOUND, 367},
      {ENOMEM, Common::FILE_READ_ERROR, Common::FILE_OUT_OF_MEMORY, 372},
      {EBUSY, Common::FILE_DELETE_ERROR, Common::FILE_NOT_READY, 369},
      {ENODEV, Common::FILE_OPEN_ERROR, Common::FILE_NOT_READY, 369},
      {ENOMEDIUM, Common::FILE_OPEN_ERROR, Common::FILE_NOT_READY, 369},
      {EEXIST, Common::FILE_CREATE_ERROR, Common::FILE_ALREADY_EXISTS, 342},
      {ENOSPC, Common::FILE_WRITE_ERROR, Common::FILE_DISK_FULL, 353},
      // A row replaces the text even when its code is the caller's.
      {ENOSPC, Common::FILE_DISK_FULL, Common::FILE_DISK_FULL, 353},
      {EROFS, Common::FILE_CREATE_ERROR, Common::FILE_READ_ONLY, 374},
      {EOPNOTSUPP, Common::FILE_OPEN_ERROR, Common::FILE_NOT_SUPPORTED, 383},
      {EINTR, Common::FILE_READ_ERROR, Common::FILE_READ_ERROR, 0},
      {EXDEV, Common::FILE_RENAME_ERROR, Common::FILE_RENAME_ERROR, 0},
      {EIO, Common::FILE_WRITE_ERROR, Common::FILE_WRITE_ERROR, 0},
  };
  for (const ErrnoCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "errno " << c.errnum << " default 0x" << std::hex << c.defaultCode);
    Error e = RaiseWithErrno(c.errnum, c.defaultCode, kCallerText, "/tmp/p");
    const ErrorRecord* head = e.GetHead();
    EXPECT_EQ(head->Code, c.code);
    EXPECT_EQ(TextOf(head), c.message == 0 ? Common::ToUtf8(kCallerText) : MessageText(c.message));
    EXPECT_EQ(head->IdLow, kPosix.Base + kOpenLine);
    EXPECT_EQ(head->IdHigh, kPosix.High);
    EXPECT_THAT(head, HasSite("Open", kOpenLine));

    const ErrorRecord* cause = head->Cause;
    ASSERT_NE(cause, nullptr);
    EXPECT_EQ(cause->Code, Common::POSIX_ERROR);
    EXPECT_EQ(cause->Kind->GetNumberParam(cause, "code"), static_cast<uint64_t>(c.errnum));
    EXPECT_EQ(cause->Cause, nullptr);
  }
}

TEST(FileErrorTest, MappedTextsAreTheCatalogsOwn) {
  Error e = RaiseWithErrno(ENOENT, Common::FILE_OPEN_ERROR, kCallerText, "/tmp/p");
  EXPECT_EQ(TextOf(e.GetHead()), "The specified file does not exist.");
  // Referred to, not copied: the record holds no text bytes.
  const auto* record = reinterpret_cast<const Common::TextErrorRecord*>(e.GetHead());
  EXPECT_EQ(record->Text, reinterpret_cast<uintptr_t>(Common::GetMessageText(Message(367))));
}

struct ShapeCase {
  const char* name;
  const char* path1;
  const char* path2;
  const Common::ErrorKind* kind;
  const char* names;
};

TEST(FileErrorTest, RecordShapesFollowThePaths) {
  const ShapeCase cases[] = {
      {"two paths", "/a/from", "/b/to", &FilePathPairErrorKind, "path1,path2,$module"},
      {"one path", "/a/from", nullptr, &FilePathErrorKind, "path,$module"},
      {"no path", nullptr, nullptr, &Common::TextErrorKind, "$module"},
      {"second path alone is dropped", nullptr, "/b/to", &Common::TextErrorKind, "$module"},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    Error e = RaiseWithErrno(EXDEV, Common::FILE_RENAME_ERROR, kCallerText, c.path1, c.path2);
    const ErrorRecord* head = e.GetHead();
    EXPECT_EQ(head->Kind, c.kind);
    EXPECT_STREQ(head->Kind->GetParamNames(head), c.names);
    EXPECT_EQ(head->Code, Common::FILE_RENAME_ERROR);
    EXPECT_EQ(TextOf(head), Common::ToUtf8(kCallerText));
    ASSERT_NE(head->Cause, nullptr);
    EXPECT_EQ(head->Cause->Code, Common::POSIX_ERROR);
    EXPECT_STREQ(Ascii(e, "$module"), "ormivane_packed_lx_31346");
  }
}

// A caller's text may lie at an odd address, as a catalog text does once another catalog
// is in use: it is copied whole into records of every shape.
TEST(FileErrorTest, TextAtAnOddAddressIsCopiedWhole) {
  alignas(char16_t) uint8_t bytes[sizeof kCallerText + 1];
  std::memcpy(bytes + 1, kCallerText, sizeof kCallerText);
  const auto* odd = reinterpret_cast<const char16_t*>(bytes + 1);
  for (const char* path : {"/a/from", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(path ? "one path" : "no path");
    Error e = RaiseWithErrno(EXDEV, Common::FILE_RENAME_ERROR, odd, path);
    EXPECT_EQ(TextOf(e.GetHead()), Common::ToUtf8(kCallerText));
  }
}

TEST(FileErrorTest, PathParametersAnswerOnlyTheirExactNames) {
  Error pair = RaiseWithErrno(EXDEV, Common::FILE_RENAME_ERROR, kCallerText, "/a/from", "/b/to");
  EXPECT_STREQ(Ascii(pair, "path1"), "/a/from");
  EXPECT_STREQ(Ascii(pair, "path2"), "/b/to");
  EXPECT_EQ(Ascii(pair, "path"), nullptr);
  EXPECT_EQ(Ascii(pair, "Path1"), nullptr);

  Error single = RaiseWithErrno(ENOENT, Common::FILE_OPEN_ERROR, kCallerText, "/a/from");
  EXPECT_STREQ(Ascii(single, "path"), "/a/from");
  EXPECT_EQ(Ascii(single, "Path"), nullptr);
  EXPECT_EQ(Ascii(single, "path1"), nullptr);
  EXPECT_EQ(Ascii(single, "paths"), nullptr);
  const ErrorRecord* head = single.GetHead();
  EXPECT_EQ(head->Kind->GetWideParam(head, "path"), nullptr);
  EXPECT_EQ(head->Kind->GetNumberParam(head, "path"), 0u);
}

TEST(FileErrorTest, PathRecordsAreSelfContainedBlocks) {
  std::string from = "/a/from";
  std::string to = "/b/\xff\xfe-not-utf8";
  Error e = RaiseWithErrno(EXDEV, Common::FILE_RENAME_ERROR, kCallerText, from.c_str(), to.c_str());
  const ErrorRecord* head = e.GetHead();
  // The caller's strings may go away at once: the record keeps its own copies.
  from.assign(from.size(), 'x');
  to.assign(to.size(), 'x');
  const char* path1 = Ascii(e, "path1");
  const char* path2 = Ascii(e, "path2");
  const auto* base = reinterpret_cast<const char*>(head);
  EXPECT_GE(path1, base);
  EXPECT_LE(path2 + std::strlen(path2) + 1, base + head->Size);
  EXPECT_STREQ(path1, "/a/from");
  EXPECT_STREQ(path2, "/b/\xff\xfe-not-utf8");

  // A byte-wise clone answers the same from its own block, after the original is gone.
  ErrorRecord* clone = head->Kind->Clone(head);
  ASSERT_NE(clone, nullptr);
  e = Error();
  Error cloned = Error::Adopt(clone);
  EXPECT_STREQ(Ascii(cloned, "path1"), "/a/from");
  EXPECT_STREQ(Ascii(cloned, "path2"), "/b/\xff\xfe-not-utf8");
  EXPECT_EQ(TextOf(clone), Common::ToUtf8(kCallerText));
  EXPECT_EQ(clone->Cause, nullptr);
}

TEST(FileErrorTest, SharedHeadIsClonedWhenACauseIsAdded) {
  Error e = RaiseWithErrno(ENOENT, Common::FILE_OPEN_ERROR, kCallerText, "/x");
  Error other = e;
  other.AddPosixError(EIO);
  EXPECT_NE(other.GetHead(), e.GetHead());
  EXPECT_STREQ(Ascii(other, "path"), "/x");
  EXPECT_EQ(e.GetHead()->Cause->Kind->GetNumberParam(e.GetHead()->Cause, "code"), static_cast<uint64_t>(ENOENT));
  EXPECT_EQ(other.GetHead()->Cause->Kind->GetNumberParam(other.GetHead()->Cause, "code"),
            static_cast<uint64_t>(EIO));
}

// The first message lookup loads the catalog, which needs memory: done before the
// allocations are made to fail.
void LoadCatalogFirst() { ASSERT_NE(Common::GetMessageText(Message(367)), nullptr); }

TEST(FileErrorTest, RunningOutOfMemoryStillGivesAnError) {
  LoadCatalogFirst();
  for (const char* path : {"/x", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(path ? "one path" : "no path");
    errno = ENOENT;
    // Array new is how records are allocated.
    Testing::FailArrayNew = true;
    Error e = MakeFileError(kOpenSite, Common::FILE_OPEN_ERROR, kCallerText, path);
    Testing::FailArrayNew = false;
    EXPECT_EQ(e.GetHead(), Common::GetOutOfMemoryRecord());
    EXPECT_EQ(e.GetCode(), Common::OUT_OF_MEMORY);
  }
}

TEST(FileErrorTest, OneFailedAllocationKeepsTheRestOfTheChain) {
  LoadCatalogFirst();
  // The path record fails: the out-of-memory record stands in and, being shared, is
  // copied to take the errno cause.
  errno = ENOENT;
  Error noRecord;
  {
    Testing::NewFailure first(Testing::kArrayNew, 1);
    noRecord = MakeFileError(kOpenSite, Common::FILE_OPEN_ERROR, kCallerText, "/x");
  }
  ASSERT_NE(noRecord.GetHead(), nullptr);
  EXPECT_EQ(noRecord.GetCode(), Common::OUT_OF_MEMORY);
  EXPECT_NE(noRecord.GetHead(), Common::GetOutOfMemoryRecord());
  ASSERT_NE(noRecord.GetHead()->Cause, nullptr);
  EXPECT_EQ(noRecord.GetHead()->Cause->Code, Common::POSIX_ERROR);

  // The errno record fails: the file record keeps its paths, the cause is out of memory.
  errno = ENOENT;
  Error noErrno;
  {
    Testing::NewFailure second(Testing::kArrayNew, 2);
    noErrno = MakeFileError(kOpenSite, Common::FILE_OPEN_ERROR, kCallerText, "/x");
  }
  EXPECT_EQ(noErrno.GetCode(), Common::FILE_NOT_FOUND);
  EXPECT_STREQ(Ascii(noErrno, "path"), "/x");
  ASSERT_NE(noErrno.GetHead()->Cause, nullptr);
  EXPECT_EQ(noErrno.GetHead()->Cause->Code, Common::OUT_OF_MEMORY);
}

TEST(FileErrorTest, DisplayShowsPathsAndTheErrnoCause) {
  errno = EXDEV;
  Error e = MakeFileError(kOpenSite, Common::FILE_RENAME_ERROR, Common::GetMessageText(Message(377)), "/a/from",
                          "/b/to");
  std::string shown = Common::ToUtf8(Common::FormatError(e).c_str());
  std::string expected = "Error 0x40009: Error occurred while renaming the file.\n"
                         "| line: 0x3d9ea26f1bfdf0e1\n"
                         "| file: core/file/tests/file_error_test.cpp:611\n"
                         "| function: Open\n"
                         "| path1: /a/from\n"
                         "| path2: /b/to\n"
                         "| $module: ormivane_packed_lx_31346\n"
                         "|\n"
                         "| error 0xfff1: ";
  EXPECT_EQ(shown.substr(0, expected.size()), expected);
  EXPECT_NE(shown.find("\n| code: 0x12\n"), std::string::npos) << shown;
}

TEST(FileErrorTest, SerializedRoundTripKeepsPathsAndDisplay) {
  const char* const shapes[][2] = {{"/a/from", "/b/\xff-raw"}, {"/only/one", nullptr}, {nullptr, nullptr}};
  for (const auto& paths : shapes) {
    SCOPED_TRACE(paths[0] ? paths[0] : "no path");
    errno = ENOENT;
    Error original = MakeFileError(kOpenSite, Common::FILE_OPEN_ERROR, kCallerText, paths[0], paths[1]);
    uint32_t size = 0;
    uint8_t* blob = Common::SerializeError(original, size);
    ASSERT_NE(blob, nullptr);
    Error rebuilt;
    Common::DeserializeError(rebuilt, blob, static_cast<int32_t>(size));
    delete[] blob;

    EXPECT_EQ(Common::FormatError(rebuilt), Common::FormatError(original));
    const ErrorRecord* head = rebuilt.GetHead();
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->Kind->GetParamNames(head), original.GetHead()->Kind->GetParamNames(original.GetHead()));
    if (paths[1] != nullptr) {
      EXPECT_STREQ(Ascii(rebuilt, "path1"), paths[0]);
      EXPECT_STREQ(Ascii(rebuilt, "path2"), paths[1]);
    } else if (paths[0] != nullptr) {
      EXPECT_STREQ(Ascii(rebuilt, "path"), paths[0]);
    }
    ASSERT_NE(head->Cause, nullptr);
    EXPECT_EQ(head->Cause->Kind->GetNumberParam(head->Cause, "code"), static_cast<uint64_t>(ENOENT));
  }
}

TEST(FileErrorTest, SerializedPathIsAnAsciiParameter) {
  errno = ENOENT;
  Error e = MakeFileError(kOpenSite, Common::FILE_OPEN_ERROR, kCallerText, "/p");
  uint32_t size = 0;
  uint8_t* blob = Common::SerializeError(e, size);
  std::string bytes(reinterpret_cast<const char*>(blob), size);
  delete[] blob;
  EXPECT_NE(bytes.find(std::string("path\0A/p\0$module\0A", 18)), std::string::npos);
}

}  // namespace

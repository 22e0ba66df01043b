// The display text of error chains, against the generated catalog.
#include <gtest/gtest.h>

#include <cstring>

#include "core/common/error_display.h"

using Common::Error;
using Common::Message;
using Common::WString;

namespace {

std::string Display(const Error& e) { return Common::ToUtf8(Common::FormatError(e).c_str()); }

std::string Catalog(uint32_t number) { return Common::ToUtf8(Common::GetMessageText(Message(number))); }

const Common::SourceLocation kGetIterator =
    Common::MakeLocation(Common::Locations::CoreFileZipfile, "F", "GetIterator", 541);

TEST(ErrorDisplayTest, EmptyErrorsShowSuccess) {
  EXPECT_EQ(Display(Error()), "Success");
  EXPECT_EQ(Display(Common::NoError), "Success");
  // A record whose code is 0 (as a rebuilt record may be) also shows success.
  Error zero = Error::Adopt(Common::AllocateTextRecord(kGetIterator, 0, &Common::TextErrorKind, u"t", 0, nullptr));
  EXPECT_EQ(Display(zero), "Success");
}

// The value that means success has no record: the one-record formatters add nothing to it.
TEST(ErrorDisplayTest, RecordFormattersLeaveTheEmptyErrorAlone) {
  for (const Error& empty : {Error(), Common::NoError}) {
    WString out = u"kept";
    Common::FormatErrorRecord(out, empty, true, 1, "channel");
    Common::FormatErrorRecord(out, empty, false, 255, nullptr);
    Common::FormatParamLine(out, "$module", empty);
    EXPECT_EQ(Common::ToUtf8(out.c_str()), "kept");
  }
}

TEST(ErrorDisplayTest, ChainWithErrnoCause) {
  Error e(kGetIterator, Common::FILE_NOT_FOUND, Common::GetMessageText(Message(367)));
  e.AddPosixError(2);
  const char* E = e.GetHead()->Cause->File;
  std::string expected = std::string() +
                         "Error 0x40011: The specified file does not exist.\n"
                         "| line: 0x86137b9d60c18179\n"
                         "| file: F:541\n"
                         "| function: GetIterator\n"
                         "| $module: ormivane_packed_lx_31346\n"
                         "|\n"
                         "| error 0xfff1: " + std::strerror(2) + "\n"
                         "| line: 0xbd28fdbd64edb918\n"
                         "| file: " + E + ":346\n"
                         "| function: AddPosixError\n"
                         "| code: 0x2\n"
                         "| $module: ormivane_packed_lx_31346";
  EXPECT_EQ(Display(e), expected);
}

TEST(ErrorDisplayTest, RecordWithoutTextAndOutOfMemory) {
  Error plain(kGetIterator, Common::CHILD_STD_HANDLE_ERROR);
  EXPECT_EQ(Display(plain),
            "Error 0x25d0001\n| line: 0x86137b9d60c18179\n| file: F:541\n| function: GetIterator\n"
            "| $module: ormivane_packed_lx_31346");
  Error oom = Error::Adopt(nullptr);
  EXPECT_EQ(Display(oom), "Error 0xfff2\n| line: 0x0\n| $module: ormivane_packed_lx_31346");
}

TEST(ErrorDisplayTest, LineFeedsContinueInsideTheFrame) {
  Common::SourceLocation bare{1, 0, nullptr, nullptr, 0};
  Error e(bare, Common::FILE_READ_ERROR, u"first\nsecond\n");
  EXPECT_EQ(Display(e), "Error 0x40001: first\n| second\n| \n| line: 0x1\n| $module: ormivane_packed_lx_31346");
  EXPECT_EQ(Common::IndentContinuationLines(u"a\n\nb"), u"a\n| \n| b");
}

TEST(ErrorDisplayTest, CauseWithCodeZeroEndsTheWalk) {
  Common::SourceLocation bare{1, 0, nullptr, nullptr, 0};
  Error deepest(bare, Common::FILE_SEEK_ERROR, u"hidden");
  Error zero = Error::Adopt(Common::AllocateTextRecord(bare, 0, &Common::TextErrorKind, u"zero", 0, nullptr));
  zero.AddCause(deepest);
  Error head(bare, Common::FILE_READ_ERROR, u"shown");
  head.AddCause(zero);
  EXPECT_EQ(Display(head), "Error 0x40001: shown\n| line: 0x1\n| $module: ormivane_packed_lx_31346");
}

// A kind with parameters of every sort, to show the order and the fallbacks.
const char* TestNames(const Common::ErrorRecord*) { return "wide,ascii,number,,$module"; }
const char16_t* TestWide(const Common::ErrorRecord* r, const char* name) {
  return std::strcmp(name, "wide") == 0 ? u"w1\nw2" : Common::NoWideParam(r, name);
}
const char* TestAscii(const Common::ErrorRecord* r, const char* name) {
  return std::strcmp(name, "ascii") == 0 ? "caf\xC3\xA9 \xFF" : Common::GetModuleParam(r, name);
}
uint64_t TestNumber(const Common::ErrorRecord*, const char* name) {
  return std::strcmp(name, "number") == 0 ? 0xABCDEF0123ull : 0;
}
const Common::ErrorKind kTestKind = {Common::FreeRecord, Common::CloneRecord, Common::GetRecordText, TestNumber,
                                     TestAscii,          TestWide,            TestNames};

TEST(ErrorDisplayTest, ParameterLinesInListOrderWithFallbacks) {
  Common::SourceLocation bare{1, 0, nullptr, nullptr, 0};
  Error e = Error::Adopt(Common::AllocateTextRecord(bare, Common::FILE_OPEN_ERROR, &kTestKind, nullptr, 0, nullptr));
  EXPECT_EQ(Display(e),
            "Error 0x40007\n| line: 0x1\n| wide: w1\n| w2\n| ascii: caf\xC3\xA9 \xEF\xBF\xBD\n"
            "| number: 0xabcdef0123\n| : 0x0\n| $module: ormivane_packed_lx_31346");
}

TEST(ErrorDisplayTest, LevelAndChannelLines) {
  Common::SourceLocation bare{1, 0, nullptr, nullptr, 0};
  Error e(bare, Common::FILE_READ_ERROR, nullptr);
  struct Case {
    uint8_t level;
    std::string word;
  };
  const Case cases[] = {{1, Catalog(41)}, {2, Catalog(43)}, {3, Catalog(44)}, {4, Catalog(42)}, {5, Catalog(40)},
                        {9, "9"}};
  for (const auto& c : cases) {
    WString out;
    Common::FormatErrorRecord(out, e, true, c.level, "net");
    EXPECT_EQ(Common::ToUtf8(out.c_str()), "Error 0x40001\n| trace level: " + c.word +
                                               "\n| channel: net\n| line: 0x1\n| $module: ormivane_packed_lx_31346");
  }
  WString out;
  Common::FormatErrorRecord(out, e, false, 255, "");
  EXPECT_EQ(Common::ToUtf8(out.c_str()), "\n| error 0x40001\n| line: 0x1\n| $module: ormivane_packed_lx_31346");
}

TEST(ErrorDisplayTest, NumbersFormat) {
  EXPECT_EQ(Common::FormatHex64(0), "0x0");
  EXPECT_EQ(Common::FormatHex64(0xFFFFFFFFFFFFFFFFull), "0xffffffffffffffff");
  EXPECT_EQ(Common::FormatDecimal64(18446744073709551615ull), "18446744073709551615");
}

// Without a catalog (none loaded, or released at exit) the words are empty, never a crash.
TEST(ErrorDisplayTest, MissingCatalogWordsAreEmpty) {
  Common::GetMessageText(Message(30));
  const uint8_t* catalog = Common::CurrentCatalog.exchange(nullptr);
  Common::SourceLocation bare{1, 0, nullptr, nullptr, 0};
  Error e(bare, Common::FILE_READ_ERROR, u"t");
  std::string shown = Display(e);
  std::string empty = Display(Error());
  Common::CurrentCatalog.store(catalog);
  EXPECT_EQ(shown, " 0x40001: t\n| : 0x1\n| $module: ormivane_packed_lx_31346");
  EXPECT_EQ(empty, "");
}

}  // namespace

// UTF-16/UTF-8 conversion tables, widening, environment access, module path, normalisation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "core/common/text.h"

using Common::WString;

namespace {

struct Utf16Case {
  WString units;
  uint32_t count;
  std::string bytes;
};

TEST(TextTest, Utf16ToUtf8Table) {
  const Utf16Case cases[] = {
      {u"\u00E9", Common::kWholeString, "\xC3\xA9"},
      {u"\u20AC", Common::kWholeString, "\xE2\x82\xAC"},
      {WString{0xD83D, 0xDE00}, Common::kWholeString, "\xF0\x9F\x98\x80"},
      {WString{0xD800}, Common::kWholeString, "\xED\xA0\x80"},
      {WString{0xDC00, 0xD800}, Common::kWholeString, "\xED\xB0\x80\xED\xA0\x80"},
      {WString{0xD83D, 0xDE00}, 1, "\xED\xA0\xBD"},  // the count ends inside the pair
      {u"ab", 1, "a"},
      {WString{u'a', 0, u'b'}, 3, "a"},  // a NUL unit stops the conversion
      {u"\u007F\u0080\u07FF\u0800", Common::kWholeString, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
  };
  for (const auto& c : cases) {
    std::string out = "junk";
    EXPECT_TRUE(Common::Utf16ToUtf8(out, c.units.data(), c.count));
    EXPECT_EQ(out, c.bytes) << "units of length " << c.units.size() << ", count " << c.count;
  }
}

struct Utf8Case {
  std::string bytes;
  uint32_t count;
  WString units;
  bool valid;
};

TEST(TextTest, Utf8ToUtf16Table) {
  const Utf8Case cases[] = {
      {"\xC3\xA9", Common::kWholeString, u"\u00E9", true},
      {std::string("\xC0\x80", 2), Common::kWholeString, WString(1, 0), false},  // overlong
      {"\xE0\x80\xAF", Common::kWholeString, u"/", false},                        // overlong
      {"\xED\xA0\x80", Common::kWholeString, WString{0xD800}, true},              // surrogates pass
      {"\xF0\x9F\x98\x80", Common::kWholeString, WString{0xD83D, 0xDE00}, true},
      {"\xF0\x8F\xBF\xBF", Common::kWholeString, WString{0xFFFF}, false},         // overlong four-byte
      {"\xF4\x90\x80\x80", Common::kWholeString, WString{0xFFFD}, false},         // above U+10FFFF
      {"\xF5\x80\x80\x80", Common::kWholeString, WString{0xFFFD}, false},         // lead above U+10FFFF
      {"\xE2\x82", Common::kWholeString, WString{0xFFFD, 0xFFFD}, false},         // cut by the NUL
      {"\xE2\x82\xAC", 2, WString{0xFFFD, 0xFFFD}, false},                       // cut by the count
      {"\x80" "a", Common::kWholeString, WString{0xFFFD, u'a'}, false},
      {"\xFF\xF8", Common::kWholeString, WString{0xFFFD, 0xFFFD}, false},
      {"\xC3(", Common::kWholeString, WString{0xFFFD, u'('}, false},            // bad continuation
      {"abc", 2, u"ab", true},
  };
  for (const auto& c : cases) {
    WString out = u"junk";
    EXPECT_EQ(Common::Utf8ToUtf16(out, c.bytes.data(), c.count), c.valid) << "bytes: " << c.bytes;
    EXPECT_EQ(out, c.units) << "bytes: " << c.bytes;
  }
}

struct SequenceCase {
  std::string bytes;
  size_t available;
  Common::Utf8Form form;
  uint32_t length;
  char32_t codePoint;
};

// The one reading of a sequence that the lenient conversion and the launcher's strict
// command line both build on.
TEST(TextTest, DecodeUtf8SequenceTable) {
  using Common::Utf8Form;
  const SequenceCase cases[] = {
      {"a", 1, Utf8Form::kValid, 1, u'a'},
      {"\xF4\x8F\xBF\xBF", 4, Utf8Form::kValid, 4, 0x10FFFF},
      {"\xE0\x9F\xBF", 3, Utf8Form::kOverlong, 3, 0x7FF},
      {"\xED\xBF\xBF", 3, Utf8Form::kSurrogate, 3, 0xDFFF},
      {"\xF7\xBF\xBF\xBF", 4, Utf8Form::kOutOfRange, 4, 0x1FFFFF},
      {"\xE2\x82\xAC", 2, Utf8Form::kBroken, 1, 0},  // the last byte lies outside
      {"\xBF", 1, Utf8Form::kBroken, 1, 0},
  };
  for (const auto& c : cases) {
    const Common::Utf8Sequence sequence = Common::DecodeUtf8Sequence(c.bytes.data(), c.available);
    EXPECT_EQ(sequence.form, c.form) << "bytes: " << c.bytes;
    EXPECT_EQ(sequence.length, c.length) << "bytes: " << c.bytes;
    EXPECT_EQ(sequence.codePoint, c.codePoint) << "bytes: " << c.bytes;
  }
}

TEST(TextTest, NullPointersGiveEmptyOrNull) {
  EXPECT_EQ(Common::ToUtf8(nullptr), "");
  EXPECT_EQ(Common::ToUtf16(nullptr), u"");
  EXPECT_EQ(Common::WidenAscii(nullptr), nullptr);
}

TEST(TextTest, WidenAsciiExtendsEachByte) {
  std::unique_ptr<char16_t[]> wide(Common::WidenAscii("a\xE9\xFF"));
  EXPECT_EQ(WString(wide.get()), (WString{u'a', 0x00E9, 0x00FF}));
}

TEST(TextTest, EnvironmentRoundTripAndInvalidValues) {
  Common::SetEnv(u"ORMIVANE_TEXT_TEST", u"caf\u00E9");
  EXPECT_STREQ(std::getenv("ORMIVANE_TEXT_TEST"), "caf\xC3\xA9");
  EXPECT_EQ(Common::GetEnv(u"ORMIVANE_TEXT_TEST"), u"caf\u00E9");
  Common::SetEnv(u"ORMIVANE_TEXT_TEST", u"replaced");
  EXPECT_EQ(Common::GetEnv(u"ORMIVANE_TEXT_TEST"), u"replaced");
  setenv("ORMIVANE_TEXT_TEST", "a\xFF", 1);
  EXPECT_EQ(Common::GetEnv(u"ORMIVANE_TEXT_TEST"), u"");
  unsetenv("ORMIVANE_TEXT_TEST");
  EXPECT_EQ(Common::GetEnv(u"ORMIVANE_TEXT_TEST"), u"");
}

TEST(TextTest, NormalizePathTable) {
  struct Case {
    std::string base, path, result;
  };
  const Case cases[] = {
      {"/home/u", "../x/./y//z", "/home/x/y/z"},
      {"/", "..", "/"},
      {"/home/u", "/a/b", "/a/b"},
      {"/a", "../../..", "/"},
      {"/a/b", "", "/a/b"},
      {"/", "a/", "/a"},
      {"/tmp", "./bin/app", "/tmp/bin/app"},
  };
  for (const auto& c : cases) {
    std::string base = c.base;
    Common::NormalizePath(base, c.path);
    EXPECT_EQ(base, c.result) << c.base << " + " << c.path;
  }
}

// Replaces the module name for one test and puts it back.
class ModuleNameTest : public testing::Test {
 protected:
  void SetUp() override {
    saved = Common::ModuleFileName;
    char buffer[PATH_MAX];
    ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
    savedCwd = buffer;
  }
  void TearDown() override {
    Common::ModuleFileName = saved;
    ASSERT_EQ(chdir(savedCwd.c_str()), 0);
  }
  const char* saved = nullptr;
  std::string savedCwd;
};

TEST_F(ModuleNameTest, RelativeNameJoinsTheCurrentDirectory) {
  ASSERT_EQ(chdir("/tmp"), 0);
  Common::ModuleFileName = "./bin/app";
  EXPECT_EQ(Common::GetModulePath(), "/tmp/bin/app");
  EXPECT_EQ(Common::GetProgramName(), "app");
}

TEST_F(ModuleNameTest, BareNameReadsTheProgramLink) {
  Common::ModuleFileName = "app";
  char target[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", target, sizeof target);
  ASSERT_GT(n, 0);
  EXPECT_EQ(Common::GetModulePath(), std::string(target, static_cast<size_t>(n)));
}

TEST_F(ModuleNameTest, WideModulePathKeepsEveryByte) {
  Common::ModuleFileName = "/opt/caf\xE9/x";
  EXPECT_EQ(Common::GetModulePathW(), (WString{u'/', u'o', u'p', u't', u'/', u'c', u'a', u'f', 0xF8E9, u'/', u'x'}));
}

TEST(TextTest, ModulePathIsThisProgram) {
  char target[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", target, sizeof target);
  ASSERT_GT(n, 0);
  EXPECT_EQ(Common::GetModulePath(), std::string(target, static_cast<size_t>(n)));
}

}  // namespace

// Tests of the native file-name codec: the byte tables of both directions in the default
// (UTF-8) code page, the escape range round trip, lone surrogates, and the callbacks
// over named converters whose code pages lack what UTF-8 has.
#include "core/file/unix/name_codec.h"
#include "core/file/unix/name_codec_testing.h"

#include <unicode/ucnv.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Common::WString;
using namespace NameCodec;

std::string Hex(const std::string& bytes) {
  std::string out;
  char piece[4];
  for (unsigned char b : bytes) {
    std::snprintf(piece, sizeof piece, "%02X ", b);
    out += piece;
  }
  return out;
}

std::string Hex(const WString& units) {
  std::string out;
  char piece[6];
  for (char16_t u : units) {
    std::snprintf(piece, sizeof piece, "%04X ", static_cast<unsigned>(u));
    out += piece;
  }
  return out;
}

class DefaultCodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* probe = ucnv_open(nullptr, &status);
    ASSERT_TRUE(U_SUCCESS(status));
    std::string name = ucnv_getName(probe, &status);
    ucnv_close(probe);
    if (name != "UTF-8") GTEST_SKIP() << "ICU's default code page here is " << name << ", not UTF-8";
  }
};

struct BytesToUnits {
  const char* bytes;
  WString units;
};

TEST_F(DefaultCodeTest, NativeBytesToUtf16) {
  const BytesToUnits cases[] = {
      {"", u""},
      {"plain.txt", u"plain.txt"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE9", u"\uF8E9"},                                  // invalid alone: escaped
      {"\xC3\x41", u"\uF8C3A"},                             // cut short: the lead escaped, A decoded
      {"\xE2\x82\x41", u"\uF8E2\uF882A"},                   // one illegal sequence, one unit per byte
      {"\xED\xA0\x80", u"\uF8ED\uF8A0\uF880"},              // an encoded surrogate is not UTF-8
      {"\xF0\x9F\x98\x80", u"\U0001F600"},                  // a pair
      {"\xFF\xFE\x80", u"\uF8FF\uF8FE\uF880"},
      {"a\xE9\xC3\xA9", u"a\uF8E9\u00E9"},
      // Valid sequences that decode into the escape range are escaped byte by byte, so
      // an escape unit always stands for one raw byte.
      {"\xEF\xA2\x80", u"\uF8EF\uF8A2\uF880"},
      {"x\xEF\xA3\xBFy", u"x\uF8EF\uF8A3\uF8BFy"},
      {"\xEF\xA3\xA9\xE9", u"\uF8EF\uF8A3\uF8A9\uF8E9"},
      {"\xEF\xA1\xBF", u"\uF87F"},  // U+F87F lies just below the range
  };
  for (const BytesToUnits& c : cases) EXPECT_EQ(Hex(FromNativeName(c.bytes)), Hex(c.units)) << Hex(std::string(c.bytes));
}

struct UnitsToBytes {
  WString units;
  std::string bytes;
};

TEST_F(DefaultCodeTest, Utf16ToNativeBytes) {
  const UnitsToBytes cases[] = {
      {u"", ""},
      {u"plain.txt", "plain.txt"},
      {u"\u00E9", "\xC3\xA9"},
      {u"\uF8E9", "\xE9"},
      {u"a\uF8E9\u00E9", "a\xE9\xC3\xA9"},
      {u"\u20AC\uF880\u20AC", "\xE2\x82\xAC\x80\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\uF87F", "\xEF\xA1\xBF"},  // outside the range: an ordinary character
      {u"\uF900", "\xEF\xA4\x80"},
      {u"\xD800", ""},              // lone surrogates cannot be converted
      {u"x\xDC00y", ""},
      {u"\xD800\xD800", ""},
      {u"\uF8E9\xD83D", ""},
  };
  for (const UnitsToBytes& c : cases) EXPECT_EQ(Hex(ToNativeName(c.units.c_str())), Hex(c.bytes)) << Hex(c.units);
}

TEST_F(DefaultCodeTest, EveryByteAndRandomNamesRoundTrip) {
  for (int b = 1; b < 256; ++b) {
    std::string bytes(1, static_cast<char>(b));
    EXPECT_EQ(Hex(ToNativeName(FromNativeName(bytes.c_str()).c_str())), Hex(bytes));
  }
  // Names built from pieces that sit on the edges: escape-range sequences, truncated
  // sequences, surrogate encodings, valid characters and raw high bytes.
  const std::vector<std::string> pieces = {"a",        "\xEF\xA2\x80", "\xEF\xA3\xBF", "\xEF\xA3", "\xEF",
                                           "\xC3\xA9", "\xC3",         "\xED\xA0\x80", "\xF0\x9F\x98\x80",
                                           "\xF0\x9F", "\x80",         "\xFF",         "\xE2\x82\xAC"};
  std::mt19937 random(20260101);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    int count = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < count; ++i) bytes += pieces[random() % pieces.size()];
    WString units = FromNativeName(bytes.c_str());
    ASSERT_FALSE(units.empty()) << Hex(bytes);
    ASSERT_EQ(Hex(ToNativeName(units.c_str())), Hex(bytes));
  }
}

// Over ISO-8859-1 every byte decodes, so the escape callback of that direction never
// runs; the encoding direction meets characters the code page lacks.
TEST(NamedConverterTest, Latin1) {
  UConverter* latin1 = OpenConverterWithCallbacksForTesting("ISO-8859-1");
  ASSERT_NE(latin1, nullptr);
  EXPECT_EQ(Hex(FromNativeNameWith(latin1, "caf\xE9")), Hex(WString(u"caf\u00E9")));
  EXPECT_EQ(Hex(ToNativeNameWith(latin1, u"caf\u00E9")), Hex(std::string("caf\xE9")));
  EXPECT_EQ(Hex(ToNativeNameWith(latin1, u"\uF8E9\u00E9")), Hex(std::string("\xE9\xE9")));
  EXPECT_EQ(ToNativeNameWith(latin1, u"\u20AC"), "");  // not in the code page, not an escape
  EXPECT_EQ(ToNativeNameWith(latin1, u"a\xD800"), "");

  // A run handed to ICU: the from-Unicode callback writes escapes back as their bytes
  // and refuses every other character the code page lacks.
  struct RunCase {
    WString units;
    bool ok;
    std::string bytes;
  };
  const RunCase runs[] = {
      {u"\uF8E9", true, "\xE9"},       {u"a\uF880b", true, "a\x80" "b"}, {u"\uF8FF", true, "\xFF"},
      {u"\uF87F", false, ""},          {u"\uF900", false, ""},           {u"\u20AC", false, ""},
  };
  for (const RunCase& run : runs) {
    std::string out = "<";
    EXPECT_EQ(ConvertRun(latin1, run.units.data(), static_cast<int32_t>(run.units.size()), out), run.ok) << Hex(run.units);
    if (run.ok) {
      EXPECT_EQ(Hex(out), Hex("<" + run.bytes));
    }
  }
  CloseConverterForTesting(latin1);
}

// Over US-ASCII every high byte is undecodable and every non-ASCII character unencodable.
TEST(NamedConverterTest, Ascii) {
  UConverter* ascii = OpenConverterWithCallbacksForTesting("US-ASCII");
  ASSERT_NE(ascii, nullptr);
  EXPECT_EQ(Hex(FromNativeNameWith(ascii, "a\xE9\x80\xFF")), Hex(WString(u"a\uF8E9\uF880\uF8FF")));
  EXPECT_EQ(Hex(ToNativeNameWith(ascii, u"a\uF8E9\uF880\uF8FF")), Hex(std::string("a\xE9\x80\xFF")));
  EXPECT_EQ(ToNativeNameWith(ascii, u"\u00E9"), "");
  std::string out;
  const WString escape = u"\uF8C3";
  EXPECT_TRUE(ConvertRun(ascii, escape.data(), 1, out));
  EXPECT_EQ(Hex(out), Hex(std::string("\xC3")));
  CloseConverterForTesting(ascii);
}

// A code page whose illegal sequences can hold ASCII bytes: those stay themselves.
TEST(NamedConverterTest, IllegalAsciiByteStaysItself) {
  UConverter* utf7 = OpenConverterWithCallbacksForTesting("UTF-7");
  ASSERT_NE(utf7, nullptr);
  EXPECT_EQ(Hex(FromNativeNameWith(utf7, "+!")), Hex(WString(u"+!")));
  CloseConverterForTesting(utf7);
}

TEST(NamedConverterTest, UnknownCodePageGivesNoConverter) {
  EXPECT_EQ(OpenConverterWithCallbacksForTesting("no-such-code-page"), nullptr);
}

// The converter state is process-wide, so these run in a fresh process of their own.
TEST(NameCodecProcessTest, AsciiAndEscapesNeedNoConverter) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool ok = ToNativeName(u"plain/\uF8E9.txt") == "plain/\xE9.txt" && ToNativeName(u"").empty() &&
                  !IsConverterOpenForTesting();
        ok = ok && ToNativeName(u"\u00E9") == "\xC3\xA9" && IsConverterOpenForTesting();
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        bool ok = FromNativeName("plain").size() == 5 && IsConverterOpenForTesting();
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Many threads convert while the first of them opens the converter; the unlocked
// shortcut reads the converter pointer concurrently with its store.
TEST(NameCodecProcessTest, ConcurrentFirstUse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::vector<std::thread> threads;
        std::atomic<int> wrong{0};
        for (int t = 0; t < 6; ++t) {
          threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 200; ++i) {
              if (ToNativeName(u"ascii") != "ascii") ++wrong;
              if ((i + t) % 3 == 0 && ToNativeName(u"\u00E9\uF8E9") != "\xC3\xA9\xE9") ++wrong;
              if ((i + t) % 5 == 0 && FromNativeName("\xC3\xA9\xE9") != u"\u00E9\uF8E9") ++wrong;
            }
          });
        }
        for (std::thread& thread : threads) thread.join();
        std::exit(wrong == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

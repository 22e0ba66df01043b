// Message lookup against the generated catalog, and placeholder substitution.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "core/common/error.h"
#include "core/common/error_display.h"
#include "core/common/locations.h"
#include "core/common/messages.h"
#include "core/resources/catalog.h"
#include "tools/testing/fixtures.h"

using Common::Message;
using Common::WString;

namespace {

WString Text(uint32_t number) {
  const char16_t* text = Common::GetMessageText(Message(number));
  return text ? WString(text) : WString(u"<null>");
}

// The text table the catalog is generated from, unescaped the way the generator does.
std::map<uint32_t, std::string> ReadTable() {
  std::map<uint32_t, std::string> table;
  std::ifstream in(ORMIVANE_SOURCE_DIR "/tools/catalog/messages.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t tab = line.find('\t');
    std::string raw = line.substr(tab + 1), text;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 1 < raw.size() && (raw[i + 1] == 'n' || raw[i + 1] == 't' || raw[i + 1] == '\\')) {
        text.push_back(raw[i + 1] == 'n' ? '\n' : raw[i + 1] == 't' ? '\t' : '\\');
        ++i;
      } else {
        text.push_back(raw[i]);
      }
    }
    table[static_cast<uint32_t>(std::stoul(line.substr(0, tab)))] = text;
  }
  return table;
}

TEST(MessagesTest, EverySlotReadsBackAsGenerated) {
  std::map<uint32_t, std::string> table = ReadTable();
  ASSERT_GT(table.size(), 40u);
  for (uint32_t n = Common::kFirstMessage; n <= Common::kLastMessage; ++n) {
    auto it = table.find(n);
    EXPECT_EQ(Text(n), Common::ToUtf16(it == table.end() ? "" : it->second.c_str())) << "message " << n;
  }
}

TEST(MessagesTest, CatalogHeaderAndFirstText) {
  const uint8_t* catalog = Common::CurrentCatalog.load();
  Common::GetMessageText(Message(2));
  catalog = Common::CurrentCatalog.load();
  ASSERT_NE(catalog, nullptr);
  uint32_t count = 0;
  int32_t firstSlot = 0;
  std::memcpy(&count, catalog + 4, 4);
  std::memcpy(&firstSlot, catalog + 8, 4);
  EXPECT_EQ(count, Common::kMessageCount);
  EXPECT_EQ(8 + firstSlot, static_cast<int32_t>(Common::kCatalogHeaderBytes));
  EXPECT_TRUE(Common::IsCatalogText(Common::GetMessageText(Message(423))));
  EXPECT_FALSE(Common::IsCatalogText(u"elsewhere"));
}

TEST(MessagesTest, LookupKeepsErrno) {
  errno = EXDEV;
  Common::GetMessageText(Message(30));
  EXPECT_EQ(errno, EXDEV);
}

// The first lookup of a fresh process loads the catalog (file reads and all) and still
// leaves errno as it found it.
TEST(MessagesDeathTest, FirstLookupKeepsErrno) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        errno = EXDEV;
        const char16_t* text = Common::GetMessageText(Message(30));
        std::exit(text != nullptr && errno == EXDEV ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(MessagesTest, LookupWithoutCatalogGivesNull) {
  Common::GetMessageText(Message(30));
  const uint8_t* catalog = Common::CurrentCatalog.exchange(nullptr);
  errno = EXDEV;
  const char16_t* text = Common::GetMessageText(Message(30));
  int saved = errno;
  Common::CurrentCatalog.store(catalog);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(saved, EXDEV);
}

// A valid catalog may hold texts at odd positions: every use of them (lookup, records
// that refer to them, placeholders, the display) reads them unit by unit from the bytes.
TEST(MessagesTest, TextsAtOddPositionsAreReadWhole) {
  Testing::TempDir dir;
  const std::string path = dir.File("odd.msg");
  ASSERT_TRUE(Testing::MakeCatalog(path, {"--odd-text", "367=Odd entry text.", "--odd-text", "423=Odd {0} command.",
                                          "--odd-text", "26=Fault"}));
  std::vector<unsigned char> bytes = Testing::ReadFileBytes(path);
  std::unique_ptr<uint8_t[]> catalog(Resources::CopyValidCatalog(bytes.data(), static_cast<uint32_t>(bytes.size())));
  ASSERT_NE(catalog, nullptr);
  Common::GetMessageText(Message(2));  // the carried catalog is loaded first and put back after
  const uint8_t* carried = Common::CurrentCatalog.exchange(catalog.get());

  const char16_t* text = Common::GetMessageText(Message(367));
  const bool odd = reinterpret_cast<uintptr_t>(text) % alignof(char16_t) != 0;
  const Common::SourceLocation site =
      Common::MakeLocation(Common::Locations::CoreCommonError, "core/common/tests/messages_test.cpp", "Odd", 1);
  Common::Error plain = Common::MakeError(site, Common::FILE_NOT_FOUND);
  Common::Error filled = Common::MakeError(site, Common::LAUNCHER_EXECUTE_FAILED, {u"ls"});
  filled.AddCause(plain);
  Common::WString shown = Common::FormatError(filled);
  WString substituted;
  Common::SubstituteParam(substituted, Common::GetMessageText(Message(423)), u"x");
  const std::string converted = Common::ToUtf8(text);
  Common::CurrentCatalog.store(carried);
  // No longer a text of the catalog in use, so a record copies it.
  Common::Error copied(site, Common::FILE_NOT_FOUND, text);
  WString copiedText;
  copied.GetHead()->Kind->GetText(copiedText, copied.GetHead());

  EXPECT_TRUE(odd);
  EXPECT_EQ(substituted, u"Odd x command.");
  EXPECT_EQ(converted, "Odd entry text.");
  EXPECT_EQ(copiedText, u"Odd entry text.");
  const std::string display = Common::ToUtf8(shown.c_str());
  EXPECT_EQ(display.rfind("Fault 0x64000f: Odd ls command.", 0), 0u) << display;
  EXPECT_NE(display.find("error 0x40011: Odd entry text."), std::string::npos) << display;
}

struct SubstitutionCase {
  WString message;
  std::vector<WString> args;
  WString result;
};

TEST(MessagesTest, SubstitutionTable) {
  std::vector<WString> eight = {u"a0", u"a1", u"a2", u"a3", u"a4", u"a5", u"a6", u"a7"};
  const SubstitutionCase cases[] = {
      {Text(423), {u"X"}, u"Failed to execute command X."},
      {u"{0}{1}", {u"A", u"B"}, u"AB"},
      {u"{1}", {u"A"}, u"{1}"},
      {u"{0}{5}{0}", {u"X"}, u"X{5}{0}"},
      {u"{0}", {u"{0}"}, u"{0}"},
      {u"{}, {x}, {12a}, { 1}", {u"A"}, u"{}, {x}, {12a}, { 1}"},
      {u"{007}", eight, u"a7"},
      {u"{0} and {0}", {u"Z"}, u"Z and Z"},
      {u"{{0}}", {u"Z"}, u"{Z}"},
      {u"{0", {u"Z"}, u"{0"},
      {u"", {u"Z"}, u""},
      // An index keeps its low 32 bits; a run is cut to its first 63 digits; an overflow
      // of 64 bits reads as the largest value, whose low half is too large for any list.
      {u"{4294967296}{0}", {u"Z"}, u"ZZ"},
      {u"{4294967297}", {u"A", u"B"}, u"B"},
      {u"{18446744073709551616}{0}", {u"Z"}, u"{18446744073709551616}{0}"},
      {u"{" + WString(64, u'0') + u"}{0}", {u"Z"}, u"ZZ"},
      {u"{" + WString(63, u'0') + u"1}", {u"A", u"B"}, u"A"},
      {u"{" + WString(63, u'0') + u"}", {u"Z"}, u"Z"},
  };
  for (const auto& c : cases) {
    WString out;
    Common::SubstituteParams(out, c.message, c.args);
    EXPECT_EQ(Common::ToUtf8(out.c_str()), Common::ToUtf8(c.result.c_str())) << Common::ToUtf8(c.message.c_str());
  }
}

TEST(MessagesTest, ChoiceFormIsNotAPlaceholderButItsInnerOneIsFilled) {
  WString out;
  Common::SubstituteParams(out, Text(16), {u"a", u"b", u"c", u"d", u"e"});
  EXPECT_EQ(out, u"a b (build c){3, choice, 1#\n\ne}");
  Common::SubstituteParam(out, u"{0}!", u"x");
  EXPECT_EQ(out, u"x!");
}

TEST(MessagesTest, FindPlaceholderReportsPositionIndexAndLength) {
  uint32_t index = 0;
  size_t length = 0;
  EXPECT_EQ(Common::FindPlaceholder(u"ab{12}", 0, index, length), 2);
  EXPECT_EQ(index, 12u);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(Common::FindPlaceholder(u"ab{12}", 3, index, length), -1);
  EXPECT_EQ(Common::FindPlaceholder(u"{3,x}{4}", 0, index, length), 5);
  EXPECT_EQ(index, 4u);
}

}  // namespace

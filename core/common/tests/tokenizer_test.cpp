// The command-line tokenizer's rules as one table of texts, and the token enumerator.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/common/cmdline_tokenizer.h"
#include "core/common/error.h"
#include "core/common/token_enum.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/location_id.h"

using Common::WString;

namespace {

using ::testing::AllOf;
using Testing::HasChainLength;
using Testing::HasCode;
using Testing::HasText;
using Testing::RaisedAt;

// Cases are written with Q for '"', A for '\'' and B for '\\', so the rules read plainly.
WString Spell(const std::string& notation) {
  WString out;
  for (char c : notation) out.push_back(c == 'Q' ? u'"' : c == 'A' ? u'\'' : c == 'B' ? u'\\' : char16_t(c));
  return out;
}

using Common::Site;

struct Case {
  Common::CommandLineSyntax Syntax;
  const char* Text;
  std::vector<std::string> Tokens;
  std::optional<Site> Failure;
};

constexpr Common::CommandLineSyntax kShell = Common::kShellSyntax;
constexpr Common::CommandLineSyntax kWin = Common::kWindowsSyntax;
constexpr Site kGet{"Get", 96};
constexpr Site kReadUntilQuote{"ReadUntilQuote", 377};

const Case kCases[] = {
    {kShell, "a  b\tc", {"a", "b", "c"}, {}},
    {kShell, "", {}, {}},
    {kShell, "  \t ", {}, {}},
    {kShell, "Qa bQ c", {"a b", "c"}, {}},
    {kShell, "aB b", {"a b"}, {}},
    {kShell, "AaBbA", {"aBb"}, {}},
    {kShell, "QaBQbBBcBdQ", {"aQbBcBd"}, {}},
    {kShell, "aQQb", {"ab"}, {}},
    {kShell, "QaQQbQ", {"aQb"}, {}},
    {kShell, "QaQAbA", {"aAb"}, {}},
    {kShell, "QQ", {""}, {}},
    {kShell, "x QQ y", {"x", "", "y"}, {}},
    {kShell, "QAQ AQA", {"A", "Q"}, {}},
    {kShell, "aB", {}, kGet},
    {kShell, "Qabc", {}, kReadUntilQuote},
    {kShell, "Aabc", {}, kReadUntilQuote},
    {kShell, "QaQQb", {}, kReadUntilQuote},
    {kWin, "aBBb", {"aBBb"}, {}},
    {kWin, "aBQb", {"aQb"}, {}},
    {kWin, "aBBQb cQ", {"aBb c"}, {}},
    {kWin, "aBBBQb", {"aBQb"}, {}},
    {kWin, "Aa bA", {"Aa", "bA"}, {}},
    {kWin, "aB", {"aB"}, {}},
    {kWin, "QaQQbQ", {"aQb"}, {}},
    {kWin, "Qab", {}, kReadUntilQuote},
    {kWin, "QaBQ", {}, kReadUntilQuote},
    {0, "Aa bA", {"Aa", "bA"}, {}},
};

std::vector<WString> Drain(Common::TokenEnumerator& tokens) {
  std::vector<WString> out;
  while (tokens.HasNext()) {
    out.push_back(tokens.GetToken());
    tokens.Next();
  }
  return out;
}

// An error of `code` with catalog message `message`, raised at `site` of `file`, no cause.
auto RaisedWith(uint32_t code, uint32_t message, Common::SourceFile file, Site site) {
  return AllOf(HasCode(code), HasText(Common::ToUtf8(Common::GetMessageText(Common::Message(message)))),
               RaisedAt(file, site), HasChainLength(1));
}

TEST(TokenizerTest, ExampleTable) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string("syntax ") + std::to_string(c.Syntax) + " text [" + c.Text + "]");
    WString text = Spell(c.Text);
    if (c.Failure) {
      try {
        Common::TokenizeCommandLine(text.c_str(), c.Syntax);
        ADD_FAILURE() << "no error";
      } catch (const Common::Error& error) {
        EXPECT_THAT(error,
                    RaisedWith(Common::CMDLINE_PARSE_ERROR, 23,
                               {Common::Locations::CoreCommonCmdlineTokenizer, "core/common/cmdline_tokenizer.cpp"},
                               *c.Failure));
        if (c.Failure->Line == 377) {
          EXPECT_EQ(Testing::LocationId(error), 0x126935B75A2BBEF1u);
        }
      }
      continue;
    }
    std::vector<WString> expected;
    for (const std::string& token : c.Tokens) expected.push_back(Spell(token));
    std::unique_ptr<Common::TokenEnumerator> tokens = Common::TokenizeCommandLine(text.c_str(), c.Syntax);
    EXPECT_EQ(Drain(*tokens), expected);
  }
}

// Outside quotes a backslash takes the next character as it is; one that ends the text
// fails in the reader step itself.
TEST(TokenizerTest, ReaderStepsOverShellEscapes) {
  WString text = Spell("aBQ B");
  Common::CommandLineReader reader;
  reader.Text = text.c_str();
  reader.Syntax = kShell;
  std::vector<std::pair<Common::ReadKind, char16_t>> steps;
  Common::Get(reader);
  steps.emplace_back(reader.Kind, reader.Character);
  Common::Get(reader);
  steps.emplace_back(reader.Kind, reader.Character);
  Common::Get(reader);
  steps.emplace_back(reader.Kind, reader.Character);
  std::vector<std::pair<Common::ReadKind, char16_t>> expected = {
      {Common::ReadKind::Literal, u'a'}, {Common::ReadKind::Literal, u'"'}, {Common::ReadKind::Separator, u' '}};
  EXPECT_EQ(steps, expected);
  EXPECT_THROW(Common::Get(reader), Common::Error);
}

TEST(TokenEnumeratorTest, EmptyListThrowsNoMoreData) {
  std::unique_ptr<Common::TokenEnumerator> tokens = Common::CreateTokenEnumerator(nullptr, nullptr);
  EXPECT_FALSE(tokens->HasNext());
  const Site getToken{"GetToken", 96}, next{"Next", 105};
  try {
    tokens->GetToken();
    ADD_FAILURE() << "GetToken did not throw";
  } catch (const Common::Error& error) {
    EXPECT_THAT(error, RaisedWith(Common::NO_MORE_DATA, 33,
                                  {Common::Locations::CoreCommonTokenEnum, "core/common/token_enum.cpp"}, getToken));
    EXPECT_EQ(Testing::LocationId(error), 0x37B0AAD561C5C1C0u);  // token_enum, line 96
  }
  try {
    tokens->Next();
    ADD_FAILURE() << "Next did not throw";
  } catch (const Common::Error& error) {
    EXPECT_THAT(error, RaisedWith(Common::NO_MORE_DATA, 33,
                                  {Common::Locations::CoreCommonTokenEnum, "core/common/token_enum.cpp"}, next));
  }
}

TEST(TokenEnumeratorTest, CopiesTheStringsAndEndsAfterTheLast) {
  char16_t first[] = u"one";
  const char16_t* list[] = {first, u"", u"three"};
  std::unique_ptr<Common::TokenEnumerator> tokens = Common::CreateTokenEnumerator(list, list + 3);
  first[0] = u'X';
  EXPECT_EQ(Drain(*tokens), (std::vector<WString>{u"one", u"", u"three"}));
  EXPECT_FALSE(tokens->HasNext());
  EXPECT_THROW(tokens->Next(), Common::Error);
  EXPECT_THROW(tokens->GetToken(), Common::Error);
}

}  // namespace

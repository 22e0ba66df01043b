// Tests of the launcher's console side: which pieces of the tool's output count as
// prompts (split prompts included), and the byte-preserving command line.
#include "packer/console_relay.h"

#include <gtest/gtest.h>

#include <new>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "core/file/unix/name_codec.h"
#include "packer/command_line.h"

namespace {

using Launcher::kCodePrompt;
using Launcher::kPasswordPrompt;

const std::string kPassword(kPasswordPrompt);
const std::string kCode(kCodePrompt);
// Relay-sized filler with colons, like a tool's ordinary output lines.
const std::string kFiller = [] {
  std::string text;
  while (text.size() < 4000) text += "Status: ok\n";
  return text;
}();

// Each piece's expectation: "" nothing, "P" password, "C" code, "PC" both.
struct ScanCase {
  const char* Name;
  std::vector<std::string> Pieces;
  std::vector<std::string> Expected;
};

void PrintTo(const ScanCase& c, std::ostream* out) { *out << c.Name; }

std::string Flags(const Launcher::PromptsFound& found) {
  return std::string(found.Password ? "P" : "") + (found.Code ? "C" : "");
}

class ScanTable : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanTable, PromptsCountForThePieceTheyEndIn) {
  Launcher::PromptScanner scanner;
  std::vector<std::string> seen;
  for (const std::string& piece : GetParam().Pieces) seen.push_back(Flags(scanner.Scan(piece)));
  EXPECT_EQ(seen, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    PromptScanner, ScanTable,
    testing::Values(
        ScanCase{"Nothing", {"hello\n", "world"}, {"", ""}},
        ScanCase{"Password", {"Login\n" + kPassword}, {"P"}},
        ScanCase{"BothInOnePiece", {kCode + "\n" + kPassword}, {"PC"}},
        ScanCase{"TwiceInOnePieceCountsOnce", {kCode + kCode}, {"C"}},
        ScanCase{"NotAnsweredAgainByTheNextPiece", {kPassword, "x", ""}, {"P", "", ""}},
        ScanCase{"SplitAcrossTwo", {"Enter pass", "word for user: "}, {"", "P"}},
        ScanCase{"SplitAcrossThree", {"Enter ", "password ", "for user: "}, {"", "", "P"}},
        ScanCase{"SplitOneWholeOther", {"Enter password f", "or user: " + kCode}, {"", "PC"}},
        ScanCase{"SplitThenRepeated", {"Enter password f", "or user: " + kPassword}, {"", "P"}},
        ScanCase{"AlmostAPrompt", {"Enter password for user:", "\n"}, {"", ""}},
        ScanCase{"InsideALongPiece", {kFiller + kPassword + kFiller + kCode + kFiller}, {"PC"}},
        ScanCase{"SplitAcrossLongPieces", {kFiller + "Enter password for us", "er: " + kFiller}, {"", "P"}},
        ScanCase{"SplitAtTheColon", {kFiller + kCode.substr(0, 16), kCode.substr(16) + kFiller}, {"", "C"}},
        ScanCase{"StartsInTheLastByteOfALongPiece", {kFiller + "2", kCode.substr(1) + kFiller}, {"", "C"}},
        ScanCase{"EndsOneByteIntoALongPiece", {kFiller + kCode.substr(0, kCode.size() - 1), "p" + kFiller}, {"", "C"}}),
    [](const testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.Name); });

TEST(PromptScanner, EverySplitOfEitherPromptIsSeenOnce) {
  for (const std::string& prompt : {kPassword, kCode}) {
    for (size_t at = 1; at < prompt.size(); ++at) {
      Launcher::PromptScanner scanner;
      std::string first = "before " + prompt.substr(0, at);
      std::string second = prompt.substr(at) + " after";
      EXPECT_EQ(Flags(scanner.Scan(first)), "") << at;
      EXPECT_EQ(Flags(scanner.Scan(second)), prompt == kPassword ? "P" : "C") << at;
      EXPECT_EQ(Flags(scanner.Scan("more")), "") << at;
    }
  }
}

// ---- The answers ----

// What one read gave: the status, the word, and the stream's end and failure flags.
std::string Described(Launcher::AnswerStatus status, const std::string& word, const std::istream& in) {
  const char* names[] = {"read", "too long", "no memory"};
  return std::string(names[static_cast<int>(status)]) + " [" + word + "]" + (in.eof() ? " eof" : "") +
         (in.fail() ? " fail" : "");
}

// Up to the end of the input, and one read more, as `>>` reads words.
std::vector<std::string> ReadEvery(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> reads;
  std::string word;
  do {
    Launcher::AnswerStatus status = Launcher::ReadAnswerWord(in, word);
    reads.push_back(Described(status, word, in));
  } while (in.good());
  reads.push_back(Described(Launcher::ReadAnswerWord(in, word), word, in));
  return reads;
}

std::vector<std::string> ReadEveryWithExtraction(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> reads;
  std::string word;
  do {
    in >> word;
    if (in.fail()) word.clear();
    reads.push_back(Described(Launcher::AnswerStatus::Read, word, in));
  } while (in.good());
  in >> word;
  word.clear();
  reads.push_back(Described(Launcher::AnswerStatus::Read, word, in));
  return reads;
}

// Within the bound the answer is the word that `>>` would extract, the stream left in
// the same state.
TEST(ReadAnswerWord, ReadsAsExtractionDoes) {
  for (const std::string& text : std::vector<std::string>{"s3cret\n", "  two words \n", "\t\n123456", "", " \n ", "last", "a\x01\xff b\n\n",
                                 std::string(Launcher::kLongestAnswerBytes, 'w') + " x"}) {
    SCOPED_TRACE(text.substr(0, 20));
    EXPECT_EQ(ReadEvery(text), ReadEveryWithExtraction(text));
  }
}

TEST(ReadAnswerWord, StopsPastTheBound) {
  std::istringstream in(std::string(Launcher::kLongestAnswerBytes + 1, 'w') + " next");
  std::string word;
  EXPECT_EQ(Launcher::ReadAnswerWord(in, word), Launcher::AnswerStatus::TooLong);
  EXPECT_EQ(word.size(), Launcher::kLongestAnswerBytes);
  // Nothing more than the bound was taken out of the input.
  EXPECT_EQ(in.rdbuf()->in_avail(), static_cast<std::streamsize>(1 + 5));
}

// An input that runs out of memory after its first bytes, in the middle of a word.
class StarvedInput : public std::streambuf {
 public:
  StarvedInput() { setg(start, start, start + 3); }

 protected:
  int_type underflow() override { throw std::bad_alloc(); }

 private:
  char start[3] = {'a', 'b', 'c'};
};

TEST(ReadAnswerWord, OutOfMemoryIsAnAnswerStatus) {
  StarvedInput starved;
  std::istream in(&starved);
  std::string word;
  EXPECT_EQ(Launcher::ReadAnswerWord(in, word), Launcher::AnswerStatus::NoMemory);
}

// ---- The command line ----

struct EscapeCase {
  const char* Name;
  std::string Bytes;
  std::u16string Units;
};

void PrintTo(const EscapeCase& c, std::ostream* out) { *out << c.Name; }

class EscapeTable : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTable, BytesReachTheToolUnchanged) {
  const EscapeCase& c = GetParam();
  std::u16string units = Launcher::ToCommandLineUtf16(c.Bytes);
  EXPECT_EQ(units, c.Units);
  // The name codec turns the command line's units back into the very same bytes.
  EXPECT_EQ(ToNativeName(units.c_str()), c.Bytes);
}

INSTANTIATE_TEST_SUITE_P(
    ToCommandLineUtf16, EscapeTable,
    testing::Values(EscapeCase{"Ascii", "tool --x 'a b'", u"tool --x 'a b'"},
                    EscapeCase{"TwoBytes", "\xc3\xa9", u"\u00e9"},
                    EscapeCase{"FourBytes", "\xf0\x9f\x98\x80", u"\U0001F600"},
                    EscapeCase{"LoneByte", "a\x80z", u"a\uf880z"},
                    EscapeCase{"ByteFF", "\xff", u"\uf8ff"},
                    EscapeCase{"EncodedSurrogate", "\xed\xa0\x80", u"\uf8ed\uf8a0\uf880"},
                    EscapeCase{"CharacterInEscapeRange", "\xef\xa2\x80", u"\uf8ef\uf8a2\uf880"},
                    EscapeCase{"LastOfEscapeRange", "\xef\xa3\xbf", u"\uf8ef\uf8a3\uf8bf"},
                    EscapeCase{"JustBelowEscapeRange", "\xef\xa1\xbf", u"\uf87f"},
                    EscapeCase{"Overlong", "\xc0\x80", u"\uf8c0\uf880"},
                    EscapeCase{"OverlongThreeBytes", "\xe0\x80\xaf", u"\uf8e0\uf880\uf8af"},
                    EscapeCase{"OverlongFourBytes", "\xf0\x8f\xbf\xbf", u"\uf8f0\uf88f\uf8bf\uf8bf"},
                    EscapeCase{"LeadAboveLastCodePoint", "\xf5\x80\x80\x80", u"\uf8f5\uf880\uf880\uf880"},
                    EscapeCase{"BrokenThenCharacter", "\xe2\xc3\xa9", u"\uf8e2\u00e9"},
                    EscapeCase{"CutShort", "\xe2\x82", u"\uf8e2\uf882"},
                    EscapeCase{"AboveLastCodePoint", "\xf4\x90\x80\x80", u"\uf8f4\uf890\uf880\uf880"},
                    EscapeCase{"BadContinuation", "\xe2\x28\xa1", u"\uf8e2(\uf8a1"}),
    [](const testing::TestParamInfo<EscapeCase>& info) { return std::string(info.param.Name); });

}  // namespace

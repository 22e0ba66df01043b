// Language choice from the system setting, the listeners, and the localized lookup.
#include "core/resources/language.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/file/zipfile.h"
#include "core/resources/tests/probe_support.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/memory_ri_file.h"

namespace {

using ProbeTesting::Line;

// This program's own language, set before its first lookup builds the language state.
const bool kGermanProcess = setenv("LANG", "de_DE.UTF-8", 1) == 0;

// The language list of a fresh process for a setting in /etc/i18n (null: no such file)
// and a LANG value (null: unset).
TEST(LanguageTest, CandidatesFromTheSystemSetting) {
  struct Case {
    const char* i18n;
    const char* lang;
    const char* candidates;
  } cases[] = {
      {nullptr, nullptr, "en"},
      {nullptr, "", "en"},
      {nullptr, "C", "en"},
      {nullptr, "de_DE.UTF-8", "de"},
      {nullptr, "en_US", "en"},
      {nullptr, "zh_HK.UTF-8", "zh_TW,zh"},
      {nullptr, "zh_MO", "zh_TW,zh"},
      {nullptr, "zh_Hant_TW", "zh_TW,zh"},
      {nullptr, "zh_TW.Big5", "zh_TW,zh"},
      {nullptr, "zh_CN.UTF-8", "zh"},
      {nullptr, "pt_BR.UTF-8", "pt_BR,pt"},
      {nullptr, "pt_PT", "pt"},
      {nullptr, "es_ES.UTF-8", "es,es_ES"},
      {nullptr, "es_MX", "es_MX"},
      {nullptr, "en_GB.UTF-8", "en_GB"},
      {nullptr, "en_UK", "en_GB"},
      {nullptr, "POSIX", "PO"},
      {nullptr, "a-setting-that-is-far-longer-than-the-buffer", "a-"},
      // The file's first five bytes ("LANG=") are skipped and the rest taken as it is.
      {"LANG=de_DE.UTF-8\n", "fr_FR", "de"},
      {"LANG=\"de_DE.UTF-8\"\n", "fr_FR", "\"d"},
      {"LANG=zh_HK.UTF-8 and more text that runs past the buffer\n", nullptr, "zh_TW,zh"},
      // One byte after the skipped ones is not enough: LANG is used.
      {"LANG=d", "fr_FR", "fr"},
      {"LANG=", "it_IT", "it"},
      {"", "it_IT", "it"},
      {"LANG=x", nullptr, "en"},
  };
  Testing::TempDir dir;
  for (const Case& c : cases) {
    std::string i18n = dir.File("absent");
    if (c.i18n != nullptr) {
      i18n = dir.File("i18n");
      std::string text = c.i18n;
      ASSERT_TRUE(Testing::WriteFileBytes(i18n, std::vector<unsigned char>(text.begin(), text.end())));
    }
    std::string lang = c.lang == nullptr ? "LANG" : std::string("LANG=") + c.lang;
    Testing::ProcessResult result = Testing::RunCaptured({RESOURCE_PROBE, "--i18n", i18n, "candidates"}, {lang});
    EXPECT_EQ(result.Output, Line(c.candidates)) << (c.i18n ? c.i18n : "(no file)") << " / " << lang;
  }
}

TEST(LanguageTest, NormalizeLanguageName) {
  struct Case {
    const char* setting;
    const char* tag;
  } cases[] = {
      {nullptr, ""}, {"", ""}, {"d", ""}, {"de", "de"}, {"zh_Han", "zh"}, {"zh_Hant", "zh_TW"}, {"en_GBx", "en_GB"},
  };
  for (const Case& c : cases) EXPECT_EQ(Resources::NormalizeLanguageName(c.setting), c.tag);
}

// ---- Listeners (this process's own language state) ----

std::vector<std::string> g_runs;

void ListenerB() { g_runs.push_back("B"); }
void ListenerA() {
  g_runs.push_back("A");
  Resources::AddLanguageListener(ListenerB);
}
void ListenerC() { g_runs.push_back("C"); }
void Thrower() {
  g_runs.push_back("throw");
  throw std::runtime_error("listener failed");
}

// Where each listener stands in the state's list (-1: not listed).
std::ptrdiff_t Position(Resources::LanguageListener listener) {
  Resources::LanguageState& state = Resources::GetLanguageCandidates();
  Common::MutexGuard guard(state.Lock);
  auto it = std::find(state.Listeners.begin(), state.Listeners.end(), listener);
  return it == state.Listeners.end() ? -1 : it - state.Listeners.begin();
}

TEST(LanguageListenerTest, AListenerAddedDuringAFirstRunGoesBeforeIt) {
  g_runs.clear();
  Resources::AddLanguageListener(ListenerA);
  EXPECT_EQ(g_runs, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(Position(ListenerB) + 1, Position(ListenerA));
  // Listed already: not run again.
  Resources::AddLanguageListener(ListenerA);
  Resources::AddLanguageListener(ListenerB);
  EXPECT_EQ(g_runs.size(), 2u);
  Resources::RemoveLanguageListener(ListenerA);
  Resources::RemoveLanguageListener(ListenerB);
  EXPECT_EQ(Position(ListenerA), -1);
  EXPECT_EQ(Position(ListenerB), -1);
}

TEST(LanguageListenerTest, AThrowingListenerStaysListedAndLeavesTheDepthRestored) {
  g_runs.clear();
  EXPECT_THROW(Resources::AddLanguageListener(Thrower), std::runtime_error);
  EXPECT_NE(Position(Thrower), -1);
  Resources::AddLanguageListener(ListenerC);
  Resources::LanguageState& state = Resources::GetLanguageCandidates();
  {
    Common::MutexGuard guard(state.Lock);
    EXPECT_EQ(state.Listeners.back(), ListenerC) << "no first run is under way any more";
  }
  // Removal takes every occurrence.
  {
    Common::MutexGuard guard(state.Lock);
    state.Listeners.push_back(ListenerC);
  }
  Resources::RemoveLanguageListener(ListenerC);
  Resources::RemoveLanguageListener(Thrower);
  EXPECT_EQ(Position(ListenerC), -1);
  EXPECT_EQ(Position(Thrower), -1);
  EXPECT_EQ(g_runs, (std::vector<std::string>{"throw", "C"}));
}

// ---- Localized lookup over an archive in memory ----

std::unique_ptr<si_dir> Archive(const std::string& spec) {
  Testing::TempDir dir;
  EXPECT_TRUE(Testing::MakeZip(dir.File("a.zip"), spec));
  return std::unique_ptr<si_dir>(OpenZipArchive(new Testing::MemoryRiFile(Testing::ReadFileBytes(dir.File("a.zip")))));
}

std::string ReadAll(si_file* opened) {
  std::unique_ptr<si_file> file(opened);
  if (!file) return "<null>";
  std::string out(static_cast<size_t>(file->Size()), '\0');
  Read(*file, out.data(), static_cast<uint32_t>(out.size()));
  return file->last_error ? "<error>" : out;
}

TEST(LocalizedLookupTest, ACopyUnderTheLanguageWinsOverThePlainName) {
  ASSERT_TRUE(kGermanProcess);
  ASSERT_EQ(Resources::GetLanguageCandidates().Candidates, std::vector<std::string>{"de"});
  std::string first = "de";
  auto dir = Archive(R"({"entries": [{"name": ")" + first + R"(/x", "text": "localized"},
      {"name": "x", "text": "plain"}, {"name": "y", "text": "only plain"},
      {"name": "zz_QQ/y", "text": "another language"}]})");
  ASSERT_TRUE(dir);
  char tag[16] = "unchanged";
  EXPECT_EQ(ReadAll(Resources::OpenLocalizedFile(dir.get(), "x", tag, sizeof tag)), "localized");
  EXPECT_EQ(tag, first);
  EXPECT_EQ(ReadAll(Resources::OpenLocalizedFile(dir.get(), "y", tag, sizeof tag)), "only plain");
  EXPECT_STREQ(tag, "en");
  EXPECT_EQ(Resources::OpenLocalizedFile(dir.get(), "z", tag, sizeof tag), nullptr);
  EXPECT_THAT(dir->last_error, Testing::HasCode(Common::FILE_END_OF_FILE));
  EXPECT_STREQ(tag, "en");

  // Buffers too small for the tag still end terminated.
  char small[2] = {'?', '?'};
  EXPECT_EQ(ReadAll(Resources::OpenLocalizedFile(dir.get(), "y", small, 2)), "only plain");
  EXPECT_EQ(std::string(small, 2), std::string("e\0", 2));
  char one[1] = {'?'};
  EXPECT_EQ(ReadAll(Resources::OpenLocalizedFile(dir.get(), "x", one, 1)), "localized");
  EXPECT_EQ(one[0], 0);
  EXPECT_EQ(ReadAll(Resources::OpenLocalizedFile(dir.get(), "y", one, 1)), "only plain");
  EXPECT_EQ(one[0], 0);
  EXPECT_EQ(ReadAll(Resources::OpenLocalizedFile(dir.get(), "x", nullptr, 5)), "localized");

  // A given tag is tried alone.
  EXPECT_EQ(ReadAll(Resources::OpenLocalized(dir.get(), "y", "zz_QQ")), "another language");
  EXPECT_EQ(ReadAll(Resources::OpenLocalized(dir.get(), "x", "en")), "plain");
  EXPECT_EQ(Resources::OpenLocalized(dir.get(), "x", "zz_QQ"), nullptr);
  EXPECT_EQ(Resources::OpenLocalized(dir.get(), "x", ""), nullptr);
  EXPECT_EQ(Resources::OpenLocalized(nullptr, "x", nullptr), nullptr);
  EXPECT_EQ(ReadAll(Resources::OpenLocalized(dir.get(), "x", nullptr)), "localized");
}

TEST(LocalizedLookupTest, ReadLocalizedFileReturnsWholeEntriesOnly) {
  auto dir = Archive(R"({"entries": [{"name": "data", "repeat": ["0123456789", 1000], "method": 8},
      {"name": "empty", "text": ""}, {"name": "badcrc", "text": "crc unchecked", "crc": 1},
      {"name": "cut", "random": [4000, 2], "method": 8, "truncate": 50},
      {"name": "odd", "text": "x", "method": 12}]})");
  ASSERT_TRUE(dir);
  uint32_t size = 12345;
  std::unique_ptr<uint8_t[]> data(Resources::ReadLocalizedFile(dir.get(), "data", "en", &size));
  ASSERT_TRUE(data);
  EXPECT_EQ(size, 10000u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data.get()), 20), "01234567890123456789");
  // One read of the size asks no further, so the CRC is never compared.
  std::unique_ptr<uint8_t[]> badcrc(Resources::ReadLocalizedFile(dir.get(), "badcrc", "en", &size));
  ASSERT_TRUE(badcrc);
  EXPECT_EQ(size, 13u);
  for (const char* name : {"empty", "cut", "odd", "missing"}) {
    size = 777;
    EXPECT_EQ(Resources::ReadLocalizedFile(dir.get(), name, "en", &size), nullptr) << name;
    EXPECT_EQ(size, 777u) << name;
  }
  EXPECT_EQ(Resources::ReadLocalizedFile(nullptr, "data", nullptr, &size), nullptr);
}

}  // namespace

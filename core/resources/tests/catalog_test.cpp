// Catalog loading: every catalog that cannot serve aborts its process; a valid one is the
// current catalog, its copy under a candidate language's directory preferred.
#include "core/resources/catalog.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/common/messages.h"
#include "core/resources/tests/probe_support.h"

namespace {

using ProbeTesting::Entry;
using ProbeTesting::Line;
using ProbeTesting::ProbeDir;

uint32_t Le32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

TEST(CatalogTest, BrokenCatalogsAbort) {
  const std::vector<std::string> cases[] = {
      {"--size-delta", "-1"},
      {"--size-delta", "1"},
      {"--count", "451"},
      {"--count", "453"},
      {"--truncate", "7"},
      {"--truncate", "3"},
      // Right size and count words, but shorter than the slot table.
      {"--truncate", "1815"},
      // Slots that point outside the catalog.
      {"--slot", "2=100000000"},
      {"--slot", "453=-2000"},
      {"--slot", "100=-401"},
  };
  // One probe without an archive of its own; each case puts its catalog beside it.
  ProbeDir probe("tool");
  ASSERT_TRUE(probe.Install("-"));
  for (const std::vector<std::string>& options : cases) {
    std::string catalog = probe.Catalog("bad.msg", options);
    std::string archive = probe.Archive("a.zip", {{"ormivane_packed.msg", catalog, ""}});
    ASSERT_TRUE(Testing::CopyFile(archive, probe.File("tool.dat"), 0644));
    Testing::ProcessResult result = probe.Run({"lookup", "375"});
    EXPECT_EQ(result.Signal, SIGABRT) << options[0] << " " << options[1];
  }
}

TEST(CatalogTest, AMissingOrEmptyCatalogEntryAborts) {
  const std::vector<Entry> archives[] = {
      {{"other.txt", "", "no catalog here"}},
      {{"ormivane_packed.msg", "", ""}},
  };
  ProbeDir probe("tool");
  ASSERT_TRUE(probe.Install("-"));
  for (const std::vector<Entry>& entries : archives) {
    ASSERT_TRUE(Testing::CopyFile(probe.Archive("a.zip", entries), probe.File("tool.dat"), 0644));
    EXPECT_EQ(probe.Run({"lookup", "375"}).Signal, SIGABRT);
  }
}

// The last text may lack its 0 unit (the carried catalog ends with 8-bit texts): it is cut
// at the end of the catalog instead of running past it.
TEST(CatalogTest, ALastTextWithoutTerminatorEndsWithTheCatalog) {
  ProbeDir probe;
  std::string catalog = probe.Catalog("c.msg", {"--text", "453=tail", "--strip-last-terminator"});
  ASSERT_TRUE(probe.Install(probe.Archive("a.zip", {{"ormivane_packed.msg", catalog, ""}})));
  Testing::ProcessResult result = probe.Run({"lookup", "453"});
  EXPECT_EQ(result.Status, 0);
  EXPECT_EQ(result.Output, Line("tail"));
}

TEST(CatalogTest, ACopyUnderACandidateLanguageIsLoadedInstead) {
  ProbeDir probe;
  std::string plain = probe.Catalog("plain.msg", {"--text", "375=english"});
  std::string german = probe.Catalog("de.msg", {"--text", "375=deutsch"});
  std::string chinese = probe.Catalog("zh.msg", {"--text", "375=zhongwen"});
  ASSERT_TRUE(probe.Install(probe.Archive("a.zip", {{"ormivane_packed.msg", plain, ""},
                                                     {"de/ormivane_packed.msg", german, ""},
                                                     {"zh/ormivane_packed.msg", chinese, ""}})));
  struct Case {
    std::vector<std::string> environment;
    const char* text;
  } cases[] = {
      {{"LANG=de_DE.UTF-8"}, "deutsch"},
      {{"LANG=fr_FR.UTF-8"}, "english"},
      {{"LANG"}, "english"},
      // zh_TW has no copy; its fallback zh has.
      {{"LANG=zh_HK.UTF-8"}, "zhongwen"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(probe.Run({"lookup", "375"}, c.environment).Output, Line(c.text)) << c.environment[0];
  }
  // The system setting comes before LANG.
  ASSERT_TRUE(Testing::WriteFileBytes(probe.File("i18n"), {'L', 'A', 'N', 'G', '=', 'd', 'e', '_', 'A', 'T', '\n'}));
  EXPECT_EQ(probe.Run({"lookup", "375"}, {"LANG=fr_FR"}, probe.File("i18n")).Output, Line("deutsch"));
}

// This program loaded the generated catalog through its own archive.
TEST(CatalogInProcessTest, TheCarriedCatalogIsCurrentAndPadded) {
  ASSERT_NE(Common::GetMessageText(Common::Message(2)), nullptr);
  const uint8_t* catalog = Common::CurrentCatalog.load();
  ASSERT_NE(catalog, nullptr);
  std::vector<unsigned char> expected = Testing::ReadFileBytes(Testing::CatalogPath());
  ASSERT_EQ(Le32(catalog), expected.size());
  EXPECT_EQ(Le32(catalog + 4), Common::kMessageCount);
  EXPECT_EQ(Le32(catalog + 8), 1808u) << "message 2's text starts right after the slots";
  EXPECT_EQ(std::memcmp(catalog, expected.data(), expected.size()), 0);
  for (uint32_t i = 0; i < Resources::kCatalogPaddingBytes; ++i) EXPECT_EQ(catalog[expected.size() + i], 0);
}

}  // namespace

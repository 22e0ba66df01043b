// The resource archive: which file a program takes its archive from, its first use from
// either side (archive or message lookup), entries through OpenResourceFile, and the
// archive of this very test program (the build put the catalog into its ".zip" section).
#include "core/resources/resource_archive.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/common/zipopen.h"
#include "core/resources/catalog.h"
#include "core/resources/tests/probe_support.h"

namespace {

using ProbeTesting::Entry;
using ProbeTesting::Line;
using ProbeTesting::ProbeDir;

// A catalog whose message 375 reads `text`, packed as the only entry of an archive.
std::string CatalogArchive(ProbeDir& probe, const std::string& name, const std::string& text) {
  std::string catalog = probe.Catalog(name + ".msg", {"--text", "375=" + text});
  return probe.Archive(name + ".zip", {{"ormivane_packed.msg", catalog, ""}});
}

TEST(ResourceArchiveTest, TheFirstLookupOpensTheArchiveAndLoadsTheCatalog) {
  ProbeDir probe;
  ASSERT_TRUE(probe.Install(CatalogArchive(probe, "section", "from the section")));
  Testing::ProcessResult lookup = probe.Run({"lookup", "375"});
  EXPECT_EQ(lookup.Status, 0);
  EXPECT_EQ(lookup.Output, Line("from the section"));
  // The other way round: the first archive use loads the catalog before it returns.
  Testing::ProcessResult first = probe.Run({"archive-first"});
  EXPECT_EQ(first.Output, Line("archive=1 catalog=1 same=1 text=from the section"));
  Testing::ProcessResult threads = probe.Run({"threads"});
  EXPECT_EQ(threads.Output, Line("same=1 text=from the section"));
  EXPECT_EQ(threads.Status, 0);
}

// Only the section road finds an archive followed by a stray end record.
TEST(ResourceArchiveTest, TheSectionRoadIgnoresADecoyAfterTheSection) {
  ProbeDir probe;
  ASSERT_TRUE(probe.Install(CatalogArchive(probe, "section", "through the headers"), /*decoy=*/true));
  EXPECT_EQ(probe.Run({"lookup", "375"}).Output, Line("through the headers"));
}

TEST(ResourceArchiveTest, ADatFileBesideTheProgramWins) {
  struct Case {
    const char* program;
    const char* dat;
  } cases[] = {
      {"tool.bin", "tool.dat"},
      {"tool", "tool.dat"},
      {"tool.x.y", "tool.x.dat"},
      {".tool", ".dat"},
  };
  for (const Case& c : cases) {
    ProbeDir probe(c.program);
    ASSERT_TRUE(probe.Install(CatalogArchive(probe, "section", "from the section")));
    std::string dat = CatalogArchive(probe, "dat", "from the dat");
    ASSERT_TRUE(Testing::CopyFile(dat, probe.File(c.dat), 0644));
    EXPECT_EQ(probe.Run({"lookup", "375"}).Output, Line("from the dat")) << c.program;
  }
  // The same without a section of its own.
  ProbeDir bare("tool.bin");
  ASSERT_TRUE(bare.Install("-"));
  ASSERT_TRUE(Testing::CopyFile(CatalogArchive(bare, "dat", "only the dat"), bare.File("tool.dat"), 0644));
  EXPECT_EQ(bare.Run({"lookup", "375"}).Output, Line("only the dat"));
}

// Without a usable archive nothing can be reported: the first use of either side aborts.
TEST(ResourceArchiveTest, NoUsableArchiveAborts) {
  ProbeDir none;
  ASSERT_TRUE(none.Install("-"));
  // A ".dat" that opens but holds no archive: the program's own archive is not tried.
  ProbeDir junkDat("tool");
  ASSERT_TRUE(junkDat.Install(CatalogArchive(junkDat, "section", "never read")));
  ASSERT_TRUE(Testing::WriteFileBytes(junkDat.File("tool.dat"), {'n', 'o', ' ', 'z', 'i', 'p'}));
  for (ProbeDir* probe : {&none, &junkDat}) {
    for (const char* mode : {"lookup", "archive-first"}) {
      Testing::ProcessResult result = probe->Run({mode, "375"});
      EXPECT_EQ(result.Signal, SIGABRT) << probe->Program() << " " << mode;
      EXPECT_EQ(result.Output, "");
    }
  }
}

TEST(ResourceArchiveTest, EntriesAreOpenedThroughTheLanguageDirectories) {
  ProbeDir probe;
  std::string catalog = probe.Catalog("plain.msg");
  ASSERT_TRUE(probe.Install(probe.Archive(
      "a.zip", {{"ormivane_packed.msg", catalog, ""}, {"readme.txt", "", "plain readme"},
                {"de/readme.txt", "", "deutsches readme"}, {"only.txt", "", "only plain"}})));
  struct Case {
    const char* lang;
    const char* entry;
    const char* output;
  } cases[] = {
      {"LANG=de_DE.UTF-8", "readme.txt", "deutsches readme"},
      {"LANG=fr_FR.UTF-8", "readme.txt", "plain readme"},
      {"LANG=de_DE.UTF-8", "only.txt", "only plain"},
      {"LANG=de_DE.UTF-8", "README.TXT", "deutsches readme"},
      {"LANG=de_DE.UTF-8", "missing.txt", "<missing>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(probe.Run({"entry", c.entry}, {c.lang}).Output, Line(c.output)) << c.lang << " " << c.entry;
  }
}

// This program's own archive holds the generated catalog.
// The first lookup runs the loader with the language lock held; the loader stores the
// archive and then reads the catalog under the archive's mutex. Another thread that finds
// the archive stored in that window and fails to read an entry builds its error (a message
// lookup) under the archive's mutex. Neither may wait for the other: the probe, lined up
// in that window, must finish, and the failing read still gets its text.
TEST(ResourceArchiveTest, AFailedReadDuringTheFirstLookupDoesNotDeadlock) {
  ProbeDir probe;
  std::string catalog = probe.Catalog("plain.msg", {"--text", "375=looked up"});
  std::string archive = probe.File("cycle.zip");
  std::string spec = R"({"entries": [{"method": 8, "name": "ormivane_packed.msg", "file": ")" + catalog +
                     R"("}, {"method": 0, "name": "bad.txt", "text": "damaged", "crc": 1}]})";
  ASSERT_TRUE(Testing::MakeZip(archive, spec)) << spec;
  ASSERT_TRUE(probe.Install(archive));
  Testing::ProcessResult run = probe.Run({"lock-order", "bad.txt"});
  EXPECT_EQ(run.Signal, 0) << "the two threads deadlocked (the probe's alarm ended it)";
  EXPECT_EQ(run.Output, Line("reader=The file is corrupted. lookup=looked up"));
}

TEST(ResourceArchiveInProcessTest, TheProgramsOwnArchiveServesItsEntries) {
  std::vector<unsigned char> expected = Testing::ReadFileBytes(Testing::CatalogPath());
  ASSERT_FALSE(expected.empty());
  si_dir* archive = Resources::OpenResourceArchive();
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(Resources::OpenResourceArchive(), archive);

  uint32_t size = 0;
  std::unique_ptr<uint8_t[]> loaded(Resources::LoadResource(Resources::kCatalogName, &size));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(std::vector<unsigned char>(loaded.get(), loaded.get() + size), expected);
  EXPECT_EQ(Resources::LoadResource("absent", &size), nullptr);

  // Units above U+00FF are narrowed to their low byte: U+016F gives 'o'.
  for (const char16_t* name : {u"ormivane_packed.msg", u"ORMIVANE_PACKED.MSG", u"\u016frmivane_packed.msg"}) {
    std::unique_ptr<si_file> file(Resources::OpenResourceFile(name));
    ASSERT_TRUE(file) << Common::ToUtf8(name);
    EXPECT_EQ(file->Size(), expected.size());
    std::vector<unsigned char> bytes(expected.size() + 10);
    uint32_t done = 0;
    file->Read(bytes.data(), static_cast<uint32_t>(bytes.size()), &done);
    EXPECT_EQ(done, expected.size());
    bytes.resize(done);
    EXPECT_EQ(bytes, expected);
  }
  EXPECT_EQ(Resources::OpenResourceFile(u"absent"), nullptr);
  EXPECT_EQ(Resources::OpenResourceFile(nullptr), nullptr);
}

TEST(ResourceArchiveInProcessTest, OpenArchiveFileTakesTheDatNameFirst) {
  Testing::TempDir dir;
  ASSERT_TRUE(Testing::MakeZip(dir.File("tool.dat"), R"({"entries": [{"name": "in-dat", "text": "d"}]})"));
  ASSERT_TRUE(Testing::MakeZip(dir.File("tool.exe"), R"({"entries": [{"name": "in-exe", "text": "e"}]})"));
  ASSERT_TRUE(Testing::MakeZip(dir.File("other"), R"({"entries": [{"name": "in-other", "text": "o"}]})"));
  struct Case {
    const char* path;
    const char16_t* entry;  // null: no archive
  } cases[] = {
      {"tool.exe", u"in-dat"},
      {"tool", u"in-dat"},
      {"other", u"in-other"},
      {"missing", nullptr},
  };
  for (const Case& c : cases) {
    std::unique_ptr<si_dir> archive(Resources::OpenArchiveFile(Common::ToUtf16(dir.File(c.path).c_str()).c_str()));
    if (c.entry == nullptr) {
      EXPECT_EQ(archive, nullptr) << c.path;
      continue;
    }
    ASSERT_TRUE(archive) << c.path;
    std::unique_ptr<si_file> file(archive->OpenI(c.entry, false));
    EXPECT_TRUE(file) << c.path;
  }
  EXPECT_EQ(Resources::OpenArchiveFile(nullptr), nullptr);
}

}  // namespace

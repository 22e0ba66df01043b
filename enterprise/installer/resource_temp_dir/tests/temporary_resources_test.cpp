// Tests of the temporary resources: entries of the program's own archive (this test
// program carries the catalog) copied out in-process, and, through a helper program with
// an archive of the test's choosing beside it, entries that are damaged.
#include "enterprise/installer/resource_temp_dir/temporary_resources.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/resources/catalog.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/fixtures.h"
#include "tools/testing/location_id.h"

namespace {

using EnterpriseInstaller::TemporaryResources;
using ::testing::AllOf;
using Testing::HasChainLength;
using Testing::HasCode;
using Testing::RaisedAt;

std::string Utf8(const std::u16string& text) { return Common::ToUtf8(text.c_str()); }

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

const std::u16string kCatalog = u"ormivane_packed.msg";

TEST(TemporaryResources, ExtractCopiesTheEntry) {
  TemporaryResources resources;
  std::string dir = Utf8(resources.GetPath());
  EXPECT_EQ(dir.rfind("/tmp/", 0), 0u);

  std::u16string path = resources.Extract(kCatalog);
  EXPECT_EQ(Utf8(path), dir + "ormivane_packed.msg");
  EXPECT_EQ(Testing::ReadFileBytes(Utf8(path)), Testing::ReadFileBytes(Testing::CatalogPath()));
  struct stat st;
  ASSERT_EQ(stat(Utf8(path).c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);

  EXPECT_EQ(Utf8(resources.ExtractAs(kCatalog, u"copy.bin")), dir + "copy.bin");
  EXPECT_TRUE(Exists(dir + "copy.bin"));
}

TEST(TemporaryResources, ExistingTargetIsTruncated) {
  TemporaryResources resources;
  std::string target = Utf8(resources.GetPath()) + "target";
  std::vector<unsigned char> catalog = Testing::ReadFileBytes(Testing::CatalogPath());
  std::ofstream(target) << std::string(catalog.size() + 5000, 'z');
  resources.ExtractAs(kCatalog, u"target");
  EXPECT_EQ(Testing::ReadFileBytes(target), catalog);
}

TEST(TemporaryResources, MissingEntryIsAnInternalError) {
  TemporaryResources resources;
  try {
    resources.Extract(u"no-such-entry");
    FAIL() << "extracted a missing entry";
  } catch (const Common::Error& error) {
    constexpr Common::SourceFile kSource{Common::Locations::InstallerTemporaryResources,
                                         "enterprise/installer/resource_temp_dir/temporary_resources.cpp"};
    EXPECT_THAT(error, AllOf(HasCode(Common::INSTALLER_INTERNAL_ERROR), RaisedAt(kSource, Common::Site{"ExtractZipFile", 44}),
                             HasChainLength(1)));
    EXPECT_EQ(Testing::LocationId(error), 0x57FAB25E3661DFBAu);  // temporary_resources, line 44
    EXPECT_EQ(Utf8(Common::GetCodeText(error.GetCode())), "An internal error.");
  }
  EXPECT_FALSE(Exists(Utf8(resources.GetPath()) + "no-such-entry"));
}

TEST(TemporaryResources, TargetThatCannotBeCreated) {
  TemporaryResources resources;
  try {
    resources.ExtractAs(kCatalog, u"missing-dir/file");
    FAIL() << "created a file in a missing directory";
  } catch (const Common::Error& error) {
    // The directory's own file error, not the entry's.
    EXPECT_EQ(Common::HighWord(error.GetCode()), Common::FACILITY_FILE);
  }
}

// ---- Damaged entries, through the helper ----

struct ProbeRun {
  int Status = -1;
  std::vector<std::string> Lines;
};

ProbeRun RunProbe(const std::string& program, const std::vector<std::string>& entries) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), entries.begin(), entries.end());
  Testing::ProcessResult result = Testing::RunCaptured(argv);
  ProbeRun run;
  run.Status = result.Status;
  std::istringstream output(result.Output);
  for (std::string line; std::getline(output, line);) run.Lines.push_back(line);
  return run;
}

struct EntryCase {
  const char* Name;
  const char* EntrySpec;  // JSON fields of the entry "blob" besides its name
  const char* Expected;   // "ok <size>" or "error <code> line <line>"
};

void PrintTo(const EntryCase& c, std::ostream* out) { *out << c.Name; }

class DamagedEntries : public testing::TestWithParam<EntryCase> {};

TEST_P(DamagedEntries, OnlyIntactEntriesAreExtracted) {
  const EntryCase& c = GetParam();
  Testing::TempDir tmp;
  std::string program = tmp.File("probe");
  ASSERT_TRUE(Testing::CopyFile(TEMP_RESOURCES_PROBE, program));
  std::ostringstream spec;
  spec << R"({"entries": [{"name": "ormivane_packed.msg", "file": ")" << Testing::CatalogPath()
       << R"(", "method": 8}, {"name": "blob", )" << c.EntrySpec << "}]}";
  ASSERT_TRUE(Testing::MakeZip(tmp.File("probe.dat"), spec.str()));

  ProbeRun run = RunProbe(program, {"blob"});
  ASSERT_EQ(run.Status, 0);
  ASSERT_EQ(run.Lines.size(), 2u);
  ASSERT_EQ(run.Lines[0].rfind("dir /tmp/", 0), 0u);
  std::string dir = run.Lines[0].substr(4);
  std::string expected = c.Expected;
  if (expected.rfind("ok ", 0) == 0) expected = "ok " + dir + "blob " + expected.substr(3);
  EXPECT_EQ(run.Lines[1], expected);
  EXPECT_FALSE(Exists(dir));
}

// 0x4000d is "The file is corrupted."; lines 82 and 141 are the entry reader's checks
// of the CRC and of data that ends before its size.
INSTANTIATE_TEST_SUITE_P(
    TemporaryResources, DamagedEntries,
    testing::Values(
        EntryCase{"Stored", R"("text": "hello world", "method": 0)", "ok 11"},
        EntryCase{"Empty", R"("text": "", "method": 8)", "ok 0"},
        EntryCase{"DeflatedSeveralPieces", R"("random": [200000, 7], "method": 8)", "ok 200000"},
        EntryCase{"StoredWrongCrc", R"("text": "hello world", "method": 0, "crc": 1)",
                  "error 0x0004000d line 82"},
        EntryCase{"DeflatedWrongCrcSeveralPieces", R"("random": [200000, 7], "method": 8, "crc": 1)",
                  "error 0x0004000d line 82"},
        EntryCase{"DeflatedStreamCutShort", R"("random": [200000, 7], "method": 8, "truncate": 100)",
                  "error 0x0004000d line 141"}),
    [](const testing::TestParamInfo<EntryCase>& info) { return std::string(info.param.Name); });

}  // namespace

// Hostile inputs of the packed launcher, each case built by the fixture tool: lying or
// damaged archive entries end with exit code 1, the error's text and nothing left under
// /tmp; a catalog or archive that cannot serve ends in abort(), which by design leaves
// the unpack directory (the test removes it).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "packer/tests/launcher_support.h"
#include "tools/testing/fixtures.h"

namespace {

using LauncherTest::Entry;
using LauncherTest::RunResult;

const std::regex kUnpackDirShape("/tmp/[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}/");

// The probe payload with one entry changed by `change`.
std::vector<Entry> Changing(const std::string& name, const std::function<void(Entry&)>& change) {
  std::vector<Entry> entries = LauncherTest::ProbePayload();
  for (Entry& e : entries)
    if (e.Name == name) change(e);
  return entries;
}

// The probe payload whose catalog the fixture tool makes with `options`.
std::vector<Entry> WithCatalog(const Testing::TempDir& dir, const std::vector<std::string>& options) {
  std::string catalog = dir.File("hostile.msg");
  EXPECT_TRUE(Testing::MakeCatalog(catalog, options));
  return Changing("ormivane_packed.msg", [&](Entry& e) { e.File = catalog; });
}

bool Truncate(const std::string& path, off_t size) { return truncate(path.c_str(), size) == 0; }

// Offset of the last end-record signature of a file, or -1.
off_t LastEndRecord(const std::string& path) {
  std::vector<unsigned char> bytes = Testing::ReadFileBytes(path);
  static const unsigned char kSignature[] = {'P', 'K', 5, 6};
  auto found = std::find_end(bytes.begin(), bytes.end(), std::begin(kSignature), std::end(kSignature));
  return found == bytes.end() ? -1 : found - bytes.begin();
}

struct HostileCase {
  const char* Name;
  // Makes the launcher to run in `dir` (named "ormivane_packed" there); false on failure.
  std::function<bool(const Testing::TempDir& dir, const std::string& launcher)> Make;
  int Status;               // the exit code, or -1 for a run that must end in abort()
  const char* ErrorPrefix;  // how the first line of the error text begins (exit-code runs)
  bool ToolStarted;         // whether the run got as far as starting the tool
};

void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.Name; }

bool Pack(const Testing::TempDir& dir, const std::string& launcher, const std::vector<Entry>& entries) {
  return LauncherTest::PackLauncher(launcher, entries, dir.Path());
}

const char* const kCorrupted = "Error 0x4000d: The file is corrupted.";
const char* const kNotSupported = "Error 0x4000e: The operation is not supported.";

const HostileCase kCases[] = {
    // The deflated stream of a library ends early; its sizes say what was written.
    {"DeflateStreamCutShort",
     [](const Testing::TempDir& d, const std::string& l) {
       return Pack(d, l, Changing("libgcc_s.so.1", [](Entry& e) { e.Method = 8, e.ExtraFields = "\"truncate\": 100"; }));
     },
     1, kCorrupted, false},
    // A stored entry that declares more bytes than it holds.
    {"StoredEntryShorterThanDeclared",
     [](const Testing::TempDir& d, const std::string& l) {
       return Pack(d, l, Changing("arvo.dll", [](Entry& e) {
                     e.ExtraFields = "\"local\": {\"usize\": 5000}, \"central\": {\"usize\": 5000}";
                   }));
     },
     1, kCorrupted, false},
    // The local header disagrees with the central directory about the CRC.
    {"LocalHeaderDisagrees",
     [](const Testing::TempDir& d, const std::string& l) {
       return Pack(d, l, Changing("celto.dll", [](Entry& e) { e.ExtraFields = "\"local\": {\"crc\": 7}"; }));
     },
     1, kCorrupted, false},
    {"UnknownCompressionMethod",
     [](const Testing::TempDir& d, const std::string& l) {
       return Pack(d, l, Changing("dunmar.dll", [](Entry& e) { e.Method = 12; }));
     },
     1, kNotSupported, false},
    // The tool is no program the system can load: the shell that execvp falls back on
    // cannot run it either, and its status is not one the launcher knows.
    {"ToolIsNotAProgram",
     [](const Testing::TempDir& d, const std::string& l) {
       std::vector<unsigned char> bytes = {0x7F, 'E', 'L', 'F'};
       bytes.resize(64, 0xFF);
       std::string tool = d.File("not-a-program");
       return Testing::WriteFileBytes(tool, bytes) &&
              Pack(d, l, Changing("ormivane_tool.exe", [&](Entry& e) { e.File = tool; }));
     },
     1, "Error 0x64000f: Failed to execute command ", true},
    // Catalogs that lie about themselves: no text can be formed, so the process aborts.
    {"CatalogSizeWordLies",
     [](const Testing::TempDir& d, const std::string& l) { return Pack(d, l, WithCatalog(d, {"--size-delta", "1"})); },
     -1, nullptr, false},
    {"CatalogCountIsWrong",
     [](const Testing::TempDir& d, const std::string& l) { return Pack(d, l, WithCatalog(d, {"--count", "451"})); },
     -1, nullptr, false},
    {"CatalogSlotPointsOutside",
     [](const Testing::TempDir& d, const std::string& l) {
       return Pack(d, l, WithCatalog(d, {"--slot", "375=100000000"}));
     },
     -1, nullptr, false},
    // The launcher's file cut inside the archive's end record: the program starts, but
    // neither road finds an archive.
    {"LauncherCutInsideTheEndRecord",
     [](const Testing::TempDir& d, const std::string& l) {
       if (!Pack(d, l, LauncherTest::ProbePayload())) return false;
       off_t end = LastEndRecord(l);
       return end > 0 && Truncate(l, end + 11);
     },
     -1, nullptr, false},
    // A ".dat" beside the program that is the probe archive cut in half: it is used
    // because it opens, and it holds no archive.
    {"TruncatedDatBesideTheProgram",
     [](const Testing::TempDir& d, const std::string& l) {
       std::string dat = d.File("ormivane_packed.dat");
       if (!Testing::CopyFile(LauncherTest::ProbeLauncher(), l)) return false;
       std::string spec = LauncherTest::ArchiveSpec(LauncherTest::ProbePayload());
       if (!Testing::MakeZip(dat, spec)) return false;
       struct stat st {};
       return stat(dat.c_str(), &st) == 0 && Truncate(dat, st.st_size / 2);
     },
     -1, nullptr, false},
    // An end record that counts one entry more than the central directory holds.
    {"EndRecordCountsTooMany",
     [](const Testing::TempDir& d, const std::string& l) {
       std::string spec = LauncherTest::ArchiveSpec(LauncherTest::ProbePayload());
       spec.insert(spec.size() - 1, ", \"end\": {\"entries_disk\": 17, \"entries_total\": 17}");
       std::string archive = d.File("payload.zip");
       return Testing::MakeZip(archive, spec) && Testing::EmbedArchive(LauncherTest::BareLauncher(), archive, l);
     },
     -1, nullptr, false},
};

class HostileInput : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, EndsAsDesignedAndCleansUp) {
  const HostileCase& c = GetParam();
  Testing::TempDir dir;
  std::string launcher = dir.File("ormivane_packed");
  ASSERT_TRUE(c.Make(dir, launcher));
  RunResult run = LauncherTest::RunLauncher(launcher, {"print:the-tool-ran"});
  std::string unpackDir = run.UnpackDir();
  ASSERT_TRUE(std::regex_match(unpackDir, kUnpackDirShape)) << run.Stdout;
  EXPECT_EQ(std::count(run.Lines.begin(), run.Lines.end(), "the-tool-ran"), 0) << run.Stdout;

  if (c.Status < 0) {
    // abort() ends the run before anything else is printed; the directory stays.
    bool left = LauncherTest::PathExists(unpackDir);
    LauncherTest::RemoveTree(unpackDir);
    EXPECT_EQ(run.Signal, SIGABRT) << run.Stdout;
    EXPECT_TRUE(left);
    EXPECT_EQ(run.Lines.back(), "Unpack files to " + unpackDir);
    return;
  }
  EXPECT_EQ(run.Signal, 0);
  EXPECT_EQ(run.Status, c.Status) << run.Stdout;
  EXPECT_FALSE(LauncherTest::PathExists(unpackDir)) << "left behind: " << unpackDir;
  EXPECT_EQ(run.Stderr, "");
  EXPECT_EQ(std::count(run.Lines.begin(), run.Lines.end(), "Start executing..."), c.ToolStarted ? 1 : 0) << run.Stdout;
  auto error = std::find_if(run.Lines.begin(), run.Lines.end(),
                            [&](const std::string& line) { return line.rfind(c.ErrorPrefix, 0) == 0; });
  ASSERT_NE(error, run.Lines.end()) << run.Stdout;
  // An unpacking that fails stops at the damaged entry: its error follows the last
  // "Unpacked" line.
  if (!c.ToolStarted) {
    ASSERT_NE(error, run.Lines.begin());
    EXPECT_EQ(error[-1].rfind("Unpacked ", 0), 0u) << run.Stdout;
  }
}

INSTANTIATE_TEST_SUITE_P(Launcher, HostileInput, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.Name); });

}  // namespace

// The ICU data hook: request paths to archive entries and the size bounds, served from a
// fixture archive in a fresh process, and the release of what was handed out.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "core/resources/icu_data.h"
#include "tools/testing/fixtures.h"

namespace {

using Resources::MapIcuDataFile;
using Resources::UDataMemory;
using Resources::UnmapIcuDataFile;

constexpr char kProbeOutVariable[] = "ORMIVANE_ICU_PROBE_OUT";
constexpr char kProbeTest[] = "IcuDataChild.DISABLED_ServeRequests";

// Every request the child makes, with what it must answer ("" for false). The archive
// below also holds the names a careless reading of each refused path would look up, so a
// refusal shows that no lookup was made.
struct Request {
  const char* Path;
  const char* Served;
};

constexpr Request kRequests[] = {
    {"./icudt38l.dat", "package-data-of-32-bytes......."},
    {"./icudt38l/cnvalias.icu", "alias-table-of-24-bytes."},
    {"./icudt38l/coll/root.res", "flattened-collation-root-item"},
    {"./icudt38l/short.icu", ""},          // 23 bytes: too short for a data header
    {"./icudt38l/missing.icu", ""},        // no such entry
    {"./icudt38l", ""},                    // neither the package nor an item
    {"./icudt38l.dat.old", ""},            // the package path with more after it
    {"./icudt38l.datx", ""},
    {"/icudt38l/cnvalias.icu", ""},        // absolute
    {"/tmp/icudt38l.dat", ""},
    {"icudt38l.dat", ""},                  // without "./"
    {"./ICUDT38L/cnvalias.icu", ""},       // the archive folds case, the request test does not
};

// The entries of the fixture archive: the catalog (the child's first lookup needs it),
// what the requests above find, and the decoys.
std::string FixtureArchiveJson() {
  struct Item {
    const char* Name;
    const char* Text;
  };
  const Item items[] = {
      {"icudt38l.dat", "package-data-of-32-bytes......."},
      {"cnvalias.icu", "alias-table-of-24-bytes."},
      {"coll_root.res", "flattened-collation-root-item"},
      {"coll/root.res", "unflattened-name-must-not-be-read"},
      {"short.icu", "twenty-three-bytes-long"},
      {"icudt38l", "decoy-for-the-bare-directory-path"},
      {"icudt38l.dat.old", "decoy-for-a-longer-package-path"},
      {"icudt38l.datx", "decoy-for-a-longer-package-path"},
      {"icudt38l_cnvalias.icu", "decoy-for-a-path-without-its-dot"},
      {"tmp_icudt38l.dat", "decoy-for-an-absolute-package-path"},
  };
  std::string json = R"({"entries": [{"method": 8, "name": "ormivane_packed.msg", "file": ")" +
                     Testing::CatalogPath() + "\"}";
  for (const Item& item : items)
    json += std::string(R"(, {"method": 8, "name": ")") + item.Name + R"(", "text": ")" + item.Text + "\"}";
  return json + "]}";
}

// One line per request: "1 <length> <bytes>" when served, "0" when refused.
std::string DescribeRequest(const char* path) {
  UDataMemory memory;
  if (!MapIcuDataFile(&memory, path)) return "0";
  std::string line = "1 " + std::to_string(memory.length) + " " +
                     std::string(static_cast<const char*>(memory.pHeader), static_cast<size_t>(memory.length));
  if (memory.pHeader != memory.map || memory.mapAddr != memory.map) line += " <fields differ>";
  UnmapIcuDataFile(&memory);
  // A second release must find nothing left to free.
  UnmapIcuDataFile(&memory);
  if (memory.map != nullptr || memory.length != 0) line += " <not cleared>";
  return line;
}

std::string ExpectedLine(const Request& request) {
  std::string served = request.Served;
  if (served.empty()) return "0";
  return "1 " + std::to_string(served.size()) + " " + served;
}

// Runs in a copy of this program whose archive is the fixture beside it; skipped in a
// normal run.
TEST(IcuDataChild, DISABLED_ServeRequests) {
  const char* out = std::getenv(kProbeOutVariable);
  if (out == nullptr) GTEST_SKIP() << "runs only as the child of IcuData.RequestsServedFromArchive";
  std::ofstream lines(out);
  for (const Request& request : kRequests) lines << DescribeRequest(request.Path) << "\n";
}

TEST(IcuData, RequestsServedFromArchive) {
  Testing::TempDir dir;
  std::string program = dir.File("icu_probe");
  ASSERT_TRUE(Testing::CopyFile(Common::GetModulePath(), program));
  ASSERT_TRUE(Testing::MakeZip(dir.File("icu_probe.dat"), FixtureArchiveJson()));
  std::string out = dir.File("answers.txt");
  setenv(kProbeOutVariable, out.c_str(), 1);
  int status = Testing::RunProgram(
      {program, "--gtest_also_run_disabled_tests", std::string("--gtest_filter=") + kProbeTest});
  unsetenv(kProbeOutVariable);
  ASSERT_EQ(status, 0);

  std::vector<unsigned char> bytes = Testing::ReadFileBytes(out);
  std::istringstream answers(std::string(bytes.begin(), bytes.end()));
  for (const Request& request : kRequests) {
    std::string line;
    ASSERT_TRUE(std::getline(answers, line)) << request.Path;
    EXPECT_EQ(line, ExpectedLine(request)) << request.Path;
  }
}

// The archive every test program carries holds the catalog and no ICU data.
TEST(IcuData, CarriedArchiveServesNothing) {
  for (const char* path : {"./icudt38l.dat", "./icudt38l/cnvalias.icu", "./icudt38l/coll/root.res"}) {
    UDataMemory memory;
    EXPECT_FALSE(MapIcuDataFile(&memory, path)) << path;
    EXPECT_EQ(memory.map, nullptr) << path;
  }
}

TEST(IcuData, NullArgumentsAreRefused) {
  UDataMemory memory;
  EXPECT_FALSE(MapIcuDataFile(&memory, nullptr));
  EXPECT_EQ(memory.map, nullptr);
  // The catalog entry is in the carried archive: only the null memory makes this fail.
  EXPECT_FALSE(MapIcuDataFile(nullptr, "./icudt38l/ormivane_packed.msg"));
}

TEST(IcuData, LengthBounds) {
  struct Case {
    uint32_t Size;
    bool Fits;
  };
  const Case cases[] = {
      {0, false}, {23, false}, {24, true}, {0x7FFFFFFF, true}, {0x80000000u, false}, {0xFFFFFFFFu, false},
  };
  for (const Case& c : cases) EXPECT_EQ(Resources::IcuDataLengthFits(c.Size), c.Fits) << c.Size;
}

TEST(IcuData, UnmapReleasesOnceAndLeavesOtherMemoryAlone) {
  UDataMemory mapped;
  ASSERT_TRUE(MapIcuDataFile(&mapped, "./icudt38l/ormivane_packed.msg"));
  EXPECT_GE(mapped.length, 24);
  UnmapIcuDataFile(&mapped);
  EXPECT_EQ(mapped.map, nullptr);
  EXPECT_EQ(mapped.mapAddr, nullptr);
  EXPECT_EQ(mapped.pHeader, nullptr);
  EXPECT_EQ(mapped.length, 0);
  UnmapIcuDataFile(&mapped);  // nothing left: the sanitizer builds see any second free
  EXPECT_EQ(mapped.map, nullptr);

  // Memory that this hook did not fill (no `map`) keeps whatever it describes.
  static const char kForeign[] = "data owned by somebody else";
  UDataMemory foreign;
  foreign.pHeader = kForeign;
  foreign.mapAddr = kForeign;
  foreign.length = static_cast<int32_t>(sizeof kForeign);
  UnmapIcuDataFile(&foreign);
  EXPECT_EQ(foreign.pHeader, kForeign);
  EXPECT_EQ(foreign.mapAddr, kForeign);
  EXPECT_EQ(foreign.length, static_cast<int32_t>(sizeof kForeign));

  UnmapIcuDataFile(nullptr);
}

}  // namespace

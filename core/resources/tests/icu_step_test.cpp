// ICU's own data requests reach the archive hook: the probe opens a converter in a fresh
// process with a fixture archive beside it, and prints what ICU asked for and what came
// of it. The real data items are taken at test time from the linked ICU's data library.
#include <gtest/gtest.h>
#include <unicode/utypes.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/resources/tests/probe_support.h"
#include "tools/testing/fixtures.h"

namespace {

using ProbeTesting::Entry;

constexpr char kRealConverter[] = "ibm-923_P100-1998.cnv";  // what ICU calls ISO-8859-15
constexpr char kRealAliasTable[] = "cnvalias.icu";
// Accepted by the hook (24 bytes), rejected by ICU (no data header).
constexpr char kJunk[] = "junk-junk-junk-junk-junk";

// The items of ICU's own data, made once for the suite with icupkg from the package that
// ICU's data library holds.
class IcuStepTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    items = std::make_unique<Testing::TempDir>();
    // icupkg takes the package's name from its file name.
    const std::string package = std::string(U_ICUDATA_NAME) + ".dat";
    const std::string script = "set -e; cd '" + items->Path() + "'; '" + ORMIVANE_AR + "' p '" +
                               ORMIVANE_ICU_DATA_ARCHIVE + "' > data.o; '" + ORMIVANE_OBJCOPY +
                               "' -O binary -j .rodata data.o " + package + "; rm data.o; for item in " + kRealConverter + " " +
                               kRealAliasTable + "; do '" + ORMIVANE_ICUPKG + "' -d . -x \"$item\" " + package +
                               "; test -s \"$item\"; done; rm " + package;
    made = Testing::RunProgram({"/bin/sh", "-c", script}) == 0;
  }
  static void TearDownTestSuite() { items.reset(); }

  void SetUp() override { ASSERT_TRUE(made) << "icupkg could not take the items out of " << ORMIVANE_ICU_DATA_ARCHIVE; }

  static std::string Item(const char* name) { return items->File(name); }

  // The probe's output for opening `converter` ("-": ICU's default) with `entries` in
  // the archive beside it, after the catalog.
  static std::string Open(const std::string& converter, std::vector<Entry> entries) {
    ProbeTesting::ProbeDir dir("icu_step_probe");
    entries.insert(entries.begin(), Entry{"ormivane_packed.msg", Testing::CatalogPath(), ""});
    dir.Archive("icu_step_probe.dat", entries);
    EXPECT_TRUE(Testing::CopyFile(ICU_STEP_PROBE, dir.Program()));
    Testing::ProcessResult result =
        Testing::RunCaptured({dir.Program(), converter, dir.File("no-i18n")}, {"LANG=C"});
    EXPECT_EQ(result.Signal, 0) << converter;
    EXPECT_EQ(result.Status, 0) << converter;
    return result.Output;
  }

  static std::unique_ptr<Testing::TempDir> items;
  static bool made;
};

std::unique_ptr<Testing::TempDir> IcuStepTest::items;
bool IcuStepTest::made = false;

constexpr char kAliasRequest[] = "request ./icudt38l/cnvalias.icu ";
constexpr char kPackageRequest[] = "request ./icudt38l.dat ";
constexpr char kItemRequest[] = "request ./icudt38l/ISO-8859-15.cnv ";

TEST_F(IcuStepTest, DefaultConverterAsksForNothing) {
  // ICU's only default charset is UTF-8, which it opens without data.
  EXPECT_EQ(Open("-", {}), "open U_ZERO_ERROR\neuro E2 82 AC\n");
}

TEST_F(IcuStepTest, TableConverterIsAskedOfTheHook) {
  struct Case {
    const char* What;
    std::vector<Entry> Entries;
    std::string Output;
  };
  const Case cases[] = {
      {"no ICU data: every request refused",
       {},
       std::string(kAliasRequest) + "0\n" + kPackageRequest + "0\n" + kItemRequest + "0\nopen U_FILE_ACCESS_ERROR\n"},
      {"the real converter under the name asked for",
       {{"ISO-8859-15.cnv", Item(kRealConverter), ""}},
       std::string(kAliasRequest) + "0\n" + kPackageRequest + "0\n" + kItemRequest + "1\nopen U_ZERO_ERROR\neuro A4\n"},
      {"the real alias table leads to the converter's own name",
       {{kRealAliasTable, Item(kRealAliasTable), ""}, {kRealConverter, Item(kRealConverter), ""}},
       std::string(kAliasRequest) + "1\nrequest ./icudt38l/" + kRealConverter + " 1\nopen U_ZERO_ERROR\neuro A4\n"},
      {"junk under every name: served, rejected by ICU, released",
       {{kRealAliasTable, "", kJunk}, {"icudt38l.dat", "", kJunk}, {"ISO-8859-15.cnv", "", kJunk}},
       std::string(kAliasRequest) + "1\n" + kItemRequest + "1\nopen U_INVALID_FORMAT_ERROR\n"},
      {"a junk package",
       {{"icudt38l.dat", "", kJunk}},
       std::string(kAliasRequest) + "0\n" + kPackageRequest + "1\n" + kItemRequest + "0\nopen U_FILE_ACCESS_ERROR\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Open("ISO-8859-15", c.Entries), c.Output) << c.What;
}

// A converter item of 24 bytes that is a valid data header and nothing more: ICU reads
// the converter's data behind it, which is the zero padding of the copy it was handed.
TEST_F(IcuStepTest, HeaderAloneIsRejectedWithoutReadingPastTheEntry) {
  const unsigned char header[24] = {24, 0, 0xDA, 0x27,                  // header size, magic
                                    20, 0, 0, 0, 0, 0, 2, 0,            // UDataInfo: size, little-endian, ASCII, 2-byte UChar
                                    'c', 'n', 'v', 't', 6, 2, 0, 0,     // format "cnvt" 6.2
                                    0, 0, 0, 0};                        // data version
  const std::string path = items->File("header-only.cnv");
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header), sizeof header);
  }
  EXPECT_EQ(Open("ISO-8859-15", {{"ISO-8859-15.cnv", path, ""}}),
            std::string(kAliasRequest) + "0\n" + kPackageRequest + "0\n" + kItemRequest + "1\nopen U_INVALID_TABLE_FORMAT\n");
}

}  // namespace

// ICU's own data requests reach the archive hook: the probe opens a converter in a fresh
// process with a fixture archive beside it, and prints what ICU asked for and what came
// of it. The real data items are taken at test time from the linked ICU's data library.
#include <gtest/gtest.h>
#include <malloc.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/resources/icu_data.h"
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

// A converter item: the data header (its size field `headerBytes`), then `body`. The
// header is one ICU accepts for a converter of this machine (little-endian, ASCII, format
// "cnvt" 6.2).
std::vector<unsigned char> ConverterItem(uint16_t headerBytes, const std::vector<unsigned char>& body) {
  std::vector<unsigned char> item = {static_cast<unsigned char>(headerBytes), static_cast<unsigned char>(headerBytes >> 8),
                                     0xDA, 0x27,                      // magic
                                     20, 0, 0, 0, 0, 0, 2, 0,         // UDataInfo: size, little-endian, ASCII, 2-byte UChar
                                     'c', 'n', 'v', 't', 6, 2, 0, 0,  // format "cnvt" 6.2
                                     0, 0, 0, 0};                     // data version
  for (unsigned char byte : body) item.push_back(byte);  // not insert: GCC 12 warns of a bound on an empty body
  return item;
}

// The body of an extension-only converter named `name` whose base table name, right behind
// the table header, is `name` again and the last bytes of the item, with no NUL. ICU
// compares it with the converter's own name (refusing a table that is its own base) and
// would then load the base by that name; nothing on the way checks the length.
std::vector<unsigned char> ExtensionOnlyBody(const std::string& name) {
  constexpr size_t kStaticDataBytes = 100;  // UConverterStaticData
  constexpr size_t kNameOffset = 4;
  constexpr size_t kTypeOffset = 69;
  constexpr unsigned char kTypeMbcs = 2;
  constexpr size_t kTableHeaderBytes = 32;  // a version 4 table header
  constexpr size_t kFlagsOffset = 24;
  constexpr uint32_t kOutputExtensionOnly = 0x0E;
  std::vector<unsigned char> body(kStaticDataBytes + kTableHeaderBytes, 0);
  body[0] = kStaticDataBytes;
  std::copy(name.begin(), name.end(), body.begin() + kNameOffset);
  body[kTypeOffset] = kTypeMbcs;
  unsigned char* table = body.data() + kStaticDataBytes;
  table[0] = 4;  // version 4.2
  table[1] = 2;
  // The extension data would follow the base name.
  const uint32_t flags = static_cast<uint32_t>(kTableHeaderBytes + name.size()) << 8 | kOutputExtensionOnly;
  for (size_t i = 0; i < 4; ++i) table[kFlagsOffset + i] = static_cast<unsigned char>(flags >> (8 * i));
  body.insert(body.end(), name.begin(), name.end());
  return body;
}

// Items that make ICU read behind the entry before it compares anything with the length;
// it meets the zero padding of the copy it was handed and fails cleanly. Each runs in its
// own probe, so a read past the entry shows as the probe's crash, a sanitizer's report or
// a request for a name made of heap bytes.
TEST_F(IcuStepTest, CraftedConverterFailsWithoutReadingPastTheEntry) {
  // 16 name bytes make a 172-byte item, which fills a block of the 32-bit C library's heap
  // exactly: unpadded, the next byte is the low byte of the following block's size, whose
  // "previous in use" bit is set, so the name never ends there.
  const std::string name = "ext-only-no-nul!";
  struct Case {
    const char* What;
    std::vector<unsigned char> Item;
  };
  const Case cases[] = {
      {"a data header and nothing after it", ConverterItem(24, {})},
      {"a header size that puts the data 64 KiB past a 24-byte item", ConverterItem(0xFFFF, {})},
      {"an extension-only table whose base name runs to the end", ConverterItem(24, ExtensionOnlyBody(name))},
  };
  // What the cases rely on, in a copy the hook hands out here: zeros behind the entry up to
  // the furthest data start a 16-bit header size gives, and a page more.
  constexpr size_t kZeroBytesBehind = 0x10000 + 4096;
  Resources::UDataMemory memory;
  ASSERT_TRUE(Resources::MapIcuDataFile(&memory, "./icudt38l/ormivane_packed.msg"));
  const size_t length = static_cast<size_t>(memory.length);
  EXPECT_GE(malloc_usable_size(memory.map), length + kZeroBytesBehind);
  if (malloc_usable_size(memory.map) >= length + kZeroBytesBehind) {
    const auto* behind = static_cast<const unsigned char*>(memory.mapAddr) + length;
    for (size_t i = 0; i < kZeroBytesBehind; ++i) ASSERT_EQ(behind[i], 0) << i;
  }
  Resources::UnmapIcuDataFile(&memory);

  for (const Case& c : cases) {
    const std::string path = items->File("crafted.cnv");
    ASSERT_TRUE(Testing::WriteFileBytes(path, c.Item));
    EXPECT_EQ(Open("ISO-8859-15", {{"ISO-8859-15.cnv", path, ""}}),
              std::string(kAliasRequest) + "0\n" + kPackageRequest + "0\n" + kItemRequest + "1\nopen U_INVALID_TABLE_FORMAT\n")
        << c.What;
  }
}

}  // namespace

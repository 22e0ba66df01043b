// Tests of the unpack list and the library rename table that the payload list makes.
#include "packer/load_files.h"

#include <gtest/gtest.h>

#include <set>

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(UnpackList, ToolThenRuntimeLibrariesThenTenDllEntries) {
  std::vector<std::string> names = LoadFiles::UnpackList();
  ASSERT_EQ(names.size(), 14u);
  EXPECT_EQ(names[0], "ormivane_tool.exe");
  EXPECT_EQ(names[1], "libstdc++.so.6");
  EXPECT_EQ(names[2], "libgcc_s.so.1");
  EXPECT_EQ(names[3], "libssp.so.0");
  LoadFiles::LibraryRenameTable table;
  for (size_t i = 4; i < names.size(); ++i) {
    EXPECT_TRUE(EndsWith(names[i], ".dll")) << names[i];
    EXPECT_EQ(table.Rows().count(names[i]), 1u) << names[i];
  }
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(table.FileNameOf(names[i]), names[i]);
}

TEST(LibraryRenameTable, SixteenRowsOneRuleOneException) {
  LoadFiles::LibraryRenameTable table;
  ASSERT_EQ(table.Rows().size(), 16u);
  int exceptions = 0;
  int doubled = 0;
  for (const auto& [archive, file] : table.Rows()) {
    ASSERT_TRUE(EndsWith(archive, ".dll")) << archive;
    std::string stem = archive.substr(0, archive.size() - 4);
    if (file == "lib" + stem + ".so") {
      doubled += stem.rfind("lib", 0) == 0;
      continue;
    }
    // The unwinding library keeps its stem, which already begins with "lib".
    EXPECT_EQ(file, stem + ".so") << archive;
    EXPECT_EQ(stem.rfind("lib", 0), 0u) << archive;
    ++exceptions;
  }
  EXPECT_EQ(exceptions, 1);
  EXPECT_GE(doubled, 1);  // a stem beginning with "lib" gets it twice under the rule

  std::set<std::string> unpacked;
  for (const std::string& name : LoadFiles::UnpackList()) unpacked.insert(name);
  int unused = 0;
  for (const auto& row : table.Rows()) unused += unpacked.count(row.first) == 0;
  EXPECT_EQ(unused, 6);
}

TEST(LibraryRenameTable, LookupsCompareWholeNamesExactly) {
  LoadFiles::LibraryRenameTable table;
  EXPECT_EQ(table.FileNameOf("arvo.dll"), "libarvo.so");
  EXPECT_EQ(table.FileNameOf("ARVO.DLL"), "ARVO.DLL");
  EXPECT_EQ(table.FileNameOf("arvo"), "arvo");
  EXPECT_EQ(table.FileNameOf("xarvo.dll"), "xarvo.dll");
}

}  // namespace

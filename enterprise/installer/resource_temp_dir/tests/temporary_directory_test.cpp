// Tests of the temporary directory: its GUID name under "/tmp" or a base, and the
// removal of its whole tree when the object goes.
#include "enterprise/installer/resource_temp_dir/temporary_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#include "tools/testing/fixtures.h"

namespace {

using EnterpriseInstaller::TemporaryDirectory;

std::string Utf8(const std::u16string& text) { return Common::ToUtf8(text.c_str()); }

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(TemporaryDirectory, GuidNamedDirectoriesUnderTmp) {
  TemporaryDirectory first(u"");
  TemporaryDirectory second(u"");
  std::string a = Utf8(first.GetPath());
  std::string b = Utf8(second.GetPath());
  EXPECT_NE(a, b);
  const std::regex shape("/tmp/[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}/");
  EXPECT_TRUE(std::regex_match(a, shape)) << a;
  EXPECT_TRUE(std::regex_match(b, shape)) << b;
  struct stat st;
  ASSERT_EQ(stat(a.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
}

TEST(TemporaryDirectory, DestructionRemovesTheWholeTree) {
  std::string path;
  {
    TemporaryDirectory temp(u"");
    path = Utf8(temp.GetPath());
    std::filesystem::create_directories(path + "sub/deeper");
    std::ofstream(path + "file") << "x";
    std::ofstream(path + "sub/deeper/file") << "y";
    std::filesystem::create_symlink("/tmp", path + "sub/link");
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(Exists("/tmp"));
}

TEST(TemporaryDirectory, DirectoryRemovedBySomebodyElse) {
  auto temp = std::make_unique<TemporaryDirectory>(u"");
  std::string path = Utf8(temp->GetPath());
  std::filesystem::remove_all(path);
  EXPECT_NO_THROW(temp.reset());
  EXPECT_FALSE(Exists(path));
}

TEST(TemporaryDirectory, BaseIsCreatedWithItsAncestors) {
  Testing::TempDir tmp;
  std::string base = tmp.File("a/b");
  std::string path;
  {
    TemporaryDirectory temp(Common::ToUtf16(base.c_str()));
    path = Utf8(temp.GetPath());
    EXPECT_EQ(path.rfind(base + "/", 0), 0u) << path;
    EXPECT_EQ(path.size(), base.size() + 1 + 36 + 1);
    EXPECT_TRUE(std::filesystem::is_directory(path));
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(std::filesystem::is_directory(base));  // the base stays
}

TEST(TemporaryDirectory, BaseThatCannotBeCreated) {
  Testing::TempDir tmp;
  std::ofstream(tmp.File("file")) << "x";
  try {
    TemporaryDirectory temp(Common::ToUtf16(tmp.File("file/below").c_str()));
    FAIL() << "constructed under a regular file";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.GetCode(), Common::FILE_CREATE_ERROR);
  }
}

}  // namespace

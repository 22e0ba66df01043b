// posix_dir: path joining, special directories, name operations and their failures,
// queries, the held-error rule of directories and the directory control codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/common/error_codes.h"
#include "core/common/locations.h"
#include "core/include/file/posix_control.h"
#include "core/file/unix/posixsp.h"
#include "core/file/unix/tests/posixsp_support.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/location_id.h"

namespace {

using ::testing::AllOf;
using Testing::CauseAt;
using Testing::HasChainLength;
using Testing::HasCode;
using Testing::HasLocation;
using Testing::HasSite;
using Testing::IsErrno;

using Common::WString;
using PosixTest::ChainLength;
using PosixTest::ErrnoOf;
using PosixTest::Param;
using PosixTest::RecordAt;
using PosixTest::RunInChild;
using PosixTest::ScratchDir;

constexpr Common::SourceFileId kPosixsp = Common::Locations::CoreFileUnixPosixsp;

std::string NativeOf(rio_dir* dir) { return dynamic_cast<posix_dir*>(dir)->GetNativePath(); }

std::string Utf8(const char16_t* text) { return text != nullptr ? Common::ToUtf8(text) : std::string("(null)"); }

// A marker error that the queries which leave the error alone must keep.
Common::Error Marker() {
  return Common::MakeError(Common::MakeLocation(Common::Locations::CoreFileUnixPosixsp,
                                                "core/file/unix/tests/posixsp_dir_test.cpp", "Marker", 1),
                           Common::FILE_CANCELED);
}

class PosixDirTest : public ::testing::Test {
 protected:
  PosixDirTest() : dir(scratch.Path()) {}

  bool Exists(const std::string& name) {
    struct stat st;
    return lstat(scratch.At(name).c_str(), &st) == 0;
  }

  ScratchDir scratch;
  posix_dir dir;
};

// Construction, joining, special directories ------------------------------------------

TEST(PosixDirPaths, JoinedNames) {
  struct Case {
    const char* base;
    const char16_t* name;
    const char* joined;
  };
  const Case cases[] = {
      {"/tmp", u"", "/tmp"},          {"/tmp", u".", "/tmp"},         {"/tmp", u"..", "/"},
      {"/", u"..", "/"},              {"/tmp", u"a/b/../c", "/tmp/a/c"}, {"/tmp", u"/etc/x", "/etc/x"},
      {"/tmp", u"a//b/./", "/tmp/a/b"}, {"/a/b", u"../../..", "/"},
  };
  for (const Case& c : cases) {
    posix_dir dir(c.base);
    std::string out;
    dir.GetPath(c.name, out);
    EXPECT_EQ(out, c.joined) << c.base << " + " << Utf8(c.name);
    EXPECT_FALSE(dir.last_error);
  }
}

TEST(PosixDirPaths, ANameThatDoesNotConvertJoinsToNothing) {
  posix_dir dir("/tmp");
  const char16_t lone[] = {0xD800, 0};
  std::string out = "x";
  dir.GetPath(lone, out);
  EXPECT_EQ(out, "");
}

TEST(PosixDirPaths, DirPathAndCapabilities) {
  struct Case {
    const char* native;
    const char* shown;
  };
  const Case cases[] = {{"/", "/"}, {"/tmp", "/tmp/"}, {"/a/b", "/a/b/"}};
  for (const Case& c : cases) {
    posix_dir dir(c.native);
    ReplaceLastError(dir, Marker());
    EXPECT_EQ(Utf8(dir.GetDirPath()), c.shown);
    EXPECT_EQ(dir.GetDirPath(), dir.GetDirPath());  // cached
    EXPECT_EQ(dir.GetCapabilities(), 0x83u);
    EXPECT_TRUE(dir.IsPathSeparator(u'/'));
    EXPECT_FALSE(dir.IsPathSeparator(u'\\'));
    EXPECT_EQ(dir.GetPathSeparator(), u'/');
    EXPECT_TRUE(dir.IsCaseSensitive());
    EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_CANCELED);
  }
}

TEST(PosixDirPaths, SpecialDirectories) {
  std::string savedHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  bool hadHome = std::getenv("HOME") != nullptr;
  struct Case {
    uint32_t id;
    const char* home;  // null: unset
    const char* path;  // null: fails
    uint32_t code;
    uint32_t line;
  };
  const Case cases[] = {
      {143, "/h", "/var/lib", 0, 0},
      {144, "/home/someone", "/home/someone", 0, 0},
      {145, "/home/other/", "/home/other/", 0, 0},
      {144, nullptr, nullptr, Common::FILE_OPEN_ERROR, 891},
      {145, "relative", nullptr, Common::FILE_OPEN_ERROR, 891},
      {144, "", nullptr, Common::FILE_OPEN_ERROR, 891},
      {149, "/h", "/tmp", 0, 0},
      {156, "/h", "/var/log", 0, 0},
      {146, "/h", nullptr, Common::FILE_NOT_SUPPORTED, 901},
      {150, "/h", nullptr, Common::FILE_NOT_SUPPORTED, 901},
      {0, "/h", nullptr, Common::FILE_NOT_SUPPORTED, 901},
  };
  posix_dir dir("/");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    if (c.home != nullptr)
      setenv("HOME", c.home, 1);
    else
      unsetenv("HOME");
    ReplaceLastError(dir, Marker());
    std::unique_ptr<rio_dir> special(dir.OpenSpecialDir(c.id));
    if (c.path != nullptr) {
      ASSERT_NE(special, nullptr);
      EXPECT_EQ(NativeOf(special.get()), c.path);
      EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_CANCELED);  // left as it was
    } else {
      EXPECT_EQ(special, nullptr);
      EXPECT_THAT(dir.last_error, AllOf(HasCode(c.code), HasSite("OpenSpecialDir", c.line),
                                        HasLocation(kPosixsp, c.line), HasChainLength(1)));
      if (c.line == 901) {
        EXPECT_EQ(Testing::LocationId(dir.last_error), 0x3D9EA26F1BFDF203u);
      }
    }
  }
  if (hadHome)
    setenv("HOME", savedHome.c_str(), 1);
  else
    unsetenv("HOME");
}

TEST(PosixDirPaths, CompareLocation) {
  struct Case {
    const char* mine;
    const char* other;
    uint32_t result;
  };
  const Case cases[] = {
      {"/tmp", "/tmp/x", 1}, {"/tmp", "/tmpx", 2}, {"/tmp", "/tmp", 0}, {"/tmp/x", "/tmp", 2},
      {"/", "/tmp", 1},      {"/tmp/", "/tmp/x", 1}, {"/tmp", "/tm", 2},  {"/tmp", "/tmq/x", 2},
      {"", "/x", 1},
  };
  for (const Case& c : cases) {
    posix_dir mine(c.mine);
    posix_dir other(c.other);
    ReplaceLastError(mine, Marker());
    EXPECT_EQ(mine.CompareLocation(&other), c.result) << c.mine << " vs " << c.other;
    EXPECT_EQ(mine.last_error.GetCode(), Common::FILE_CANCELED);
  }
  posix_dir self("/tmp");
  EXPECT_EQ(self.CompareLocation(&self), 0u);
  EXPECT_EQ(self.CompareLocation(nullptr), 2u);
}

TEST_F(PosixDirTest, GetParentDir) {
  struct Case {
    const char16_t* path;
    const char* opened;
    size_t advanced;  // units the pointer moves on
  };
  const Case cases[] = {
      {u"a/b/c", "a/b", 4},
      {u"c", "", 0},
      {u"a/b/", "a/b", 4},
      {u"/abs/x", "/abs", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8(c.path));
    const char16_t* name = c.path;
    std::unique_ptr<rio_dir> parent(dir.GetParentDir(&name));
    ASSERT_NE(parent, nullptr);
    std::string expected = c.opened[0] == '/' ? c.opened : c.opened[0] == 0 ? scratch.Path() : scratch.At(c.opened);
    EXPECT_EQ(NativeOf(parent.get()), expected);
    EXPECT_EQ(name, c.path + c.advanced);
  }
  // The o_dir side hands out the ro_dir part of the same new directory.
  o_dir& writeSide = dir;
  const char16_t* name = u"x/y";
  std::unique_ptr<o_dir> parent(writeSide.GetParentDir(&name));
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(dynamic_cast<posix_dir*>(parent.get())->GetNativePath(), scratch.At("x"));
}

TEST_F(PosixDirTest, OpenDirTouchesNothingOnDisk) {
  std::unique_ptr<rio_dir> missing(dir.OpenDir(u"not/there"));
  ASSERT_NE(missing, nullptr);
  EXPECT_FALSE(dir.last_error);
  EXPECT_EQ(NativeOf(missing.get()), scratch.At("not/there"));
  std::unique_ptr<i_dir::iterator> entries(missing->GetIterator());
  EXPECT_EQ(entries, nullptr);
  EXPECT_EQ(missing->last_error.GetCode(), Common::FILE_NOT_FOUND);
  EXPECT_EQ(RecordAt(missing->last_error, 0).Line, 991u);

  // Self reopened through the generic OpenSelf, and absolute names from anywhere.
  std::unique_ptr<rio_dir> self(dir.OpenSelf());
  EXPECT_EQ(NativeOf(self.get()), scratch.Path());
  scratch.WriteFile("abs", "absolute");
  posix_dir elsewhere("/var");
  std::unique_ptr<ri_file> file(elsewhere.OpenI(scratch.WideAt("abs").c_str(), true));
  ASSERT_NE(file, nullptr);
  char buffer[8];
  Read(*file, buffer, 8);
  EXPECT_EQ(std::string(buffer, 8), "absolute");
}

// Runs in a fresh process: the cache is filled by the first call of the process, and
// anything before (the archive behind the message catalog opens the current directory
// too) would have filled it already.
int CurrentDirCapturedOnce() {
  ScratchDir first;
  ScratchDir second;
  char real[PATH_MAX];
  if (chdir(first.Path().c_str()) != 0 || getcwd(real, sizeof real) == nullptr) return 30;
  rio_dir* dir = nullptr;
  OpenCurrentDir(&dir);
  if (dir == nullptr || NativeOf(dir) != real) return 31;
  if (Utf8(dir->GetDirPath()) != std::string(real) + "/") return 32;
  delete dir;
  if (chdir(second.Path().c_str()) != 0) return 33;
  std::unique_ptr<rio_dir> again(OpenCurrentDir());
  if (NativeOf(again.get()) != real) return 34;
  if (chdir("/") != 0) return 35;
  return 0;
}

TEST(PosixDirCurrent, CapturedOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(CurrentDirCapturedOnce()), ::testing::ExitedWithCode(0), "");
}

// Name operations ----------------------------------------------------------------------

TEST_F(PosixDirTest, NameOperationsSucceed) {
  dir.CreateDir(u"d", nullptr);
  EXPECT_FALSE(dir.last_error);
  struct stat st;
  ASSERT_EQ(stat(scratch.At("d").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  scratch.WriteFile("d/f", "x");
  dir.Rename(u"d/f", u"g");
  EXPECT_FALSE(dir.last_error);
  EXPECT_TRUE(Exists("g"));
  dir.CreateHardLink(u"h", u"g");
  EXPECT_FALSE(dir.last_error);
  ASSERT_EQ(stat(scratch.At("g").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  dir.CreateSymLink(u"d/link", u"../g", 5, 0);
  EXPECT_FALSE(dir.last_error);
  char target[64] = {};
  ASSERT_GT(readlink(scratch.At("d/link").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "../g");
  EXPECT_EQ(scratch.ReadFile("d/link"), "x");

  dir.SetUnixPermissions(u"g", 0600);
  EXPECT_FALSE(dir.last_error);
  ASSERT_EQ(stat(scratch.At("g").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  AccessRights rights{0, 0640};
  dir.SetAccessRights(u"g", &rights);
  EXPECT_FALSE(dir.last_error);
  ASSERT_EQ(stat(scratch.At("g").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  dir.CreateDeviceNode(u"fifo", 3, 0600, 0, 0);
  EXPECT_FALSE(dir.last_error);
  ASSERT_EQ(lstat(scratch.At("fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  dir.CreateDeviceNode(u"plain", 0, 0640 | S_IFDIR, 0, 0);  // file-type bits are replaced
  EXPECT_FALSE(dir.last_error);
  ASSERT_EQ(lstat(scratch.At("plain").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));

  dir.Remove(u"h");
  dir.Remove(u"d/link");
  EXPECT_FALSE(dir.last_error);
  EXPECT_FALSE(Exists("h"));
  dir.RemoveDir(u"d");
  EXPECT_FALSE(dir.last_error);
  EXPECT_FALSE(Exists("d"));
}

TEST_F(PosixDirTest, DotCreatesAndRemovesTheDirectoryItself) {
  posix_dir fresh(scratch.At("new"));
  fresh.CreateDir(u".", nullptr);
  EXPECT_FALSE(fresh.last_error);
  EXPECT_TRUE(Exists("new"));
  fresh.RemoveDir(u".");
  EXPECT_FALSE(fresh.last_error);
  EXPECT_FALSE(Exists("new"));
}

TEST_F(PosixDirTest, CreateDirUsesTheRightsModeOrTheDefault) {
  mode_t old = umask(0);
  AccessRights rights{0, 0700};
  dir.CreateDir(u"given", &rights);
  dir.CreateDir(u"default", nullptr);
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(scratch.At("given").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat(scratch.At("default").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(PosixDirTest, NameOperationFailures) {
  scratch.WriteFile("file", "x");
  scratch.MakeDir("full");
  scratch.WriteFile("full/x", "x");
  ASSERT_EQ(symlink("file", scratch.At("link").c_str()), 0);
  struct Case {
    const char* what;
    std::function<void(posix_dir&)> call;
    uint32_t code;
    const char* function;
    uint32_t line;
    int errnum;         // 0: a plain error
    const char* path1;  // relative to the scratch directory; null: no such parameter
    const char* path2;
  };
  const std::vector<Case> cases = {
      {"remove missing", [](posix_dir& d) { d.Remove(u"none"); }, Common::FILE_NOT_FOUND, "Remove", 916, ENOENT,
       "none", nullptr},
      {"remove a directory", [](posix_dir& d) { d.Remove(u"full"); }, Common::FILE_DELETE_ERROR, "Remove", 916,
       EISDIR, "full", nullptr},
      {"rename missing", [](posix_dir& d) { d.Rename(u"none", u"other"); }, Common::FILE_NOT_FOUND, "Rename", 931,
       ENOENT, "none", "other"},
      {"create existing dir", [](posix_dir& d) { d.CreateDir(u"full", nullptr); }, Common::FILE_ALREADY_EXISTS,
       "CreateDir", 952, EEXIST, "full", nullptr},
      {"remove full dir", [](posix_dir& d) { d.RemoveDir(u"full"); }, Common::FILE_DELETE_ERROR, "RemoveDir", 965,
       ENOTEMPTY, "full", nullptr},
      {"owner of missing", [](posix_dir& d) { d.SetUnixOwner(u"none", 0, 0); }, Common::FILE_NOT_FOUND,
       "SetUnixOwner", 1327, ENOENT, "none", nullptr},
      {"mode of missing", [](posix_dir& d) { d.SetUnixPermissions(u"none", 0600); }, Common::FILE_NOT_FOUND,
       "SetUnixPermissions", 1347, ENOENT, "none", nullptr},
      {"mode of a link", [](posix_dir& d) { d.SetUnixPermissions(u"link", 0600); }, Common::FILE_NOT_SUPPORTED,
       "SetUnixPermissions", 1349, 0, nullptr, nullptr},
      {"node of type 5", [](posix_dir& d) { d.CreateDeviceNode(u"node", 5, 0600, 0, 0); }, Common::FILE_CREATE_ERROR,
       "CreateDeviceNode", 1422, 0, nullptr, nullptr},
      {"node over a file", [](posix_dir& d) { d.CreateDeviceNode(u"file", 3, 0600, 0, 0); },
       Common::FILE_ALREADY_EXISTS, "CreateDeviceNode", 1427, EEXIST, "file", nullptr},
      {"hard link to missing", [](posix_dir& d) { d.CreateHardLink(u"new", u"none"); }, Common::FILE_NOT_FOUND,
       "CreateHardLink", 1452, ENOENT, "new", "none"},
      {"symlink over a file", [](posix_dir& d) { d.CreateSymLink(u"file", u"t", 5, 0); }, Common::FILE_ALREADY_EXISTS,
       "CreateSymLink", 1474, EEXIST, "file", "t"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReplaceLastError(dir, Common::NoError);
    c.call(dir);
    if (c.errnum == 0) {
      EXPECT_THAT(dir.last_error, AllOf(HasCode(c.code), HasSite(c.function, c.line), HasLocation(kPosixsp, c.line),
                                        HasChainLength(1)));
      continue;
    }
    EXPECT_THAT(dir.last_error, AllOf(HasCode(c.code), HasSite(c.function, c.line), HasLocation(kPosixsp, c.line),
                                      HasChainLength(2), CauseAt(1, IsErrno(c.errnum))));
    const Common::ErrorRecord* head = dir.last_error.GetHead();
    if (c.path2 == nullptr) {
      EXPECT_EQ(Param(head, "path"), scratch.At(c.path1));
    } else {
      EXPECT_EQ(Param(head, "path1"), scratch.At(c.path1));
      // A symbolic link's target is stored as given, not joined.
      EXPECT_EQ(Param(head, "path2"), c.line == 1474 ? std::string(c.path2) : scratch.At(c.path2));
    }
  }
  EXPECT_TRUE(Exists("file"));
  EXPECT_TRUE(Exists("full/x"));
  struct stat st;
  ASSERT_EQ(stat(scratch.At("file").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // the link's target is unchanged
}

TEST_F(PosixDirTest, AnEmptyJoinedPathMakesNoSystemCall) {
  // Both the empty path of a directory and a name that does not convert join to nothing.
  const char16_t lone[] = {0xD800, 0};
  struct Case {
    const char* what;
    std::function<void(posix_dir&, const char16_t*)> call;
    uint32_t code;
    const char* function;
    uint32_t line;
  };
  const std::vector<Case> cases = {
      {"remove", [](posix_dir& d, const char16_t* n) { d.Remove(n); }, Common::FILE_DELETE_ERROR, "Remove", 914},
      {"rename from", [](posix_dir& d, const char16_t* n) { d.Rename(n, u"x"); }, Common::FILE_RENAME_ERROR, "Rename",
       929},
      {"rename to", [](posix_dir& d, const char16_t* n) { d.Rename(u"x", n); }, Common::FILE_RENAME_ERROR, "Rename",
       929},
      {"create dir", [](posix_dir& d, const char16_t* n) { d.CreateDir(n, nullptr); }, Common::FILE_CREATE_ERROR,
       "CreateDir", 942},
      {"remove dir", [](posix_dir& d, const char16_t* n) { d.RemoveDir(n); }, Common::FILE_DELETE_ERROR, "RemoveDir",
       963},
      {"owner", [](posix_dir& d, const char16_t* n) { d.SetUnixOwner(n, 0, 0); }, Common::FILE_OPEN_ERROR,
       "SetUnixOwner", 1325},
      {"mode", [](posix_dir& d, const char16_t* n) { d.SetUnixPermissions(n, 0); }, Common::FILE_OPEN_ERROR,
       "SetUnixPermissions", 1341},
      {"device node", [](posix_dir& d, const char16_t* n) { d.CreateDeviceNode(n, 7, 0, 0, 0); },
       Common::FILE_CREATE_ERROR, "CreateDeviceNode", 1396},
      {"hard link", [](posix_dir& d, const char16_t* n) { d.CreateHardLink(n, u"x"); }, Common::FILE_CREATE_ERROR,
       "CreateHardLink", 1440},
      {"hard link target", [](posix_dir& d, const char16_t* n) { d.CreateHardLink(u"x", n); },
       Common::FILE_CREATE_ERROR, "CreateHardLink", 1447},
      {"symlink", [](posix_dir& d, const char16_t* n) { d.CreateSymLink(n, u"x", 5, 0); }, Common::FILE_CREATE_ERROR,
       "CreateSymLink", 1468},
      {"iterator", [](posix_dir& d, const char16_t* n) { delete d.GetIterator(n); }, Common::FILE_OPEN_ERROR,
       "GetIterator", 1011},
  };
  posix_dir empty("");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.call(empty, u".");
    EXPECT_THAT(empty.last_error,
                AllOf(HasCode(c.code), HasSite(c.function, c.line), HasLocation(kPosixsp, c.line), HasChainLength(1)));
    c.call(dir, lone);
    EXPECT_THAT(dir.last_error,
                AllOf(HasCode(c.code), HasSite(c.function, c.line), HasLocation(kPosixsp, c.line), HasChainLength(1)));
  }
  // The directory itself was not touched by the bad name.
  struct stat st;
  EXPECT_EQ(stat(scratch.Path().c_str(), &st), 0);
  EXPECT_EQ(dir.OpenDir(lone), nullptr);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_OPEN_ERROR);
  EXPECT_EQ(dir.OpenI(lone, true), nullptr);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_OPEN_ERROR);
  EXPECT_EQ(dir.Create(lone, true, nullptr), nullptr);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_CREATE_ERROR);
}

TEST_F(PosixDirTest, OwnerOfALinkItself) {
  if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  scratch.WriteFile("file", "x");
  ASSERT_EQ(symlink("file", scratch.At("link").c_str()), 0);
  dir.SetUnixOwner(u"link", PosixTest::kNobody, PosixTest::kNobody);
  EXPECT_FALSE(dir.last_error);
  struct stat st;
  ASSERT_EQ(lstat(scratch.At("link").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, PosixTest::kNobody);
  ASSERT_EQ(stat(scratch.At("file").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(PosixDirTest, AccessDeniedForAnUnprivilegedUser) {
  scratch.WriteFile("file", "x");
  chmod(scratch.Path().c_str(), 0755);
  std::string path = scratch.Path();
  int status = RunInChild([&] {
    if (!PosixTest::DropPrivileges()) return 20;
    posix_dir child(path);
    child.CreateDir(u"d", nullptr);
    if (child.last_error.GetCode() != Common::FILE_ACCESS_DENIED || RecordAt(child.last_error, 0).Line != 952)
      return 21;
    child.SetUnixPermissions(u"file", 0777);
    if (child.last_error.GetCode() != Common::FILE_ACCESS_DENIED || RecordAt(child.last_error, 0).Line != 1351)
      return 22;
    child.SetUnixOwner(u"file", PosixTest::kNobody, PosixTest::kNobody);
    if (child.last_error.GetCode() != Common::FILE_ACCESS_DENIED || RecordAt(child.last_error, 0).Line != 1327)
      return 23;
    return 0;
  });
  if (status == 20) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(status, 0);
}

// Queries and the held-error rule -----------------------------------------------------

TEST_F(PosixDirTest, DriveSize) {
  uint64_t total = 1, free = 1, available = 1;
  dir.GetDriveSize(&total, &free, &available);
  EXPECT_FALSE(dir.last_error);
  struct statfs64 info;
  ASSERT_EQ(statfs64(scratch.Path().c_str(), &info), 0);
  EXPECT_EQ(total, static_cast<uint64_t>(info.f_bsize) * info.f_blocks);
  EXPECT_GE(free, available);

  posix_dir missing(scratch.At("none"));
  missing.GetDriveSize(&total, &free, &available);
  EXPECT_EQ(total + free + available, 0u);
  EXPECT_THAT(missing.last_error, AllOf(HasCode(Common::FILE_NOT_FOUND), HasSite("GetDriveSize", 1157),
                                        HasLocation(kPosixsp, 1157), HasChainLength(2), CauseAt(1, IsErrno(ENOENT))));
  EXPECT_EQ(Param(missing.last_error.GetHead(), "path"), scratch.At("none"));
}

TEST_F(PosixDirTest, OperationsReplaceTheErrorWithSuccess) {
  scratch.WriteFile("f", "x");
  const std::vector<std::function<void(posix_dir&)>> calls = {
      [](posix_dir& d) { delete d.OpenDir(u"x"); },
      [](posix_dir& d) { delete d.OpenI(u"f", true); },
      [](posix_dir& d) { delete d.GetIterator(); },
      [](posix_dir& d) { delete d.GetSelfIterator(); },
      [](posix_dir& d) {
        uint64_t a, b, c;
        d.GetDriveSize(&a, &b, &c);
      },
      [](posix_dir& d) { d.CreateDir(u"made", nullptr); },
  };
  for (const auto& call : calls) {
    ReplaceLastError(dir, Marker());
    call(dir);
    EXPECT_FALSE(dir.last_error);
  }
}

// Control codes -------------------------------------------------------------------------

TEST_F(PosixDirTest, EntryTimesIncludingBefore1970) {
  scratch.WriteFile("f", "x");
  struct Case {
    int64_t modification;
    int64_t access;
  };
  const Case cases[] = {{1234, 5678}, {-1500, -1}, {-999, 0}};
  for (const Case& c : cases) {
    PosixControl::SetEntryTimesRequest request{PosixControl::kSetEntryTimes, u"f", c.modification, 42, c.access};
    dir.IOCTL(&request);
    ASSERT_FALSE(dir.last_error) << c.modification;
    struct stat st;
    ASSERT_EQ(stat(scratch.At("f").c_str(), &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000, c.modification);
    EXPECT_EQ(static_cast<int64_t>(st.st_atim.tv_sec) * 1000 + st.st_atim.tv_nsec / 1000000, c.access);
  }
  ASSERT_EQ(symlink("f", scratch.At("link").c_str()), 0);
  PosixControl::SetEntryTimesRequest onLink{PosixControl::kSetEntryTimes, u"link", 0, 0, 0};
  dir.IOCTL(&onLink);
  EXPECT_THAT(dir.last_error, AllOf(HasCode(Common::FILE_NOT_SUPPORTED), HasSite("IOCTL", 1544),
                                    HasLocation(kPosixsp, 1544), HasChainLength(1)));
  PosixControl::SetEntryTimesRequest missing{PosixControl::kSetEntryTimes, u"none", 0, 0, 0};
  dir.IOCTL(&missing);
  EXPECT_THAT(dir.last_error, AllOf(HasCode(Common::FILE_NOT_FOUND), HasSite("IOCTL", 1542),
                                    HasLocation(kPosixsp, 1542), HasChainLength(2), CauseAt(1, IsErrno(ENOENT))));
}

TEST_F(PosixDirTest, DeviceOfTheNearestExistingAncestor) {
  struct stat st;
  ASSERT_EQ(stat(scratch.Path().c_str(), &st), 0);
  posix_dir future(scratch.At("a/b/c"));
  PosixControl::GetDevicePathRequest request{PosixControl::kGetDevicePath, 0, 0, nullptr, 7, 7};
  future.IOCTL(&request);
  ASSERT_FALSE(future.last_error);
  EXPECT_EQ(request.Major, major(st.st_dev));
  EXPECT_EQ(request.Minor, minor(st.st_dev));
  EXPECT_EQ(Utf8(request.Path), scratch.At("a/b/c") + "/");

  // Below a regular file (ENOTDIR) the walk goes on; it ends at "/" at the latest.
  scratch.WriteFile("f", "x");
  posix_dir belowFile(scratch.At("f/x"));
  belowFile.IOCTL(&request);
  EXPECT_FALSE(belowFile.last_error);
  // A relative path with no existing ancestor runs out of candidates.
  std::string base = scratch.Path();
  int status = RunInChild([&] {
    if (chdir(base.c_str()) != 0) return 40;
    posix_dir relative("no/such/relative");
    PosixControl::GetDevicePathRequest inChild{PosixControl::kGetDevicePath, 0, 0, nullptr, 7, 7};
    relative.IOCTL(&inChild);
    PosixTest::RecordView head = RecordAt(relative.last_error, 0);
    return head.Code == Common::FILE_NOT_SUPPORTED && head.Line == 1495 && inChild.Major == 7 ? 0 : 41;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(PosixDirTest, FileSystemTypeNames) {
  struct statfs64 info;
  ASSERT_EQ(statfs64(scratch.Path().c_str(), &info), 0);
  std::string expected = FsTypeName(static_cast<uint32_t>(info.f_type));
  for (char& ch : expected) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));

  ReplaceLastError(dir, Marker());
  PosixControl::GetFsTypeRequest request{};
  request.Code = PosixControl::kGetFsType;
  dir.IOCTL(&request);
  EXPECT_EQ(Utf8(request.Name), expected);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_CANCELED);  // left as it was

  posix_dir missing(scratch.At("none"));
  missing.IOCTL(&request);
  EXPECT_THAT(missing.last_error, AllOf(HasCode(Common::FILE_NOT_FOUND), HasSite("IOCTL", 1601),
                                        HasLocation(kPosixsp, 1601), HasChainLength(2), CauseAt(1, IsErrno(ENOENT))));
  EXPECT_EQ(Param(missing.last_error.GetHead(), "path"), scratch.At("none") + "/");

  struct Case {
    uint32_t magic;
    const char* name;
  };
  const Case cases[] = {{0xEF53, "ext2"},       {0x137D, "ext2"},   {0x01021994, "tmpfs"}, {0x12345678, "tmpfs"},
                        {0x958458F6, "hugetlbfs"}, {0x9FA0, "procfs"}, {0xFF534D42, "cifs"},  {0, "cifs"}};
  for (const Case& c : cases) EXPECT_STREQ(FsTypeName(c.magic), c.name) << std::hex << c.magic;

  posix_dir proc("/proc");
  proc.IOCTL(&request);
  EXPECT_EQ(Utf8(request.Name), "PROCFS");
}

// The last name is process-wide: a fresh process shows the state before any query.
TEST(PosixDirFsType, UnknownFirstGivesTheEmptyName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(std::strcmp(FsTypeName(0x12345678), "") == 0 ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST_F(PosixDirTest, UnknownCodesAreNotSupported) {
  for (uint32_t code : {PosixControl::MakeControlCode("GMFN"), PosixControl::MakeControlCode("SMFN")}) {
    uint32_t request[8] = {code};
    dir.IOCTL(request);
    EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_NOT_SUPPORTED);
    EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 189u);
    EXPECT_EQ(RecordAt(dir.last_error, 0).IdHigh, Common::Locations::CoreIncludeFileDir.High);
    EXPECT_EQ(Testing::LocationId(dir.last_error), 0xF22447445B0F1E5Fu);  // the directory header, line 189
  }
  // Reached the same way through every side.
  uint32_t request[8] = {PosixControl::MakeControlCode("GMFN")};
  ReplaceLastError(dir, Common::NoError);
  static_cast<o_dir&>(dir).IOCTL(request);
  EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 189u);
  ReplaceLastError(dir, Common::NoError);
  static_cast<file_object&>(dir).IOCTL(request);
  EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 189u);
}

}  // namespace

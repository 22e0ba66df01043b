// Tests of the file utilities: the copy loop against an in-memory file with short counts
// and failures, tree creation and removal on real directories, and the flag requests.
#include "core/file/utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/file/tests/file_test_doubles.h"
#include "core/file/unix/posixsp.h"
#include "core/common/error_display.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/failing_new.h"
#include "tools/testing/fixtures.h"
#include "tools/testing/location_id.h"

namespace {

using Testing::HasSite;

using FileTesting::MemoryFile;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::unique_ptr<rio_dir> OpenPath(const std::string& path) { return std::make_unique<posix_dir>(path); }

// ---- SimpleCopyFile ----

struct CopyCase {
  const char* Name;
  uint32_t SourceBytes;
  uint32_t BufferBytes;
  uint32_t ReadChunkLimit;  // 0: none
  uint32_t Capacity;        // 0: none
  uint32_t ExpectedCode;
  uint64_t ExpectedCopied;
  int ExpectedReads;
  int ExpectedWrites;
};

void PrintTo(const CopyCase& c, std::ostream* out) { *out << c.Name; }

class CopyTable : public testing::TestWithParam<CopyCase> {};

TEST_P(CopyTable, CopiesAndCounts) {
  const CopyCase& c = GetParam();
  std::vector<uint8_t> bytes(c.SourceBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  MemoryFile src(bytes);
  MemoryFile dst;
  if (c.ReadChunkLimit != 0) src.SetReadChunkLimit(c.ReadChunkLimit);
  if (c.Capacity != 0) dst.SetCapacity(c.Capacity);

  uint64_t copied = 99;
  Common::Error error = SimpleCopyFile(&src, &dst, &copied, c.BufferBytes);

  EXPECT_EQ(error.GetCode(), c.ExpectedCode);
  EXPECT_EQ(copied, c.ExpectedCopied);
  EXPECT_EQ(src.readCalls, c.ExpectedReads);
  EXPECT_EQ(dst.writeCalls, c.ExpectedWrites);
  // The errors were taken: both objects work again.
  EXPECT_TRUE(src.last_error.IsEmpty());
  EXPECT_TRUE(dst.last_error.IsEmpty());
  size_t kept = std::min<size_t>(dst.data.size(), bytes.size());
  EXPECT_TRUE(std::equal(dst.data.begin(), dst.data.begin() + kept, bytes.begin()));
  if (c.ExpectedCode == 0) {
    EXPECT_EQ(dst.data.size(), c.ExpectedCopied);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SimpleCopyFile, CopyTable,
    testing::Values(CopyCase{"Empty", 0, 16, 0, 0, 0, 0, 1, 0},
                    CopyCase{"ExactlyOneBuffer", 16, 16, 0, 0, 0, 16, 2, 1},
                    CopyCase{"SeveralBuffers", 40, 16, 0, 0, 0, 40, 3, 3},
                    // A short count before the end is taken as the last piece.
                    CopyCase{"ShortReadStops", 40, 16, 10, 0, 0, 10, 1, 1},
                    CopyCase{"DestinationFull", 40, 16, 0, 20, Common::FILE_DISK_FULL, 16, 2, 2}),
    [](const testing::TestParamInfo<CopyCase>& info) { return std::string(info.param.Name); });

TEST(SimpleCopyFile, ReadAndWriteFailuresAreReturned) {
  MemoryFile src(std::string(100, 'x'));
  src.FailReadsAt(32, FileTesting::InjectedError(Common::FILE_CORRUPTED));
  MemoryFile dst;
  uint64_t copied = 0;
  Common::Error error = SimpleCopyFile(&src, &dst, &copied, 16);
  EXPECT_EQ(error.GetCode(), Common::FILE_CORRUPTED);
  EXPECT_EQ(copied, 32u);
  EXPECT_EQ(dst.data.size(), 32u);  // what was written stays

  MemoryFile src2(std::string(10, 'y'));
  MemoryFile dst2;
  dst2.FailNextWrite(FileTesting::InjectedError(Common::FILE_WRITE_ERROR));
  EXPECT_EQ(SimpleCopyFile(&src2, &dst2, 16).GetCode(), Common::FILE_WRITE_ERROR);
  EXPECT_TRUE(dst2.last_error.IsEmpty());
}

TEST(SimpleCopyFile, MissingObjects) {
  MemoryFile file;
  uint64_t copied = 5;
  Common::Error noSource = SimpleCopyFile(nullptr, &file, &copied, 16);
  EXPECT_EQ(copied, 0u);
  ASSERT_EQ(noSource.GetCode(), Common::FILE_READ_ERROR);
  EXPECT_EQ(noSource.GetHead()->Line, 169u);
  EXPECT_EQ(Testing::LocationId(noSource), 0xA6F060106F60542Au);  // core/file/utils, line 169
  EXPECT_STREQ(noSource.GetHead()->File, "core/file/utils.cpp");
  Common::Error noDestination = SimpleCopyFile(&file, nullptr, 16);
  ASSERT_EQ(noDestination.GetCode(), Common::FILE_WRITE_ERROR);
  EXPECT_THAT(noDestination.GetHead(), HasSite("SimpleCopyFile", 171u));
}

// ---- CreateDirWithParents ----

TEST(CreateDirWithParents, ExistingEntriesCountAsDone) {
  Testing::TempDir tmp;
  WriteText(tmp.File("plain"), "data");
  for (const std::string& name : {std::string(), std::string("plain")}) {
    std::unique_ptr<rio_dir> dir = OpenPath(name.empty() ? tmp.Path() : tmp.File(name));
    EXPECT_TRUE(CreateDirWithParents(dir.get()).IsEmpty()) << name;
    EXPECT_TRUE(dir->last_error.IsEmpty());
  }
  EXPECT_FALSE(IsDirectory(tmp.File("plain")));
}

TEST(CreateDirWithParents, CreatesMissingAncestors) {
  Testing::TempDir tmp;
  std::unique_ptr<rio_dir> dir = OpenPath(tmp.File("a/b/c"));
  EXPECT_TRUE(CreateDirWithParents(dir.get()).IsEmpty());
  EXPECT_TRUE(IsDirectory(tmp.File("a/b/c")));
  EXPECT_TRUE(dir->last_error.IsEmpty());
}

TEST(CreateDirWithParents, AncestorThatCannotBeCreated) {
  // A regular file in the way stands as "existing" for the climb; the descent then fails
  // below it, and that failure is the result.
  Testing::TempDir tmp;
  WriteText(tmp.File("file"), "x");
  std::unique_ptr<rio_dir> dir = OpenPath(tmp.File("file/a/b"));
  Common::Error error = CreateDirWithParents(dir.get());
  EXPECT_EQ(error.GetCode(), Common::FILE_CREATE_ERROR);
  EXPECT_FALSE(Exists(tmp.File("file/a")));
}

// Permissions do not bind root, which is how CI runs: the climb runs in a child that has
// given up its privileges. Everything the child needs is ready before it does: the catalog
// (the test program's archive may lie where that user cannot read) and a scratch
// directory it may enter.
TEST(CreateDirWithParents, AncestorWithoutPermission) {
  constexpr uid_t kNobody = 65534;
  Common::GetCodeText(Common::FILE_CREATE_ERROR);
  Testing::TempDir tmp;
  ASSERT_EQ(chmod(tmp.Path().c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tmp.File("locked").c_str(), 0555), 0);
  ASSERT_EQ(chmod(tmp.File("locked").c_str(), 0555), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(20);
    std::unique_ptr<rio_dir> dir = OpenPath(tmp.File("locked/a/b"));
    Common::Error error = CreateDirWithParents(dir.get());
    if (error.GetCode() != Common::FILE_ACCESS_DENIED) _exit(21);
    _exit(Exists(tmp.File("locked/a")) ? 22 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == 20) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  chmod(tmp.File("locked").c_str(), 0755);
}

// ---- RemoveDirTree ----

// A tree with nested directories, files and links that point out of it.
void BuildTree(const Testing::TempDir& tmp) {
  ASSERT_EQ(mkdir(tmp.File("outside").c_str(), 0755), 0);
  WriteText(tmp.File("outside/keep"), "keep");
  ASSERT_EQ(mkdir(tmp.File("top").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tmp.File("top/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tmp.File("top/sub/deeper").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tmp.File("top/empty").c_str(), 0755), 0);
  WriteText(tmp.File("top/one"), "1");
  WriteText(tmp.File("top/sub/two"), "2");
  WriteText(tmp.File("top/sub/deeper/three"), "3");
  ASSERT_EQ(symlink(tmp.File("outside").c_str(), tmp.File("top/sub/dirlink").c_str()), 0);
  ASSERT_EQ(symlink(tmp.File("outside/keep").c_str(), tmp.File("top/filelink").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tmp.File("top/dangling").c_str()), 0);
}

TEST(RemoveDirTree, RemovesEverythingWithoutFollowingLinks) {
  for (bool keepTop : {false, true}) {
    Testing::TempDir tmp;
    BuildTree(tmp);
    std::unique_ptr<rio_dir> dir = OpenPath(tmp.File("top"));
    EXPECT_TRUE(RemoveDirTree(dir.get(), keepTop).IsEmpty());
    EXPECT_EQ(IsDirectory(tmp.File("top")), keepTop);
    EXPECT_FALSE(Exists(tmp.File("top/sub")));
    EXPECT_FALSE(Exists(tmp.File("top/one")));
    EXPECT_TRUE(Exists(tmp.File("outside/keep")));
  }
}

TEST(RemoveDirTree, TopThatIsALinkIsNeverFollowed) {
  for (bool keepTop : {false, true}) {
    Testing::TempDir tmp;
    BuildTree(tmp);
    ASSERT_EQ(symlink(tmp.File("top").c_str(), tmp.File("link").c_str()), 0);
    std::unique_ptr<rio_dir> dir = OpenPath(tmp.File("link"));
    EXPECT_TRUE(RemoveDirTree(dir.get(), keepTop).IsEmpty());
    EXPECT_EQ(Exists(tmp.File("link")), keepTop);
    EXPECT_TRUE(Exists(tmp.File("top/sub/deeper/three")));
  }
}

// A directory whose removal of one name fails, as a file that cannot be deleted would.
class StuckEntryDir : public posix_dir {
 public:
  StuckEntryDir(const std::string& path, const char16_t* stuck) : posix_dir(path), stuck(stuck) {}
  void Remove(const char16_t* name) override {
    if (Common::WString(name) == stuck) {
      ReplaceLastError(*this, FileTesting::InjectedError(Common::FILE_ACCESS_DENIED));
      return;
    }
    posix_dir::Remove(name);
  }

 private:
  Common::WString stuck;
};

TEST(RemoveDirTree, GoesOnPastAFailureAndReportsTheFirst) {
  Testing::TempDir tmp;
  BuildTree(tmp);
  StuckEntryDir dir(tmp.File("top"), u"one");
  Common::Error error = RemoveDirTree(&dir, false);
  EXPECT_EQ(error.GetCode(), Common::FILE_ACCESS_DENIED);
  EXPECT_TRUE(Exists(tmp.File("top/one")));
  EXPECT_FALSE(Exists(tmp.File("top/sub")));
  EXPECT_FALSE(Exists(tmp.File("top/empty")));
  EXPECT_FALSE(Exists(tmp.File("top/filelink")));
  // The later failure (the top is not empty) stays in the object.
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_DELETE_ERROR);
}

TEST(RemoveDirTree, MissingTopIsReported) {
  Testing::TempDir tmp;
  std::unique_ptr<rio_dir> dir = OpenPath(tmp.File("gone"));
  EXPECT_FALSE(RemoveDirTree(dir.get(), false).IsEmpty());
}

// ---- Out of memory ----

size_t OpenDescriptorCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    static_cast<void>(entry);
    ++count;
  }
  return count;
}

struct OutOfMemoryCase {
  const char* Name;
  void (*Build)(const Testing::TempDir& tmp);
  const char* Target;  // below the temporary directory
  Common::Error (*Call)(rio_dir* dir);
  const char* Function;  // the site of the out-of-memory error
  uint32_t Line;
};

void NoTree(const Testing::TempDir&) {}
Common::Error CreateTarget(rio_dir* dir) { return CreateDirWithParents(dir); }
Common::Error RemoveTarget(rio_dir* dir) { return RemoveDirTree(dir, false); }

// Every scalar new of the call fails in turn (the directory objects, the walks' lists and
// the names they hold are made with it). The call still returns its error: the
// out-of-memory error of its site, with nothing it allocated or opened left behind.
TEST(UtilsOutOfMemory, EveryAllocationOfTheWalksFailsInTurn) {
  const OutOfMemoryCase cases[] = {
      {"a directory three levels below what exists", NoTree, "a/b/c", CreateTarget, "CreateDirWithParents", 192},
      {"a tree of directories, files and links", BuildTree, "top", RemoveTarget, "RemoveDirTree", 202},
  };
  Common::GetCodeText(Common::FILE_OUT_OF_MEMORY);  // the catalog is loaded while memory is there
  for (const OutOfMemoryCase& c : cases) {
    SCOPED_TRACE(c.Name);
    int failures = 0;
    for (int failAt = 0; failAt < 10000; ++failAt) {
      SCOPED_TRACE("allocation " + std::to_string(failAt));
      Testing::TempDir tmp;
      c.Build(tmp);
      std::unique_ptr<rio_dir> dir = OpenPath(tmp.File(c.Target));
      const size_t descriptors = OpenDescriptorCount();
      const long live = Testing::LiveAllocations();
      Common::Error error;
      bool failed = false;
      {
        // Run 0 fails nothing: it warms up what the file layer allocates once per process.
        Testing::NewFailure failure(Testing::kScalarNew, failAt);
        EXPECT_NO_THROW(error = c.Call(dir.get()));
        failed = failure.Failed();
      }
      if (failed) {
        ++failures;
        EXPECT_EQ(error.GetCode(), Common::FILE_OUT_OF_MEMORY);
        EXPECT_THAT(error.GetHead(), HasSite(c.Function, c.Line));
      } else {
        EXPECT_TRUE(error.IsEmpty()) << Common::ToUtf8(Common::FormatError(error).c_str());
      }
      // What the caller's directory holds is its own: only the rest must be gone.
      error = Common::Error();
      static_cast<void>(TakeLastError(*dir));
      EXPECT_EQ(Testing::LiveAllocations(), live);
      EXPECT_EQ(OpenDescriptorCount(), descriptors);
      if (failAt > 0 && !failed) break;
    }
    EXPECT_GT(failures, 3);
  }
}

// ---- Flags ----

TEST(Flags, RequestsNobodyAnswers) {
  Testing::TempDir tmp;
  WriteText(tmp.File("f"), "x");
  std::unique_ptr<rio_dir> dir = OpenPath(tmp.Path());
  uint32_t flags = 77;
  EXPECT_EQ(GetFlagsByName(dir.get(), u"f", &flags).GetCode(), Common::FILE_NOT_SUPPORTED);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(SetFlagsByName(dir.get(), u"f", 1).GetCode(), Common::FILE_NOT_SUPPORTED);
  EXPECT_TRUE(dir->last_error.IsEmpty());
  std::unique_ptr<rio_file> file(dir->OpenIO(u"f", true));
  ASSERT_TRUE(file);
  EXPECT_EQ(SetFileFlags(file.get(), 1).GetCode(), Common::FILE_NOT_SUPPORTED);
  EXPECT_TRUE(file->last_error.IsEmpty());
}

// The flags word is the one the system reports. Reading it takes no whole-file lock: it
// succeeds while another process holds the whole file locked for writing.
TEST(Flags, GetUnixFlags) {
  Testing::TempDir tmp;
  WriteText(tmp.File("f"), "x");
  std::unique_ptr<rio_dir> dir = OpenPath(tmp.Path());
  uint32_t flags = 77;
  Common::Error missing = GetUnixFlags(dir.get(), u"absent", &flags);
  EXPECT_FALSE(missing.IsEmpty());
  EXPECT_EQ(flags, 77u);  // not written when the entry does not open
  EXPECT_TRUE(dir->last_error.IsEmpty());

  int fd = open(tmp.File("f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int reported = 0;
  bool kept = ioctl(fd, FS_IOC_GETFLAGS, &reported) == 0;
  close(fd);

  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    int locked = open(tmp.File("f").c_str(), O_RDWR);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    char done = locked >= 0 && fcntl(locked, F_SETLK, &whole) == 0 ? 'y' : 'n';
    if (write(ready[1], &done, 1) != 1) _exit(1);
    char go;
    _exit(read(release[0], &go, 1) == 1 ? 0 : 1);
  }
  char locked = 0;
  ASSERT_EQ(read(ready[0], &locked, 1), 1);
  ASSERT_EQ(locked, 'y');

  flags = 77;
  Common::Error error = GetUnixFlags(dir.get(), u"f", &flags);
  if (kept) {
    EXPECT_TRUE(error.IsEmpty()) << error.GetCode();
    EXPECT_EQ(flags, static_cast<uint32_t>(reported));
  } else {
    // The file system keeps no flags: the failure is returned and the word reads 0.
    EXPECT_FALSE(error.IsEmpty());
    EXPECT_EQ(flags, 0u);
  }

  ASSERT_EQ(write(release[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int end : {ready[0], ready[1], release[0], release[1]}) close(end);
}

}  // namespace

// The POSIX iterators and identifiers: walks, types from d_type and from lstat, the
// state after the end, self iterators, link targets, allocated sizes and shared names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/common/error_codes.h"
#include "core/file/unix/posixsp.h"
#include "core/file/unix/tests/posixsp_support.h"

namespace {

using namespace EntryTypes;

using PosixTest::ErrnoOf;
using PosixTest::Param;
using PosixTest::RecordAt;
using PosixTest::ScratchDir;

std::string Utf8(const char16_t* text) { return text != nullptr ? Common::ToUtf8(text) : std::string("(null)"); }

posix_dir::stat_iterator* Stat(i_dir::iterator* entry) { return dynamic_cast<posix_dir::stat_iterator*>(entry); }

class PosixIteratorTest : public ::testing::Test {
 protected:
  PosixIteratorTest() : dir(scratch.Path()) {}

  struct Seen {
    uint32_t type;
    uint32_t statType;
    bool hidden;
  };

  // name -> what the walk reported, each entry asked for its type before anything else.
  std::map<std::string, Seen> Walk() {
    std::map<std::string, Seen> seen;
    std::unique_ptr<i_dir::iterator> entries(dir.GetIterator());
    EXPECT_NE(entries, nullptr);
    EXPECT_FALSE(dir.last_error);
    for (; !entries->last_error; entries->Next()) {
      uint32_t type = entries->GetType();
      uint32_t mode = static_cast<uint32_t>(entries->GetUnixMode());
      uint32_t statType = S_ISDIR(mode)    ? kTypeDirectory
                          : S_ISLNK(mode)  ? kTypeSymLink
                          : S_ISFIFO(mode) ? kTypeFifo
                          : S_ISSOCK(mode) ? kTypeSocket
                                           : kTypeRegular;
      seen[Utf8(entries->GetName())] = {type, statType, entries->IsHidden()};
    }
    EXPECT_EQ(entries->last_error.GetCode(), Common::FILE_END_OF_FILE);
    EXPECT_EQ(RecordAt(entries->last_error, 0).Line, 1968u);
    return seen;
  }

  ScratchDir scratch;
  posix_dir dir;
};

TEST_F(PosixIteratorTest, AnEmptyDirectoryEndsAtOnce) {
  std::unique_ptr<i_dir::iterator> entries(dir.GetIterator());
  ASSERT_NE(entries, nullptr);
  EXPECT_FALSE(dir.last_error);
  EXPECT_EQ(entries->last_error.GetCode(), Common::FILE_END_OF_FILE);
  EXPECT_EQ(Param(entries->last_error.GetHead(), "path"), scratch.Path() + "/");
  EXPECT_EQ(ErrnoOf(RecordAt(entries->last_error, 1).Record), 0);

  // After the end every getter gives its fallback, and Next keeps the end.
  EXPECT_EQ(Utf8(entries->GetName()), "");
  EXPECT_EQ(Stat(entries.get())->GetNativeName(), nullptr);
  EXPECT_TRUE(entries->IsHidden());
  EXPECT_EQ(entries->GetType(), 0u);
  EXPECT_EQ(entries->GetUnixMode(), -1);
  EXPECT_EQ(entries->GetUnixOwner(), -1);
  EXPECT_EQ(entries->GetLinkCount(), 1u);
  EXPECT_EQ(entries->GetSize(), 0u);
  EXPECT_EQ(entries->GetAllocatedSize(), 0u);
  EXPECT_EQ(entries->GetModificationTime(), 0u);
  EXPECT_EQ(entries->GetIdentifier(), nullptr);
  EXPECT_EQ(entries->GetLinkTarget(), nullptr);
  entries->Next();
  EXPECT_EQ(entries->last_error.GetCode(), Common::FILE_END_OF_FILE);

  // A caller that takes the end and asks again gets the "no entry" errors.
  TakeLastError(*entries).IgnoreError();
  EXPECT_EQ(entries->GetSize(), 0u);
  EXPECT_EQ(entries->last_error.GetCode(), Common::FILE_READ_ERROR);
  EXPECT_EQ(RecordAt(entries->last_error, 0).Line, 1906u);
  TakeLastError(*entries).IgnoreError();
  EXPECT_EQ(entries->GetAllocatedSize(), 0u);
  EXPECT_EQ(RecordAt(entries->last_error, 0).Line, 1918u);
}

TEST_F(PosixIteratorTest, WalkReportsEveryEntryWithItsType) {
  scratch.WriteFile("file", "x");
  scratch.WriteFile(".hidden", "x");
  scratch.WriteFile("..x", "x");
  scratch.MakeDir("sub");
  ASSERT_EQ(symlink("file", scratch.At("link").c_str()), 0);
  ASSERT_EQ(mkfifo(scratch.At("fifo").c_str(), 0600), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string sockPath = scratch.At("sock");
  bool haveSocket = sockPath.size() < sizeof address.sun_path;
  if (haveSocket) {
    std::strcpy(address.sun_path, sockPath.c_str());
    haveSocket = bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  close(sock);

  struct Expected {
    const char* name;
    uint32_t type;
    bool hidden;
  };
  std::vector<Expected> expected = {{"file", kTypeRegular, false}, {".hidden", kTypeRegular, true},
                                    {"..x", kTypeRegular, true},    {"sub", kTypeDirectory, false},
                                    {"link", kTypeSymLink, false},  {"fifo", kTypeFifo, false}};
  if (haveSocket) expected.push_back({"sock", kTypeSocket, false});

  std::map<std::string, Seen> seen = Walk();
  ASSERT_EQ(seen.size(), expected.size());
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name);
    ASSERT_EQ(seen.count(e.name), 1u);
    EXPECT_EQ(seen[e.name].type, e.type);
    EXPECT_EQ(seen[e.name].statType, e.type);
    EXPECT_EQ(seen[e.name].hidden, e.hidden);
  }
}

TEST_F(PosixIteratorTest, AttributesComeFromLstat) {
  scratch.WriteFile("f", std::string(1234, 'a'), 0640);
  struct timespec times[2] = {{100, 250000000}, {-5, 600000000}};  // access, modification
  ASSERT_EQ(utimensat(AT_FDCWD, scratch.At("f").c_str(), times, 0), 0);
  ASSERT_EQ(link(scratch.At("f").c_str(), scratch.At("g").c_str()), 0);
  struct stat st;
  ASSERT_EQ(lstat(scratch.At("f").c_str(), &st), 0);

  std::unique_ptr<i_dir::iterator> entry(dir.GetIterator(u"f"));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->GetSize(), 1234u);
  EXPECT_EQ(entry->GetUnixMode(), static_cast<int32_t>(S_IFREG | 0640));
  EXPECT_EQ(entry->GetUnixOwner(), static_cast<int32_t>(st.st_uid));
  EXPECT_EQ(entry->GetUnixGroup(), static_cast<int32_t>(st.st_gid));
  EXPECT_EQ(entry->GetLinkCount(), 2u);
  EXPECT_EQ(entry->GetInode(), static_cast<uint64_t>(st.st_ino));
  EXPECT_EQ(entry->GetAccessTime(), 100250u);
  EXPECT_EQ(static_cast<int64_t>(entry->GetModificationTime()), -4400);  // truncating toward zero
  EXPECT_EQ(entry->GetChangeTime(),
            static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000 + static_cast<uint64_t>(st.st_ctim.tv_nsec) / 1000000);
  EXPECT_EQ(entry->GetCreationTime(), 0u);
  EXPECT_EQ(entry->GetDOSAttributes(), -1);
  EXPECT_FALSE(entry->last_error);

  std::unique_ptr<i_dir::iterator> null(dir.GetIterator(u"/dev/null"));
  ASSERT_NE(null, nullptr);
  ASSERT_EQ(lstat("/dev/null", &st), 0);
  EXPECT_EQ(null->GetType(), kTypeCharDevice);
  EXPECT_EQ(null->GetDeviceMajor(), major(st.st_rdev));
  EXPECT_EQ(null->GetDeviceMinor(), minor(st.st_rdev));
}

TEST_F(PosixIteratorTest, WalkingIteratorRefreshesTheRecord) {
  scratch.WriteFile("f", "12");
  std::unique_ptr<i_dir::iterator> entries(dir.GetIterator());
  ASSERT_NE(entries, nullptr);
  EXPECT_EQ(entries->GetSize(), 2u);
  scratch.WriteFile("f", "12345");
  EXPECT_EQ(entries->GetSize(), 5u);  // one lstat per call
  std::unique_ptr<i_dir::iterator> self(dir.GetIterator(u"f"));
  EXPECT_EQ(self->GetSize(), 5u);
  scratch.WriteFile("f", "1");
  EXPECT_EQ(self->GetSize(), 5u);  // the creation's record serves
}

TEST_F(PosixIteratorTest, SelfIterators) {
  posix_dir root("/");
  std::unique_ptr<i_dir::iterator> self(root.GetSelfIterator());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(Utf8(self->GetName()), "/");
  EXPECT_FALSE(self->IsHidden());
  EXPECT_EQ(self->GetType(), kTypeDirectory);
  self->Next();
  EXPECT_EQ(self->last_error.GetCode(), Common::FILE_NOT_SUPPORTED);
  EXPECT_EQ(RecordAt(self->last_error, 0).Line, 1989u);
  // Once the error is taken, the record of the creation still serves.
  TakeLastError(*self).IgnoreError();
  EXPECT_EQ(self->GetType(), kTypeDirectory);

  scratch.MakeDir("sub");
  posix_dir trailing(scratch.At("sub") + "/");
  std::unique_ptr<i_dir::iterator> slash(trailing.GetSelfIterator());
  ASSERT_NE(slash, nullptr);
  EXPECT_EQ(Utf8(slash->GetName()), "/");

  std::unique_ptr<i_dir::iterator> named(dir.GetIterator(u"sub"));
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(Utf8(named->GetName()), "sub");
}

TEST_F(PosixIteratorTest, AMissingEntryFailsFromTheStart) {
  ReplaceLastError(dir, Common::NoError);
  EXPECT_EQ(dir.GetIterator(u"none"), nullptr);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_NOT_FOUND);
  EXPECT_EQ(RecordAt(dir.last_error, 0).Function, "DoStat");
  EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 1664u);
  EXPECT_EQ(Param(dir.last_error.GetHead(), "path"), scratch.At("none"));

  posix_dir missing(scratch.At("gone"));
  EXPECT_EQ(missing.GetSelfIterator(), nullptr);
  EXPECT_EQ(missing.last_error.GetCode(), Common::FILE_NOT_FOUND);

  // Made directly, the iterator holds the error; once taken, StatFile says it cannot.
  std::unique_ptr<posix_dir::stat_iterator> direct(dir.CreateSelfIterator(scratch.At("none").c_str()));
  EXPECT_EQ(direct->last_error.GetCode(), Common::FILE_NOT_FOUND);
  TakeLastError(*direct).IgnoreError();
  EXPECT_EQ(direct->GetSize(), 0u);
  EXPECT_EQ(direct->last_error.GetCode(), Common::FILE_NOT_SUPPORTED);
  EXPECT_EQ(RecordAt(direct->last_error, 0).Line, 2000u);
}

TEST_F(PosixIteratorTest, LinkTargets) {
  scratch.WriteFile("file", "x");
  ASSERT_EQ(symlink("../x", scratch.At("up").c_str()), 0);
  std::unique_ptr<i_dir::iterator> link(dir.GetIterator(u"up"));
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(Utf8(link->GetLinkTarget()), "../x");
  EXPECT_EQ(Utf8(link->GetLinkTarget()), "../x");
  std::unique_ptr<i_dir::iterator> file(dir.GetIterator(u"file"));
  EXPECT_EQ(file->GetLinkTarget(), nullptr);

  // The walking iterator reads the text anew on each call.
  std::unique_ptr<i_dir::iterator> entries(dir.GetIterator());
  while (!entries->last_error && Utf8(entries->GetName()) != "up") entries->Next();
  ASSERT_FALSE(entries->last_error);
  EXPECT_EQ(Utf8(entries->GetLinkTarget()), "../x");
  ASSERT_EQ(unlink(scratch.At("up").c_str()), 0);
  ASSERT_EQ(symlink("elsewhere", scratch.At("up").c_str()), 0);
  EXPECT_EQ(Utf8(entries->GetLinkTarget()), "elsewhere");
}

TEST_F(PosixIteratorTest, AllocatedSize) {
  {
    int fd = open(scratch.At("sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1 << 22), 0);
    ASSERT_EQ(pwrite(fd, "x", 1, 0), 1);
    close(fd);
  }
  scratch.WriteFile("empty", "");
  std::unique_ptr<i_dir::iterator> sparse(dir.GetIterator(u"sparse"));
  EXPECT_EQ(sparse->GetSize(), 1u << 22);
  EXPECT_LT(sparse->GetAllocatedSize(), sparse->GetSize());
  EXPECT_GT(sparse->GetAllocatedSize(), 0u);
  std::unique_ptr<i_dir::iterator> empty(dir.GetIterator(u"empty"));
  EXPECT_EQ(empty->GetAllocatedSize(), 0u);
}

TEST_F(PosixIteratorTest, IdentifiersNameEntriesAcrossObjects) {
  scratch.WriteFile("f", "content");
  std::unique_ptr<i_dir::iterator> first(dir.GetIterator(u"f"));
  std::unique_ptr<i_dir::iterator> second(dir.GetIterator());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  std::unique_ptr<file_identifier> a(first->GetIdentifier());
  std::unique_ptr<file_identifier> b(second->GetIdentifier());
  ReplaceLastError(dir, Common::Error(Common::SourceLocation{}, Common::FILE_CANCELED));
  EXPECT_EQ(dir.CompareIdentifiers(a.get(), b.get()), 0);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_CANCELED);

  // A clone outlives the identifier it was made from.
  std::unique_ptr<file_identifier> clone(a->Clone());
  a.reset();
  first.reset();
  auto* own = dynamic_cast<the_identifier*>(clone.get());
  ASSERT_NE(own, nullptr);
  EXPECT_STREQ(own->GetNativeName(), "f");
  EXPECT_EQ(Utf8(own->GetName()), "f");

  std::unique_ptr<ri_file> file(dir.OpenI(clone.get(), true));
  ASSERT_NE(file, nullptr);
  char buffer[7];
  Read(*file, buffer, 7);
  EXPECT_EQ(std::string(buffer, 7), "content");
  std::unique_ptr<i_dir::iterator> byId(dir.GetIterator(clone.get()));
  ASSERT_NE(byId, nullptr);
  EXPECT_EQ(byId->GetSize(), 7u);
  std::unique_ptr<rio_dir> asDir(dir.OpenDir(clone.get()));
  ASSERT_NE(asDir, nullptr);
  EXPECT_EQ(dynamic_cast<posix_dir*>(asDir.get())->GetNativePath(), scratch.At("f"));

  // Opening through the walking iterator itself.
  std::unique_ptr<ri_file> viaEntry(dir.OpenI(second.get(), true));
  EXPECT_NE(viaEntry, nullptr);
}

TEST_F(PosixIteratorTest, IdentifiersWithoutNativeNames) {
  the_identifier empty(nullptr, nullptr, 0);
  the_identifier named(u"x", nullptr, 0);
  the_identifier native(u"x", "x", 2);
  EXPECT_EQ(empty.GetNativeName(), nullptr);
  EXPECT_EQ(Utf8(empty.GetName()), "");
  EXPECT_EQ(named.GetNativeName(), nullptr);
  EXPECT_NE(dir.CompareIdentifiers(&empty, &native), 0);
  EXPECT_NE(dir.CompareIdentifiers(&native, nullptr), 0);
  EXPECT_EQ(dir.CompareIdentifiers(&native, &native), 0);

  struct Other : file_identifier {
    file_identifier* Clone() const override { return nullptr; }
  } other;
  EXPECT_NE(dir.CompareIdentifiers(&native, &other), 0);

  EXPECT_EQ(dir.OpenI(&named, true), nullptr);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_OPEN_ERROR);
  EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 1098u);
  EXPECT_EQ(dir.OpenDir(static_cast<const file_identifier*>(nullptr)), nullptr);
  EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 1098u);
  EXPECT_EQ(dir.GetIterator(static_cast<const file_identifier*>(nullptr)), nullptr);
  EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 1033u);

  std::unique_ptr<file_identifier> emptyClone(empty.Clone());
  EXPECT_NE(emptyClone, nullptr);
}

TEST_F(PosixIteratorTest, PathsFromIteratorsNeedACurrentEntry) {
  std::unique_ptr<i_dir::iterator> ended(dir.GetIterator());
  ASSERT_TRUE(ended->last_error);
  EXPECT_EQ(dir.OpenI(ended.get(), true), nullptr);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_OPEN_ERROR);
  EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 1084u);
  EXPECT_EQ(dir.OpenDir(static_cast<const i_dir::iterator*>(nullptr)), nullptr);
  EXPECT_EQ(RecordAt(dir.last_error, 0).Line, 1084u);
}

TEST_F(PosixIteratorTest, ClonesMayBeReleasedFromOtherThreads) {
  the_identifier original(u"shared", "shared", 7);
  constexpr int kThreads = 4;
  constexpr int kClones = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&original] {
      for (int i = 0; i < kClones; ++i) delete original.Clone();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_STREQ(original.GetNativeName(), "shared");
}

TEST_F(PosixIteratorTest, IteratorsCloseTheirHandles) {
  scratch.WriteFile("f", "x");
  int before = PosixTest::OpenDescriptorCount();
  for (int i = 0; i < 5; ++i) delete dir.GetIterator();
  EXPECT_EQ(PosixTest::OpenDescriptorCount(), before);
}

}  // namespace

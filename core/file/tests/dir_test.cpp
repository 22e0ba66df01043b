// The directory interfaces' defaults: "not supported" with its site, the constant queries,
// OpenSelf, ResolveSymLinks, the o_dir side of a read-write directory and the iterator.
#include "core/include/file/dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/file/tests/file_test_doubles.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/location_id.h"

using Common::Error;
using Common::ErrorRecord;
using FileTesting::InjectedError;
using FileTesting::NullDir;
using FileTesting::StubIdentifier;
using FileTesting::StubIterator;
using ::testing::AllOf;
using Testing::HasChainLength;
using Testing::HasCode;
using Testing::HasText;
using Testing::RaisedAt;

namespace {

// A read-side directory that overrides nothing but the required operations.
template <class Dir, class File>
class MinimalReadDir : public Dir {
 public:
  using iterator = i_dir::iterator;
  File* OpenI(const char16_t*, bool) override { return nullptr; }
  File* OpenI(const iterator*, bool) override { return nullptr; }
  File* OpenI(const file_identifier*, bool) override { return nullptr; }
  Dir* OpenDir(const char16_t*) override { return nullptr; }
  Dir* OpenDir(const iterator*) override { return nullptr; }
  Dir* OpenDir(const file_identifier*) override { return nullptr; }
  Dir* GetParentDir(const char16_t**) override { return nullptr; }
  iterator* GetIterator() override { return nullptr; }
  iterator* GetIterator(const char16_t*) override { return nullptr; }
  iterator* GetIterator(const file_identifier*) override { return nullptr; }
  iterator* GetSelfIterator() override { return nullptr; }
  uint32_t CompareLocation(i_dir*) override { return 2; }
  int32_t CompareIdentifiers(const file_identifier*, const file_identifier*) override { return 0; }
};

using MinimalIDir = MinimalReadDir<i_dir, i_file>;
using MinimalSiDir = MinimalReadDir<si_dir, si_file>;
using MinimalRiDir = MinimalReadDir<ri_dir, ri_file>;

class MinimalODir : public ro_dir {
 public:
  o_file* OpenO(const char16_t*, bool) override { return nullptr; }
  void Remove(const char16_t*) override {}
  void Rename(const char16_t*, const char16_t*) override {}
  void CreateDir(const char16_t*, const AccessRights*) override {}
  void RemoveDir(const char16_t*) override {}
  ro_file* Create(const char16_t*, bool, const AccessRights*) override { return nullptr; }
  o_dir* OpenDir(const char16_t*) override { return nullptr; }
  o_dir* GetParentDir(const char16_t**) override { return nullptr; }
};

// Counts the directories alive, to see that nothing is leaked or destroyed twice.
class CountedDir : public NullDir {
 public:
  CountedDir() { ++alive; }
  ~CountedDir() override { --alive; }
  rio_dir* OpenDir(const char16_t*) override {
    ++openDirCalls;
    if (openDirFails) {
      ReplaceLastError(*this, InjectedError(Common::FILE_OPEN_ERROR));
      return nullptr;
    }
    ReplaceLastError(*this, Common::NoError);
    return new CountedDir();
  }
  using NullDir::OpenDir;
  static inline int alive = 0;
};

struct Site {
  bool header;  // core/include/file/dir, else core/file/dir
  const char* function;
  uint32_t line;
};

constexpr Common::SourceFile kDirHeaderSource{Common::Locations::CoreIncludeFileDir, "core/include/file/dir.h"};
constexpr Common::SourceFile kDirSource{Common::Locations::CoreFileDir, "core/file/dir.cpp"};

// The "not supported" default raised at `site`: its text, its whole site and no cause.
auto NotSupportedAt(Site site) {
  return AllOf(HasCode(Common::FILE_NOT_SUPPORTED), HasText("The operation is not supported."),
               RaisedAt(site.header ? kDirHeaderSource : kDirSource, Common::Site{site.function, site.line}),
               HasChainLength(1));
}

struct DefaultCase {
  const char* name;
  Site site;
  // Calls the default on a fresh directory holding `earlier`; gives the directory's error.
  std::function<Error(const Error& earlier)> call;
};

template <class Dir, class Call>
std::function<Error(const Error&)> On(Call call) {
  return [call](const Error& earlier) {
    Dir dir;
    ReplaceLastError(dir, earlier);
    call(dir);
    return dir.last_error;
  };
}

template <class Dir>
std::function<Error(const Error&)> OpenSpecial() {
  return On<Dir>([](Dir& dir) { EXPECT_EQ(dir.OpenSpecialDir(144), nullptr); });
}

TEST(DirDefaultsTest, NotSupportedDefaultsRecordTheirSiteAndReplaceTheHeldError) {
  const AccessRights rights{0, 0755};
  const DefaultCase cases[] = {
      {"i_dir OpenSpecialDir", {true, "OpenSpecialDir", 173}, OpenSpecial<MinimalIDir>()},
      {"si_dir OpenSpecialDir", {true, "OpenSpecialDir", 271}, OpenSpecial<MinimalSiDir>()},
      {"ri_dir OpenSpecialDir", {true, "OpenSpecialDir", 285}, OpenSpecial<MinimalRiDir>()},
      {"rio_dir OpenSpecialDir", {true, "OpenSpecialDir", 329}, OpenSpecial<NullDir>()},
      {"rio_dir OpenSpecialDir through i_dir", {true, "OpenSpecialDir", 329},
       On<NullDir>([](i_dir& dir) { EXPECT_EQ(dir.OpenSpecialDir(145), nullptr); })},
      {"i_dir IOCTL through file_object", {true, "IOCTL", 189},
       On<MinimalIDir>([](file_object& dir) { dir.IOCTL(nullptr); })},
      {"si_dir IOCTL through file_object", {true, "IOCTL", 189},
       On<MinimalSiDir>([](file_object& dir) { dir.IOCTL(nullptr); })},
      {"rio_dir IOCTL through file_object", {true, "IOCTL", 189},
       On<NullDir>([](file_object& dir) { dir.IOCTL(nullptr); })},
      {"rio_dir IOCTL through i_dir", {true, "IOCTL", 189}, On<NullDir>([](i_dir& dir) { dir.IOCTL(nullptr); })},
      {"rio_dir IOCTL through o_dir", {true, "IOCTL", 189}, On<NullDir>([](o_dir& dir) { dir.IOCTL(nullptr); })},
      {"o_dir IOCTL through file_object", {true, "IOCTL", 239},
       On<MinimalODir>([](file_object& dir) { dir.IOCTL(nullptr); })},
      {"EnableNotification", {true, "EnableNotification", 191},
       On<NullDir>([](i_dir& dir) { dir.EnableNotification(nullptr); })},
      {"CreateHardLink", {true, "CreateHardLink", 213},
       On<NullDir>([](o_dir& dir) { dir.CreateHardLink(u"link", u"existing"); })},
      {"CreateSymLink", {true, "CreateSymLink", 218},
       On<NullDir>([](o_dir& dir) { dir.CreateSymLink(u"link", u"target", 5, 0); })},
      {"SetAccessRights", {true, "SetAccessRights", 224},
       On<NullDir>([&rights](o_dir& dir) { dir.SetAccessRights(u"entry", &rights); })},
      {"SetDOSAttributes", {true, "SetDOSAttributes", 227},
       On<MinimalODir>([](o_dir& dir) { dir.SetDOSAttributes(u"entry", 0x20); })},
      {"SetUnixPermissions", {true, "SetUnixPermissions", 230},
       On<NullDir>([](o_dir& dir) { dir.SetUnixPermissions(u"entry", 0644); })},
      {"SetUnixOwner", {true, "SetUnixOwner", 233},
       On<NullDir>([](o_dir& dir) { dir.SetUnixOwner(u"entry", 0, 0); })},
      {"CreateDeviceNode", {true, "CreateDeviceNode", 238},
       On<NullDir>([](o_dir& dir) { dir.CreateDeviceNode(u"node", 3, 0600, 1, 3); })},
      {"GetDriveSize", {false, "GetDriveSize", 27}, On<MinimalSiDir>([](i_dir& dir) {
         uint64_t total = 99, free = 99, available = 99;
         dir.GetDriveSize(&total, &free, &available);
         EXPECT_EQ(total, 0u);
         EXPECT_EQ(free, 0u);
         EXPECT_EQ(available, 0u);
       })},
      {"GetVolumeLabel", {false, "GetVolumeLabel", 35}, On<NullDir>([](i_dir& dir) {
         char16_t label[3] = {u'x', u'y', u'z'};
         dir.GetVolumeLabel(label, 3);
         EXPECT_EQ(std::u16string(label, 3), std::u16string(u"\0yz", 3));
       })},
      {"GetVolumeLabel without room", {false, "GetVolumeLabel", 35}, On<NullDir>([](i_dir& dir) {
         char16_t label[1] = {u'x'};
         dir.GetVolumeLabel(label, 0);
         EXPECT_EQ(label[0], u'x');
       })},
  };
  for (const DefaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(c.call(Common::NoError), NotSupportedAt(c.site));
    // A directory keeps no earlier error: the default's own replaces it.
    EXPECT_THAT(c.call(InjectedError(Common::FILE_OPEN_ERROR)), NotSupportedAt(c.site));
  }
}

TEST(DirDefaultsTest, ConstantQueriesLeaveTheErrorAlone) {
  MinimalSiDir dir;
  ReplaceLastError(dir, InjectedError(Common::FILE_OPEN_ERROR));
  const ErrorRecord* held = dir.last_error.GetHead();
  EXPECT_EQ(dir.GetCapabilities(), 0x89u);
  EXPECT_TRUE(dir.IsPathSeparator(u'/'));
  EXPECT_TRUE(dir.IsPathSeparator(u'\\'));
  EXPECT_FALSE(dir.IsPathSeparator(u':'));
  EXPECT_FALSE(dir.IsPathSeparator(u'\0'));
  EXPECT_EQ(dir.GetPathSeparator(), u'\\');
  EXPECT_FALSE(dir.IsCaseSensitive());
  EXPECT_EQ(dir.OpenSelf(), nullptr);
  EXPECT_EQ(dir.GetDirPath(), nullptr);
  dir.RearmNotification();
  EXPECT_EQ(dir.Reserved26(), 0u);
  EXPECT_EQ(dir.Reserved27(), (std::pair<void*, void*>{nullptr, nullptr}));
  EXPECT_EQ(dir.Reserved28(), 0u);
  EXPECT_EQ(dir.last_error.GetHead(), held);

  MinimalIDir plain;
  EXPECT_EQ(plain.OpenSelf(), nullptr);
  EXPECT_TRUE(plain.last_error.IsEmpty());
}

TEST(DirDefaultsTest, RioDirOpensItselfByName) {
  CountedDir::alive = 0;
  {
    CountedDir dir;
    ReplaceLastError(dir, InjectedError());
    rio_dir* self = dir.OpenSelf();
    ASSERT_NE(self, nullptr);
    EXPECT_TRUE(dir.last_error.IsEmpty());
    EXPECT_EQ(dir.openDirCalls, 1);
    delete self;

    dir.openDirFails = true;
    EXPECT_EQ(dir.OpenSelf(), nullptr);
    EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_OPEN_ERROR);
  }
  EXPECT_EQ(CountedDir::alive, 0);
}

TEST(DirDefaultsTest, ResolveSymLinks) {
  CountedDir::alive = 0;
  {
    CountedDir dir;
    auto [reopened, none] = dir.ResolveSymLinks(nullptr);
    EXPECT_NE(reopened, nullptr);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(dir.last_error.IsEmpty());
    delete reopened;

    StubIdentifier id;
    auto [again, clone] = dir.ResolveSymLinks(&id);
    EXPECT_NE(again, nullptr);
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone, &id);
    delete again;
    delete clone;

    // The copy fails: the reopened directory goes, and the directory says why.
    StubIdentifier failing(/*cloneFails=*/true);
    ReplaceLastError(dir, InjectedError());
    auto [gone, noClone] = dir.ResolveSymLinks(&failing);
    EXPECT_EQ(gone, nullptr);
    EXPECT_EQ(noClone, nullptr);
    EXPECT_EQ(CountedDir::alive, 1);
    const ErrorRecord* r = dir.last_error.GetHead();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Code, Common::FILE_OUT_OF_MEMORY);
    Common::WString text;
    r->Kind->GetText(text, r);
    EXPECT_EQ(Common::ToUtf8(text.c_str()), "Not enough memory to complete the operation.");
    EXPECT_EQ(r->IdLow, Common::Locations::CoreFileDir.Base + 49);
    EXPECT_EQ(uint64_t(r->IdHigh) << 32 | r->IdLow, 0x73F112911EC4A510u);  // core/file/dir, line 49
    EXPECT_EQ(r->IdHigh, Common::Locations::CoreFileDir.High);
    EXPECT_STREQ(r->File, "core/file/dir.cpp");
    EXPECT_STREQ(r->Function, "ResolveSymLinks");
    EXPECT_EQ(r->Line, 49u);

    // The reopening fails: its error stays and nothing is cloned.
    dir.openDirFails = true;
    auto [failed, skipped] = dir.ResolveSymLinks(&id);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(skipped, nullptr);
    EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_OPEN_ERROR);
  }
  EXPECT_EQ(CountedDir::alive, 0);
}

TEST(DirDefaultsTest, WriteSideOfARioDirNarrowsToItsOwnParts) {
  CountedDir::alive = 0;
  CountedDir dir;
  o_dir& side = dir;

  o_dir* sub = side.OpenDir(u"sub");
  ASSERT_NE(sub, nullptr);
  auto* whole = dynamic_cast<rio_dir*>(sub);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(static_cast<o_dir*>(static_cast<ro_dir*>(whole)), sub);
  // The pointer works as an o_dir of the new directory, not of some neighbouring part.
  sub->SetUnixOwner(u"x", 0, 0);
  EXPECT_THAT(whole->last_error, NotSupportedAt({true, "SetUnixOwner", 233}));
  EXPECT_TRUE(dir.last_error.IsEmpty());
  delete sub;  // the deleting destructor reached through the o_dir side

  const char16_t* name = u"a/b";
  o_dir* parent = side.GetParentDir(&name);
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(static_cast<o_dir*>(static_cast<ro_dir*>(dynamic_cast<rio_dir*>(parent))), parent);
  delete parent;

  ro_file* created = side.Create(u"f", false, nullptr);
  ASSERT_NE(created, nullptr);
  auto* createdWhole = dynamic_cast<rio_file*>(created);
  ASSERT_NE(createdWhole, nullptr);
  EXPECT_EQ(static_cast<ro_file*>(createdWhole), created);
  delete created;

  // Null stays null, never a pointer next to it.
  dir.openDirFails = true;
  EXPECT_EQ(side.OpenDir(u"sub"), nullptr);
  EXPECT_EQ(dir.last_error.GetCode(), Common::FILE_OPEN_ERROR);
  dir.createFails = true;
  EXPECT_EQ(side.Create(u"f", false, nullptr), nullptr);
  EXPECT_EQ(CountedDir::alive, 1);
}

TEST(DirDefaultsTest, RioDirHasOneErrorOnBothSides) {
  NullDir dir;
  i_dir& reader = dir;
  o_dir& writer = dir;
  writer.SetUnixPermissions(u"x", 0600);
  EXPECT_EQ(&reader.last_error, &writer.last_error);
  EXPECT_EQ(reader.last_error.GetHead()->Line, 230u);
}

TEST(IteratorDefaultsTest, AnIteratorWithOnlyTheRequiredOperations) {
  StubIterator it;
  ReplaceLastError(it, InjectedError());
  const ErrorRecord* held = it.last_error.GetHead();
  i_dir::iterator& entry = it;
  EXPECT_EQ(entry.GetAllocatedSize(), 4711u);
  EXPECT_EQ(entry.Reserved6(), entry.GetName());
  EXPECT_EQ(entry.Reserved5(), 0u);
  EXPECT_EQ(entry.Reserved7(), 0u);
  EXPECT_EQ(entry.GetModificationTime(), 0u);
  EXPECT_EQ(entry.GetChangeTime(), 0u);
  EXPECT_EQ(entry.GetCreationTime(), 0u);
  EXPECT_EQ(entry.GetAccessTime(), 0u);
  EXPECT_EQ(entry.GetDOSAttributes(), -1);
  EXPECT_EQ(entry.GetUnixMode(), -1);
  EXPECT_FALSE(entry.IsHidden());
  EXPECT_EQ(entry.GetUnixOwner(), -1);
  EXPECT_EQ(entry.GetUnixGroup(), -1);
  EXPECT_EQ(entry.Reserved20(), 0u);
  EXPECT_EQ(entry.GetLinkCount(), 1u);
  EXPECT_EQ(entry.GetDeviceMajor(), 0u);
  EXPECT_EQ(entry.GetDeviceMinor(), 0u);
  EXPECT_EQ(entry.Reserved24(), 1u);
  EXPECT_EQ(entry.GetInode(), 0u);
  EXPECT_EQ(entry.GetLinkTarget(), nullptr);
  EXPECT_EQ(it.last_error.GetHead(), held);

  // An iterator keeps the file rule for control requests: its first error stays.
  entry.IOCTL(nullptr);
  EXPECT_EQ(it.last_error.GetHead(), held);
  StubIterator clean;
  clean.IOCTL(nullptr);
  EXPECT_EQ(clean.last_error.GetHead()->Line, 28u);
}

}  // namespace

// Archive entries behind the handle functions and the file that wraps a handle: errors
// cross as serialized blobs and come back as the entry's own.
#include "core/common/zipopen.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/common/error_serialize.h"
#include "core/file/zipfile.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/fixtures.h"
#include "tools/testing/memory_ri_file.h"

namespace {

using ::testing::AllOf;
using Testing::HasCode;
using Testing::RaisedAt;

using Resources::FileHandle;

std::unique_ptr<si_dir> Archive(const std::string& spec) {
  Testing::TempDir dir;
  EXPECT_TRUE(Testing::MakeZip(dir.File("a.zip"), spec));
  return std::unique_ptr<si_dir>(OpenZipArchive(new Testing::MemoryRiFile(Testing::ReadFileBytes(dir.File("a.zip")))));
}

const std::string kSpec = R"({"entries": [{"name": "good", "text": "0123456789", "method": 8},
    {"name": "badcrc", "text": "payload", "crc": 7}, {"name": "odd", "text": "x", "method": 12}]})";

constexpr Common::SourceFile kZipfileSource{Common::Locations::CoreFileZipfile, "core/file/zipfile.cpp"};

std::unique_ptr<si_file> Wrapped(si_dir& dir, const char16_t* name) {
  return std::unique_ptr<si_file>(Resources::CreateSIFileWrapper(Resources::ToFileHandle(dir.OpenI(name, false))));
}

TEST(ZipOpenTest, TheWrapperReadsTheEntry) {
  auto dir = Archive(kSpec);
  ASSERT_TRUE(dir);
  auto file = Wrapped(*dir, u"good");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Size(), 10u);
  char buffer[64];
  uint32_t done = 0;
  file->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(std::string(buffer, done), "0123456789");
  file->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(file->last_error.IsEmpty());
  EXPECT_EQ(Resources::CreateSIFileWrapper(nullptr), nullptr);
}

TEST(ZipOpenTest, TheWrapperReportsTheEntrysOwnErrors) {
  auto dir = Archive(kSpec);
  ASSERT_TRUE(dir);
  // Rewind is not supported by an entry; the wrapper then ignores further reads.
  auto rewound = Wrapped(*dir, u"good");
  rewound->Rewind();
  EXPECT_THAT(rewound->last_error,
              AllOf(HasCode(Common::FILE_NOT_SUPPORTED), RaisedAt(kZipfileSource, Common::Site{"Rewind", 160})));
  char buffer[64];
  uint32_t done = 9;
  rewound->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(rewound->Size(), 0u);
  EXPECT_THAT(rewound->last_error,
              AllOf(HasCode(Common::FILE_NOT_SUPPORTED), RaisedAt(kZipfileSource, Common::Site{"Rewind", 160})));

  auto badcrc = Wrapped(*dir, u"badcrc");
  badcrc->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(std::string(buffer, done), "payload");
  badcrc->Read(buffer, sizeof buffer, &done);
  EXPECT_EQ(done, 0u);
  EXPECT_THAT(badcrc->last_error,
              AllOf(HasCode(Common::FILE_CORRUPTED), RaisedAt(kZipfileSource, Common::Site{"Read", 82})));

  auto odd = Wrapped(*dir, u"odd");
  odd->Read(buffer, sizeof buffer, &done);
  EXPECT_THAT(odd->last_error, AllOf(HasCode(Common::FILE_NOT_SUPPORTED),
                                     RaisedAt(kZipfileSource, Common::Site{"ReadLocalHeader", 198})));
}

TEST(ZipOpenTest, HandleFunctions) {
  uint64_t size = 99;
  uint32_t done = 99;
  uint32_t blobSize = 99;
  char buffer[16];
  EXPECT_EQ(Resources::GetFileSize(nullptr, &size), 0);
  EXPECT_EQ(Resources::RewindFile(nullptr), 0);
  EXPECT_EQ(Resources::ReadFile(nullptr, buffer, sizeof buffer, &done), 0);
  EXPECT_EQ(Resources::TakeErrorBlob(nullptr, &blobSize), nullptr);
  EXPECT_EQ(size, 99u);
  EXPECT_EQ(done, 99u);
  Resources::ReleaseFile(nullptr);
  Resources::ReleaseDir(nullptr);

  auto dir = Archive(kSpec);
  FileHandle good = Resources::ToFileHandle(dir->OpenI(u"good", false));
  EXPECT_EQ(Resources::GetFileSize(good, &size), 1);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(Resources::ReadFile(good, buffer, 4, &done), 1);
  EXPECT_EQ(std::string(buffer, done), "0123");
  // A file without error gives a blob that rebuilds to the empty error.
  std::unique_ptr<uint8_t[]> clean(Resources::TakeErrorBlob(good, &blobSize));
  ASSERT_TRUE(clean);
  Common::Error rebuilt = Common::MakeError(
      Common::MakeLocation(Common::Locations::CoreCommonZipopen, "core/common/tests/zipopen_test.cpp", "TestBody", 1),
      1);
  Common::DeserializeError(rebuilt, clean.get(), static_cast<int32_t>(blobSize));
  EXPECT_TRUE(rebuilt.IsEmpty());

  EXPECT_EQ(Resources::RewindFile(good), 0);
  size = 99;
  EXPECT_EQ(Resources::GetFileSize(good, &size), 0) << "a file holding an error answers nothing";
  EXPECT_EQ(size, 99u);
  EXPECT_EQ(Resources::ReadFile(good, buffer, 4, &done), 0);
  std::unique_ptr<uint8_t[]> blob(Resources::TakeErrorBlob(good, &blobSize));
  Common::DeserializeError(rebuilt, blob.get(), static_cast<int32_t>(blobSize));
  EXPECT_THAT(rebuilt,
              AllOf(HasCode(Common::FILE_NOT_SUPPORTED), RaisedAt(kZipfileSource, Common::Site{"Rewind", 160})));
  // The error was moved out: the file works again.
  EXPECT_EQ(Resources::ReadFile(good, buffer, 4, &done), 1);
  EXPECT_EQ(std::string(buffer, done), "4567");
  Resources::ReleaseFile(good);
}

}  // namespace

// The file object model: the held error, the control-request default, the exact-length
// helpers and the sized-file defaults, over the in-memory test file.
#include "core/common/file_object.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/file/tests/file_test_doubles.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/location_id.h"

using Common::Error;
using Common::ErrorRecord;
using FileTesting::InjectedError;
using FileTesting::MemoryFile;
using ::testing::AllOf;
using Testing::HasChainLength;
using Testing::HasCode;
using Testing::HasParamNames;
using Testing::HasText;
using Testing::RaisedAt;

namespace {

constexpr Common::SourceFileId kHeader = Common::Locations::CoreIncludeFileFile;
constexpr Common::SourceFileId kFileObject = Common::Locations::CoreCommonFileObject;

// The record fields every default-raised error must carry.
auto DefaultRaised(uint32_t code, const char* text, Common::SourceFile file, Common::Site site) {
  return AllOf(HasCode(code), HasText(text), RaisedAt(file, site), HasChainLength(1), HasParamNames("$module"));
}

uint32_t FourCC(const char (&code)[5]) {
  uint32_t value;
  std::memcpy(&value, code, sizeof value);
  return value;
}

TEST(FileObjectTest, IoctlDefaultIsNotSupportedAndKeepsTheFirstError) {
  MemoryFile file;
  uint32_t request[2] = {FourCC("GSEC"), 0};
  file.IOCTL(request);
  EXPECT_THAT(file.last_error, DefaultRaised(Common::FILE_NOT_SUPPORTED, "The operation is not supported.",
                                             {kFileObject, "core/common/file_object.cpp"}, {"IOCTL", 28}));
  EXPECT_EQ(Testing::LocationId(file.last_error), 0xA9BE4C92B08C83B5u);  // file_object, line 28
  EXPECT_EQ(request[1], 0u);

  const ErrorRecord* first = file.last_error.GetHead();
  file.IOCTL(request);
  EXPECT_EQ(file.last_error.GetHead(), first);
  EXPECT_EQ(first->RefCount, 1u);
}

TEST(FileObjectTest, IoctlOnAFileHoldingAnErrorLeavesIt) {
  MemoryFile file;
  ReplaceLastError(file, InjectedError());
  const ErrorRecord* held = file.last_error.GetHead();
  file.IOCTL(nullptr);
  EXPECT_EQ(file.last_error.GetHead(), held);
  EXPECT_EQ(file.last_error.GetCode(), Common::FILE_READ_ERROR);
}

struct ExactReadCase {
  const char* name;
  size_t available;
  uint32_t chunkLimit;
  uint32_t length;
  bool endOfFile;
};

TEST(FileObjectTest, ExactLengthReadTurnsShortCountsIntoEndOfFile) {
  const ExactReadCase cases[] = {
      {"ten left, sixteen asked", 10, 0xFFFFFFFF, 16, true},
      {"ten left, ten asked", 10, 0xFFFFFFFF, 10, false},
      {"nothing asked at the end", 0, 0xFFFFFFFF, 0, false},
      {"at the end", 0, 0xFFFFFFFF, 1, true},
      // One call of the file's Read is all it makes: a short piece is not retried.
      {"short piece of a longer file", 10, 4, 10, true},
  };
  for (const ExactReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryFile file(std::vector<uint8_t>(c.available, 0x5A));
    file.SetReadChunkLimit(c.chunkLimit);
    std::vector<uint8_t> buffer(c.length + 1, 0);
    Read(file, buffer.data(), c.length);
    EXPECT_EQ(file.readCalls, 1);
    if (!c.endOfFile) {
      EXPECT_TRUE(file.last_error.IsEmpty());
      continue;
    }
    EXPECT_THAT(file.last_error, DefaultRaised(Common::FILE_END_OF_FILE, "The end of the file has been reached.",
                                               {kHeader, "core/include/file/file.h"}, {"Read", 27}));
    EXPECT_EQ(Testing::LocationId(file.last_error), 0xD18A9C757EF132F0u);  // the file header, line 27
  }
}

TEST(FileObjectTest, ExactLengthWriteTurnsShortCountsIntoDiskFull) {
  MemoryFile full;
  full.SetCapacity(5);
  Write(full, "0123456789", 10);
  EXPECT_THAT(full.last_error, DefaultRaised(Common::FILE_DISK_FULL, "The disk is full.",
                                             {kHeader, "core/include/file/file.h"}, {"Write", 41}));
  EXPECT_EQ(full.data.size(), 5u);

  MemoryFile roomy;
  Write(roomy, "0123456789", 10);
  EXPECT_TRUE(roomy.last_error.IsEmpty());
  EXPECT_EQ(std::string(roomy.data.begin(), roomy.data.end()), "0123456789");
}

TEST(FileObjectTest, ExactLengthHelpersKeepAnErrorOfTheFileOwn) {
  // Held before the call: nothing moves, nothing is stored.
  MemoryFile held(std::string("0123456789"));
  ReplaceLastError(held, InjectedError(Common::FILE_SEEK_ERROR));
  const ErrorRecord* heldHead = held.last_error.GetHead();
  char buffer[4] = {'x', 'x', 'x', 'x'};
  Read(held, buffer, 4);
  Write(held, "abcd", 4);
  EXPECT_EQ(held.last_error.GetHead(), heldHead);
  EXPECT_EQ(held.position, 0u);
  EXPECT_EQ(std::string(held.data.begin(), held.data.end()), "0123456789");
  EXPECT_EQ(std::string(buffer, 4), "xxxx");

  // Raised by the call itself: the short count that comes with it is not end of file.
  MemoryFile failing(std::string("0123456789"));
  failing.FailReadsAt(0, InjectedError(Common::FILE_READ_ERROR));
  Read(failing, buffer, 4);
  EXPECT_EQ(failing.last_error.GetCode(), Common::FILE_READ_ERROR);

  MemoryFile refusing;
  refusing.FailNextWrite(InjectedError(Common::FILE_WRITE_ERROR));
  Write(refusing, "abcd", 4);
  EXPECT_EQ(refusing.last_error.GetCode(), Common::FILE_WRITE_ERROR);
}

TEST(FileObjectTest, TakeLastErrorHandsTheErrorOverAndTheFileWorksAgain) {
  MemoryFile clean;
  EXPECT_TRUE(TakeLastError(clean).IsEmpty());
  EXPECT_TRUE(clean.last_error.IsEmpty());

  MemoryFile file(std::string("abc"));
  char buffer[4] = {};
  Read(file, buffer, 4);
  const ErrorRecord* head = file.last_error.GetHead();
  Error taken = TakeLastError(file);
  EXPECT_EQ(taken.GetHead(), head);
  EXPECT_EQ(head->RefCount, 1u);
  EXPECT_TRUE(file.last_error.IsEmpty());

  file.Rewind();
  Read(file, buffer, 3);
  EXPECT_TRUE(file.last_error.IsEmpty());
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST(FileObjectTest, ReplaceLastErrorSharesTheNewChainAndReleasesTheOld) {
  MemoryFile file;
  Error first = InjectedError(Common::FILE_READ_ERROR);
  Error second = InjectedError(Common::FILE_WRITE_ERROR);
  ReplaceLastError(file, first);
  EXPECT_EQ(first.GetHead()->RefCount, 2u);
  ReplaceLastError(file, second);
  EXPECT_EQ(first.GetHead()->RefCount, 1u);
  EXPECT_EQ(file.last_error.GetHead(), second.GetHead());
  EXPECT_EQ(second.GetHead()->RefCount, 2u);
}

TEST(FileObjectTest, DefaultSizeAndRewindOfRandomAccessFiles) {
  MemoryFile file(std::string("0123456789"));
  file.SetPos(3);
  raccess_file& random = file;
  EXPECT_EQ(random.Size(), 10u);
  EXPECT_EQ(file.position, 3u);
  random.Rewind();
  EXPECT_EQ(file.position, 0u);
  EXPECT_TRUE(file.last_error.IsEmpty());

  // The three calls it makes do nothing while the file holds an error; Size adds none.
  ReplaceLastError(file, InjectedError());
  const ErrorRecord* held = file.last_error.GetHead();
  file.position = 7;
  EXPECT_EQ(random.Size(), 0u);
  EXPECT_EQ(file.position, 7u);
  EXPECT_EQ(file.last_error.GetHead(), held);
}

TEST(FileObjectTest, EveryInterfaceOfARioFileSeesTheOneError) {
  MemoryFile file;
  i_file& reader = file;
  o_file& writer = file;
  sized_file& sized = file;
  raccess_file& random = file;
  ri_file& randomReader = file;
  ro_file& randomWriter = file;
  file_object& object = file;
  ReplaceLastError(writer, InjectedError());
  for (const file_object* side : std::vector<const file_object*>{&reader, &writer, &sized, &random, &randomReader,
                                                                   &randomWriter, &object}) {
    EXPECT_EQ(side, &object);
    EXPECT_EQ(&side->last_error, &file.last_error);
  }
  // Both halves of a rio_file reach one sized_file and one raccess_file.
  EXPECT_EQ(static_cast<sized_file*>(static_cast<ri_file*>(&file)),
            static_cast<sized_file*>(static_cast<ro_file*>(&file)));
  EXPECT_EQ(static_cast<raccess_file*>(static_cast<ri_file*>(&file)),
            static_cast<raccess_file*>(static_cast<ro_file*>(&file)));
}

// A writer that keeps the default Flush.
class Sink : public o_file {
 public:
  void Write(const void*, uint32_t length, uint32_t* done) override { *done = length; }
};

TEST(FileObjectTest, DefaultFlushTouchesNoError) {
  Sink clean;
  clean.Flush();
  EXPECT_TRUE(clean.last_error.IsEmpty());

  Sink holding;
  ReplaceLastError(holding, InjectedError());
  const ErrorRecord* held = holding.last_error.GetHead();
  holding.Flush();
  EXPECT_EQ(holding.last_error.GetHead(), held);

  o_file* owned = new Sink();
  delete owned;  // through the interface's deleting destructor
}

}  // namespace

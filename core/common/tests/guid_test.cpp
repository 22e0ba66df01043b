// GUIDs and random bytes, with the devices pointed at files this test controls.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/common/guid.h"
#include "core/common/random.h"
#include "core/common/random_testing.h"
#include "core/common/safe_assert.h"
#include "core/common/trace.h"
#include "tools/testing/fixtures.h"

namespace {

std::vector<std::string> g_reports;

void CaptureReport(int32_t, uint32_t, uint32_t, const char* text) {
  if (std::strncmp(text, "Assertion failed", 16) == 0) g_reports.push_back(text);
}

const std::string kOpenReport = "Assertion failed: !\"Can't open random device\", file core/common/random, line 224";
const std::string kReadReport = "Assertion failed: !\"Can't read from random device\", file core/common/random, line 214";

void ExpectGuidText(const std::string& text) {
  ASSERT_EQ(text.size(), 36u) << text;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23)
      EXPECT_EQ(text[i], '-') << text;
    else
      EXPECT_NE(std::strchr("0123456789ABCDEF", text[i]), nullptr) << text;
  }
  EXPECT_EQ(text[14], '4') << text;
  EXPECT_NE(std::strchr("89AB", text[19]), nullptr) << text;
}

// Each case points the devices at paths in its own directory and captures assertion reports.
class RandomDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    weak = scratch.File("weak");
    strong = scratch.File("strong");
    g_reports.clear();
    SetAssertEventCallback(CaptureReport);
    Common::SetRandomDevicePathsForTesting(weak.c_str(), strong.c_str());
  }

  void TearDown() override {
    Common::SetRandomDevicePathsForTesting(nullptr, nullptr);
    SetAssertEventCallback(&Common::AssertEventToTrace);
  }

  static void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  // The descriptor this process holds open on `path`, or -1.
  static int OpenDescriptorOf(const std::string& path) {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    int found = -1;
    while (dirent* entry = readdir(fds)) {
      char target[4096];
      std::string link = std::string("/proc/self/fd/") + entry->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = 0;
      if (path == target) found = std::atoi(entry->d_name);
    }
    closedir(fds);
    return found;
  }

  Testing::TempDir scratch;
  std::string weak, strong;
};

TEST(GuidTest, TextHasTheVersionAndVariant) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    Common::Guid guid{};
    ASSERT_TRUE(Common::CreateGuid(guid, 0));
    EXPECT_EQ(guid.Data3 >> 12, 4);
    EXPECT_EQ(guid.Data4[0] >> 6, 2);
    std::string text = Common::GuidToString(guid);
    ExpectGuidText(text);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(GuidTest, FieldsFormatInOrderWithoutSignOrWidthSurprises) {
  Common::Guid guid{0xFEDCBA98, 0x0123, 0xABCD, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xFF}};
  char buffer[Common::kGuidTextBytes + 1];
  std::memset(buffer, '#', sizeof buffer);
  Common::FormatGuid(buffer, guid);
  EXPECT_STREQ(buffer, "FEDCBA98-0123-ABCD-8001-0203040506FF");
  EXPECT_EQ(buffer[Common::kGuidTextBytes], '#');
  EXPECT_EQ(Common::GuidToString(guid), "FEDCBA98-0123-ABCD-8001-0203040506FF");
  EXPECT_EQ(Common::GuidToString(Common::Guid{}), "00000000-0000-0000-0000-000000000000");
}

TEST_F(RandomDeviceTest, NonzeroFlagsAreRefused) {
  Common::Guid guid{};
  EXPECT_FALSE(Common::CreateGuid(guid, 1));
  EXPECT_EQ(g_reports, std::vector<std::string>{"Assertion failed: false, file core/common/guid, line 56"});
}

// The bytes are used as they come, in the structure's native byte order.
TEST_F(RandomDeviceTest, GuidIsMadeFromTheWeakDevice) {
  std::vector<uint8_t> bytes;
  for (uint8_t i = 0; i < 16; ++i) bytes.push_back(i);
  WriteFile(weak, bytes);
  Common::Guid guid{};
  ASSERT_TRUE(Common::CreateGuid(guid, 0));
  EXPECT_EQ(Common::GuidToString(guid), "03020100-0504-4706-8809-0A0B0C0D0E0F");
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(RandomDeviceTest, MissingWeakDeviceFallsBackAndIsNotRetried) {
  Common::Guid guid{};
  ASSERT_TRUE(Common::CreateGuid(guid, 0));
  ExpectGuidText(Common::GuidToString(guid));
  EXPECT_EQ(g_reports, std::vector<std::string>{kOpenReport});
  WriteFile(weak, std::vector<uint8_t>(16, 0));
  ASSERT_TRUE(Common::CreateGuid(guid, 0));
  EXPECT_NE(Common::GuidToString(guid), "00000000-0000-4000-8000-000000000000");
  EXPECT_EQ(g_reports.size(), 2u);
}

TEST_F(RandomDeviceTest, MissingStrongDeviceFails) {
  uint8_t buffer[8];
  EXPECT_FALSE(Common::GetRandomBytes(buffer, sizeof buffer, true));
  EXPECT_EQ(g_reports, std::vector<std::string>{kOpenReport});
}

// A device that reports end of file must not be read forever.
TEST_F(RandomDeviceTest, EndOfFileIsAReadFailure) {
  WriteFile(weak, {0xAA, 0xBB});
  WriteFile(strong, {0xCC, 0xDD});
  uint8_t buffer[8] = {};
  EXPECT_TRUE(Common::GetRandomBytes(buffer, sizeof buffer, false));
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_EQ(buffer[1], 0xBB);
  EXPECT_EQ(g_reports, std::vector<std::string>{kReadReport});
  EXPECT_FALSE(Common::GetRandomBytes(buffer, sizeof buffer, true));
  EXPECT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[1], kReadReport);
}

TEST_F(RandomDeviceTest, ExactBytesAndCloseOnExec) {
  WriteFile(strong, {1, 2, 3, 4, 5});
  uint8_t buffer[5] = {};
  ASSERT_TRUE(Common::GetRandomBytes(buffer, sizeof buffer, true));
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  int fd = OpenDescriptorOf(strong);
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  Common::SetRandomDevicePathsForTesting(weak.c_str(), strong.c_str());
  EXPECT_EQ(OpenDescriptorOf(strong), -1);
  EXPECT_TRUE(g_reports.empty());
}

// A directory opens but cannot be read: a zero length never reads, any other length fails.
TEST_F(RandomDeviceTest, ZeroLengthDoesNotRead) {
  ASSERT_EQ(mkdir(strong.c_str(), 0755), 0);
  uint8_t buffer[4];
  EXPECT_TRUE(Common::GetRandomBytes(buffer, 0, true));
  EXPECT_TRUE(g_reports.empty());
  EXPECT_FALSE(Common::GetRandomBytes(buffer, sizeof buffer, true));
  EXPECT_EQ(g_reports, std::vector<std::string>{kReadReport});
}

// A pipe hands the bytes over in pieces; the reader carries on behind each one.
TEST_F(RandomDeviceTest, PartialReadsAreContinued) {
  ASSERT_EQ(mkfifo(strong.c_str(), 0600), 0);
  std::thread writer([path = strong] {
    int fd = open(path.c_str(), O_WRONLY);
    for (uint8_t i = 0; i < 16; ++i) {
      uint8_t byte = static_cast<uint8_t>(0x40 + i);
      if (write(fd, &byte, 1) != 1) break;
    }
    close(fd);
  });
  uint8_t buffer[16] = {};
  bool ok = Common::GetRandomBytes(buffer, sizeof buffer, true);
  writer.join();
  ASSERT_TRUE(ok);
  for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ(buffer[i], 0x40 + i);
}

}  // namespace

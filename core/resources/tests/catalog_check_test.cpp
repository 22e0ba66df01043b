// The loader's check as a function that reports: a catalog that would abort the loader
// gives null, one that passes comes back as a copy with its zero padding behind it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/resources/catalog.h"
#include "tools/testing/fixtures.h"

namespace {

std::vector<unsigned char> MakeCatalogBytes(const Testing::TempDir& dir, const std::vector<std::string>& options) {
  std::string path = dir.File("c.msg");
  EXPECT_TRUE(Testing::MakeCatalog(path, options));
  return Testing::ReadFileBytes(path);
}

TEST(CatalogCheckTest, CatalogsTheLoaderRefusesGiveNull) {
  const std::vector<std::string> cases[] = {
      {"--size-delta", "-1"},    {"--size-delta", "1"},     {"--count", "451"},
      {"--truncate", "7"},       {"--truncate", "1815"},    {"--slot", "2=100000000"},
      {"--slot", "453=-2000"},   {"--slot", "100=-401"},
  };
  Testing::TempDir dir;
  for (const std::vector<std::string>& options : cases) {
    std::vector<unsigned char> bytes = MakeCatalogBytes(dir, options);
    std::unique_ptr<uint8_t[]> copy(Resources::CopyValidCatalog(bytes.data(), static_cast<uint32_t>(bytes.size())));
    EXPECT_EQ(copy, nullptr) << options[0] << " " << options[1];
  }
  EXPECT_EQ(Resources::CopyValidCatalog(nullptr, 0), nullptr);
}

TEST(CatalogCheckTest, AValidCatalogIsCopiedWithItsPadding) {
  Testing::TempDir dir;
  std::vector<unsigned char> bytes = MakeCatalogBytes(dir, {"--text", "453=tail", "--strip-last-terminator"});
  std::unique_ptr<uint8_t[]> copy(Resources::CopyValidCatalog(bytes.data(), static_cast<uint32_t>(bytes.size())));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::vector<unsigned char>(copy.get(), copy.get() + bytes.size()), bytes);
  for (uint32_t i = 0; i < Resources::kCatalogPaddingBytes; ++i) EXPECT_EQ(copy[bytes.size() + i], 0) << i;
}

}  // namespace

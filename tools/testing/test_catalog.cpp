// Test support: serves the generated catalog to the first message lookup.
#include "tools/testing/test_catalog.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "core/common/messages.h"
#include "core/resources/catalog.h"

namespace Testing {

namespace {
void LoadGeneratedCatalog() {
  std::vector<unsigned char> bytes = ReadFileBytes(CatalogPath());
  if (bytes.size() < 8) std::abort();
  auto* block = new uint8_t[bytes.size()];  // kept for the life of the process, like a loaded catalog
  std::memcpy(block, bytes.data(), bytes.size());
  Common::CurrentCatalog.store(block);
}
}  // namespace

std::string CatalogPath() { return ORMIVANE_CATALOG_PATH; }

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void InstallTestCatalog() { Resources::SetCatalogSource(LoadGeneratedCatalog); }

}  // namespace Testing

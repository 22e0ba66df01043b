// The message catalog loader: the whole entry in memory, its header and every slot
// checked, kept until exit.
#include "core/resources/catalog.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/common/messages.h"
#include "core/resources/language.h"
#include "core/resources/resource_archive.h"
#include "core/common/little_endian.h"

namespace Resources {

namespace {

// Every buffer ever loaded; created with the first load. Guarded by the language lock,
// under which the loader runs as a listener.
std::vector<uint8_t*>* LoadedCatalogs = nullptr;

// The header words match the entry, and every slot points inside it.
bool IsValidCatalog(const uint8_t* bytes, uint32_t size) {
  if (size < Common::kCatalogHeaderBytes) return false;
  if (Common::LoadLe32(bytes) != size || Common::LoadLe32(bytes + 4) != Common::kMessageCount) return false;
  for (uint32_t n = Common::kFirstMessage; n <= Common::kLastMessage; ++n) {
    int64_t text = static_cast<int64_t>(4 * n) + static_cast<int32_t>(Common::LoadLe32(bytes + 4 * n));
    if (text < 0 || text >= size) return false;
  }
  return true;
}

}  // namespace

uint8_t* CopyValidCatalog(const uint8_t* bytes, uint32_t size) {
  if (bytes == nullptr || !IsValidCatalog(bytes, size)) return nullptr;
  auto* catalog = new (std::nothrow) uint8_t[static_cast<size_t>(size) + kCatalogPaddingBytes];
  if (catalog == nullptr) return nullptr;
  std::memcpy(catalog, bytes, size);
  std::memset(catalog + size, 0, kCatalogPaddingBytes);
  return catalog;
}

void LoadMessageCatalog() {
  uint32_t size = 0;
  std::unique_ptr<uint8_t[]> entry(LoadResource(kCatalogName, &size));
  uint8_t* catalog = CopyValidCatalog(entry.get(), size);
  if (catalog == nullptr) std::abort();

  Common::MutexGuard guard(GetLanguageCandidates().Lock);
  if (LoadedCatalogs == nullptr) {
    LoadedCatalogs = new std::vector<uint8_t*>;
    std::atexit(ReleaseMessageCatalogs);
  }
  LoadedCatalogs->push_back(catalog);
  Common::CurrentCatalog.store(catalog, std::memory_order_release);
}

void ReleaseMessageCatalogs() {
  Common::CurrentCatalog.store(nullptr, std::memory_order_release);
  if (LoadedCatalogs == nullptr) return;
  for (uint8_t* catalog : *LoadedCatalogs) delete[] catalog;
  delete LoadedCatalogs;
  LoadedCatalogs = nullptr;
}

}  // namespace Resources

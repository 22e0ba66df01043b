// ICU data requests answered from the resource archive: path to entry name, whole entry
// into a buffer of its own, size bounds. Nothing is cached; every request reads again.
#include "core/resources/icu_data.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/resources/resource_archive.h"

namespace Resources {

namespace {

constexpr char kIcuPackagePath[] = "./icudt38l.dat";
constexpr char kIcuPackageEntry[] = "icudt38l.dat";
constexpr char kIcuItemPrefix[] = "./icudt38l/";
constexpr size_t kIcuItemPrefixChars = sizeof kIcuItemPrefix - 1;

// The archive name a request asks for; false for a path that names neither the package
// nor an item.
bool ChooseEntryName(const char* path, std::string& name) {
  if (std::strncmp(path, kIcuItemPrefix, kIcuItemPrefixChars) == 0) {
    name = path + kIcuItemPrefixChars;
  } else if (std::strcmp(path, kIcuPackagePath) == 0) {
    name = kIcuPackageEntry;
  } else {
    return false;
  }
  // The archive is flat: an item of a subdirectory, such as coll/root.res, is stored as
  // coll_root.res.
  std::replace(name.begin(), name.end(), '/', '_');
  return true;
}

}  // namespace

bool IcuDataLengthFits(uint32_t size) { return size >= kIcuDataMinBytes && size <= kIcuDataMaxBytes; }

bool MapIcuDataFile(UDataMemory* memory, const char* path) {
  // A null memory could only be written through; refuse it before anything is read.
  if (memory == nullptr || path == nullptr) return false;
  std::string name;
  if (!ChooseEntryName(path, name)) return false;
  uint32_t size = 0;
  std::unique_ptr<uint8_t[]> buffer(LoadResource(name.c_str(), &size));
  if (!buffer || !IcuDataLengthFits(size)) return false;
  uint8_t* data = new (std::nothrow) uint8_t[static_cast<size_t>(size) + kIcuDataPaddingBytes];
  if (data == nullptr) return false;
  std::memcpy(data, buffer.get(), size);
  std::memset(data + size, 0, kIcuDataPaddingBytes);
  memory->pHeader = data;
  memory->mapAddr = data;
  memory->map = data;
  memory->length = static_cast<int32_t>(size);
  return true;
}

void UnmapIcuDataFile(UDataMemory* memory) {
  if (memory == nullptr || memory->map == nullptr) return;
  delete[] static_cast<uint8_t*>(memory->map);
  memory->map = nullptr;
  memory->mapAddr = nullptr;
  memory->pHeader = nullptr;
  memory->length = 0;
}

}  // namespace Resources

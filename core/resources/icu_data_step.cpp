// ICU's platform step that maps a data file, replaced by the archive hook, and ICU's common
// data, an empty package. The three definitions live in this one object, which every
// program links: ICU's own mapping member is then never pulled out of its static library,
// and a program that lacks this object fails to link for want of the common data instead
// of silently mapping files of the host.
#define U_SHOW_INTERNAL_API 1  // U_ICUDATA_ENTRY_POINT, the common-data symbol's name

#include <unicode/putil.h>
#include <unicode/udata.h>
#include <unicode/utypes.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core/resources/icu_data.h"

// The step answers from the archive, which ICU may first open inside its own one-time
// initialisation. An ICU whose default converter needs data (the alias table) would ask
// the step for it while opening the name codec's converter, and so re-enter that
// initialisation on the same thread.
static_assert(U_CHARSET_IS_UTF8,
              "the linked ICU must be built with U_CHARSET_IS_UTF8: its default converter must need no data");

// ICU's own description of loaded data (it is opaque in ICU's public headers); the fields
// in ICU's order. Only the step below fills it, and only through these fields.
struct UDataMemory {
  const void* vFuncs;
  const void* pHeader;
  const void* toc;
  UBool heapAllocated;
  void* mapAddr;
  void* map;
  int32_t length;
};

// ICU's internals that the step uses or defines (renamed by ICU's headers to carry the
// version, uprv_mapFile_72 for example).
extern "C" void UDataMemory_init(UDataMemory* memory);
extern "C" UBool uprv_mapFile(UDataMemory* memory, const char* path, UErrorCode* status);
extern "C" void uprv_unmapFile(UDataMemory* memory);

namespace {

// A package as ICU's data tools lay it out: the data header, then a table of contents
// with no entries. ICU accepts it as its common data and finds nothing in it.
struct EmptyPackage {
  uint16_t HeaderSize;
  uint8_t Magic1;
  uint8_t Magic2;
  UDataInfo Info;
  uint32_t EntryCount;
};
static_assert(sizeof(UDataInfo) == 20 && sizeof(EmptyPackage) == 28, "the package layout has no padding");

constexpr uint16_t kPackageHeaderBytes = 4 + sizeof(UDataInfo);
constexpr uint8_t kDataMagic1 = 0xDA;
constexpr uint8_t kDataMagic2 = 0x27;

constexpr char kLinkedPackage[] = U_ICUDATA_NAME;  // "icudt72l" for ICU 72
constexpr char kHookPackage[] = "icudt38l";        // the package name the hook answers to
constexpr char kDataDirectory[] = ".";

// ICU asks its mapping step only once a data directory is set. It is set here, by a
// static initializer, because that runs before main while the process has one thread:
// u_setDataDirectory is not safe against ICU being used at the same time. It also
// overrides ICU_DATA, so the environment cannot change the paths that reach the hook.
const bool kDataDirectorySet = (u_setDataDirectory(kDataDirectory), true);

// The request path with the linked ICU's package name turned into the hook's:
// "./icudt72l/cnvalias.icu" becomes "./icudt38l/cnvalias.icu". Other paths pass as they
// are, and the hook refuses them.
std::string HookPath(const char* path) {
  std::string hooked = path;
  const std::string prefix = std::string(kDataDirectory) + "/" + kLinkedPackage;
  if (hooked.compare(0, prefix.size(), prefix) == 0)
    hooked.replace(prefix.size() - (sizeof kLinkedPackage - 1), sizeof kLinkedPackage - 1, kHookPackage);
  return hooked;
}

}  // namespace

extern "C" {

extern const EmptyPackage U_ICUDATA_ENTRY_POINT;
alignas(16) const EmptyPackage U_ICUDATA_ENTRY_POINT = {
    kPackageHeaderBytes,
    kDataMagic1,
    kDataMagic2,
    {sizeof(UDataInfo), 0, U_IS_BIG_ENDIAN, U_CHARSET_FAMILY, U_SIZEOF_UCHAR, 0, {'C', 'm', 'n', 'D'}, {1, 0, 0, 0},
     {0, 0, 0, 0}},
    0,
};

// Like ICU's own step, it first clears the memory (ICU hands it uninitialised) and does
// nothing after an earlier failure; it then asks the hook instead of the file system.
UBool uprv_mapFile(UDataMemory* memory, const char* path, UErrorCode* status) {
  if (U_FAILURE(*status)) return false;
  UDataMemory_init(memory);
  if (path == nullptr) return false;
  try {
    Resources::UDataMemory served;
    if (!Resources::MapIcuDataFile(&served, HookPath(path).c_str())) return false;
    memory->pHeader = served.pHeader;
    memory->mapAddr = const_cast<void*>(served.mapAddr);
    memory->map = served.map;
    memory->length = served.length;
    return true;
  } catch (...) {
    // ICU is C underneath: nothing may unwind through it. A request that cannot even be
    // formed is missing data.
    return false;
  }
}

// ICU closes data it mapped through here, and data that merely shares a mapping (its
// `map` cleared); the hook frees only the former.
void uprv_unmapFile(UDataMemory* memory) {
  if (memory == nullptr) return;
  Resources::UDataMemory served;
  served.pHeader = memory->pHeader;
  served.mapAddr = memory->mapAddr;
  served.map = memory->map;
  served.length = memory->length;
  Resources::UnmapIcuDataFile(&served);
  memory->pHeader = served.pHeader;
  memory->mapAddr = const_cast<void*>(served.mapAddr);
  memory->map = served.map;
  memory->length = served.length;
}

}  // extern "C"

// The data hook of the name codec's ICU: answers its requests for the package file and
// for single data items with whole entries of the resource archive, never the file system.
#pragma once

#include <cstdint>

namespace Resources {

// One piece of data handed to ICU. Only these fields are written; `map` owns a new[]
// buffer from the archive until UnmapIcuDataFile.
struct UDataMemory {
  const void* pHeader = nullptr;  // the first byte, where the data header is read
  const void* mapAddr = nullptr;  // the start of the memory
  void* map = nullptr;            // the allocation to release
  int32_t length = 0;             // bytes
};

// The smallest entry that can hold a data header, and the largest whose length the
// signed 32-bit `length` can state.
inline constexpr uint32_t kIcuDataMinBytes = 24;
inline constexpr uint32_t kIcuDataMaxBytes = 0x7FFFFFFF;

// Zero bytes behind every entry handed to ICU, not counted in `length`. ICU trusts a data
// header: it reads the data behind the header's 16-bit size (up to 65,535 bytes in) and
// the first structure there before it compares anything with the length. Zeros there make
// its loaders fail cleanly (zero sizes, no known type), as the zero-filled rest of a mapped
// page does for ICU's own step; a short item otherwise lets it read past the entry. So the
// padding covers the furthest data start and one page more.
inline constexpr uint32_t kIcuDataPaddingBytes = 0x10000 + 4096;

// Whether an entry of `size` bytes may be handed out.
bool IcuDataLengthFits(uint32_t size);

// `path` is "./icudt38l.dat" (the entry icudt38l.dat) or "./icudt38l/<item>" (the entry
// <item> with every '/' turned into '_'); any other path is refused without a lookup.
// True when `memory` now describes the whole entry, in a copy followed by
// kIcuDataPaddingBytes zero bytes; on false nothing is held and
// `memory` is left as it was.
[[nodiscard]] bool MapIcuDataFile(UDataMemory* memory, const char* path);

// Frees what MapIcuDataFile handed out and clears the four fields; a memory without
// `map` (already released, or never mapped) is left as it is.
void UnmapIcuDataFile(UDataMemory* memory);

}  // namespace Resources

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

// Zero bytes behind every entry handed to ICU, not counted in `length`. ICU reads an item
// before it compares anything with the length: at the data start that the header's 16-bit
// size gives (up to 65,535 bytes in), the first structures there (a converter's static
// data and table header, the table of contents of an alias table or a package), and names
// up to their NUL (the base table name of an extension-only converter). Behind the entry
// those reads meet zeros: no known converter type, empty tables, a name that ends. ICU then
// fails cleanly, as it does in the zero-filled rest of a page its own step maps; unpadded,
// it reads on into the heap. So the padding covers the furthest data start and one page
// more for the structures read there.
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

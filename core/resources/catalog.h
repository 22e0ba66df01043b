// Loading of the message catalog "ormivane_packed.msg" from the resource archive.
#pragma once

#include <cstdint>

namespace Resources {

inline constexpr const char* kCatalogName = "ormivane_packed.msg";
// Zero bytes kept behind every loaded catalog, so that a last text without its 0 unit
// ends there instead of running past the buffer (whatever the alignment of the text).
inline constexpr uint32_t kCatalogPaddingBytes = 4;

// The language listener: reads the catalog through the language candidates, checks it
// and makes it current. Without a valid catalog nothing can be reported: abort().
void LoadMessageCatalog();

// The check the loader makes, reporting instead of aborting: a new[] copy of `bytes` with
// the padding behind it when its header words match and every slot points inside it,
// else null (also when memory runs out).
uint8_t* CopyValidCatalog(const uint8_t* bytes, uint32_t size);

// At exit: no catalog is current any more, then every loaded one is freed.
void ReleaseMessageCatalogs();

}  // namespace Resources

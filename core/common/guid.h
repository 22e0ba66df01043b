// Random GUIDs (version 4) and their upper-case text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Common {

struct Guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(Guid) == 16, "a GUID is 16 bytes");

// 36 characters and the terminator.
inline constexpr size_t kGuidTextBytes = 37;

// Fills `out` from the weak random source with the version and variant bits set. `flags`
// must be 0; any other value is reported with SafeAssert and gives false.
[[nodiscard]] bool CreateGuid(Guid& out, uint32_t flags);

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in upper-case hexadecimal, no braces.
std::string GuidToString(const Guid& guid);
// The same text into `buffer` of at least kGuidTextBytes bytes.
void FormatGuid(char* buffer, const Guid& guid);

}  // namespace Common

// GUIDs from random bytes, and their text.
#include "core/common/guid.h"

#include <cstdio>

#include "core/common/random.h"
#include "core/common/safe_assert.h"

namespace Common {

namespace {
// Assertion reports name the file without its extension, as the thread and mutex code do.
constexpr const char* kGuidFile = "core/common/guid";
constexpr Site kBadFlagsSite{"CreateGuid", 56};
}  // namespace

bool CreateGuid(Guid& out, uint32_t flags) {
  if (flags != 0) {
    SafeAssert("false", kGuidFile, kBadFlagsSite);
    return false;
  }
  // Without a device the weak source falls back to the seeded generator, so a GUID is
  // made either way.
  static_cast<void>(GetRandomBytes(&out, sizeof out, false));
  out.Data4[0] = static_cast<uint8_t>((out.Data4[0] & 0x3F) | 0x80);
  out.Data3 = static_cast<uint16_t>((out.Data3 & 0x0FFF) | 0x4000);
  return true;
}

void FormatGuid(char* buffer, const Guid& guid) {
  std::snprintf(buffer, kGuidTextBytes, "%08lX-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned long>(guid.Data1), static_cast<unsigned short>(guid.Data2),
                static_cast<unsigned short>(guid.Data3), static_cast<unsigned>(guid.Data4[0]),
                static_cast<unsigned>(guid.Data4[1]), static_cast<unsigned>(guid.Data4[2]),
                static_cast<unsigned>(guid.Data4[3]), static_cast<unsigned>(guid.Data4[4]),
                static_cast<unsigned>(guid.Data4[5]), static_cast<unsigned>(guid.Data4[6]),
                static_cast<unsigned>(guid.Data4[7]));
}

std::string GuidToString(const Guid& guid) {
  char text[kGuidTextBytes];
  FormatGuid(text, guid);
  return text;
}

}  // namespace Common

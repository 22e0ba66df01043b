// The native file-name codec: UTF-16 names to the bytes of the system's code page and
// back, through one ICU converter whose callbacks map each byte it cannot decode to
// U+F880..U+F8FF and back, so every name read from the disk round-trips byte for byte.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/text.h"

struct UConverter;

// The native bytes of a NUL-terminated name; empty when it cannot be converted.
std::string ToNativeName(const char16_t* name);

// The UTF-16 name of NUL-terminated native bytes; empty when they cannot be converted.
Common::WString FromNativeName(const char* native);

namespace NameCodec {

// First and last unit of the escape range: unit = kEscapeBase + byte, bytes 0x80..0xFF.
inline constexpr char16_t kEscapeFirst = 0xF880;
inline constexpr char16_t kEscapeLast = 0xF8FF;
inline constexpr char16_t kEscapeBase = 0xF800;

// The two conversions over a given converter: ToNativeName and FromNativeName use the
// process-wide one (ICU's default, opened with the escape callbacks).
std::string ToNativeNameWith(UConverter* converter, const char16_t* name);
Common::WString FromNativeNameWith(UConverter* converter, const char* native);

// Converts `count` units through ICU and appends their bytes; false on failure.
[[nodiscard]] bool ConvertRun(UConverter* converter, const char16_t* units, int32_t count, std::string& out);

}  // namespace NameCodec

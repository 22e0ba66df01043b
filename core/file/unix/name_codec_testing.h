// Test seam of name_codec.cpp: the conversions over a converter of the caller's choice,
// and whether the process-wide converter has been opened.
#pragma once

#include <cstdint>
#include <string>

#include "core/file/unix/name_codec.h"

struct UConverter;

namespace NameCodec {

// The conversions over a given converter (the process-wide one is ICU's default). A
// converter of another code page, opened with the codec's callbacks, lets the callbacks
// be exercised whatever the default is. Null when ICU has no such converter.
UConverter* OpenConverterWithCallbacks(const char* name);
void CloseConverter(UConverter* converter);
std::string ToNativeNameWith(UConverter* converter, const char16_t* name);
Common::WString FromNativeNameWith(UConverter* converter, const char* native);

// Converts `count` units through ICU and appends their bytes; false on failure.
[[nodiscard]] bool ConvertRun(UConverter* converter, const char16_t* units, int32_t count, std::string& out);

// Whether the process-wide converter has been opened.
bool IsConverterOpen();

}  // namespace NameCodec

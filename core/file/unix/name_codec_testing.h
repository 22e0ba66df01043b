// Test seam of name_codec.cpp: converters of the caller's choice with the codec's
// callbacks, and whether the process-wide converter has been opened.
#pragma once

struct UConverter;

namespace NameCodec {

// A converter of another code page, opened with the codec's callbacks, lets the callbacks
// be exercised whatever the default is (through ToNativeNameWith and FromNativeNameWith).
// Null when ICU has no such converter.
UConverter* OpenConverterWithCallbacksForTesting(const char* name);
void CloseConverterForTesting(UConverter* converter);

// Whether the process-wide converter has been opened.
bool IsConverterOpenForTesting();

}  // namespace NameCodec

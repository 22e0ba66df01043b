// The multi-line display text of an error chain, in the words of the message catalog.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/error.h"

namespace Common {

WString FormatError(const Error& error);

// One record: `error`'s head. Level 255 and a null channel leave out the optional lines.
// The empty error has no record: nothing is appended.
void FormatErrorRecord(WString& out, const Error& error, bool head, uint8_t level, const char* channel);
// One parameter line of `error`'s head; nothing for the empty error.
void FormatParamLine(WString& out, const char* name, const Error& error);
WString IndentContinuationLines(const WString& text);
void FormatLevelLine(WString& out, uint8_t level);
void FormatChannelLine(WString& out, const char* channel);
std::string FormatHex64(uint64_t value);
std::string FormatDecimal64(uint64_t value);

}  // namespace Common

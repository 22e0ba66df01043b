// The tool's command line in UTF-16 such that every byte of the launcher's arguments
// reaches the tool unchanged.
#pragma once

#include <string_view>

#include "core/common/text.h"

namespace Launcher {

// Strict UTF-8 sequences become their characters. Every other byte from 0x80 up (invalid
// or cut-short sequences, overlong forms, encoded surrogates), and each byte of a
// character that falls into the name codec's escape range U+F880..U+F8FF, becomes the
// escape unit U+F800 + byte, which the name codec turns back into that byte.
Common::WString ToCommandLineUtf16(std::string_view bytes);

}  // namespace Launcher

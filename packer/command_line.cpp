// Byte-preserving conversion of the launcher's arguments into the tool's command line.
#include "packer/command_line.h"

#include <cstdint>

#include "core/common/text.h"
#include "core/file/unix/name_codec.h"

namespace Launcher {

namespace {

bool IsInEscapeRange(char32_t codePoint) {
  return codePoint >= NameCodec::kEscapeFirst && codePoint <= NameCodec::kEscapeLast;
}

void AppendEscaped(Common::WString& out, std::string_view bytes) {
  for (char c : bytes) out.push_back(static_cast<char16_t>(NameCodec::kEscapeBase + static_cast<uint8_t>(c)));
}

}  // namespace

Common::WString ToCommandLineUtf16(std::string_view bytes) {
  Common::WString out;
  out.reserve(bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    const Common::Utf8Sequence sequence = Common::DecodeUtf8Sequence(bytes.data() + at, bytes.size() - at);
    // Anything but strict UTF-8 is escaped one byte at a time; the next byte is read as a
    // new lead, so no byte of a broken sequence is swallowed.
    const bool strict = sequence.form == Common::Utf8Form::kValid;
    const size_t length = strict ? sequence.length : 1;
    if (!strict || IsInEscapeRange(sequence.codePoint))
      AppendEscaped(out, bytes.substr(at, length));
    else
      Common::AppendCodePoint(out, sequence.codePoint);
    at += length;
  }
  return out;
}

}  // namespace Launcher

// Byte-preserving conversion of the launcher's arguments into the tool's command line.
#include "packer/command_line.h"

#include <cstdint>

#include "core/file/unix/name_codec.h"

namespace Launcher {

namespace {

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The length of the strict UTF-8 sequence at `at` and its code point; 0 when the bytes
// there are no such sequence.
size_t DecodeStrict(std::string_view bytes, size_t at, char32_t& codePoint) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[at + i]); };
  const size_t left = bytes.size() - at;
  const uint8_t lead = byte(0);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  // The allowed range of the second byte keeps out overlong forms, surrogates and code
  // points above U+10FFFF.
  size_t length = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 1; i < length; ++i) {
    if (!IsContinuation(byte(i))) return 0;
    codePoint = codePoint << 6 | (byte(i) & 0x3F);
  }
  return length;
}

bool IsInEscapeRange(char32_t codePoint) {
  return codePoint >= NameCodec::kEscapeFirst && codePoint <= NameCodec::kEscapeLast;
}

void AppendEscaped(Common::WString& out, std::string_view bytes) {
  for (char c : bytes) out.push_back(static_cast<char16_t>(NameCodec::kEscapeBase + static_cast<uint8_t>(c)));
}

void AppendCodePoint(Common::WString& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<char16_t>(codePoint));
    return;
  }
  codePoint -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 | (codePoint >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 | (codePoint & 0x3FF)));
}

}  // namespace

Common::WString ToCommandLineUtf16(std::string_view bytes) {
  Common::WString out;
  out.reserve(bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    char32_t codePoint = 0;
    size_t length = DecodeStrict(bytes, at, codePoint);
    if (length == 0) {
      AppendEscaped(out, bytes.substr(at, 1));
      at += 1;
      continue;
    }
    if (IsInEscapeRange(codePoint))
      AppendEscaped(out, bytes.substr(at, length));
    else
      AppendCodePoint(out, codePoint);
    at += length;
  }
  return out;
}

}  // namespace Launcher

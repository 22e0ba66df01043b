// Text conversion between UTF-16 and UTF-8, byte-wise widening, environment access,
// the program's own path and path normalisation.
#pragma once

#include <cstdint>
#include <string>

namespace Common {

// The system's text type: UTF-16 code units.
using WString = std::u16string;

inline constexpr uint32_t kWholeString = 0xFFFFFFFF;

// A UTF-16 text may lie at an odd address: a catalog holds 8-bit texts of any length
// between its UTF-16 ones. So every reader of texts here loads them unit by unit through
// byte copies, never as char16_t in place. A length counts the units before the 0 unit.
size_t TextLength(const char16_t* text);
// The bytes a text takes with its 0 unit.
size_t TextBytes(const char16_t* text);
void AssignText(WString& out, const char16_t* text);
void AppendText(WString& out, const char16_t* text);

// How the UTF-8 sequence at some position reads: a character of strict UTF-8, or why not.
enum class Utf8Form : uint8_t {
  kValid,       // the shortest form of a code point that is no surrogate, at most U+10FFFF
  kOverlong,    // complete, but longer than its code point needs
  kSurrogate,   // three bytes that encode U+D800..U+DFFF
  kOutOfRange,  // four bytes above U+10FFFF (lead bytes F5 to F7 included)
  kBroken,      // no sequence: a continuation byte or F8..FF as lead, or a missing continuation byte
};

struct Utf8Sequence {
  Utf8Form form;
  uint32_t length;      // the bytes the sequence takes; 1 when broken
  char32_t codePoint;   // the bits the bytes carry; 0 when broken
};

// Reads the sequence that starts at `bytes`, of which `available` (at least 1) may be read.
// Stops at the first byte that is no continuation byte, so a NUL ends it as broken.
Utf8Sequence DecodeUtf8Sequence(const char* bytes, size_t available);

// Appends `codePoint` (at most U+10FFFF) as one unit or as a surrogate pair; a surrogate
// code point becomes its own unit.
void AppendCodePoint(WString& out, char32_t codePoint);

// Converts at most `count` units (stopping at a NUL unit), read as TextLength reads them.
// Always true.
bool Utf16ToUtf8(std::string& out, const char16_t* units, uint32_t count);
// Converts at most `count` bytes (stopping at a NUL byte); false when a replacement
// character was produced or an overlong form was met.
[[nodiscard]] bool Utf8ToUtf16(WString& out, const char* bytes, uint32_t count);

// `text` may lie at an odd address.
std::string ToUtf8(const char16_t* text);
WString ToUtf16(const char* text);

// Each byte zero-extended, NUL-terminated; release with delete[]. Null gives null.
char16_t* WidenAscii(const char* text);

void SetEnv(const char16_t* name, const char16_t* value);
WString GetEnv(const char16_t* name);

// Set before main to the file name dladdr reports for this program's code ("" on failure).
extern const char* ModuleFileName;

std::string GetModulePath();
WString GetModulePathW();
std::string GetProgramName();

// Appends `path` to the absolute `base`, resolving ".", ".." and repeated '/'.
void NormalizePath(std::string& base, const std::string& path);

}  // namespace Common

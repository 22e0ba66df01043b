// UTF-16 and UTF-8 conversion with the system's replacement rules, environment access and
// the program's own path.
#include "core/common/text.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace Common {

namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr size_t kPathBufferBytes = 4096;

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

constexpr Utf8Sequence kBrokenSequence{Utf8Form::kBroken, 1, 0};

char16_t LoadUnit(const char16_t* text, size_t index) {
  char16_t unit;
  std::memcpy(&unit, reinterpret_cast<const unsigned char*>(text) + index * sizeof unit, sizeof unit);
  return unit;
}

const char* FindModuleFileName() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&GetModulePath), &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

}  // namespace

const char* ModuleFileName = FindModuleFileName();

size_t TextLength(const char16_t* text) {
  size_t units = 0;
  while (LoadUnit(text, units) != 0) ++units;
  return units;
}

size_t TextBytes(const char16_t* text) { return (TextLength(text) + 1) * sizeof(char16_t); }

void AppendText(WString& out, const char16_t* text) {
  const size_t units = TextLength(text);
  const size_t at = out.size();
  out.resize(at + units);
  std::memcpy(out.data() + at, text, units * sizeof(char16_t));
}

void AssignText(WString& out, const char16_t* text) {
  out.clear();
  AppendText(out, text);
}

bool Utf16ToUtf8(std::string& out, const char16_t* units, uint32_t count) {
  out.clear();
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t u = LoadUnit(units, i);
    if (u == 0) break;
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else if ((u & 0xFC00) == 0xD800 && i + 1 < count && (LoadUnit(units, i + 1) & 0xFC00) == 0xDC00) {
      uint32_t c = (((u & 0x3FF) << 10) | (LoadUnit(units, i + 1) & 0x3FF)) + 0x10000;
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      ++i;
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return true;
}

Utf8Sequence DecodeUtf8Sequence(const char* text, size_t available) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const unsigned char lead = bytes[0];
  if (lead < 0x80) return {Utf8Form::kValid, 1, lead};
  uint32_t length = 0;
  char32_t codePoint = 0;
  char32_t shortest = 0;  // the least code point that needs this many bytes
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    codePoint = lead & 0x1F;
    shortest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    codePoint = lead & 0x0F;
    shortest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    codePoint = lead & 0x07;
    shortest = 0x10000;
  } else {
    return kBrokenSequence;
  }
  for (uint32_t k = 1; k < length; ++k) {
    if (k >= available || !IsContinuation(bytes[k])) return kBrokenSequence;
    codePoint = codePoint << 6 | (bytes[k] & 0x3F);
  }
  if (codePoint < shortest) return {Utf8Form::kOverlong, length, codePoint};
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return {Utf8Form::kSurrogate, length, codePoint};
  if (codePoint > 0x10FFFF) return {Utf8Form::kOutOfRange, length, codePoint};
  return {Utf8Form::kValid, length, codePoint};
}

void AppendCodePoint(WString& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<char16_t>(codePoint));
    return;
  }
  codePoint -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 | (codePoint >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 | (codePoint & 0x3FF)));
}

// Lenient on top of the strict reading: encoded surrogates pass as they come, an overlong
// form gives its unit and false, and only what has no code point up to U+10FFFF is replaced.
bool Utf8ToUtf16(WString& out, const char* text, uint32_t count) {
  out.clear();
  bool valid = true;
  uint32_t i = 0;
  while (i < count && text[i] != 0) {
    const Utf8Sequence sequence = DecodeUtf8Sequence(text + i, count - i);
    switch (sequence.form) {
      case Utf8Form::kValid:
      case Utf8Form::kSurrogate:
        AppendCodePoint(out, sequence.codePoint);
        break;
      case Utf8Form::kOverlong:
        AppendCodePoint(out, sequence.codePoint);
        valid = false;
        break;
      case Utf8Form::kOutOfRange:
      case Utf8Form::kBroken:
        out.push_back(kReplacement);
        valid = false;
        break;
    }
    i += sequence.length;
  }
  return valid;
}

std::string ToUtf8(const char16_t* text) {
  std::string out;
  if (text != nullptr) Utf16ToUtf8(out, text, kWholeString);
  return out;
}

WString ToUtf16(const char* text) {
  WString out;
  // Lossy on purpose: invalid bytes become replacement characters.
  if (text != nullptr) static_cast<void>(Utf8ToUtf16(out, text, kWholeString));
  return out;
}

char16_t* WidenAscii(const char* text) {
  if (text == nullptr) return nullptr;
  size_t n = std::strlen(text);
  auto* out = new char16_t[n + 1];
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(text[i]);
  out[n] = 0;
  return out;
}

void SetEnv(const char16_t* name, const char16_t* value) {
  ::setenv(ToUtf8(name).c_str(), ToUtf8(value).c_str(), 1);
}

WString GetEnv(const char16_t* name) {
  const char* value = std::getenv(ToUtf8(name).c_str());
  WString out;
  if (value == nullptr || !Utf8ToUtf16(out, value, kWholeString)) return WString();
  return out;
}

std::string GetModulePath() {
  const char* name = ModuleFileName;
  if (name == nullptr) name = FindModuleFileName();
  if (std::strchr(name, '/') != nullptr) {
    std::string base;
    if (name[0] != '/') {
      char cwd[kPathBufferBytes];
      if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
      base = cwd;
    }
    NormalizePath(base, name);
    return base;
  }
  // readlink does not terminate its buffer: take exactly the length it returns, and a
  // full buffer means the path may have been cut.
  char link[kPathBufferBytes];
  ssize_t n = readlink("/proc/self/exe", link, sizeof link);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof link) return std::string();
  std::string path(link, static_cast<size_t>(n));
  return path.substr(0, path.find('\0'));
}

WString GetModulePathW() {
  WString out;
  for (unsigned char b : GetModulePath()) out.push_back(b < 0x80 ? char16_t(b) : char16_t(0xF800 + b));
  return out;
}

std::string GetProgramName() {
  std::string path = GetModulePath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void NormalizePath(std::string& base, const std::string& path) {
  if (!path.empty() && path[0] == '/') base = "/";
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      size_t slash = base.rfind('/');
      if (slash == std::string::npos || slash == 0)
        base.resize(base.empty() ? 0 : 1);
      else
        base.resize(slash);
      continue;
    }
    if (base.size() > 1) base.push_back('/');
    base += component;
  }
}

}  // namespace Common

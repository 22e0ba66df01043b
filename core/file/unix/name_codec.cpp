// The native file-name codec over ICU's default converter, with the escape callbacks
// that make every byte string representable in UTF-16 and back.
#include "core/file/unix/name_codec.h"
#include "core/file/unix/name_codec_state.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/unistr.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/common/mutex.h"

namespace {

using namespace NameCodec;
using NameCodec::State::g_nameConverter;

// Guards the opening and every use of the converter.
Common::Mutex NameCodecMutex;

bool IsEscape(char16_t unit) { return unit >= kEscapeFirst && unit <= kEscapeLast; }

char16_t EscapeByte(unsigned char byte) { return byte >= 0x80 ? static_cast<char16_t>(kEscapeBase + byte) : byte; }

// A byte sequence the code page cannot decode: one unit per byte.
void ToUnicodeEscape(const void*, UConverterToUnicodeArgs* args, const char* codeUnits, int32_t length,
                     UConverterCallbackReason reason, UErrorCode* status) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  *status = U_ZERO_ERROR;
  for (int32_t i = 0; i < length && U_SUCCESS(*status); ++i) {
    UChar unit = EscapeByte(static_cast<unsigned char>(codeUnits[i]));
    ucnv_cbToUWriteUChars(args, &unit, 1, 0, status);
  }
}

// A code point the code page cannot encode: an escape becomes its byte again.
void FromUnicodeEscape(const void*, UConverterFromUnicodeArgs* args, const UChar*, int32_t, UChar32 codePoint,
                       UConverterCallbackReason reason, UErrorCode* status) {
  if (reason != UCNV_UNASSIGNED || codePoint < kEscapeFirst || codePoint > kEscapeLast) return;
  *status = U_ZERO_ERROR;
  char byte = static_cast<char>(codePoint - kEscapeBase);
  ucnv_cbFromUWriteBytes(args, &byte, 1, 0, status);
}

// Called with NameCodecMutex held while the converter is null. The system cannot work
// without file names, so a missing converter ends the process.
void OpenNameConverter() {
  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(nullptr, &status);
  if (U_FAILURE(status) || converter == nullptr || !State::InstallEscapeCallbacks(converter, status)) std::abort();
  g_nameConverter.store(converter, std::memory_order_release);
}

UConverter* LockedConverter() {
  UConverter* converter = g_nameConverter.load(std::memory_order_acquire);
  if (converter == nullptr) {
    OpenNameConverter();
    converter = g_nameConverter.load(std::memory_order_acquire);
  }
  return converter;
}

// Decodes `length` bytes; offsets[i] is the source byte at which unit i began (-1 when
// the converter does not say).
bool DecodeWithOffsets(UConverter* converter, const char* bytes, size_t length, std::vector<UChar>& units,
                       std::vector<int32_t>& offsets) {
  ucnv_resetToUnicode(converter);
  units.assign(length + 16, 0);
  offsets.assign(length + 16, -1);
  const char* source = bytes;
  const char* sourceLimit = bytes + length;
  size_t produced = 0;
  for (;;) {
    UChar* target = units.data() + produced;
    int32_t* targetOffsets = offsets.data() + produced;
    const int32_t base = static_cast<int32_t>(source - bytes);
    UErrorCode status = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, units.data() + units.size(), &source, sourceLimit, targetOffsets, true,
                   &status);
    const size_t count = static_cast<size_t>(target - (units.data() + produced));
    for (size_t i = 0; i < count; ++i)
      if (targetOffsets[i] >= 0) targetOffsets[i] += base;  // offsets are relative to each call's source
    produced += count;
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      units.resize(units.size() * 2);
      offsets.resize(offsets.size() * 2, -1);
      continue;
    }
    if (U_FAILURE(status)) return false;
    break;
  }
  units.resize(produced);
  offsets.resize(produced);
  return true;
}

// A valid sequence can decode into the escape range (in UTF-8 the bytes EF A2 80 to
// EF A3 BF); left as it is, it would come back as one byte. Each byte of such a
// sequence is escaped instead, so that an escape unit always stands for one raw byte.
Common::WString EscapeDecodedEscapes(const char* bytes, size_t length, const std::vector<UChar>& units,
                                     const std::vector<int32_t>& offsets) {
  Common::WString out;
  out.reserve(units.size());
  size_t i = 0;
  while (i < units.size()) {
    // The units that one source sequence produced share its offset.
    size_t next = i + 1;
    while (next < units.size() && offsets[next] == offsets[i]) ++next;
    bool hasEscape = false;
    for (size_t k = i; k < next; ++k) hasEscape = hasEscape || IsEscape(units[k]);
    const int32_t from = offsets[i];
    size_t after = next;
    while (after < units.size() && offsets[after] < 0) ++after;
    const int32_t to = after < units.size() ? offsets[after] : static_cast<int32_t>(length);
    if (!hasEscape || from < 0 || to <= from) {
      out.append(units.begin() + i, units.begin() + next);
      i = next;
      continue;
    }
    // Escapes written by the callback already stand for their bytes one by one.
    Common::WString escaped;
    for (int32_t b = from; b < to; ++b) escaped.push_back(EscapeByte(static_cast<unsigned char>(bytes[b])));
    out += escaped;
    i = next;
  }
  return out;
}

}  // namespace

namespace NameCodec {

namespace State {

std::atomic<UConverter*> g_nameConverter{nullptr};

bool InstallEscapeCallbacks(UConverter* converter, UErrorCode& status) {
  ucnv_setFromUCallBack(converter, FromUnicodeEscape, nullptr, nullptr, nullptr, &status);
  ucnv_setToUCallBack(converter, ToUnicodeEscape, nullptr, nullptr, nullptr, &status);
  return U_SUCCESS(status);
}

}  // namespace State

bool ConvertRun(UConverter* converter, const char16_t* units, int32_t count, std::string& out) {
  const icu::UnicodeString text(false, units, count);
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = text.extract(nullptr, 0, converter, status);
  if (status != U_BUFFER_OVERFLOW_ERROR && status != U_STRING_NOT_TERMINATED_WARNING) return false;
  std::vector<char> bytes(static_cast<size_t>(length) + 1, '\0');
  status = U_ZERO_ERROR;
  text.extract(bytes.data(), length + 1, converter, status);
  if (U_FAILURE(status)) return false;
  out.append(bytes.data(), strnlen(bytes.data(), static_cast<size_t>(length)));
  return true;
}

std::string ToNativeNameWith(UConverter* converter, const char16_t* name) {
  std::string out;
  if (name == nullptr) return out;
  const char16_t* run = name;
  const char16_t* at = name;
  for (;; ++at) {
    const char16_t unit = *at;
    if (unit != 0 && !IsEscape(unit)) continue;
    // Escapes never go through ICU: the runs it sees hold only characters the code page
    // may know.
    if (at > run && !ConvertRun(converter, run, static_cast<int32_t>(at - run), out)) return std::string();
    if (unit == 0) break;
    out.push_back(static_cast<char>(unit - kEscapeBase));
    run = at + 1;
  }
  return out;
}

Common::WString FromNativeNameWith(UConverter* converter, const char* native) {
  if (native == nullptr || *native == '\0') return Common::WString();
  const size_t length = std::strlen(native);
  std::vector<UChar> units;
  std::vector<int32_t> offsets;
  if (!DecodeWithOffsets(converter, native, length, units, offsets)) return Common::WString();
  return EscapeDecodedEscapes(native, length, units, offsets);
}

}  // namespace NameCodec

std::string ToNativeName(const char16_t* name) {
  if (name == nullptr) return std::string();
  if (g_nameConverter.load(std::memory_order_acquire) == nullptr) {
    // Names of ASCII and escapes need no ICU while nothing has needed it yet.
    bool simple = true;
    size_t length = 0;
    for (; name[length] != 0; ++length) simple = simple && (name[length] < 0x80 || IsEscape(name[length]));
    if (simple) {
      std::string out(length, '\0');
      for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>(name[i] & 0xFF);
      return out;
    }
  }
  Common::MutexGuard guard(NameCodecMutex);
  return ToNativeNameWith(LockedConverter(), name);
}

Common::WString FromNativeName(const char* native) {
  Common::MutexGuard guard(NameCodecMutex);
  UConverter* converter = LockedConverter();
  return FromNativeNameWith(converter, native);
}

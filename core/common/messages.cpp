// Message lookup in the catalog in use, and placeholder substitution.
#include "core/common/messages.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Common {

std::atomic<const uint8_t*> CurrentCatalog{nullptr};

namespace {

constinit std::atomic<const CatalogLoader*> g_loader{nullptr};
std::atomic<bool> g_catalogLoaded{false};
std::atomic<bool> g_exitHandlerRegistered{false};

constexpr size_t kMaxDecimalDigits = 63;

int32_t ReadInt32(const uint8_t* p) {
  int32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

uint32_t ReadUint32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

void RegisterCatalogLoader(const CatalogLoader* loader) { g_loader.store(loader, std::memory_order_release); }

void ReloadMessageCatalog() {
  g_loader.load(std::memory_order_acquire)->LoadMessageCatalog();
  g_catalogLoaded.store(true, std::memory_order_release);
}

void UnregisterCatalogListener() {
  g_loader.load(std::memory_order_acquire)->RemoveLanguageListener(ReloadMessageCatalog);
}

// The first lookup runs the loader, and the loader makes lookups of its own on the same
// thread while it opens the archive: so no once-only guard may wrap this path.
const char16_t* GetMessageText(MessageId id) {
  const CatalogLoader* loader = g_loader.load(std::memory_order_acquire);
  if (loader != nullptr && !g_catalogLoaded.load(std::memory_order_acquire)) {
    int saved = errno;
    loader->AddLanguageListener(ReloadMessageCatalog);
    if (!g_exitHandlerRegistered.exchange(true)) std::atexit(UnregisterCatalogListener);
    errno = saved;
  }
  const uint8_t* catalog = CurrentCatalog.load(std::memory_order_acquire);
  if (catalog == nullptr) return nullptr;
  const uint8_t* slot = catalog + static_cast<uint32_t>(id);
  return reinterpret_cast<const char16_t*>(slot + ReadInt32(slot));
}

bool IsCatalogText(const void* p) {
  const uint8_t* catalog = CurrentCatalog.load(std::memory_order_acquire);
  if (catalog == nullptr || p == nullptr) return false;
  auto address = reinterpret_cast<uintptr_t>(p);
  auto start = reinterpret_cast<uintptr_t>(catalog);
  return address >= start && address - start < ReadUint32(catalog);
}

// A run longer than 63 characters is cut to its first 63; an overflow gives the largest value.
void ParseDecimal(const char* text, size_t length, uint64_t& value) {
  char buffer[kMaxDecimalDigits + 1];
  size_t kept = length < kMaxDecimalDigits ? length : kMaxDecimalDigits;
  std::memcpy(buffer, text, kept);
  buffer[kept] = 0;
  value = std::strtoull(buffer, nullptr, 10);
}

// Keeps the low 32 bits, so an index beyond 2^32 wraps rather than saturates.
void ParseDecimal32(const char* text, size_t length, uint32_t& value) {
  uint64_t wide;
  ParseDecimal(text, length, wide);
  value = static_cast<uint32_t>(wide);
}

void ParsePlaceholderIndex(std::u16string_view text, size_t pos, size_t count, uint32_t& index) {
  char digits[kMaxDecimalDigits];
  size_t kept = count < kMaxDecimalDigits ? count : kMaxDecimalDigits;
  for (size_t i = 0; i < kept; ++i) digits[i] = static_cast<char>(text[pos + i] & 0xFF);
  // strtoull may set ERANGE; a lookup never changes errno.
  int saved = errno;
  ParseDecimal32(digits, kept, index);
  errno = saved;
}

int64_t FindPlaceholder(std::u16string_view text, size_t start, uint32_t& index, size_t& length) {
  size_t pos = start;
  while (pos < text.size()) {
    size_t open = text.find(u'{', pos);
    if (open == std::u16string_view::npos) return -1;
    size_t digits = open + 1;
    if (digits >= text.size() || !IsDigit(text[digits])) {
      pos = open + 1;
      continue;
    }
    size_t end = digits;
    while (end < text.size() && IsDigit(text[end])) ++end;
    if (end < text.size() && text[end] == u'}') {
      length = end - digits + 2;
      ParsePlaceholderIndex(text, digits, end - digits, index);
      return static_cast<int64_t>(open);
    }
    pos = end;
  }
  return -1;
}

void SubstituteParams(WString& out, std::u16string_view message, const std::vector<WString>& args) {
  out.assign(message);
  size_t pos = 0;
  for (;;) {
    uint32_t index = 0;
    size_t length = 0;
    int64_t found = FindPlaceholder(out, pos, index, length);
    if (found < 0 || index >= args.size()) return;
    out.replace(static_cast<size_t>(found), length, args[index]);
    pos = static_cast<size_t>(found) + args[index].size();
  }
}

void SubstituteParam(WString& out, const char16_t* message, std::u16string_view arg) {
  WString text;
  AssignText(text, message);
  SubstituteParams(out, text, std::vector<WString>{WString(arg)});
}

}  // namespace Common

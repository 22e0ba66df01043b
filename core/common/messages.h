// Message catalog lookup and the filling of numbered placeholders such as "{0}".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/text.h"

namespace Common {

// Message n of the catalog (2 to 453); its value is 4*n, the byte position of its slot.
enum class MessageId : uint32_t {};

constexpr MessageId Message(uint32_t number) { return MessageId(4 * number); }
constexpr uint32_t MessageNumber(MessageId id) { return static_cast<uint32_t>(id) / 4; }

inline constexpr uint32_t kFirstMessage = 2;
inline constexpr uint32_t kLastMessage = 453;
inline constexpr uint32_t kMessageCount = kLastMessage - kFirstMessage + 1;
inline constexpr uint32_t kCatalogHeaderBytes = 4 * (kLastMessage + 1);

// The catalog in use, null until one is loaded and after the release at exit. The block
// starts with its total size in bytes; the word at byte 4n holds the signed offset of
// message n's text counted from that word.
extern std::atomic<const uint8_t*> CurrentCatalog;

// The text of a message, or null when no catalog is loaded. Never changes errno. The text
// may lie at an odd address (the catalog places texts at any byte): read it only through
// the readers of core/common/text.h (TextLength, AssignText, AppendText, ToUtf8), never as
// char16_t in place.
const char16_t* GetMessageText(MessageId id);

// The catalog loader belongs to the resource archive, a layer above this library, so it
// comes in through this one seam: the archive registers it before main, and the first
// lookup adds its listener to the language list (which runs it) and takes it off at exit.
struct CatalogLoader {
  void (*AddLanguageListener)(void (*listener)());
  void (*RemoveLanguageListener)(void (*listener)());
  void (*LoadMessageCatalog)();
};

// Until a loader is registered, lookups give no text.
void RegisterCatalogLoader(const CatalogLoader* loader);

// The language listener that loads the catalog, and its removal at exit.
void ReloadMessageCatalog();
void UnregisterCatalogListener();

// True when `p` lies inside the catalog in use.
bool IsCatalogText(const void* p);

void SubstituteParams(WString& out, std::u16string_view message, const std::vector<WString>& args);
// `message` may be a catalog text (read through AssignText).
void SubstituteParam(WString& out, const char16_t* message, std::u16string_view arg);

// Position of the next placeholder at or after `start`, or -1.
int64_t FindPlaceholder(std::u16string_view text, size_t start, uint32_t& index, size_t& length);
// Parses the digit run at text[pos, pos+count), taking the low byte of each unit.
void ParsePlaceholderIndex(std::u16string_view text, size_t pos, size_t count, uint32_t& index);
// Decimal parsing of at most the first 63 characters; an overflow gives UINT64_MAX.
void ParseDecimal(const char* text, size_t length, uint64_t& value);
// The low 32 bits of ParseDecimal.
void ParseDecimal32(const char* text, size_t length, uint32_t& value);

}  // namespace Common

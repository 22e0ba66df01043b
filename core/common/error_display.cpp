// Display text of error chains: the head record, then each cause, framed by "| ".
#include "core/common/error_display.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

namespace Common {

namespace {

constexpr uint32_t kMsgFunction = 25, kMsgErrorHead = 26, kMsgFile = 27, kMsgLine = 28, kMsgErrorCause = 29,
                   kMsgSuccess = 30, kMsgChannel = 38, kMsgTraceLevel = 39;
constexpr uint8_t kNoLevel = 255;

// A catalog word; a missing catalog (none loaded, or released at exit) gives empty text.
void AppendMessage(WString& out, uint32_t number) {
  const char16_t* text = GetMessageText(Message(number));
  if (text != nullptr) AppendText(out, text);
}

void AppendAscii(WString& out, const char* text) {
  std::unique_ptr<char16_t[]> wide(WidenAscii(text));
  if (wide) out += wide.get();
}

void AppendAscii(WString& out, const std::string& text) { AppendAscii(out, text.c_str()); }

// An Error that shares `record` as its head, for the per-record helpers.
Error ShareRecord(ErrorRecord* record) {
  AddRecordReference(record);
  return Error::Adopt(record);
}

uint32_t LevelMessage(uint8_t level) {
  switch (level) {
    case 1: return 41;
    case 2: return 43;
    case 3: return 44;
    case 4: return 42;
    case 5: return 40;
    default: return 0;
  }
}

}  // namespace

std::string FormatHex64(uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%" PRIx64, value);
  return buffer;
}

std::string FormatDecimal64(uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%" PRIu64, value);
  return buffer;
}

WString IndentContinuationLines(const WString& text) {
  WString out;
  out.reserve(text.size());
  for (char16_t c : text) {
    out.push_back(c);
    if (c == u'\n') out += u"| ";
  }
  return out;
}

void FormatLevelLine(WString& out, uint8_t level) {
  out += u"\n| ";
  AppendMessage(out, kMsgTraceLevel);
  out += u": ";
  uint32_t message = LevelMessage(level);
  if (message != 0)
    AppendMessage(out, message);
  else
    AppendAscii(out, FormatDecimal64(level));
}

void FormatChannelLine(WString& out, const char* channel) {
  out += u"\n| ";
  AppendMessage(out, kMsgChannel);
  out += u": ";
  AppendAscii(out, channel);
}

void FormatParamLine(WString& out, const char* name, const Error& error) {
  const ErrorRecord* record = error.GetHead();
  if (record == nullptr) return;
  out += u"\n| ";
  AppendAscii(out, name);
  out += u": ";
  WString value;
  if (const char16_t* wide = record->Kind->GetWideParam(record, name)) {
    value = wide;
  } else if (const char* ascii = record->Kind->GetAsciiParam(record, name)) {
    // A damaged value is shown with its replacement characters.
    static_cast<void>(Utf8ToUtf16(value, ascii, kWholeString));
  } else {
    AppendAscii(value, FormatHex64(record->Kind->GetNumberParam(record, name)));
  }
  out += IndentContinuationLines(value);
}

void FormatErrorRecord(WString& out, const Error& error, bool head, uint8_t level, const char* channel) {
  const ErrorRecord* record = error.GetHead();
  if (record == nullptr) return;
  if (head) {
    AppendMessage(out, kMsgErrorHead);
  } else {
    out += u"\n| ";
    AppendMessage(out, kMsgErrorCause);
  }
  out += u" ";
  AppendAscii(out, FormatHex64(record->Code));
  WString text;
  record->Kind->GetText(text, record);
  if (!text.empty()) {
    out += u": ";
    out += IndentContinuationLines(text);
  }
  if (level < kNoLevel) FormatLevelLine(out, level);
  if (channel != nullptr && *channel != 0) FormatChannelLine(out, channel);
  out += u"\n| ";
  AppendMessage(out, kMsgLine);
  out += u": ";
  AppendAscii(out, FormatHex64(uint64_t(record->IdHigh) << 32 | record->IdLow));
  if (record->File != nullptr) {
    out += u"\n| ";
    AppendMessage(out, kMsgFile);
    out += u": ";
    AppendAscii(out, record->File);
    out += u":";
    AppendAscii(out, FormatDecimal64(record->Line));
  }
  if (record->Function != nullptr) {
    out += u"\n| ";
    AppendMessage(out, kMsgFunction);
    out += u": ";
    AppendAscii(out, record->Function);
  }
  const char* names = record->Kind->GetParamNames(record);
  if (names == nullptr || *names == 0) return;
  std::string list(names);
  size_t pos = 0;
  for (;;) {
    size_t comma = list.find(',', pos);
    std::string name = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    FormatParamLine(out, name.c_str(), error);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
}

WString FormatError(const Error& error) {
  WString out;
  if (error.IsEmpty()) {
    AppendMessage(out, kMsgSuccess);
    return out;
  }
  FormatErrorRecord(out, error, true, kNoLevel, nullptr);
  for (ErrorRecord* cause = error.GetHead()->Cause; cause != nullptr && cause->Code != 0; cause = cause->Cause) {
    out += u"\n|";
    FormatErrorRecord(out, ShareRecord(cause), false, kNoLevel, nullptr);
  }
  return out;
}

}  // namespace Common

// Error records, the four core kinds, the error value and its causes.
#include "core/common/error.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <new>

namespace Common {

namespace {

constexpr SourceFile kSource{Locations::CoreCommonError, "core/common/error.cpp"};
constexpr Site kAddPosixErrorSite{"AddPosixError", 346};

std::atomic_ref<uint32_t> RefOf(ErrorRecord* record) { return std::atomic_ref<uint32_t>(record->RefCount); }

uint8_t* AllocateBlock(size_t bytes) { return new (std::nothrow) uint8_t[bytes]; }

size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

void FillFixedFields(ErrorRecord* record, const SourceLocation& location, uint32_t code, const ErrorKind* kind,
                     size_t size) {
  record->RefCount = 1;
  record->Code = code;
  record->Cause = nullptr;
  record->Kind = kind;
  record->IdLow = location.IdLow;
  record->IdHigh = location.IdHigh;
  record->File = location.File;
  record->Function = location.Function;
  record->Line = location.Line;
  record->Size = static_cast<uint32_t>(size);
}

// A clone of the first `bytes` of `record` in `block`. The count is not copied: other
// holders change it atomically while the record is being cloned.
ErrorRecord* CopyBehindCount(uint8_t* block, const ErrorRecord* record, size_t bytes) {
  static_assert(offsetof(ErrorRecord, RefCount) == 0, "the count leads the record");
  constexpr size_t kBehindCount = offsetof(ErrorRecord, Code);
  std::memcpy(block + kBehindCount, reinterpret_cast<const uint8_t*>(record) + kBehindCount, bytes - kBehindCount);
  auto* clone = reinterpret_cast<ErrorRecord*>(block);
  clone->RefCount = 1;
  clone->Cause = nullptr;
  return clone;
}

ErrorRecord* ClonePosixRecord(const ErrorRecord* record) {
  uint8_t* block = AllocateBlock(sizeof(ErrorRecord));
  if (block == nullptr) return nullptr;
  return CopyBehindCount(block, record, sizeof(ErrorRecord));
}

void GetPosixText(WString& out, const ErrorRecord* record) {
  out.clear();
  char buffer[256];
  const char* text = strerror_r(static_cast<int>(record->Size), buffer, sizeof buffer);
  if (text == nullptr || *text == 0) return;
  wchar_t wide[512];
  int n = swprintf(wide, sizeof wide / sizeof wide[0], L"%s", text);
  if (n <= 0) return;
  for (int i = 0; i < n; ++i) out.push_back(static_cast<char16_t>(wide[i]));
}

uint64_t GetPosixCode(const ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "code") == 0) return static_cast<uint32_t>(record->Size);
  return 0;
}

const char* GetPosixParamNames(const ErrorRecord*) { return "code,$module"; }

// Static, counted once from the start so that it is never freed.
ErrorRecord OutOfMemoryRecord = {1, OUT_OF_MEMORY, nullptr, &PlainErrorKind, 0, 0, nullptr, nullptr, 0,
                                   sizeof(ErrorRecord)};

}  // namespace

const ErrorKind TextErrorKind = {FreeRecord,   CloneRecord,    GetRecordText,      NoNumberParam,
                                 GetModuleParam, NoWideParam, GetModuleParamNames};
const ErrorKind PlainErrorKind = {FreeRecord,   CloneRecord,    GetEmptyText,       NoNumberParam,
                                  GetModuleParam, NoWideParam, GetModuleParamNames};
const ErrorKind PosixErrorKind = {FreeRecord,     ClonePosixRecord, GetPosixText,      GetPosixCode,
                                  GetModuleParam, NoWideParam,      GetPosixParamNames};

// Constant-initialised: usable from any static initialiser.
constinit const Error NoError;

void FreeRecord(ErrorRecord* record) { delete[] reinterpret_cast<uint8_t*>(record); }

ErrorRecord* CloneRecord(const ErrorRecord* record) {
  uint8_t* block = AllocateBlock(record->Size);
  if (block == nullptr) return nullptr;
  return CopyBehindCount(block, record, record->Size);
}

const char16_t* RecordTextPointer(const TextErrorRecord* record) {
  uintptr_t text = record->Text;
  if (text == 0) return nullptr;
  if (text < record->Header.Size) return reinterpret_cast<const char16_t*>(reinterpret_cast<const uint8_t*>(record) + text);
  return reinterpret_cast<const char16_t*>(text);
}

void GetRecordText(WString& out, const ErrorRecord* record) {
  const char16_t* text = RecordTextPointer(reinterpret_cast<const TextErrorRecord*>(record));
  if (text == nullptr)
    out.clear();
  else
    AssignText(out, text);
}

void GetEmptyText(WString& out, const ErrorRecord*) { out.clear(); }

uint64_t NoNumberParam(const ErrorRecord*, const char*) { return 0; }

const char* GetModuleParam(const ErrorRecord*, const char* name) {
  return std::strcmp(name, kModuleParamName) == 0 ? kModuleName : nullptr;
}

const char16_t* NoWideParam(const ErrorRecord*, const char*) { return nullptr; }

const char* GetModuleParamNames(const ErrorRecord*) { return kModuleParamName; }

ErrorRecord* AllocateTextRecord(const SourceLocation& location, uint32_t code, const ErrorKind* kind,
                                const char16_t* text, size_t dataBytes, size_t* dataOffset) {
  size_t size = sizeof(TextErrorRecord);
  uintptr_t textField = 0;
  size_t copied = 0;
  if (text != nullptr && IsCatalogText(text)) {
    textField = reinterpret_cast<uintptr_t>(text);
  } else if (text != nullptr) {
    copied = TextBytes(text);
    textField = size;
    size += copied;
  }
  if (dataBytes > 0) {
    size = AlignUp(size, alignof(std::max_align_t));
    if (dataOffset != nullptr) *dataOffset = size;
    size += dataBytes;
  } else if (dataOffset != nullptr) {
    *dataOffset = size;
  }
  uint8_t* block = AllocateBlock(size);
  if (block == nullptr) return nullptr;
  std::memset(block, 0, size);
  auto* record = reinterpret_cast<TextErrorRecord*>(block);
  FillFixedFields(&record->Header, location, code, kind, size);
  record->Text = textField;
  if (copied > 0) std::memcpy(block + textField, text, copied);
  return &record->Header;
}

ErrorRecord* GetOutOfMemoryRecord() { return &OutOfMemoryRecord; }

void AddRecordReference(ErrorRecord* record) {
  if (record != nullptr) RefOf(record).fetch_add(1, std::memory_order_relaxed);
}

void ReleaseRecordChain(ErrorRecord* record) {
  while (record != nullptr) {
    if (RefOf(record).fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    ErrorRecord* cause = record->Cause;
    record->Kind->Free(record);
    record = cause;
  }
}

Error::Error(SourceLocation location, uint32_t code, const char16_t* text) noexcept : head(nullptr) {
  if (code == 0) return;
  ErrorRecord* record = AllocateTextRecord(location, code, &TextErrorKind, text, 0, nullptr);
  *this = Adopt(record);
}

Error::Error(SourceLocation location, uint32_t code) noexcept : head(nullptr) {
  if (code == 0) return;
  uint8_t* block = AllocateBlock(sizeof(ErrorRecord));
  ErrorRecord* record = reinterpret_cast<ErrorRecord*>(block);
  if (record != nullptr) FillFixedFields(record, location, code, &PlainErrorKind, sizeof(ErrorRecord));
  *this = Adopt(record);
}

Error::Error(const Error& other) noexcept : head(other.head) { AddRecordReference(head); }

Error& Error::operator=(const Error& other) noexcept {
  if (this == &other) return *this;
  AddRecordReference(other.head);
  ReleaseRecordChain(head);
  head = other.head;
  return *this;
}

Error& Error::operator=(Error&& other) noexcept {
  if (this == &other) return *this;
  ReleaseRecordChain(head);
  head = other.head;
  other.head = nullptr;
  return *this;
}

Error::~Error() { ReleaseRecordChain(head); }

void Error::VirtualAnchor() {}

Error Error::Adopt(ErrorRecord* record) noexcept {
  Error error;
  if (record == nullptr) {
    record = GetOutOfMemoryRecord();
    AddRecordReference(record);
  }
  error.head = record;
  return error;
}

Error& Error::AddCause(const Error& cause) noexcept {
  ErrorRecord* added = cause.head;
  AddRecordReference(added);
  if (head == nullptr) {
    head = added;
    return *this;
  }
  if (RefOf(head).load(std::memory_order_acquire) == 1) {
    ReleaseRecordChain(head->Cause);
    head->Cause = added;
    return *this;
  }
  ErrorRecord* clone = head->Kind->Clone(head);
  if (clone == nullptr) {
    ReleaseRecordChain(added);
    return *this;
  }
  clone->Cause = added;
  ReleaseRecordChain(head);
  head = clone;
  return *this;
}

Error& Error::AddPosixError(int errnum) noexcept {
  Error posix;
  uint8_t* block = AllocateBlock(sizeof(ErrorRecord));
  auto* record = reinterpret_cast<ErrorRecord*>(block);
  if (record != nullptr) {
    FillFixedFields(record, kSource.At(kAddPosixErrorSite), POSIX_ERROR, &PosixErrorKind,
                    static_cast<uint32_t>(errnum));
  }
  posix = Adopt(record);
  return AddCause(posix);
}

const char16_t* GetCodeText(uint32_t code) {
  uint32_t message = MessageOfCode(code);
  if (message == kNoMessage) return nullptr;
  return GetMessageText(Message(message));
}

Error MakeError(const SourceLocation& location, uint32_t code) {
  if (MessageOfCode(code) == kNoMessage) return Error(location, code);
  return Error(location, code, GetCodeText(code));
}

Error MakeError(const SourceLocation& location, uint32_t code, std::initializer_list<std::u16string_view> args) {
  const char16_t* message = GetCodeText(code);
  if (message == nullptr) return MakeError(location, code);
  std::vector<WString> list(args.begin(), args.end());
  WString pattern;
  AssignText(pattern, message);
  WString text;
  SubstituteParams(text, pattern, list);
  return Error(location, code, text.c_str());
}

const char* CodeName(uint32_t code) {
#define ORMIVANE_CODE_NAME(name, value, message) \
  if (code == value) return #name;
  ORMIVANE_ERROR_CODES(ORMIVANE_CODE_NAME)
#undef ORMIVANE_CODE_NAME
  return nullptr;
}

}  // namespace Common

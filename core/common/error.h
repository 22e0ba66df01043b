// The error value of the whole system: a handle to a chain of reference-counted error
// records, each with a code, a source location, a text, named parameters and a cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error_codes.h"
#include "core/common/locations.h"
#include "core/common/messages.h"
#include "core/common/text.h"

namespace Common {

struct ErrorRecord;

// The seven operations that give a record its behaviour.
struct ErrorKind {
  void (*Free)(ErrorRecord* record);
  ErrorRecord* (*Clone)(const ErrorRecord* record);
  void (*GetText)(WString& out, const ErrorRecord* record);
  uint64_t (*GetNumberParam)(const ErrorRecord* record, const char* name);
  const char* (*GetAsciiParam)(const ErrorRecord* record, const char* name);
  const char16_t* (*GetWideParam)(const ErrorRecord* record, const char* name);
  const char* (*GetParamNames)(const ErrorRecord* record);
};

// The fixed fields of every record. A record is one raw block allocated with new[] and
// copied byte-wise by CloneRecord, so it holds no C++ objects with owning members.
struct ErrorRecord {
  uint32_t RefCount;  // changed only through std::atomic_ref
  uint32_t Code;
  ErrorRecord* Cause;
  const ErrorKind* Kind;
  uint32_t IdLow;
  uint32_t IdHigh;
  const char* File;
  const char* Function;
  uint32_t Line;
  uint32_t Size;  // bytes of the whole record; the errno value in an errno record
};

// A record of a kind that carries a text. `Text` is 0 (no text), an offset smaller than
// `Size` of a UTF-16 text inside the record, or the address of a catalog text.
struct TextErrorRecord {
  ErrorRecord Header;
  uintptr_t Text;
};

extern const ErrorKind TextErrorKind;
extern const ErrorKind PlainErrorKind;
extern const ErrorKind PosixErrorKind;

inline constexpr const char* kModuleParamName = "$module";
inline constexpr const char* kModuleName = "ormivane_packed_lx_31346";

// The operations that kinds of other subsystems reuse.
void FreeRecord(ErrorRecord* record);
ErrorRecord* CloneRecord(const ErrorRecord* record);
void GetRecordText(WString& out, const ErrorRecord* record);
void GetEmptyText(WString& out, const ErrorRecord* record);
uint64_t NoNumberParam(const ErrorRecord* record, const char* name);
const char* GetModuleParam(const ErrorRecord* record, const char* name);
const char16_t* NoWideParam(const ErrorRecord* record, const char* name);
const char* GetModuleParamNames(const ErrorRecord* record);

// The record text as a pointer, or null when the record has none.
const char16_t* RecordTextPointer(const TextErrorRecord* record);

// Builds one record block: fixed fields, Text, the text copied behind them unless it is a
// catalog text (referred to by pointer), then `dataBytes` of kind data at `*dataOffset`
// (aligned for any field). RefCount is 1, Cause null. Null when memory runs out.
ErrorRecord* AllocateTextRecord(const SourceLocation& location, uint32_t code, const ErrorKind* kind,
                                const char16_t* text, size_t dataBytes, size_t* dataOffset);

ErrorRecord* GetOutOfMemoryRecord();
void AddRecordReference(ErrorRecord* record);
void ReleaseRecordChain(ErrorRecord* record);

constexpr uint32_t HighWord(uint32_t code) { return code >> 16; }
constexpr uint32_t LowWord(uint32_t code) { return code & 0xFFFF; }

class [[nodiscard]] Error {
 public:
  constexpr Error() noexcept : head(nullptr) {}
  Error(SourceLocation location, uint32_t code, const char16_t* text) noexcept;
  Error(SourceLocation location, uint32_t code) noexcept;
  Error(const Error& other) noexcept;
  Error(Error&& other) noexcept : head(other.head) { other.head = nullptr; }
  Error& operator=(const Error& other) noexcept;
  Error& operator=(Error&& other) noexcept;
  virtual ~Error();

  virtual void VirtualAnchor();

  // Makes the head record of `cause` the direct cause of this error's head record.
  Error& AddCause(const Error& cause) noexcept;
  // Makes a new errno record the direct cause of this error's head record.
  Error& AddPosixError(int errnum) noexcept;

  // Takes over one reference of `record`; null gives the out-of-memory record.
  static Error Adopt(ErrorRecord* record) noexcept;

  // Drops the error on purpose: the caller has nothing to do about this failure.
  void IgnoreError() const noexcept {}

  uint32_t GetCode() const { return head ? head->Code : 0; }
  bool IsEmpty() const { return head == nullptr || head->Code == 0; }
  explicit operator bool() const { return !IsEmpty(); }
  ErrorRecord* GetHead() const { return head; }

 private:
  ErrorRecord* head;
};

extern const Error NoError;

// The catalog text of a code's message, or null (no message for the code, or no catalog).
const char16_t* GetCodeText(uint32_t code);

// Raising helpers: the code's catalog message, its placeholders filled from `args`.
Error MakeError(const SourceLocation& location, uint32_t code);
Error MakeError(const SourceLocation& location, uint32_t code, std::initializer_list<std::u16string_view> args);

}  // namespace Common

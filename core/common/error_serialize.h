// The serialized form of an error chain: a flat little-endian byte blob that carries every
// record's code, location, text and named parameters across interfaces that pass only
// bytes, and the record kind that the rebuilt records use.
#pragma once

#include <cstdint>

#include "core/common/error.h"
#include "core/common/non_copyable.h"

namespace Common {

inline constexpr uint8_t kErrorBlobVersion = 0x01;

// Parameter type bytes of the blob and of rebuilt records.
inline constexpr uint8_t kBlobAsciiType = 'A';
inline constexpr uint8_t kBlobWideType = 'W';
inline constexpr uint8_t kBlobNumberType = 'N';

// The byte sink of the writer.
class Buffer {
 public:
  virtual ~Buffer() = default;
  // Appends `length` bytes; a null `bytes` appends that many zero bytes.
  [[nodiscard]] virtual bool Write(const void* bytes, uint32_t length) = 0;
  // Overwrites bytes already written. False, and nothing changed, when the range does not
  // lie inside what was written.
  [[nodiscard]] virtual bool WriteAt(uint32_t position, const void* bytes, uint32_t length) = 0;
  virtual uint32_t Size() const = 0;
};

// A Buffer over one array-new block that grows by half its capacity at a time.
class DynamicBuffer final : public Buffer, private Common::NonCopyable {
 public:
  DynamicBuffer() = default;
  ~DynamicBuffer() override;

  // Throws std::bad_alloc when the block cannot grow; false only when the size would
  // no longer fit in 32 bits.
  [[nodiscard]] bool Write(const void* bytes, uint32_t length) override;
  [[nodiscard]] bool WriteAt(uint32_t position, const void* bytes, uint32_t length) override;
  uint32_t Size() const override { return size; }
  const uint8_t* Data() const { return data; }
  // Hands the block over (free it with delete[]) and leaves the buffer empty.
  uint8_t* Release();

 private:
  uint8_t* data = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;
};

// Writes the blob of the chain starting at `head` (null: the version byte alone). Stops at
// the first failed Write and returns false; what was written stays.
[[nodiscard]] bool WriteErrorChain(Buffer& buffer, const ErrorRecord* head);

// The blob of `error` in a new[] block of `size` bytes; an empty error gives the single
// byte 0x01.
uint8_t* SerializeError(const Error& error, uint32_t& size);

// Rebuilds the chain of a blob that may come from anywhere. Every record read whole before
// the first malformed byte is kept; `out` is empty when none was.
void DeserializeError(Error& out, const void* data, int32_t size);

// Records rebuilt from a blob: their parameters live in the record, behind the text.
extern const ErrorKind BlobErrorKind;

// The type byte of a rebuilt record's parameter, followed by its value; null when the
// record has no parameter of that name (the first of equal names wins).
const uint8_t* FindBlobParam(const ErrorRecord* record, const char* name);
uint64_t GetBlobNumberParam(const ErrorRecord* record, const char* name);
const char* GetBlobAsciiParam(const ErrorRecord* record, const char* name);
const char16_t* GetBlobWideParam(const ErrorRecord* record, const char* name);
const char* GetBlobParamNames(const ErrorRecord* record);

// A copy of `name` that lives until exit; equal names give the same pointer. Null gives null.
const char* InternName(const char* name);
// Frees the interned copies (run at exit).
void ReleaseInternedNames();

}  // namespace Common

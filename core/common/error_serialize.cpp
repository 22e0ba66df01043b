// Writing an error chain as a blob and rebuilding it. The reader treats the blob as
// untrusted: every field is read through a cursor that knows what remains, numbers are
// decoded little-endian byte by byte, and a malformed record ends the reading.
#include "core/common/error_serialize.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/mutex.h"
#include "core/common/little_endian.h"

namespace Common {

namespace {

// Code and the two location words in front of every record's text.
constexpr uint32_t kRecordHeadBytes = 12;
constexpr uint32_t kNumberBytes = 8;
constexpr char kFileParam[] = "$file";
constexpr char kFunctionParam[] = "$func";
constexpr char kLineParam[] = "$line";
constexpr char kNameSeparator = ',';

// Rebuilt record layout behind the fixed fields: the names-list offset, then one value
// offset per parameter, then the text.
constexpr size_t kNamesOffsetField = sizeof(TextErrorRecord);
constexpr size_t kValueOffsetsField = kNamesOffsetField + sizeof(uint32_t);

// A rebuilt record's own offsets are native words at possibly unaligned places.
uint32_t LoadNative32(const uint8_t* in) {
  uint32_t value;
  std::memcpy(&value, in, sizeof value);
  return value;
}

// ---- writer ----

bool WriteLittle32(Buffer& buffer, uint32_t value) {
  uint8_t bytes[4];
  Common::StoreLe32(bytes, value);
  return buffer.Write(bytes, sizeof bytes);
}

bool WriteLittle64(Buffer& buffer, uint64_t value) {
  uint8_t bytes[8];
  Common::StoreLe64(bytes, value);
  return buffer.Write(bytes, sizeof bytes);
}

bool WriteByte(Buffer& buffer, uint8_t value) { return buffer.Write(&value, 1); }

bool WriteString(Buffer& buffer, std::string_view text) {
  if (text.size() >= std::numeric_limits<uint32_t>::max()) return false;
  return buffer.Write(text.data(), static_cast<uint32_t>(text.size())) && WriteByte(buffer, 0);
}

bool WriteWide(Buffer& buffer, const char16_t* text) {
  std::string utf8;
  Utf16ToUtf8(utf8, text, kWholeString);
  return WriteString(buffer, utf8);
}

// The first value the kind gives for `name`: 8-bit, else UTF-16, else a number.
bool WriteParam(Buffer& buffer, const ErrorRecord* record, const std::string& name) {
  if (!WriteString(buffer, name)) return false;
  const ErrorKind* kind = record->Kind;
  if (const char* ascii = kind->GetAsciiParam(record, name.c_str()))
    return WriteByte(buffer, kBlobAsciiType) && WriteString(buffer, ascii);
  if (const char16_t* wide = kind->GetWideParam(record, name.c_str()))
    return WriteByte(buffer, kBlobWideType) && WriteWide(buffer, wide);
  return WriteByte(buffer, kBlobNumberType) && WriteLittle64(buffer, kind->GetNumberParam(record, name.c_str()));
}

bool WriteNamedParams(Buffer& buffer, const ErrorRecord* record) {
  const char* names = record->Kind->GetParamNames(record);
  if (names == nullptr) return true;
  std::string_view list(names);
  while (!list.empty()) {
    size_t cut = list.find(kNameSeparator);
    std::string_view name = list.substr(0, cut);
    list = cut == std::string_view::npos ? std::string_view() : list.substr(cut + 1);
    if (name.empty()) continue;
    if (!WriteParam(buffer, record, std::string(name))) return false;
  }
  return true;
}

bool WriteLocationParams(Buffer& buffer, const ErrorRecord* record) {
  if (record->File != nullptr &&
      !(WriteString(buffer, kFileParam) && WriteByte(buffer, kBlobAsciiType) && WriteString(buffer, record->File)))
    return false;
  if (record->Function != nullptr && !(WriteString(buffer, kFunctionParam) && WriteByte(buffer, kBlobAsciiType) &&
                                       WriteString(buffer, record->Function)))
    return false;
  if (record->Line != 0 &&
      !(WriteString(buffer, kLineParam) && WriteByte(buffer, kBlobNumberType) && WriteLittle64(buffer, record->Line)))
    return false;
  return true;
}

bool WriteRecord(Buffer& buffer, const ErrorRecord* record) {
  if (!(WriteLittle32(buffer, record->Code) && WriteLittle32(buffer, record->IdLow) &&
        WriteLittle32(buffer, record->IdHigh)))
    return false;
  WString text;
  record->Kind->GetText(text, record);
  return WriteWide(buffer, text.c_str()) && WriteNamedParams(buffer, record) && WriteLocationParams(buffer, record) &&
         WriteByte(buffer, 0);
}

// ---- reader ----

// Reads forward through untrusted bytes; every read checks what remains first.
class ByteCursor {
 public:
  ByteCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Remaining() const { return size_ - position_; }

  bool ReadByte(uint8_t& value) {
    if (Remaining() < 1) return false;
    value = data_[position_++];
    return true;
  }

  bool ReadLittle32(uint32_t& value) {
    if (Remaining() < 4) return false;
    value = Common::LoadLe32(data_ + position_);
    position_ += 4;
    return true;
  }

  bool ReadLittle64(uint64_t& value) {
    if (Remaining() < kNumberBytes) return false;
    value = Common::LoadLe64(data_ + position_);
    position_ += kNumberBytes;
    return true;
  }

  // The NUL-terminated string at the cursor, without its NUL; false when the bytes end first.
  bool ReadString(std::string_view& text) {
    const void* nul = std::memchr(data_ + position_, 0, Remaining());
    if (nul == nullptr) return false;
    size_t length = static_cast<const uint8_t*>(nul) - (data_ + position_);
    text = std::string_view(reinterpret_cast<const char*>(data_ + position_), length);
    position_ += length + 1;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

struct BlobEntry {
  std::string_view Name;
  uint8_t Type;
  std::string_view Ascii;  // 'A'
  WString Wide;            // 'W'
  uint64_t Number = 0;     // 'N'
};

struct BlobRecord {
  uint32_t Code = 0;
  uint32_t IdLow = 0;
  uint32_t IdHigh = 0;
  WString Text;
  std::vector<BlobEntry> Entries;
};

bool IsReserved(const BlobEntry& entry) {
  if (entry.Type == kBlobAsciiType) return entry.Name == kFileParam || entry.Name == kFunctionParam;
  if (entry.Type == kBlobNumberType) return entry.Name == kLineParam;
  return false;
}

bool ReadUtf8(ByteCursor& cursor, WString& out) {
  std::string_view bytes;
  if (!cursor.ReadString(bytes)) return false;
  return Utf8ToUtf16(out, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool ReadEntryValue(ByteCursor& cursor, BlobEntry& entry) {
  switch (entry.Type) {
    case kBlobAsciiType:
      return cursor.ReadString(entry.Ascii);
    case kBlobWideType:
      return ReadUtf8(cursor, entry.Wide);
    case kBlobNumberType:
      return cursor.ReadLittle64(entry.Number);
    default:
      return false;
  }
}

// The parameter entries up to the empty name. A name holding the list separator would
// shift every later name of the rebuilt list against its value, so it is malformed too.
bool ReadEntries(ByteCursor& cursor, std::vector<BlobEntry>& entries) {
  for (;;) {
    BlobEntry entry;
    if (!cursor.ReadString(entry.Name)) return false;
    if (entry.Name.empty()) return true;
    if (entry.Name.find(kNameSeparator) != std::string_view::npos) return false;
    if (!cursor.ReadByte(entry.Type) || !ReadEntryValue(cursor, entry)) return false;
    entries.push_back(std::move(entry));
  }
}

// Code and location were read by the caller.
bool ReadRecordBody(ByteCursor& cursor, BlobRecord& record) {
  return ReadUtf8(cursor, record.Text) && ReadEntries(cursor, record.Entries);
}

// Appends the entry's type byte and value; `valueOffset` is where the type byte went.
bool AppendEntryValue(DynamicBuffer& block, const BlobEntry& entry, uint32_t& valueOffset) {
  // UTF-16 values are handed out in place, so they start on an even offset: the type byte
  // in front of one goes to an odd offset.
  if (entry.Type == kBlobWideType && block.Size() % 2 == 0 && !block.Write(nullptr, 1)) return false;
  valueOffset = block.Size();
  if (!block.Write(&entry.Type, 1)) return false;
  if (entry.Type == kBlobNumberType) {
    uint8_t bytes[kNumberBytes];
    Common::StoreLe64(bytes, entry.Number);
    return block.Write(bytes, sizeof bytes);
  }
  if (entry.Type == kBlobWideType)
    return block.Write(entry.Wide.c_str(), static_cast<uint32_t>((entry.Wide.size() + 1) * sizeof(char16_t)));
  return block.Write(entry.Ascii.data(), static_cast<uint32_t>(entry.Ascii.size())) && block.Write(nullptr, 1);
}

// One BlobErrorKind block; null when it cannot be laid out.
ErrorRecord* BuildRecord(const BlobRecord& source) {
  std::string names;
  uint32_t count = 0;
  for (const BlobEntry& entry : source.Entries) {
    if (IsReserved(entry)) continue;
    if (count > 0) names.push_back(kNameSeparator);
    names.append(entry.Name);
    ++count;
  }
  TextErrorRecord fixed{};
  fixed.Header.RefCount = 1;
  fixed.Header.Code = source.Code;
  fixed.Header.Kind = &BlobErrorKind;
  fixed.Header.IdLow = source.IdLow;
  fixed.Header.IdHigh = source.IdHigh;
  fixed.Text = kValueOffsetsField + sizeof(uint32_t) * count;

  DynamicBuffer block;
  if (!block.Write(&fixed, sizeof fixed) || !block.Write(nullptr, sizeof(uint32_t) * (count + 1))) return nullptr;
  if (!block.Write(source.Text.c_str(), static_cast<uint32_t>((source.Text.size() + 1) * sizeof(char16_t))))
    return nullptr;
  uint32_t namesOffset = block.Size();
  if (!block.Write(names.c_str(), static_cast<uint32_t>(names.size() + 1))) return nullptr;
  if (!block.WriteAt(kNamesOffsetField, &namesOffset, sizeof namesOffset)) return nullptr;

  uint32_t index = 0;
  for (const BlobEntry& entry : source.Entries) {
    if (IsReserved(entry)) {
      if (entry.Name == kLineParam)
        fixed.Header.Line = static_cast<uint32_t>(entry.Number);
      else if (entry.Name == kFileParam)
        fixed.Header.File = InternName(std::string(entry.Ascii).c_str());
      else
        fixed.Header.Function = InternName(std::string(entry.Ascii).c_str());
      continue;
    }
    uint32_t valueOffset = 0;
    if (!AppendEntryValue(block, entry, valueOffset)) return nullptr;
    if (!block.WriteAt(kValueOffsetsField + sizeof(uint32_t) * index, &valueOffset, sizeof valueOffset))
      return nullptr;
    ++index;
  }
  fixed.Header.Size = block.Size();
  if (!block.WriteAt(0, &fixed, sizeof fixed)) return nullptr;
  return reinterpret_cast<ErrorRecord*>(block.Release());
}

// ---- interned names ----

struct NameLess {
  bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) < 0; }
};

struct InternedNames {
  Mutex Lock;
  std::set<const char*, NameLess> Names;
};

// Never destroyed: records released by later exit handlers may still be looked at, and the
// mutex must outlive every caller. Only the copies are freed at exit.
InternedNames& GetInternedNames() {
  static InternedNames* names = [] {
    auto* created = new InternedNames;
    std::atexit(ReleaseInternedNames);
    return created;
  }();
  return *names;
}

[[maybe_unused]] const InternedNames& g_internedNamesCreated = GetInternedNames();

}  // namespace

// ---- DynamicBuffer ----

DynamicBuffer::~DynamicBuffer() { delete[] data; }

bool DynamicBuffer::Write(const void* bytes, uint32_t length) {
  if (length > std::numeric_limits<uint32_t>::max() - size) return false;
  uint32_t needed = size + length;
  if (needed > capacity) {
    uint32_t grown = capacity + capacity / 2;
    if (grown < capacity) grown = std::numeric_limits<uint32_t>::max();
    uint32_t newCapacity = needed > grown ? needed : grown;
    auto* block = new uint8_t[newCapacity];
    if (size > 0) std::memcpy(block, data, size);
    delete[] data;
    data = block;
    capacity = newCapacity;
  }
  if (length == 0) return true;
  if (bytes == nullptr)
    std::memset(data + size, 0, length);
  else
    std::memcpy(data + size, bytes, length);
  size = needed;
  return true;
}

bool DynamicBuffer::WriteAt(uint32_t position, const void* bytes, uint32_t length) {
  if (position > size || length > size - position) return false;
  if (length > 0) std::memcpy(data + position, bytes, length);
  return true;
}

uint8_t* DynamicBuffer::Release() {
  uint8_t* block = data;
  data = nullptr;
  size = 0;
  capacity = 0;
  return block;
}

// ---- writer and reader ----

bool WriteErrorChain(Buffer& buffer, const ErrorRecord* head) {
  if (!WriteByte(buffer, kErrorBlobVersion)) return false;
  for (const ErrorRecord* record = head; record != nullptr; record = record->Cause) {
    if (!WriteRecord(buffer, record)) return false;
  }
  return true;
}

uint8_t* SerializeError(const Error& error, uint32_t& size) {
  DynamicBuffer buffer;
  // A growing buffer takes every write.
  static_cast<void>(WriteErrorChain(buffer, error.IsEmpty() ? nullptr : error.GetHead()));
  size = buffer.Size();
  return buffer.Release();
}

void DeserializeError(Error& out, const void* data, int32_t size) {
  out = Error();
  if (data == nullptr || size < 1) return;
  ByteCursor cursor(static_cast<const uint8_t*>(data), static_cast<size_t>(size));
  uint8_t version = 0;
  if (!cursor.ReadByte(version) || version != kErrorBlobVersion) return;
  Error result;
  ErrorRecord* last = nullptr;
  try {
    while (cursor.Remaining() >= kRecordHeadBytes) {
      BlobRecord source;
      cursor.ReadLittle32(source.Code);
      if (source.Code == 0) break;
      cursor.ReadLittle32(source.IdLow);
      cursor.ReadLittle32(source.IdHigh);
      if (!ReadRecordBody(cursor, source)) break;
      ErrorRecord* record = BuildRecord(source);
      if (record == nullptr) break;
      if (last == nullptr)
        result = Error::Adopt(record);
      else
        last->Cause = record;
      last = record;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory mid-way: keep the records completed so far, as for a cut blob.
  }
  out = std::move(result);
}

// ---- BlobErrorKind ----

const uint8_t* FindBlobParam(const ErrorRecord* record, const char* name) {
  const auto* base = reinterpret_cast<const uint8_t*>(record);
  const auto* withText = reinterpret_cast<const TextErrorRecord*>(record);
  size_t count = (withText->Text - kValueOffsetsField) / sizeof(uint32_t);
  const char* piece = reinterpret_cast<const char*>(base + LoadNative32(base + kNamesOffsetField));
  size_t nameLength = std::strlen(name);
  for (size_t index = 0; index < count; ++index) {
    const char* end = piece;
    while (*end != 0 && *end != kNameSeparator) ++end;
    if (static_cast<size_t>(end - piece) == nameLength && std::memcmp(piece, name, nameLength) == 0)
      return base + LoadNative32(base + kValueOffsetsField + sizeof(uint32_t) * index);
    if (*end == 0) break;
    piece = end + 1;
  }
  return nullptr;
}

uint64_t GetBlobNumberParam(const ErrorRecord* record, const char* name) {
  const uint8_t* value = FindBlobParam(record, name);
  if (value == nullptr || *value != kBlobNumberType) return 0;
  return Common::LoadLe64(value + 1);
}

const char* GetBlobAsciiParam(const ErrorRecord* record, const char* name) {
  const uint8_t* value = FindBlobParam(record, name);
  if (value == nullptr || *value != kBlobAsciiType) return nullptr;
  return reinterpret_cast<const char*>(value + 1);
}

const char16_t* GetBlobWideParam(const ErrorRecord* record, const char* name) {
  const uint8_t* value = FindBlobParam(record, name);
  if (value == nullptr || *value != kBlobWideType) return nullptr;
  return reinterpret_cast<const char16_t*>(value + 1);
}

const char* GetBlobParamNames(const ErrorRecord* record) {
  const auto* base = reinterpret_cast<const uint8_t*>(record);
  return reinterpret_cast<const char*>(base + LoadNative32(base + kNamesOffsetField));
}

const ErrorKind BlobErrorKind = {FreeRecord,        CloneRecord,      GetRecordText,    GetBlobNumberParam,
                                 GetBlobAsciiParam, GetBlobWideParam, GetBlobParamNames};

// ---- interned names ----

const char* InternName(const char* name) {
  if (name == nullptr) return nullptr;
  InternedNames& interned = GetInternedNames();
  MutexGuard guard(interned.Lock);
  auto found = interned.Names.find(name);
  if (found != interned.Names.end()) return *found;
  size_t length = std::strlen(name);
  // Owned here until the set holds it: an insert that runs out of memory frees the copy.
  std::unique_ptr<char[]> copy(new char[length + 1]);
  std::memcpy(copy.get(), name, length + 1);
  interned.Names.insert(copy.get());
  return copy.release();
}

void ReleaseInternedNames() {
  InternedNames& interned = GetInternedNames();
  MutexGuard guard(interned.Lock);
  for (const char* copy : interned.Names) delete[] copy;
  interned.Names.clear();
}

}  // namespace Common

// The errno mapping of file errors and the two record kinds that carry their paths.
#include "core/file/file_error.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "core/common/messages.h"

namespace {

using Common::ErrorRecord;
using Common::TextErrorRecord;

struct ErrnoMapping {
  int Errnum;
  uint32_t Code;
};

constexpr ErrnoMapping kErrnoTable[] = {
    {EPERM, Common::FILE_ACCESS_DENIED},   {EACCES, Common::FILE_ACCESS_DENIED},
    {ETXTBSY, Common::FILE_ACCESS_DENIED}, {ENOENT, Common::FILE_NOT_FOUND},
    {ENOMEM, Common::FILE_OUT_OF_MEMORY},  {EBUSY, Common::FILE_NOT_READY},
    {ENODEV, Common::FILE_NOT_READY},      {ENOMEDIUM, Common::FILE_NOT_READY},
    {EEXIST, Common::FILE_ALREADY_EXISTS}, {ENOSPC, Common::FILE_DISK_FULL},
    {EROFS, Common::FILE_READ_ONLY},       {EOPNOTSUPP, Common::FILE_NOT_SUPPORTED},
};

constexpr size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// AllocateTextRecord, given no text, puts the kind data here; the path fields come first
// in it, so every record of the two kinds finds them at this one offset.
constexpr size_t kPathFieldsOffset = AlignUp(sizeof(TextErrorRecord), alignof(std::max_align_t));

constexpr size_t kMaxPaths = 2;

const uintptr_t* PathFields(const ErrorRecord* record) {
  return reinterpret_cast<const uintptr_t*>(reinterpret_cast<const uint8_t*>(record) + kPathFieldsOffset);
}

const char* PathValue(const ErrorRecord* record, uintptr_t field) {
  if (field == 0) return nullptr;
  if (field < record->Size) return reinterpret_cast<const char*>(record) + field;
  return reinterpret_cast<const char*>(field);
}

// One block: fixed fields with Text, the path fields, the copied text (a catalog text is
// referred to instead), then each path with its terminator. Null when memory runs out.
ErrorRecord* AllocatePathRecord(const Common::SourceLocation& location, uint32_t code, const Common::ErrorKind* kind,
                                const char16_t* text, const char* const* paths, size_t count) {
  const size_t fieldBytes = count * sizeof(uintptr_t);
  size_t textBytes = 0;
  if (text != nullptr && !Common::IsCatalogText(text))
    textBytes = Common::TextBytes(text);
  size_t pathBytes[kMaxPaths] = {};
  size_t dataBytes = fieldBytes + textBytes;
  for (size_t i = 0; i < count; ++i) {
    pathBytes[i] = std::strlen(paths[i]) + 1;
    dataBytes += pathBytes[i];
  }

  size_t dataOffset = 0;
  ErrorRecord* record = Common::AllocateTextRecord(location, code, kind, nullptr, dataBytes, &dataOffset);
  if (record == nullptr) return nullptr;
  if (dataOffset != kPathFieldsOffset) {
    // The kinds could not find their fields: refuse the record rather than misread it.
    Common::FreeRecord(record);
    return nullptr;
  }

  uint8_t* block = reinterpret_cast<uint8_t*>(record);
  auto* textRecord = reinterpret_cast<TextErrorRecord*>(record);
  size_t position = dataOffset + fieldBytes;
  if (textBytes > 0) {
    std::memcpy(block + position, text, textBytes);
    textRecord->Text = position;
    position += textBytes;
  } else {
    textRecord->Text = reinterpret_cast<uintptr_t>(text);
  }
  auto* fields = reinterpret_cast<uintptr_t*>(block + dataOffset);
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(block + position, paths[i], pathBytes[i]);
    fields[i] = position;
    position += pathBytes[i];
  }
  return record;
}

// The table row of `errnum`, or null when the caller's code and text stay.
const ErrnoMapping* FindMapping(int errnum, uint32_t defaultCode) {
  for (const ErrnoMapping& row : kErrnoTable) {
    if (row.Errnum != errnum) continue;
    // A lock request that meets a permission error is still reported as a failed lock.
    if (row.Code == Common::FILE_ACCESS_DENIED && defaultCode == Common::FILE_LOCK_FAILED) return nullptr;
    return &row;
  }
  return nullptr;
}

}  // namespace

const Common::ErrorKind FilePathErrorKind = {Common::FreeRecord,   Common::CloneRecord, Common::GetRecordText,
                                             Common::NoNumberParam, GetFilePathParam,    Common::NoWideParam,
                                             GetFilePathParamNames};
const Common::ErrorKind FilePathPairErrorKind = {Common::FreeRecord,   Common::CloneRecord,  Common::GetRecordText,
                                                 Common::NoNumberParam, GetFilePathPairParam, Common::NoWideParam,
                                                 GetFilePathPairParamNames};

const char* GetFilePathParam(const ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "path") == 0) return PathValue(record, PathFields(record)[0]);
  return Common::GetModuleParam(record, name);
}

const char* GetFilePathPairParam(const ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "path1") == 0) return PathValue(record, PathFields(record)[0]);
  if (std::strcmp(name, "path2") == 0) return PathValue(record, PathFields(record)[1]);
  return Common::GetModuleParam(record, name);
}

const char* GetFilePathParamNames(const ErrorRecord*) { return "path,$module"; }

const char* GetFilePathPairParamNames(const ErrorRecord*) { return "path1,path2,$module"; }

Common::Error MakeFileError(Common::SourceLocation location, uint32_t defaultCode, const char16_t* defaultText,
                            const char* path1, const char* path2) {
  const int errnum = errno;
  uint32_t code = defaultCode;
  const char16_t* text = defaultText;
  if (const ErrnoMapping* row = FindMapping(errnum, defaultCode)) {
    code = row->Code;
    text = Common::GetCodeText(code);
  }

  Common::Error error;
  if (code == 0) {
    // Nothing to build: like every constructor, code 0 gives no record of its own.
  } else if (path1 != nullptr && path2 != nullptr) {
    const char* paths[] = {path1, path2};
    error = Common::Error::Adopt(AllocatePathRecord(location, code, &FilePathPairErrorKind, text, paths, 2));
  } else if (path1 != nullptr) {
    const char* paths[] = {path1};
    error = Common::Error::Adopt(AllocatePathRecord(location, code, &FilePathErrorKind, text, paths, 1));
  } else {
    error = Common::Error(location, code, text);
  }
  error.AddPosixError(errnum);
  return error;
}

Common::Error FileErrorFromErrno(Common::SourceLocation location, uint32_t defaultCode, const char* path1,
                                 const char* path2) {
  int saved = errno;
  const char16_t* text = Common::GetCodeText(defaultCode);
  errno = saved;
  return MakeFileError(location, defaultCode, text, path1, path2);
}

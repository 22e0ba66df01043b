// POSIX backup and restore: the common chunks of an entry, then its extended attributes
// and flag words; the restore processor that sets extended attributes on the restored
// file and reports every failure under one code.
#include "core/file/unix/posix_backup.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/file/file_error.h"
#include "core/file/unix/name_codec.h"
#include "core/file/unix/posixsp.h"
#include "core/file/utils.h"

namespace {

using Common::Error;

constexpr Common::SourceFile kSource{Common::Locations::CoreFileUnixPosixBackup, "core/file/unix/posix_backup.cpp"};

constexpr Common::Site kBackupNoBufferSite{"PosixBackupFile", 97};
constexpr Common::Site kGetXattrSite{"GetXattr", 154};
constexpr Common::Site kSetXattrSite{"SetXattr", 171};
constexpr Common::Site kXattrNoBufferSite{"ProcessChunk", 173};
constexpr Common::Site kNoDirPathSite{"ProcessChunk", 435};
constexpr Common::Site kXattrHeaderShortSite{"ProcessChunk", 473};
constexpr Common::Site kRecoverSite{"PosixRestoreFile", 551};

constexpr uint32_t kFlagsWordBytes = 4;
// A value is read in pieces of this size, so a damaged length costs no more memory than
// the chunk really holds.
constexpr uint32_t kValuePieceBytes = 65536;

// File systems that do not take these attributes lose nothing the restored file needs.
constexpr const char* kSkippableAttributes[] = {"security.selinux", "trusted.pfcache"};
// chown clears this attribute, so the restore sets it again after the owner.
constexpr const char* kCapabilityAttribute = "security.capability";

constexpr uint32_t kTypeRegular = 0;
constexpr uint32_t kTypeDirectory = 128;

Error SetXattrError(const std::string& path, const char* name) {
  return FileErrorFromErrno(kSource.At(kSetXattrSite), Common::FILE_WRITE_ERROR, path.c_str(), name);
}

bool IsSkippableAttribute(const char* name) {
  for (const char* skippable : kSkippableAttributes)
    if (std::strcmp(name, skippable) == 0) return true;
  return false;
}

// The attribute names of `path` in the order the system lists them; none when the list
// cannot be read or changes between the two calls.
std::vector<std::string> ListXattrNames(const std::string& path) {
  std::vector<std::string> names;
  ssize_t size = llistxattr(path.c_str(), nullptr, 0);
  if (size <= 0) return names;
  std::vector<char> list(static_cast<size_t>(size));
  if (llistxattr(path.c_str(), list.data(), list.size()) != size) return names;
  for (size_t at = 0; at < list.size();) {
    const char* name = list.data() + at;
    size_t length = strnlen(name, list.size() - at);
    if (length > 0) names.emplace_back(name, length);
    at += length + 1;
  }
  return names;
}

// One record of CHUNK_XATTR: header, name and value, the value read straight into the
// buffer behind the name.
Error WriteXattrRecord(ChunkWriter& writer, const std::string& path, const std::string& name) {
  namespace L = XattrRecordLayout;
  ssize_t size = 0;
  if (Error error = GetXattr(path.c_str(), name.c_str(), nullptr, 0, &size)) return error;
  const uint32_t nameBytes = static_cast<uint32_t>(name.size()) + 1;
  const uint32_t wanted = L::kHeaderBytes + nameBytes + static_cast<uint32_t>(size);

  std::unique_ptr<raw_data> buffer = writer.GetBuffer(wanted);
  if (!buffer || buffer->data == nullptr || buffer->size < wanted) {
    // No room for the record: fail rather than write through a missing buffer.
    Error error = Common::MakeError(kSource.At(kBackupNoBufferSite), Common::FILE_BACKUP_ERROR);
    if (writer.last_error) error.AddCause(TakeLastError(writer));
    return error;
  }
  uint8_t* payload = buffer->Payload();
  ssize_t got = 0;
  if (Error error = GetXattr(path.c_str(), name.c_str(), payload + L::kHeaderBytes + nameBytes,
                             static_cast<size_t>(size), &got))
    return error;
  if (got > size) {
    // Asked with no room, the call reports a value that grew meanwhile without copying it.
    errno = ERANGE;
    return FileErrorFromErrno(kSource.At(kGetXattrSite), Common::FILE_READ_ERROR, path.c_str(), name.c_str());
  }

  BackupFormat::StoreLe16(payload + L::kNameLengthOffset, static_cast<uint16_t>(nameBytes));
  BackupFormat::StoreLe64(payload + L::kValueLengthOffset, static_cast<uint64_t>(static_cast<int64_t>(got)));
  std::memcpy(payload + L::kHeaderBytes, name.c_str(), nameBytes);
  buffer->size = L::kHeaderBytes + nameBytes + static_cast<uint32_t>(got);
  writer.WriteBuffer(buffer);
  if (writer.last_error) return TakeLastError(writer);
  return Common::NoError;
}

Error BackupXattrs(ChunkSink& sink, const std::string& path) {
  std::unique_ptr<ChunkWriter> writer(sink.CreateChunk(CHUNK_XATTR));
  if (!writer) return TakeLastError(sink);
  for (const std::string& name : ListXattrNames(path))
    if (Error error = WriteXattrRecord(*writer, path, name)) return error;
  return Common::NoError;
}

// A flag word as a chunk of its own. Only a chunk that cannot be opened is a failure.
Error WriteFlagChunk(ChunkSink& sink, uint32_t type, uint32_t word) {
  std::unique_ptr<ChunkWriter> writer(sink.CreateChunk(type));
  if (!writer) return TakeLastError(sink);
  std::unique_ptr<raw_data> buffer = writer->GetBuffer(kFlagsWordBytes);
  if (buffer && buffer->data != nullptr && buffer->size >= kFlagsWordBytes) {
    BackupFormat::StoreLe32(buffer->Payload(), word);
    buffer->size = kFlagsWordBytes;
  } else {
    buffer.reset();
  }
  writer->WriteBuffer(buffer);
  return Common::NoError;
}

Error BackupFlags(i_dir& dir, ChunkSink& sink, const char16_t* name) {
  uint32_t word = 0;
  if (GetUnixFlags(&dir, name, &word).IsEmpty() && word != 0)
    if (Error error = WriteFlagChunk(sink, CHUNK_UNIX_FLAGS, word)) return error;

  auto* writable = dynamic_cast<o_dir*>(&dir);
  if (writable == nullptr) return Common::NoError;
  word = 0;
  if (!GetFlagsByName(writable, name, &word).IsEmpty() || word == 0) return Common::NoError;
  return WriteFlagChunk(sink, CHUNK_FLAGS, word);
}

// Reads exactly `length` bytes; a failure comes back taken from the reader.
Error ReadExact(i_file& reader, void* buffer, uint32_t length) {
  ::Read(reader, buffer, length);
  if (reader.last_error) return TakeLastError(reader);
  return Common::NoError;
}

// Reads a value of `length` bytes piece by piece, so that memory grows only with the
// bytes the chunk delivers.
Error ReadValue(i_file& reader, uint32_t length, std::vector<uint8_t>& value) {
  value.clear();
  while (value.size() < length) {
    size_t have = value.size();
    uint32_t piece = static_cast<uint32_t>(std::min<size_t>(kValuePieceBytes, length - have));
    try {
      value.resize(have + piece);
    } catch (const std::bad_alloc&) {
      return Common::MakeError(kSource.At(kXattrNoBufferSite), Common::FILE_OUT_OF_MEMORY);
    }
    if (Error error = ReadExact(reader, value.data() + have, piece)) return error;
  }
  return Common::NoError;
}

class PosixRestoreChunkProcessor : public RestoreHelpers::CommonRestoreChunkProcessor {
 public:
  PosixRestoreChunkProcessor(ro_dir* dir, const char16_t* dir_path, const char16_t* name)
      : CommonRestoreChunkProcessor(dir, name),
        directory_path(dir_path != nullptr ? dir_path : u""),
        entry_name(name != nullptr ? name : u"") {}

  Error ProcessChunk(uint8_t type, std::unique_ptr<i_file>& reader, const RestoreRequestBody& request) override;

 protected:
  void RestoreOwnership() override;
  // A link at the name is an error, never a way to write elsewhere.
  ro_file* CreateTargetFile(ro_dir& dir, const char16_t* name) override {
    auto* posix = dynamic_cast<posix_dir*>(&dir);
    if (posix == nullptr) return CommonRestoreChunkProcessor::CreateTargetFile(dir, name);
    return posix->CreateNoFollow(name, false, nullptr);
  }

 private:
  Error RestoreXattrs(i_file& reader, posix_file& file);
  std::string NativeEntryPath() const { return ToNativeName((directory_path + entry_name).c_str()); }

  Common::WString directory_path;  // with its trailing '/'
  Common::WString entry_name;
  bool has_capability = false;
  std::vector<uint8_t> capability;
};

Error PosixRestoreChunkProcessor::ProcessChunk(uint8_t type, std::unique_ptr<i_file>& reader,
                                               const RestoreRequestBody& request) {
  if (directory_path.empty()) return Common::MakeError(kSource.At(kNoDirPathSite), Common::FILE_READ_ERROR);
  if (Error error = CommonRestoreChunkProcessor::ProcessChunk(type, reader, request)) return error;
  if (type != CHUNK_XATTR) return Common::NoError;
  // Only an open regular file takes the attributes (not a directory or a link).
  auto* file = dynamic_cast<posix_file*>(GetTargetFile());
  if (file == nullptr || !reader) return Common::NoError;
  return RestoreXattrs(*reader, *file);
}

Error PosixRestoreChunkProcessor::RestoreXattrs(i_file& reader, posix_file& file) {
  namespace L = XattrRecordLayout;
  const std::string path = NativeEntryPath();
  for (;;) {
    uint8_t header[L::kHeaderBytes];
    uint32_t count = 0;
    reader.Read(header, sizeof header, &count);
    if (reader.last_error) return TakeLastError(reader);
    if (count == 0) return Common::NoError;
    if (count != sizeof header) return Common::MakeError(kSource.At(kXattrHeaderShortSite), Common::FILE_END_OF_FILE);
    const uint16_t nameBytes = BackupFormat::LoadLe16(header + L::kNameLengthOffset);
    const uint32_t valueBytes = BackupFormat::LoadLe32(header + L::kValueLengthOffset);

    std::vector<char> name(static_cast<size_t>(nameBytes) + 1, 0);
    if (Error error = ReadExact(reader, name.data(), nameBytes)) return error;
    std::vector<uint8_t> value;
    if (Error error = ReadValue(reader, valueBytes, value)) return error;

    static const uint8_t kEmptyValue = 0;
    const void* bytes = value.empty() ? &kEmptyValue : value.data();
    if (fsetxattr(file.GetFd(), name.data(), bytes, value.size(), 0) != 0) {
      Error error = SetXattrError(path, name.data());
      if (error.GetCode() == Common::FILE_NOT_SUPPORTED && IsSkippableAttribute(name.data())) continue;
      return error;
    }
    if (std::strcmp(name.data(), kCapabilityAttribute) == 0) {
      capability = std::move(value);
      has_capability = true;
    }
  }
}

void PosixRestoreChunkProcessor::RestoreOwnership() {
  CommonRestoreChunkProcessor::RestoreOwnership();
  RestoreHelpers::RestoreTarget& target = Target();
  if (!has_capability || target.error) return;
  auto* file = dynamic_cast<posix_file*>(target.file.get());
  if (file == nullptr) return;
  static const uint8_t kEmptyValue = 0;
  const void* bytes = capability.empty() ? &kEmptyValue : capability.data();
  if (fsetxattr(file->GetFd(), kCapabilityAttribute, bytes, capability.size(), 0) != 0)
    target.error = SetXattrError(NativeEntryPath(), kCapabilityAttribute);
}

}  // namespace

Common::Error GetXattr(const char* path, const char* name, void* value, size_t size, ssize_t* result) {
  *result = lgetxattr(path, name, value, size);
  if (*result >= 0) return Common::NoError;
  *result = -1;
  return FileErrorFromErrno(kSource.At(kGetXattrSite), Common::FILE_READ_ERROR, path, name);
}

Common::Error PosixBackupFile(i_dir* dir, const file_identifier* id, const BackupRequestBody& request) {
  if (Error error = CommonBackupFile(dir, id, request)) return error;

  std::unique_ptr<i_dir::iterator> entry(id != nullptr ? dir->GetIterator(id) : dir->GetSelfIterator());
  if (!entry) return TakeLastError(*dir);

  const char16_t* dirPath = dir->GetDirPath();
  Common::WString path = dirPath != nullptr ? dirPath : u"";
  if (id != nullptr) path += entry->GetName();
  if (Error error = BackupXattrs(*request.Sink, ToNativeName(path.c_str()))) return error;

  uint32_t type = entry->GetType();
  if (type != kTypeRegular && type != kTypeDirectory) return Common::NoError;
  // The directory itself is "." to itself; its last component would name a child.
  const char16_t* name = id != nullptr ? entry->GetName() : u".";
  return BackupFlags(*dir, *request.Sink, name);
}

Common::Error PosixRestoreFile(ro_dir* dir, const char16_t* dir_path, const char16_t* name,
                               const RestoreRequestBody& request) {
  Error result;
  {
    PosixRestoreChunkProcessor processor(dir, dir_path, name);
    result = processor.DoRestore(request);
  }
  if (result.GetCode() == 0 || result.GetCode() == Common::FILE_RECOVER_ERROR) return result;
  Error wrapped = Common::MakeError(kSource.At(kRecoverSite), Common::FILE_RECOVER_ERROR);
  wrapped.AddCause(result);
  return wrapped;
}

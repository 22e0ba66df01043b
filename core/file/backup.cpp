// The common backup writer (one entry as typed chunks), its error record kind, and the
// common restore processor that recreates an entry from those chunks.
#include "core/file/backup.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "core/common/safe_assert.h"
#include "core/include/file/posix_control.h"
#include "core/file/utils.h"

namespace {

using Common::Error;
using Common::ErrorRecord;
using Common::TextErrorRecord;

constexpr Common::SourceFile kSource{Common::Locations::CoreFileBackup, "core/file/backup.cpp"};
// Assertion reports name the file without its extension.
constexpr const char* kAssertFile = "core/file/backup";

// Raising and asserting sites.
constexpr Common::Site kBackupFailedSite{"CommonBackupFile", 103};
constexpr Common::Site kNoIteratorSite{"CommonBackupFile", 113};
constexpr Common::Site kNoSinkSite{"CommonBackupFile", 117};
constexpr Common::Site kCanceledBeforeFillSite{"BackupPlainStream", 242};
constexpr Common::Site kCanceledBeforeWriteSite{"BackupPlainStream", 258};
constexpr Common::Site kPlainCanceledBeforeReadSite{"RestorePlainStream", 283};
constexpr Common::Site kPlainCanceledBeforeWriteSite{"RestorePlainStream", 298};
constexpr Common::Site kStreamHeaderShortSite{"RestoreWindowsStream", 705};
constexpr Common::Site kSparseTooShortSite{"RestoreWindowsStream", 728};
constexpr Common::Site kSkipCanceledSite{"RestoreWindowsStream", 745};
constexpr Common::Site kBlockBoundsSite{"RestoreWindowsStream", 760};
constexpr Common::Site kBlockCanceledBeforeReadSite{"RestoreWindowsStream", 780};
constexpr Common::Site kBlockCanceledBeforeWriteSite{"RestoreWindowsStream", 792};
constexpr Common::Site kSecurityErrorSite{"Ask4SecurityWriting", 919};
constexpr Common::Site kFileTargetAssertSite{"MayCreateFile", 965};
constexpr Common::Site kKindContradictionSite{"MayCreate", 1093};
constexpr Common::Site kRestoreCanceledSite{"DoRestore", 1143};
constexpr Common::Site kAnswerOneAssertSite{"DoRestore", 1184};
constexpr Common::Site kTypeThreeSite{"ProcessChunk", 1249};
constexpr Common::Site kDeviceRecordSite{"ProcessChunk", 1301};
constexpr Common::Site kLinkRecordSite{"ProcessChunk", 1318};
constexpr Common::Site kUnknownTypeAssertSite{"ProcessEntryChunk", 1327};
constexpr Common::Site kWinntStreamSite{"ProcessWinntStream", 1350};
constexpr Common::Site kLinkTooLongSite{"CommonBackupFile", 196};
constexpr Common::Site kNoDirectorySite{"CommonBackupFile", 266};
constexpr Common::Site kPlainNoBufferSite{"BackupPlainStream", 331};
constexpr Common::Site kRestoreNoSourceSite{"DoRestore", 609};
constexpr Common::Site kRestoreNoTargetSite{"DoRestore", 611};
constexpr Common::Site kChunkNoReaderSite{"ProcessChunk", 649};
constexpr Common::Site kEntryTooLargeSite{"ProcessChunk", 712};
constexpr Common::Site kStreamSizeWrapsSite{"RestoreWindowsStream", 785};

constexpr uint32_t kCopyPieceBytes = 16384;
constexpr uint64_t kWholeChunkBytes = 0x7FFFFFFFFFFFFFFF;
constexpr uint32_t kAttributeBytes = 4;
constexpr uint32_t kTimesBytes = 16;
constexpr uint32_t kFlagsBytes = 4;
constexpr uint32_t kSparseOffsetBytes = 8;
constexpr uint64_t kLargestFilePosition = std::numeric_limits<int64_t>::max();

// Nodes restored from a record without a mode; a device stays private to its owner.
constexpr uint32_t kDefaultNodeMode = 0644;
constexpr uint32_t kDefaultDeviceMode = 0600;

using EntryTypes::kFirstDirectoryLikeType;
using EntryTypes::kTypeBlockDevice;
using EntryTypes::kTypeCharDevice;
using EntryTypes::kTypeDirectory;
using EntryTypes::kTypeFifo;
using EntryTypes::kTypeRegular;
using EntryTypes::kTypeRegularAlias;
using EntryTypes::kTypeSocket;
using EntryTypes::kTypeSymLink;

bool Canceled(BackupCallback* callback) { return callback != nullptr && callback->IsCanceled(); }

// ---- The backup error record -------------------------------------------------------------

struct BackupFields {
  uintptr_t Path;
  uintptr_t Name;
};

constexpr size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// AllocateTextRecord, given no text, puts the kind data here; the two fields come first in
// it, so every record of the kind finds them at this one offset.
constexpr size_t kBackupFieldsOffset = AlignUp(sizeof(TextErrorRecord), alignof(std::max_align_t));

// Bytes a text takes inside the record: none when absent or a catalog text.
size_t CopiedBytes(const char16_t* text) {
  if (text == nullptr || Common::IsCatalogText(text)) return 0;
  return Common::TextBytes(text);
}

const BackupFields* FieldsOf(const ErrorRecord* record) {
  return reinterpret_cast<const BackupFields*>(reinterpret_cast<const uint8_t*>(record) + kBackupFieldsOffset);
}

const char16_t* FieldValue(const ErrorRecord* record, uintptr_t field) {
  if (field == 0) return nullptr;
  if (field < record->Size) return reinterpret_cast<const char16_t*>(reinterpret_cast<const uint8_t*>(record) + field);
  return reinterpret_cast<const char16_t*>(field);
}

// Stores one text at `position` (or refers to it) and returns the field value.
uintptr_t PlaceText(uint8_t* block, size_t& position, const char16_t* text) {
  if (text == nullptr) return 0;
  if (Common::IsCatalogText(text)) return reinterpret_cast<uintptr_t>(text);
  size_t bytes = Common::TextBytes(text);
  std::memcpy(block + position, text, bytes);
  uintptr_t field = position;
  position += bytes;
  return field;
}

// One block: the text record with its two fields, then the copied texts. Null when memory
// runs out.
ErrorRecord* AllocateBackupRecord(const Common::SourceLocation& location, uint32_t code, const char16_t* text,
                                  const char16_t* path, const char16_t* name) {
  size_t dataBytes = sizeof(BackupFields) + CopiedBytes(text) + CopiedBytes(path) + CopiedBytes(name);
  size_t dataOffset = 0;
  ErrorRecord* record = Common::AllocateTextRecord(location, code, &BackupErrorKind, nullptr, dataBytes, &dataOffset);
  if (record == nullptr) return nullptr;
  if (dataOffset != kBackupFieldsOffset) {
    // The kind could not find its fields: refuse the record rather than misread it.
    Common::FreeRecord(record);
    return nullptr;
  }
  auto* block = reinterpret_cast<uint8_t*>(record);
  size_t position = dataOffset + sizeof(BackupFields);
  reinterpret_cast<TextErrorRecord*>(record)->Text = PlaceText(block, position, text);
  auto* fields = reinterpret_cast<BackupFields*>(block + dataOffset);
  fields->Path = PlaceText(block, position, path);
  fields->Name = PlaceText(block, position, name);
  return record;
}

// "Error occurred while backing up." about entry `name` of the directory at `path`, with
// `cause` below it. Without memory the out-of-memory record carries the cause.
Error BackupFailed(const char16_t* path, const char16_t* name, const Error& cause) {
  Error error = Error::Adopt(AllocateBackupRecord(kSource.At(kBackupFailedSite), Common::FILE_BACKUP_ERROR,
                                                  Common::GetCodeText(Common::FILE_BACKUP_ERROR), path, name));
  error.AddCause(cause);
  return error;
}

// ---- Writing chunks ----------------------------------------------------------------------

// One fixed-size record as a chunk of its own. Without a buffer nothing is copied and the
// chunk stays empty.
Error WriteRecordChunk(ChunkSink& sink, uint32_t type, const uint8_t* record, uint32_t length) {
  std::unique_ptr<ChunkWriter> writer(sink.CreateChunk(type));
  if (!writer) return TakeLastError(sink);
  std::unique_ptr<raw_data> buffer = GetWholeBuffer(*writer, length);
  if (buffer) {
    std::memcpy(buffer->Payload(), record, length);
    buffer->size = length;
  }
  writer->WriteBuffer(buffer);
  if (writer->last_error) return TakeLastError(*writer);
  return Common::NoError;
}

uint32_t AttributeWord(i_dir::iterator& entry, uint32_t type) {
  int32_t dos = entry.GetDOSAttributes();
  if (dos != -1) return static_cast<uint32_t>(dos);
  return type >= kFirstDirectoryLikeType ? kAttributeDirectory : 0;
}

bool NeedsEntryRecord(uint32_t type, int32_t mode) {
  return (type >= kTypeCharDevice && type <= kTypeSymLink) || mode != -1;
}

Error WriteEntryChunk(ChunkSink& sink, i_dir::iterator& entry, uint32_t type, int32_t mode) {
  namespace L = EntryRecordLayout;
  const char16_t* target = nullptr;
  uint32_t units = 0;
  if (type == kTypeSymLink) {
    target = entry.GetLinkTarget();
    if (target == nullptr) target = u"";
    size_t length = std::char_traits<char16_t>::length(target);
    // The length field has 16 bits: a longer target would make the record lie.
    if (length > L::kMaxLinkUnits) return Common::MakeError(kSource.At(kLinkTooLongSite), Common::FILE_BACKUP_ERROR);
    units = static_cast<uint32_t>(length);
  }
  std::unique_ptr<uint8_t[]> record = NewEntryRecord(type, units);
  uint8_t* at = record.get();
  BackupFormat::StoreLe32(at + L::kUidOffset, static_cast<uint32_t>(entry.GetUnixOwner()));
  BackupFormat::StoreLe32(at + L::kGidOffset, static_cast<uint32_t>(entry.GetUnixGroup()));
  BackupFormat::StoreLe32(at + L::kModeOffset, static_cast<uint32_t>(mode));
  if (type == kTypeCharDevice || type == kTypeBlockDevice) {
    BackupFormat::StoreLe32(at + L::kMajorOffset, entry.GetDeviceMajor());
    BackupFormat::StoreLe32(at + L::kMinorOffset, entry.GetDeviceMinor());
  } else if (type == kTypeSymLink) {
    BackupFormat::StoreLe16(at + L::kLinkLengthOffset, static_cast<uint16_t>(units));
    for (uint32_t i = 0; i < units; ++i) BackupFormat::StoreLe16(at + L::kLinkTargetOffset + 2 * i, target[i]);
    // The zero unit after the target is already there: the record starts zeroed.
  }
  return WriteRecordChunk(sink, CHUNK_ENTRY, at, EntryRecordSize(type, units));
}

}  // namespace

// ---- raw_data, buffers and entry records ----------------------------------------------------------

namespace {

// offset + size zeroed bytes. On the 32-bit product the sum can wrap: a buffer that small
// would be written past its end, so a sum that does not fit fails as an allocation.
uint8_t* AllocatePayload(uint32_t size, uint32_t offset) {
  if (size > std::numeric_limits<size_t>::max() - offset) throw std::bad_alloc();
  return new uint8_t[static_cast<size_t>(offset) + size]();
}

}  // namespace

raw_data::raw_data(uint32_t payload_size, uint32_t payload_offset)
    : data(AllocatePayload(payload_size, payload_offset)), size(payload_size), offset(payload_offset) {}

raw_data::~raw_data() { delete[] data; }

std::unique_ptr<raw_data> GetWholeBuffer(ChunkWriter& writer, uint32_t size) {
  std::unique_ptr<raw_data> buffer = writer.GetBuffer(size);
  if (buffer && (buffer->data == nullptr || buffer->size < size)) buffer.reset();
  return buffer;
}

Common::Error ReadExact(i_file& reader, void* buffer, uint32_t length) {
  ::Read(reader, buffer, length);
  if (reader.last_error) return TakeLastError(reader);
  return Common::NoError;
}

uint32_t EntryRecordSize(uint32_t type, uint32_t n) {
  namespace L = EntryRecordLayout;
  if (type == kTypeCharDevice || type == kTypeBlockDevice) return L::kDeviceBytes;
  if (type == kTypeSymLink) return L::kLinkBaseBytes + 2 * std::min(n, L::kMaxLinkUnits);
  return L::kHeaderBytes;
}

std::unique_ptr<uint8_t[]> NewEntryRecord(uint32_t type, uint32_t n) {
  uint32_t size = EntryRecordSize(type, n);
  std::unique_ptr<uint8_t[]> record(new uint8_t[size]());
  BackupFormat::StoreLe32(record.get() + EntryRecordLayout::kSizeOffset, size);
  BackupFormat::StoreLe32(record.get() + EntryRecordLayout::kTypeOffset, type);
  return record;
}

// ---- The backup error kind ---------------------------------------------------------------

const Common::ErrorKind BackupErrorKind = {Common::FreeRecord,   Common::CloneRecord, Common::GetRecordText,
                                           GetBackupNumberParam, GetBackupAsciiParam, GetBackupWideParam,
                                           GetBackupParamNames};

uint64_t GetBackupNumberParam(const ErrorRecord* record, const char* name) {
  return Common::NoNumberParam(record, name);
}

const char* GetBackupAsciiParam(const ErrorRecord* record, const char* name) {
  return Common::GetModuleParam(record, name);
}

const char16_t* GetBackupWideParam(const ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "path") == 0) return FieldValue(record, FieldsOf(record)->Path);
  if (std::strcmp(name, "name") == 0) return FieldValue(record, FieldsOf(record)->Name);
  return nullptr;
}

const char* GetBackupParamNames(const ErrorRecord*) { return "path,name,$module"; }

// ---- Backup ------------------------------------------------------------------------------

Common::Error CommonBackupFile(i_dir* dir, const file_identifier* id, const BackupRequestBody& request) {
  if (dir == nullptr) return Common::MakeError(kSource.At(kNoDirectorySite), Common::FILE_OPEN_ERROR);
  std::unique_ptr<i_dir::iterator> entry(id != nullptr ? dir->GetIterator(id) : dir->GetSelfIterator());
  if (!entry) return TakeLastError(*dir);

  uint32_t type = entry->GetType();
  std::unique_ptr<i_file> data;
  bool regular = type == kTypeRegular || type == kTypeRegularAlias;
  if (id != nullptr && regular && (request.Flags & kBackupNoData) == 0) {
    data.reset(dir->OpenI(entry.get(), true));
    if (!data) return TakeLastError(*dir);
  }

  return CommonBackupEntry(dir, data.get(), entry.get(), request);
}

Common::Error CommonBackupEntry(i_dir* dir, i_file* data, i_dir::iterator* entry, const BackupRequestBody& request) {
  Error written = CommonBackupFile(data, entry, request);
  if (!written) return Common::NoError;
  return BackupFailed(dir->GetDirPath(), entry->GetName(), written);
}

Common::Error CommonBackupFile(i_file* data, i_dir::iterator* entry, const BackupRequestBody& request) {
  if (entry == nullptr) return Common::MakeError(kSource.At(kNoIteratorSite), Common::FILE_OPEN_ERROR);
  if (request.Sink == nullptr) return Common::MakeError(kSource.At(kNoSinkSite), Common::FILE_WRITE_ERROR);
  ChunkSink& sink = *request.Sink;
  const bool metadata = (request.Flags & kBackupNoMetadata) == 0;

  uint32_t type = entry->GetType();
  uint32_t attributes = AttributeWord(*entry, type);
  if (metadata) {
    uint8_t word[kAttributeBytes];
    BackupFormat::StoreLe32(word, attributes);
    if (Error error = WriteRecordChunk(sink, CHUNK_ATTRIBUTES, word, sizeof word)) return error;
  }

  if (data != nullptr) {
    std::unique_ptr<ChunkWriter> writer(sink.CreateChunk(CHUNK_DATA));
    if (!writer) return TakeLastError(sink);
    Error copied = BackupPlainStream(data, writer.get(), request);
    writer.reset();
    if (copied) return copied;
  }

  if (!metadata) return Common::NoError;

  if ((attributes & kAttributeDirectory) == 0) {
    uint64_t modified = entry->GetModificationTime();
    uint64_t created = entry->GetCreationTime();
    if (modified != 0 || created != 0) {
      uint8_t times[kTimesBytes];
      BackupFormat::StoreLe64(times, modified);
      BackupFormat::StoreLe64(times + 8, created);
      if (Error error = WriteRecordChunk(sink, CHUNK_TIMES, times, sizeof times)) return error;
    }
  }

  int32_t mode = entry->GetUnixMode();
  if (NeedsEntryRecord(type, mode)) return WriteEntryChunk(sink, *entry, type, mode);
  return Common::NoError;
}

Common::Error BackupPlainStream(i_file* data, ChunkWriter* writer, const BackupRequestBody& request) {
  BackupCallback* callback = request.Callback;
  uint64_t total = 0;
  for (;;) {
    if (Canceled(callback)) return Common::MakeError(kSource.At(kCanceledBeforeFillSite), Common::FILE_CANCELED);
    std::unique_ptr<raw_data> buffer = GetWholeBuffer(*writer, kCopyPieceBytes);
    if (!buffer) {
      // Nowhere to read into: fail rather than write through a missing buffer.
      Error error = Common::MakeError(kSource.At(kPlainNoBufferSite), Common::FILE_BACKUP_ERROR);
      if (writer->last_error) error.AddCause(TakeLastError(*writer));
      return error;
    }
    uint32_t count = 0;
    data->Read(buffer->Payload(), buffer->size, &count);
    if (data->last_error) return TakeLastError(*data);
    if (count == 0) return Common::NoError;
    buffer->size = count;
    if (Canceled(callback)) return Common::MakeError(kSource.At(kCanceledBeforeWriteSite), Common::FILE_CANCELED);
    writer->WriteBuffer(buffer);
    if (writer->last_error) return TakeLastError(*writer);
    if (callback != nullptr) {
      total += count;
      callback->Progress(total);
    }
  }
}

// ---- Restore -----------------------------------------------------------------------------

namespace RestoreHelpers {

namespace {

// The directory's outcome, taken out of it; success, or the tolerated code, is success.
Error TakeDirResult(ro_dir& dir, uint32_t tolerated) {
  Error error = TakeLastError(dir);
  if (error.IsEmpty() || (tolerated != 0 && error.GetCode() == tolerated)) return Common::NoError;
  return error;
}

Error StoreError(RestoreTarget& target, Error error) {
  target.error = error;
  return error;
}

// Stores the outcome of a target operation; true on success.
bool Succeeded(RestoreTarget& target, Error outcome) {
  target.error = outcome;
  return outcome.IsEmpty();
}

// Whether the target can be (or already is) of `kind`; creates it once through `create`.
template <typename Create>
bool MayCreate(RestoreTarget& target, uint32_t kind, Create create) {
  if (target.kind == kind) return true;
  if (target.kind != kTargetNotCreated) {
    target.error = Common::MakeError(kSource.At(kKindContradictionSite), Common::FILE_CORRUPTED);
    return false;
  }
  if (!create()) return false;
  target.kind = kind;
  return true;
}

bool MayCreateDirectory(RestoreTarget& target) {
  return MayCreate(target, kTypeDirectory, [&] { return Succeeded(target, target.CreateDirectory()); });
}

bool MayCreateFile(RestoreTarget& target) {
  return MayCreate(target, kTypeRegular, [&] {
    std::unique_ptr<ro_file> file;
    bool result = Succeeded(target, target.CreateFile(file));
    if ((file != nullptr) != result) SafeAssert("(FileTarget != 0) == result", kAssertFile, kFileTargetAssertSite);
    if (result) target.file = std::move(file);
    return result;
  });
}

bool MayCreateDevice(RestoreTarget& target, uint32_t type, uint32_t mode, uint32_t major, uint32_t minor) {
  // A record without a mode must not become 07777 with setuid, setgid and sticky bits.
  if (mode == kEntryFieldAbsent)
    mode = type == kTypeCharDevice || type == kTypeBlockDevice ? kDefaultDeviceMode : kDefaultNodeMode;
  return MayCreate(target, static_cast<int32_t>(type),
                   [&] { return Succeeded(target, target.CreateDevice(type, mode, major, minor)); });
}

bool MayCreateLink(RestoreTarget& target, const char16_t* link) {
  return MayCreate(target, kTypeSymLink, [&] { return Succeeded(target, target.CreateLink(link)); });
}

void RestoreAttributes(RestoreTarget& target, uint32_t attributes) {
  if (target.error) return;
  target.error = target.SetAttributes(attributes);
}

void RestoreOwner(RestoreTarget& target, uint32_t uid, uint32_t gid) {
  if (target.error) return;
  target.error = target.SetOwner(uid, gid);
}

void RestorePermissions(RestoreTarget& target, uint32_t mode) {
  if (target.error) return;
  // No mode in the record: the entry keeps the mode it was created with.
  if (mode == kEntryFieldAbsent) return;
  target.error = target.SetPermissions(mode);
}

void RestoreTimes(RestoreTarget& target, uint64_t modified, uint64_t created, uint64_t accessed) {
  if (target.error) return;
  if (modified == 0) modified = created;
  if (accessed == 0) accessed = modified;
  if (target.file) {
    PosixControl::SetFileTimesRequest block{PosixControl::kSetFileTimes, static_cast<int64_t>(modified),
                                            static_cast<int64_t>(created), static_cast<int64_t>(accessed)};
    target.file->IOCTL(&block);
    target.error = TakeLastError(*target.file);
    return;
  }
  target.error = target.SetTimes(modified, created, accessed);
}

// Its outcome is stored nowhere: flags a file system does not keep cost the restore nothing.
void RestoreFlags(RestoreTarget& target, uint32_t flags) {
  if (target.file)
    SetFileFlags(target.file.get(), flags).IgnoreError();
  else
    target.SetFlags(flags).IgnoreError();
}

uint32_t Ask4SecurityWriting(RestoreTarget& target, const RestoreRequestBody& request) {
  constexpr uint32_t kNoCallbackAnswer = 2;
  if (request.Callback == nullptr) return kNoCallbackAnswer;
  Common::WString path;
  if (auto* readable = dynamic_cast<i_dir*>(target.dir))
    if (const char16_t* dirPath = readable->GetDirPath()) path = dirPath;
  path += target.name;
  Error question = Common::MakeError(kSource.At(kSecurityErrorSite), Common::FILE_SECURITY_ERROR);
  question.AddCause(target.error);
  return request.Callback->HandleSecurityError(question, path.c_str());
}

Error WriteExact(o_file& file, const void* buffer, uint32_t length) {
  ::Write(file, buffer, length);
  if (file.last_error) return TakeLastError(file);
  return Common::NoError;
}

Error RestorePlainStream(i_file& reader, ro_file& file, uint64_t length, BackupCallback* callback) {
  std::vector<uint8_t> buffer(kCopyPieceBytes);
  uint64_t copied = 0;
  while (copied < length) {
    if (Canceled(callback)) return Common::MakeError(kSource.At(kPlainCanceledBeforeReadSite), Common::FILE_CANCELED);
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(kCopyPieceBytes, length - copied));
    uint32_t count = 0;
    reader.Read(buffer.data(), piece, &count);
    if (reader.last_error) return TakeLastError(reader);
    if (count == 0) return Common::NoError;
    if (Canceled(callback)) return Common::MakeError(kSource.At(kPlainCanceledBeforeWriteSite), Common::FILE_CANCELED);
    if (Error error = WriteExact(file, buffer.data(), count)) return error;
    copied += count;
    if (callback != nullptr) callback->Progress(count);
  }
  return Common::NoError;
}

// Skips a stream the restore does not handle: its name and its body.
Error SkipStream(i_file& reader, uint64_t length, std::vector<uint8_t>& buffer, BackupCallback* callback) {
  while (length > 0) {
    if (Canceled(callback)) return Common::MakeError(kSource.At(kSkipCanceledSite), Common::FILE_CANCELED);
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(kCopyPieceBytes, length));
    if (Error error = ReadExact(reader, buffer.data(), piece)) return error;
    length -= piece;
  }
  return Common::NoError;
}

// Copies one block of a data or sparse-block stream at the file's current position.
Error CopyBlock(i_file& reader, ro_file& file, uint64_t length, std::vector<uint8_t>& buffer,
                BackupCallback* callback) {
  while (length > 0) {
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(kCopyPieceBytes, length));
    if (Canceled(callback)) return Common::MakeError(kSource.At(kBlockCanceledBeforeReadSite), Common::FILE_CANCELED);
    if (Error error = ReadExact(reader, buffer.data(), piece)) return error;
    if (Canceled(callback)) return Common::MakeError(kSource.At(kBlockCanceledBeforeWriteSite), Common::FILE_CANCELED);
    if (Error error = WriteExact(file, buffer.data(), piece)) return error;
    if (callback != nullptr) callback->Progress(piece);
    length -= piece;
  }
  return Common::NoError;
}

StreamHeader DecodeStreamHeader(const uint8_t* raw) {
  StreamHeader header;
  header.Id = BackupFormat::LoadLe32(raw);
  header.Attributes = BackupFormat::LoadLe32(raw + 4);
  header.Size = BackupFormat::LoadLe64(raw + 8);
  header.NameSize = BackupFormat::LoadLe32(raw + 16);
  return header;
}

// The target of a link record's extra bytes (after the 16-bit length): up to its zero
// unit, which must lie inside the record. False for a record too short, of odd length or
// without that unit.
bool DecodeLinkTarget(const std::vector<uint8_t>& extra, Common::WString& link) {
  constexpr size_t kLengthFieldBytes = 2;
  constexpr size_t kMinimumBytes = kLengthFieldBytes + sizeof(char16_t);
  if (extra.size() < kMinimumBytes || extra.size() % sizeof(char16_t) != 0) return false;
  link.clear();
  for (size_t at = kLengthFieldBytes; at + sizeof(char16_t) <= extra.size(); at += sizeof(char16_t)) {
    char16_t unit = BackupFormat::LoadLe16(extra.data() + at);
    if (unit == 0) return true;
    link.push_back(unit);
  }
  return false;
}

}  // namespace

DirRestoreTarget::~DirRestoreTarget() {
  file.reset();
  if (kind != kTargetNotCreated && kind != kTypeDirectory && error) {
    dir->Remove(name);
    // Removing the half-made entry is best effort; the directory must not keep its error.
    TakeLastError(*dir).IgnoreError();
  }
}

// "Already exists" counts as success only over a directory: the owner and mode of the
// stream are applied to what stands there next, and they must not land on a file.
Common::Error DirRestoreTarget::CreateDirectory() {
  dir->CreateDir(name, nullptr);
  Error error = TakeDirResult(*dir, 0);
  if (error.GetCode() != Common::FILE_ALREADY_EXISTS) return error;
  auto* readable = dynamic_cast<i_dir*>(dir);
  if (readable == nullptr) return error;
  // Whether the name is a directory itself (not a link to one, nor anything else); GetType
  // gives 0 whenever the entry cannot be stat'ed. The question leaves no error behind.
  std::unique_ptr<i_dir::iterator> entry(readable->GetIterator(name));
  const bool directory = entry != nullptr && entry->GetType() == kTypeDirectory && !entry->last_error;
  ReplaceLastError(*readable, Common::NoError);
  return directory ? Common::NoError : error;
}

Common::Error DirRestoreTarget::CreateFile(std::unique_ptr<ro_file>& created) {
  created.reset(dir->Create(name, false, nullptr));
  return TakeDirResult(*dir, 0);
}

Common::Error DirRestoreTarget::CreateDevice(uint32_t type, uint32_t mode, uint32_t major, uint32_t minor) {
  dir->CreateDeviceNode(name, type, mode, major, minor);
  return TakeDirResult(*dir, 0);
}

Common::Error DirRestoreTarget::CreateLink(const char16_t* link) {
  dir->CreateSymLink(name, link, kTypeSymLink, 0);
  return TakeDirResult(*dir, 0);
}

Common::Error DirRestoreTarget::SetAttributes(uint32_t attributes) {
  dir->SetDOSAttributes(name, attributes);
  return TakeDirResult(*dir, Common::FILE_NOT_SUPPORTED);
}

Common::Error DirRestoreTarget::SetOwner(uint32_t uid, uint32_t gid) {
  dir->SetUnixOwner(name, uid, gid);
  return TakeDirResult(*dir, Common::FILE_NOT_SUPPORTED);
}

Common::Error DirRestoreTarget::SetPermissions(uint32_t mode) {
  dir->SetUnixPermissions(name, mode);
  return TakeDirResult(*dir, Common::FILE_NOT_SUPPORTED);
}

Common::Error DirRestoreTarget::SetTimes(uint64_t modification, uint64_t creation, uint64_t access) {
  PosixControl::SetEntryTimesRequest block{PosixControl::kSetEntryTimes, name, static_cast<int64_t>(modification),
                                           static_cast<int64_t>(creation), static_cast<int64_t>(access)};
  dir->IOCTL(&block);
  return TakeDirResult(*dir, Common::FILE_NOT_SUPPORTED);
}

Common::Error DirRestoreTarget::SetFlags(uint32_t flags) { return SetFlagsByName(dir, name, flags); }

RestoreChunkProcessor::~RestoreChunkProcessor() = default;

Common::Error RestoreChunkProcessor::ProcessWinntStream(i_file*, const StreamHeader*, BackupCallback*) {
  return Common::MakeError(kSource.At(kWinntStreamSite), Common::FILE_NOT_SUPPORTED);
}

CommonRestoreChunkProcessor::CommonRestoreChunkProcessor(ro_dir* dir, const char16_t* name)
    : target(std::make_unique<DirRestoreTarget>(dir, name)) {}

CommonRestoreChunkProcessor::CommonRestoreChunkProcessor(std::unique_ptr<RestoreTarget> restoreTarget)
    : target(std::move(restoreTarget)) {}

CommonRestoreChunkProcessor::~CommonRestoreChunkProcessor() = default;

Common::Error CommonRestoreChunkProcessor::DoRestore(const RestoreRequestBody& request) {
  RestoreTarget& t = *target;
  // Without a source or a name there is nothing to restore from or to.
  if (request.Source == nullptr)
    return StoreError(t, Common::MakeError(kSource.At(kRestoreNoSourceSite), Common::FILE_READ_ERROR));
  if (t.dir == nullptr || t.name == nullptr)
    return StoreError(t, Common::MakeError(kSource.At(kRestoreNoTargetSite), Common::FILE_CREATE_ERROR));

  for (;;) {
    if (t.error) return t.error;
    if (Canceled(request.Callback))
      return StoreError(t, Common::MakeError(kSource.At(kRestoreCanceledSite), Common::FILE_CANCELED));
    uint8_t type = 0;
    std::unique_ptr<i_file> reader(request.Source->NextChunk(&type));
    if (!reader) break;
    if (Error error = ProcessChunk(type, reader, request)) return StoreError(t, error);
  }
  if (t.error) return t.error;

  if (t.kind == kTargetNotCreated && !MayCreateFile(t)) return t.error;
  if (attributes != kNoAttributes) RestoreAttributes(t, attributes);
  if (times[0] != 0 || times[1] != 0) RestoreTimes(t, times[0], times[1], 0);
  if (entry.Size >= EntryRecordLayout::kHeaderBytes) {
    RestoreOwnership();
    if (t.error) {
      uint32_t answer = Ask4SecurityWriting(t, request);
      if (answer == 0) return t.error;
      if (answer == 1) SafeAssert("false", kAssertFile, kAnswerOneAssertSite);
      // The refusal stays in the target, so the entry goes when the processor does.
      if (answer == 2) return Common::NoError;
    }
  }
  // The entry is whole: put in place before the flags, which may forbid renaming it.
  if (!t.error) t.error = t.Finish();
  if (flags != 0) RestoreFlags(t, flags);
  return t.error;
}

void CommonRestoreChunkProcessor::RestoreOwnership() {
  RestoreOwner(*target, entry.Uid, entry.Gid);
  RestorePermissions(*target, entry.Mode);
}

Common::Error CommonRestoreChunkProcessor::ProcessChunk(uint8_t type, std::unique_ptr<i_file>& reader,
                                                        const RestoreRequestBody& request) {
  RestoreTarget& t = *target;
  if (!reader) return StoreError(t, Common::MakeError(kSource.At(kChunkNoReaderSite), Common::FILE_READ_ERROR));

  switch (type) {
    case CHUNK_ATTRIBUTES: {
      uint8_t word[kAttributeBytes];
      if (Error error = ReadExact(*reader, word, sizeof word)) return StoreError(t, error);
      attributes = BackupFormat::LoadLe32(word);
      if (attributes & kAttributeDirectory) MayCreateDirectory(t);
      return Common::NoError;
    }
    case CHUNK_STREAMS:
    case CHUNK_DATA: {
      if (t.kind == kTargetNotCreated && !MayCreateFile(t)) return Common::NoError;
      if (!t.file) return Common::NoError;
      if (type == CHUNK_DATA) {
        t.error = RestorePlainStream(*reader, *t.file, kWholeChunkBytes, request.Callback);
      } else {
        std::unique_ptr<i_file> taken = std::move(reader);
        t.error = RestoreWindowsStream(*taken, *t.file, request.Callback);
      }
      if (!t.error) {
        t.file->Flush();
        t.error = TakeLastError(*t.file);
      }
      return Common::NoError;
    }
    case CHUNK_RESERVED3:
      if (t.kind == kTargetNotCreated)
        return StoreError(t, Common::MakeError(kSource.At(kTypeThreeSite), Common::FILE_NOT_SUPPORTED));
      return Common::NoError;
    case CHUNK_TIMES: {
      if (request.Flags & kRestoreIgnoreTimes) return Common::NoError;
      uint8_t raw[kTimesBytes];
      if (Error error = ReadExact(*reader, raw, sizeof raw)) return StoreError(t, error);
      times[0] = BackupFormat::LoadLe64(raw);
      times[1] = BackupFormat::LoadLe64(raw + 8);
      return Common::NoError;
    }
    case CHUNK_ENTRY:
      return ProcessEntryChunk(*reader);
    case CHUNK_FLAGS: {
      uint8_t word[kFlagsBytes];
      if (Error error = ReadExact(*reader, word, sizeof word)) return StoreError(t, error);
      flags = BackupFormat::LoadLe32(word);
      return Common::NoError;
    }
    default:
      return Common::NoError;
  }
}

Common::Error CommonRestoreChunkProcessor::ProcessEntryChunk(i_file& reader) {
  namespace L = EntryRecordLayout;
  RestoreTarget& t = *target;
  uint8_t header[L::kHeaderBytes];
  if (Error error = ReadExact(reader, header, sizeof header)) return StoreError(t, error);
  entry.Size = BackupFormat::LoadLe32(header + L::kSizeOffset);
  entry.Type = BackupFormat::LoadLe32(header + L::kTypeOffset);
  entry.Uid = BackupFormat::LoadLe32(header + L::kUidOffset);
  entry.Gid = BackupFormat::LoadLe32(header + L::kGidOffset);
  entry.Mode = BackupFormat::LoadLe32(header + L::kModeOffset);

  // One cap for every type: no record is longer than the longest link record.
  if (entry.Size > L::kMaxBytes)
    return StoreError(t, Common::MakeError(kSource.At(kEntryTooLargeSite), Common::FILE_CORRUPTED));
  uint32_t extraBytes = std::max(entry.Size, L::kHeaderBytes) - L::kHeaderBytes;
  std::vector<uint8_t> extra(extraBytes);
  if (extraBytes > 0)
    if (Error error = ReadExact(reader, extra.data(), extraBytes)) return StoreError(t, error);

  switch (entry.Type) {
    case kTypeRegular:
    case kTypeRegularAlias:
      // A failed creation is kept in the target's error for the data chunks to report.
      static_cast<void>(MayCreateFile(t));
      return Common::NoError;
    case kTypeCharDevice:
    case kTypeBlockDevice: {
      constexpr uint32_t kDeviceNumbersBytes = L::kDeviceBytes - L::kHeaderBytes;
      if (extraBytes < kDeviceNumbersBytes)
        return StoreError(t, Common::MakeError(kSource.At(kDeviceRecordSite), Common::FILE_CORRUPTED));
      MayCreateDevice(t, entry.Type, entry.Mode, BackupFormat::LoadLe32(extra.data()),
                      BackupFormat::LoadLe32(extra.data() + 4));
      return Common::NoError;
    }
    case kTypeFifo:
    case kTypeSocket:
      MayCreateDevice(t, entry.Type, entry.Mode, 0, 0);
      return Common::NoError;
    case kTypeSymLink: {
      Common::WString link;
      if (!DecodeLinkTarget(extra, link))
        return StoreError(t, Common::MakeError(kSource.At(kLinkRecordSite), Common::FILE_CORRUPTED));
      MayCreateLink(t, link.c_str());
      return Common::NoError;
    }
    case kTypeDirectory:
      MayCreateDirectory(t);
      return Common::NoError;
    default:
      SafeAssert("!\"What type is it? You shall create this item.\"", kAssertFile, kUnknownTypeAssertSite);
      if (t.kind == kTargetNotCreated) static_cast<void>(MayCreateFile(t));  // as for a regular file
      return Common::NoError;
  }
}

Common::Error CommonRestoreChunkProcessor::RestoreWindowsStream(i_file& reader, ro_file& file,
                                                                BackupCallback* callback) {
  std::vector<uint8_t> buffer(kCopyPieceBytes);
  uint64_t pos = 0;  // the file's position
  uint64_t end = 0;  // the end of the data restored so far, holes included
  for (;;) {
    uint8_t raw[kStreamHeaderBytes];
    uint32_t count = 0;
    reader.Read(raw, sizeof raw, &count);
    if (reader.last_error) return TakeLastError(reader);
    if (count == 0) break;
    if (count < sizeof raw) return Common::MakeError(kSource.At(kStreamHeaderShortSite), Common::FILE_END_OF_FILE);
    StreamHeader header = DecodeStreamHeader(raw);

    Error hooked = ProcessWinntStream(&reader, &header, callback);
    if (!hooked) continue;
    if (hooked.GetCode() != Common::FILE_NOT_SUPPORTED) return hooked;

    uint64_t offset = 0;
    uint64_t length = 0;
    if (header.Id == kStreamData && header.NameSize == 0) {
      length = header.Size;
    } else if (header.Id == kStreamSparseBlock && header.NameSize == 0) {
      if (header.Size < kSparseOffsetBytes)
        return Common::MakeError(kSource.At(kSparseTooShortSite), Common::FILE_CORRUPTED);
      uint8_t at[kSparseOffsetBytes];
      if (Error error = ReadExact(reader, at, sizeof at)) return error;
      offset = BackupFormat::LoadLe64(at);
      length = header.Size - kSparseOffsetBytes;
    } else {
      // A name and a body whose sizes wrap cannot both be in the chunk.
      if (header.Size > std::numeric_limits<uint64_t>::max() - header.NameSize)
        return Common::MakeError(kSource.At(kStreamSizeWrapsSite), Common::FILE_CORRUPTED);
      if (Error error = SkipStream(reader, header.Size + header.NameSize, buffer, callback)) return error;
      continue;
    }

    // A block must start at or after the data restored so far and end where a file
    // position can still reach.
    if (offset < end || length > kLargestFilePosition || offset > kLargestFilePosition - length)
      return Common::MakeError(kSource.At(kBlockBoundsSite), Common::FILE_CORRUPTED);
    end = offset + length;
    if (length == 0) continue;
    if (pos < offset) {
      file.SeekCur(static_cast<int64_t>(offset - pos));
      if (file.last_error) return TakeLastError(file);
    }
    if (Error error = CopyBlock(reader, file, length, buffer, callback)) return error;
    pos = end;
  }

  if (pos < end) {
    // The data ends with a hole: one zero byte at its last position gives the file its size.
    file.SeekCur(static_cast<int64_t>(end - pos - 1));
    if (file.last_error) return TakeLastError(file);
    const uint8_t zero = 0;
    if (Error error = WriteExact(file, &zero, 1)) return error;
  }
  return Common::NoError;
}

}  // namespace RestoreHelpers

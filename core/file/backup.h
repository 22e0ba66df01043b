// Backup streams of one directory entry: the chunk objects that the sender of "BKUP" or
// "RSTR" supplies, the two request blocks, the chunk records, the common backup writer
// and the common restore processor that the POSIX directory refines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/common/error.h"
#include "core/include/file/dir.h"
#include "core/include/file/file.h"
#include "core/include/file/posix_control.h"
#include "core/common/little_endian.h"

// A byte buffer whose payload is `size` bytes starting `offset` bytes into `data`, so that
// a chunk writer can keep room for its own framing in front of it. Destroying the buffer
// frees `data`.
class raw_data {
 public:
  raw_data() = default;
  // `data` holds offset + size zeroed bytes. A sum that does not fit in size_t throws
  // std::bad_alloc, as any allocation that cannot be had.
  raw_data(uint32_t payload_size, uint32_t payload_offset);
  raw_data(const raw_data&) = delete;
  raw_data& operator=(const raw_data&) = delete;
  virtual ~raw_data();

  uint8_t* Payload() const { return data + offset; }

  uint8_t* data = nullptr;  // allocated with new[]
  uint32_t size = 0;
  uint32_t offset = 0;
};

// The second interface of a chunk writer: hands out buffers for it.
class ChunkBufferSource {
 public:
  // A new buffer whose payload holds `size` bytes; null when none can be had.
  virtual std::unique_ptr<raw_data> GetBuffer(uint32_t size) = 0;

 protected:
  ~ChunkBufferSource() = default;
};

// One open chunk. Its error is the chunk's outcome; deleting the writer closes the chunk.
class ChunkWriter : public file_object, public ChunkBufferSource {
 public:
  // Appends the buffer's payload. The writer may take the buffer (leaving the holder
  // empty); a buffer left in the holder stays the caller's.
  virtual void WriteBuffer(std::unique_ptr<raw_data>& buffer) = 0;
};

// Receives the chunks of a backup. Its error tells why a chunk could not be opened.
class ChunkSink : public virtual file_object {
 public:
  // A new writer for a chunk of `type`, owned by the caller; null on failure.
  virtual ChunkWriter* CreateChunk(uint32_t type) = 0;
};

// Yields the chunks of a restore, one reader per chunk. A failing source can only end the
// stream: the restore asks it nothing else.
class ChunkSource {
 public:
  virtual void Reserved1() {}
  virtual void Reserved2() {}
  virtual void Reserved3() {}
  // A reader of the next chunk's payload, owned by the caller, with the chunk's type in
  // *type; null when the stream holds no further chunk.
  virtual i_file* NextChunk(uint8_t* type) = 0;

 protected:
  ~ChunkSource() = default;
};

// Progress, cancellation and the security question of a backup or restore. A null
// callback means no progress reports, never cancelled, and answer 2 to the question.
class BackupCallback {
 public:
  virtual void Reserved1() {}
  virtual void Reserved2() {}
  // Backup: the running total of data bytes written. Restore: the bytes of each piece.
  virtual void Progress(uint64_t bytes) = 0;
  virtual bool IsCanceled() = 0;
  // 0: fail the restore with the refusal; 1: report an assertion and go on; 2: report
  // success and let the entry go; anything else: go on.
  virtual uint32_t HandleSecurityError(Common::Error& error, const char16_t* path) = 0;

 protected:
  ~BackupCallback() = default;
};

// Chunk types, as ChunkSource::NextChunk gives them (a byte) and ChunkSink::CreateChunk
// takes them (a word). 3 and 9 are never written; their content is not read.
inline constexpr uint32_t CHUNK_ATTRIBUTES = 1;  // u32 DOS attribute word
inline constexpr uint32_t CHUNK_STREAMS = 2;     // streams, each a StreamHeader, its name and its body
inline constexpr uint32_t CHUNK_RESERVED3 = 3;
inline constexpr uint32_t CHUNK_DATA = 4;        // the file's bytes, to the end of the chunk
inline constexpr uint32_t CHUNK_TIMES = 5;       // u64 modification, u64 creation (ms since 1970 UTC)
inline constexpr uint32_t CHUNK_ENTRY = 6;       // an entry record
inline constexpr uint32_t CHUNK_XATTR = 7;       // extended attribute records
inline constexpr uint32_t CHUNK_UNIX_FLAGS = 8;  // u32 inode flags word
inline constexpr uint32_t CHUNK_RESERVED9 = 9;
inline constexpr uint32_t CHUNK_FLAGS = 10;      // u32 flags word

inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kNoAttributes = 0xFFFFFFFF;
inline constexpr uint32_t kEntryFieldAbsent = 0xFFFFFFFF;  // uid, gid or mode not known

// The request blocks of the two directory control codes, PosixControl::kBackup and
// kRestore. The directory hands the body, the block from its second word on, to the
// backup and restore functions.
inline constexpr uint32_t kBackupNoData = 0x4;        // no CHUNK_DATA
inline constexpr uint32_t kBackupNoMetadata = 0x8;    // no CHUNK_ATTRIBUTES, CHUNK_TIMES, CHUNK_ENTRY
inline constexpr uint32_t kRestoreIgnoreTimes = 0x2;  // CHUNK_TIMES neither read nor applied

struct BackupRequestBody {
  ChunkSink* Sink;               // must not be null
  BackupCallback* Callback;      // may be null
  uint32_t Flags;
  const file_identifier* Entry;  // within the receiving directory; null: that directory itself
};

struct BackupRequest {
  uint32_t Code;  // PosixControl::kBackup
  BackupRequestBody Body;
};

struct RestoreRequestBody {
  ChunkSource* Source;
  BackupCallback* Callback;  // may be null
  uint32_t Flags;
  const char16_t* Name;  // NUL-terminated, within the receiving directory
};

struct RestoreRequest {
  uint32_t Code;  // PosixControl::kRestore
  RestoreRequestBody Body;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit product lays both blocks out as five words.
static_assert(offsetof(BackupRequest, Body) + offsetof(BackupRequestBody, Entry) == 16);
static_assert(offsetof(RestoreRequest, Body) + offsetof(RestoreRequestBody, Name) == 16);
static_assert(sizeof(BackupRequest) == 20 && sizeof(RestoreRequest) == 20);
#endif

// Little-endian fields of chunk payloads, at any alignment.
namespace BackupFormat {

using Common::LoadLe16;
using Common::LoadLe32;
using Common::LoadLe64;
using Common::StoreLe16;
using Common::StoreLe32;
using Common::StoreLe64;

}  // namespace BackupFormat

// The entry record, payload of CHUNK_ENTRY: size, type, uid, gid, mode (u32 each), then
// for devices (types 1, 2) major and minor (u32 each), for a symbolic link (type 5) the
// target's length n in UTF-16 units (u16) and the target with one zero unit.
namespace EntryRecordLayout {

inline constexpr uint32_t kSizeOffset = 0;
inline constexpr uint32_t kTypeOffset = 4;
inline constexpr uint32_t kUidOffset = 8;
inline constexpr uint32_t kGidOffset = 12;
inline constexpr uint32_t kModeOffset = 16;
inline constexpr uint32_t kMajorOffset = 20;
inline constexpr uint32_t kMinorOffset = 24;
inline constexpr uint32_t kLinkLengthOffset = 20;
inline constexpr uint32_t kLinkTargetOffset = 22;

inline constexpr uint32_t kHeaderBytes = 20;
inline constexpr uint32_t kDeviceBytes = 28;
inline constexpr uint32_t kLinkBaseBytes = 24;  // plus 2 bytes per unit of the target
inline constexpr uint32_t kMaxLinkUnits = 0xFFFF;
// The largest record of any type: a link target of the most units its length field holds.
inline constexpr uint32_t kMaxBytes = kLinkBaseBytes + 2 * kMaxLinkUnits;

}  // namespace EntryRecordLayout

// The record's length for an entry type; n (the link target's units) counts for type 5 only.
uint32_t EntryRecordSize(uint32_t type, uint32_t n);

// A zeroed record of that length with its size and type stored; the caller fills the rest.
std::unique_ptr<uint8_t[]> NewEntryRecord(uint32_t type, uint32_t n);

// The header that starts every stream of a CHUNK_STREAMS chunk, in the layout of the
// Windows backup format; its name (name_size bytes) and its body (size bytes) follow.
#pragma pack(push, 4)
struct StreamHeader {
  uint32_t Id;  // kStreamData, kStreamSparseBlock; others are skipped on restore
  uint32_t Attributes;
  uint64_t Size;
  uint32_t NameSize;
};
#pragma pack(pop)
static_assert(sizeof(StreamHeader) == 20);

inline constexpr uint32_t kStreamHeaderBytes = 20;
inline constexpr uint32_t kStreamData = 1;         // the file's bytes from offset 0
inline constexpr uint32_t kStreamSparseBlock = 9;  // a u64 file offset, then the bytes there

// The record of a failed backup: the core text record plus the UTF-16 "path" and "name"
// parameters, each stored like the text (copied into the record, or referred to when it is
// a catalog text; absent: 0).
extern const Common::ErrorKind BackupErrorKind;

uint64_t GetBackupNumberParam(const Common::ErrorRecord* record, const char* name);
const char* GetBackupAsciiParam(const Common::ErrorRecord* record, const char* name);
const char16_t* GetBackupWideParam(const Common::ErrorRecord* record, const char* name);
const char* GetBackupParamNames(const Common::ErrorRecord* record);

// A new buffer of the writer holding at least `size` payload bytes; null when the writer
// gives none or a smaller one, which would be written past its end.
std::unique_ptr<raw_data> GetWholeBuffer(ChunkWriter& writer, uint32_t size);

// Reads exactly `length` bytes (the exact-length Read); a failure comes back taken from
// the reader.
Common::Error ReadExact(i_file& reader, void* buffer, uint32_t length);

// Writes the chunks of entry `id` of dir (dir itself when id is null) to the request's
// sink. A failure of the chunk writing is reported as "Error occurred while backing up."
// with the directory's path and the entry's name, the cause below it; a failure to reach
// the entry comes back as the directory's own error. Chunks written stay written.
Common::Error CommonBackupFile(i_dir* dir, const file_identifier* id, const BackupRequestBody& request);

// The entry form once the iterator and the data file (or null) are had: the chunks, and a
// failure of their writing wrapped as the entry form wraps it. For a caller that reaches
// the entry and its data its own way.
Common::Error CommonBackupEntry(i_dir* dir, i_file* data, i_dir::iterator* entry, const BackupRequestBody& request);

// Writes the chunks of the entry the iterator stands on, with its opened data file or null:
// CHUNK_ATTRIBUTES, CHUNK_DATA, CHUNK_TIMES, CHUNK_ENTRY, as the flags and the entry allow.
Common::Error CommonBackupFile(i_file* data, i_dir::iterator* entry, const BackupRequestBody& request);

// Copies the data file to its end into the chunk of `writer`.
Common::Error BackupPlainStream(i_file* data, ChunkWriter* writer, const BackupRequestBody& request);

namespace RestoreHelpers {

// What a restore target has been created as: an entry type (EntryTypes, the record's
// type for device nodes), or none yet.
inline constexpr uint32_t kTargetNotCreated = 0xFFFFFFFF;

// The entry being restored, and every operation the restore makes on it. The by-name
// target works through the directory's name operations; a refinement may act on the entry
// some other way (by descriptor). Releasing a target closes the open file and, when a
// failure was recorded, removes an entry it created, unless that is a directory.
class RestoreTarget {
 public:
  RestoreTarget(ro_dir* directory, const char16_t* entry_name) : dir(directory), name(entry_name) {}
  RestoreTarget(const RestoreTarget&) = delete;
  RestoreTarget& operator=(const RestoreTarget&) = delete;
  virtual ~RestoreTarget() = default;

  // Each creates the entry as its kind and answers the outcome; a directory that stands at
  // the name already counts as created. CreateFile hands back the open file.
  virtual Common::Error CreateDirectory() = 0;
  virtual Common::Error CreateFile(std::unique_ptr<ro_file>& created) = 0;
  virtual Common::Error CreateDevice(uint32_t type, uint32_t mode, uint32_t major, uint32_t minor) = 0;
  virtual Common::Error CreateLink(const char16_t* link) = 0;
  // What the entry cannot take ("not supported") counts as success.
  virtual Common::Error SetAttributes(uint32_t attributes) = 0;
  virtual Common::Error SetOwner(uint32_t uid, uint32_t gid) = 0;
  virtual Common::Error SetPermissions(uint32_t mode) = 0;
  virtual Common::Error SetTimes(uint64_t modification, uint64_t creation, uint64_t access) = 0;
  // Its outcome is not looked at.
  virtual Common::Error SetFlags(uint32_t flags) = 0;
  // The entry is whole: what still stands apart from the name is put in place.
  virtual Common::Error Finish() { return Common::NoError; }

  uint32_t kind = kTargetNotCreated;
  ro_dir* dir;                    // not owned
  const char16_t* name;           // not owned
  std::unique_ptr<ro_file> file;  // only when created as a regular file
  Common::Error error;            // the first failure; it ends the restore
};

// The target that names the entry in its directory for every operation.
class DirRestoreTarget : public RestoreTarget {
 public:
  using RestoreTarget::RestoreTarget;
  ~DirRestoreTarget() override;

  Common::Error CreateDirectory() override;
  Common::Error CreateFile(std::unique_ptr<ro_file>& created) override;
  Common::Error CreateDevice(uint32_t type, uint32_t mode, uint32_t major, uint32_t minor) override;
  Common::Error CreateLink(const char16_t* link) override;
  Common::Error SetAttributes(uint32_t attributes) override;
  Common::Error SetOwner(uint32_t uid, uint32_t gid) override;
  Common::Error SetPermissions(uint32_t mode) override;
  Common::Error SetTimes(uint64_t modification, uint64_t creation, uint64_t access) override;
  Common::Error SetFlags(uint32_t flags) override;
};

class RestoreChunkProcessor {
 public:
  RestoreChunkProcessor() = default;
  RestoreChunkProcessor(const RestoreChunkProcessor&) = delete;
  RestoreChunkProcessor& operator=(const RestoreChunkProcessor&) = delete;
  virtual ~RestoreChunkProcessor();

  // Handles one chunk. The processor may take the reader out of the holder.
  virtual Common::Error ProcessChunk(uint8_t type, std::unique_ptr<i_file>& reader,
                                     const RestoreRequestBody& request) = 0;
  virtual Common::Error DoRestore(const RestoreRequestBody& request) = 0;
  // One stream of a CHUNK_STREAMS chunk, its header just read. A refinement that handles it
  // consumes its name and body and answers success; "not supported" (the answer here)
  // leaves the stream to the common handling; any other error ends the chunk.
  virtual Common::Error ProcessWinntStream(i_file* reader, const StreamHeader* header, BackupCallback* callback);
};

// Restores one entry of a writable directory from typed chunks. Attributes, times, owner
// and group, mode and flags keep the value of the last chunk of their type and are applied
// after the last chunk, in that order.
class CommonRestoreChunkProcessor : public RestoreChunkProcessor {
 public:
  // Restores into entry `name` of dir, naming it for every operation.
  CommonRestoreChunkProcessor(ro_dir* dir, const char16_t* name);
  // Restores into the target given.
  explicit CommonRestoreChunkProcessor(std::unique_ptr<RestoreTarget> restoreTarget);
  ~CommonRestoreChunkProcessor() override;

  Common::Error ProcessChunk(uint8_t type, std::unique_ptr<i_file>& reader,
                             const RestoreRequestBody& request) override;
  Common::Error DoRestore(const RestoreRequestBody& request) override;

  // The target's open file, or null when it was not created as a regular file.
  ro_file* GetTargetFile() const { return target->file.get(); }

 protected:
  RestoreTarget& Target() { return *target; }
  // The end-of-restore step that applies owner and group, then mode, from the entry record.
  virtual void RestoreOwnership();

 private:
  Common::Error ProcessEntryChunk(i_file& reader);
  Common::Error RestoreWindowsStream(i_file& reader, ro_file& file, BackupCallback* callback);

  uint64_t times[2] = {0, 0};  // modification, creation
  uint32_t attributes = kNoAttributes;
  uint32_t flags = 0;
  struct {
    uint32_t Size = 0;  // below the header's size: nothing to apply
    uint32_t Type = 0;
    uint32_t Uid = 0;
    uint32_t Gid = 0;
    uint32_t Mode = 0;
  } entry;
  std::unique_ptr<RestoreTarget> target;
};

}  // namespace RestoreHelpers

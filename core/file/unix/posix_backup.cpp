// POSIX backup and restore: the common chunks of an entry, then its extended attributes
// and flag words; the restore processor that sets extended attributes on the restored
// file and reports every failure under one code.
#include "core/file/unix/posix_backup.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/file/file_error.h"
#include "core/file/unix/name_codec.h"
#include "core/file/unix/posixsp.h"
#include "core/file/unix/posixsp_site.h"
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
constexpr Common::Site kXattrValueTooLongSite{"ProcessChunk", 476};
constexpr Common::Site kRecoverSite{"PosixRestoreFile", 551};
// Sites of this file's own: the backup's entry that is no longer what was listed.
constexpr Common::Site kEntryOpenSite{"PosixBackupFile", 81};
constexpr Common::Site kEntryChangedSite{"PosixBackupFile", 84};

constexpr uint32_t kFlagsWordBytes = 4;
// A value is read in pieces of this size, so a damaged length costs no more memory than
// the chunk really holds.
constexpr uint32_t kValuePieceBytes = 65536;
// Linux takes no longer value (XATTR_SIZE_MAX): a record that declares one is damaged,
// and reading it would only hold memory until fsetxattr refused it.
constexpr uint32_t kLargestValueBytes = 65536;

// File systems that do not take these attributes lose nothing the restored file needs.
constexpr const char* kSkippableAttributes[] = {"security.selinux", "trusted.pfcache"};
// chown clears this attribute, so the restore sets it again after the owner.
constexpr const char* kCapabilityAttribute = "security.capability";

using EntryTypes::kTypeBlockDevice;
using EntryTypes::kTypeCharDevice;
using EntryTypes::kTypeDirectory;
using EntryTypes::kTypeRegular;
using EntryTypes::kTypeRegularAlias;
using EntryTypes::kTypeSymLink;
using RestoreHelpers::kTargetNotCreated;

// The restore creates what the by-name operations would: files 0644, directories 0755,
// both under the umask.
constexpr mode_t kDefaultFileMode = 0644;
constexpr mode_t kDefaultDirMode = 0755;
// A file is written under its temporary name for its owner alone, so that nobody opens a
// secret file's copy while it is written and keeps reading it; its mode comes at the end.
constexpr mode_t kTemporaryFileMode = 0600;
// A temporary name is drawn again when it is taken; someone who takes every one drawn
// ends the restore rather than holding it.
constexpr int kTemporaryNameAttempts = 16;

Error SetXattrError(const std::string& path, const char* name) {
  return FileErrorFromErrno(kSource.At(kSetXattrSite), Common::FILE_WRITE_ERROR, path.c_str(), name);
}

bool IsSkippableAttribute(const char* name) {
  for (const char* skippable : kSkippableAttributes)
    if (std::strcmp(name, skippable) == 0) return true;
  return false;
}

// ---- Descriptors ------------------------------------------------------------------------

// An open descriptor, closed with the object.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    Reset(std::exchange(other.fd, -1));
    return *this;
  }
  ~Descriptor() { Reset(-1); }

  int Get() const { return fd; }
  bool IsOpen() const { return fd >= 0; }
  void Reset(int next) {
    if (fd >= 0) close(fd);
    fd = next;
  }

 private:
  int fd = -1;
};

// The path that reaches what `fd` is open on, whatever now stands at its name: the path
// of calls that have no descriptor form for an O_PATH descriptor.
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The process's umask, read without setting it (another thread may be creating files);
// false when the system does not tell it.
bool ReadUmask(mode_t* mask) {
  FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return false;
  bool found = false;
  char line[256];
  unsigned int value = 0;
  while (!found && std::fgets(line, sizeof line, status) != nullptr) found = std::sscanf(line, "Umask: %o", &value) == 1;
  std::fclose(status);
  *mask = static_cast<mode_t>(value & 0777);
  return found;
}

bool SameInode(const struct stat64& a, const struct stat64& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A path error with no errno record: nothing refused, something was not what it was.
Error PathErrorWithoutCause(Common::SourceLocation location, uint32_t code, const char* path) {
  errno = 0;
  Error error = FileErrorFromErrno(location, code, path);
  error.AddCause(Error());
  return error;
}

// ---- Extended attributes of a backed-up entry --------------------------------------------

// An attribute read: *result the call's return value, -1 on failure reported with the
// entry's path and the attribute's name.
Error XattrResult(ssize_t got, const char* path, const char* name, ssize_t* result) {
  *result = got;
  if (got >= 0) return Common::NoError;
  *result = -1;
  return FileErrorFromErrno(kSource.At(kGetXattrSite), Common::FILE_READ_ERROR, path, name);
}

// The entry's attributes are read through its descriptor: `access` reaches the entry the
// backup verified, `path` names it in errors.
struct EntryAttributes {
  std::string access;
  std::string path;
};

// The attribute names in the order the system lists them; none when the list cannot be
// read or changes between the two calls. The descriptor path is followed to the entry
// itself (for a link, the link).
std::vector<std::string> ListXattrNames(const EntryAttributes& entry) {
  std::vector<std::string> names;
  ssize_t size = listxattr(entry.access.c_str(), nullptr, 0);
  if (size <= 0) return names;
  std::vector<char> list(static_cast<size_t>(size));
  if (listxattr(entry.access.c_str(), list.data(), list.size()) != size) return names;
  for (size_t at = 0; at < list.size();) {
    const char* name = list.data() + at;
    size_t length = strnlen(name, list.size() - at);
    if (length > 0) names.emplace_back(name, length);
    at += length + 1;
  }
  return names;
}

Error ReadXattr(const EntryAttributes& entry, const std::string& name, void* value, size_t size, ssize_t* result) {
  return XattrResult(getxattr(entry.access.c_str(), name.c_str(), value, size), entry.path.c_str(), name.c_str(),
                     result);
}

// One record of CHUNK_XATTR: header, name and value, the value read straight into the
// buffer behind the name.
Error WriteXattrRecord(ChunkWriter& writer, const EntryAttributes& entry, const std::string& name) {
  namespace L = XattrRecordLayout;
  ssize_t size = 0;
  if (Error error = ReadXattr(entry, name, nullptr, 0, &size)) return error;
  const uint32_t nameBytes = static_cast<uint32_t>(name.size()) + 1;
  const uint32_t wanted = L::kHeaderBytes + nameBytes + static_cast<uint32_t>(size);

  std::unique_ptr<raw_data> buffer = GetWholeBuffer(writer, wanted);
  if (!buffer) {
    // No room for the record: fail rather than write through a missing buffer.
    Error error = Common::MakeError(kSource.At(kBackupNoBufferSite), Common::FILE_BACKUP_ERROR);
    if (writer.last_error) error.AddCause(TakeLastError(writer));
    return error;
  }
  uint8_t* payload = buffer->Payload();
  ssize_t got = 0;
  if (Error error = ReadXattr(entry, name, payload + L::kHeaderBytes + nameBytes, static_cast<size_t>(size), &got))
    return error;
  if (got > size) {
    // Asked with no room, the call reports a value that grew meanwhile without copying it.
    errno = ERANGE;
    return FileErrorFromErrno(kSource.At(kGetXattrSite), Common::FILE_READ_ERROR, entry.path.c_str(), name.c_str());
  }

  BackupFormat::StoreLe16(payload + L::kNameLengthOffset, static_cast<uint16_t>(nameBytes));
  BackupFormat::StoreLe64(payload + L::kValueLengthOffset, static_cast<uint64_t>(static_cast<int64_t>(got)));
  std::memcpy(payload + L::kHeaderBytes, name.c_str(), nameBytes);
  buffer->size = L::kHeaderBytes + nameBytes + static_cast<uint32_t>(got);
  writer.WriteBuffer(buffer);
  if (writer.last_error) return TakeLastError(writer);
  return Common::NoError;
}

Error BackupXattrs(ChunkSink& sink, const EntryAttributes& entry) {
  std::unique_ptr<ChunkWriter> writer(sink.CreateChunk(CHUNK_XATTR));
  if (!writer) return TakeLastError(sink);
  for (const std::string& name : ListXattrNames(entry))
    if (Error error = WriteXattrRecord(*writer, entry, name)) return error;
  return Common::NoError;
}

// A flag word as a chunk of its own. Only a chunk that cannot be opened is a failure.
Error WriteFlagChunk(ChunkSink& sink, uint32_t type, uint32_t word) {
  std::unique_ptr<ChunkWriter> writer(sink.CreateChunk(type));
  if (!writer) return TakeLastError(sink);
  std::unique_ptr<raw_data> buffer = GetWholeBuffer(*writer, kFlagsWordBytes);
  if (buffer) {
    BackupFormat::StoreLe32(buffer->Payload(), word);
    buffer->size = kFlagsWordBytes;
  }
  writer->WriteBuffer(buffer);
  return Common::NoError;
}

// The inode flags word of the verified entry, read through a descriptor of its own; false
// when it cannot be had.
bool ReadInodeFlags(const EntryAttributes& entry, bool directory, uint32_t* word) {
  posix_dir opener(entry.access);
  std::unique_ptr<posix_file> file(
      opener.Open(entry.access, O_RDONLY | O_NONBLOCK | (directory ? O_DIRECTORY : 0), true, 0));
  TakeLastError(opener).IgnoreError();
  if (!file) return false;
  PosixControl::InodeFlagsRequest request{PosixControl::kGetInodeFlags, 0};
  file->IOCTL(&request);
  if (TakeLastError(*file)) return false;
  *word = request.Flags;
  return true;
}

Error BackupFlags(i_dir& dir, ChunkSink& sink, const EntryAttributes& entry, bool directory,
                  const char16_t* name) {
  uint32_t word = 0;
  if (ReadInodeFlags(entry, directory, &word) && word != 0)
    if (Error error = WriteFlagChunk(sink, CHUNK_UNIX_FLAGS, word)) return error;

  auto* writable = dynamic_cast<o_dir*>(&dir);
  if (writable == nullptr) return Common::NoError;
  word = 0;
  if (!GetFlagsByName(writable, name, &word).IsEmpty() || word == 0) return Common::NoError;
  return WriteFlagChunk(sink, CHUNK_FLAGS, word);
}

// The entry the iterator listed, opened without following a link and without waiting (a
// FIFO put in its place must not hang the backup), and refused unless it is the very
// inode the iterator's lstat saw.
Error OpenListedEntry(posix_dir::stat_iterator& listed, const std::string& path, Descriptor& out) {
  const struct stat64* seen = listed.GetStatRecord();
  if (seen == nullptr) return TakeLastError(listed);
  int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return FileErrorFromErrno(kSource.At(kEntryOpenSite), Common::FILE_OPEN_ERROR, path.c_str());
  out.Reset(fd);
  struct stat64 now;
  if (fstat64(fd, &now) != 0)
    return FileErrorFromErrno(kSource.At(kEntryOpenSite), Common::FILE_OPEN_ERROR, path.c_str());
  if ((now.st_mode & S_IFMT) != (seen->st_mode & S_IFMT) || !SameInode(now, *seen))
    return PathErrorWithoutCause(kSource.At(kEntryChangedSite), Common::FILE_OPEN_ERROR, path.c_str());
  return Common::NoError;
}

// The data of the verified entry: reopened through its descriptor's path, which leads to
// that inode and no other (O_NOFOLLOW would refuse the descriptor's own link).
Error OpenEntryData(const EntryAttributes& entry, std::unique_ptr<i_file>& data) {
  posix_dir opener(entry.access);
  data.reset(opener.Open(entry.access, O_RDONLY | O_NONBLOCK, true, 0));
  if (data) return TakeLastError(opener);
  Error failed = TakeLastError(opener);
  Error error = Common::MakeError(kSource.At(kEntryOpenSite), Common::FILE_OPEN_ERROR);
  error.AddCause(failed);
  return error;
}

// ---- The restore target ------------------------------------------------------------------

// The entry of a restore, reached by descriptor alone. The directory handed in is opened
// once, at the start; each further component of the name is opened beneath it without
// following a link, and ".." may not climb above it. Everything after acts through
// descriptors: a regular file is written under a temporary name and renamed over the
// name once it is whole; other entries are created at the name by the *at calls and
// changed through a descriptor of what was created or found. Whatever else is planted or
// swapped in on the way is refused or replaced, never written through.
class PosixRestoreTarget : public RestoreHelpers::RestoreTarget {
 public:
  PosixRestoreTarget(posix_dir* directory, const char16_t* entry_name);
  ~PosixRestoreTarget() override;

  Error CreateDirectory() override;
  Error CreateFile(std::unique_ptr<ro_file>& created) override;
  Error CreateDevice(uint32_t type, uint32_t mode, uint32_t major, uint32_t minor) override;
  Error CreateLink(const char16_t* link) override;
  Error SetAttributes(uint32_t attributes) override;
  Error SetOwner(uint32_t uid, uint32_t gid) override;
  Error SetPermissions(uint32_t mode) override;
  Error SetTimes(uint64_t modification, uint64_t creation, uint64_t access) override;
  Error SetFlags(uint32_t flags) override;
  Error Finish() override;

  // The descriptor extended attributes are set through: the file's, else none.
  int FileDescriptor() const { return own_file != nullptr ? own_file->GetFd() : -1; }
  const std::string& EntryPath() const { return entry_path; }

 private:
  Error Resolve(const std::string& directory, const std::string& native);
  // Opens what now stands at the name as a descriptor of the kind just created, and
  // keeps its identity when it is that kind.
  Error HoldCreated(mode_t type, int extraFlags);
  // Removes `name` from the parent when it is still the inode the restore made.
  void RemoveIfOurs(const std::string& name, const struct stat64& made);
  std::string TemporaryName();

  posix_dir& directory;     // opens the file, as it opens every file
  Error resolved;           // the failure to reach the entry's directory, for every operation
  Descriptor parent;        // the directory that holds the entry
  std::string last;         // the entry's own name in it
  std::string entry_path;   // the entry's native path, for error parameters
  Descriptor held;          // what was created or found at the name (not a regular file)
  bool made = false;        // the restore created what `held` is open on
  struct stat64 identity {};  // of what the restore created
  posix_file* own_file = nullptr;  // the target's file, owned by `file`
  std::string temporary;    // the file's temporary name until it is renamed over the name
  bool mode_set = false;    // the stream's mode was given to the file
};

PosixRestoreTarget::PosixRestoreTarget(posix_dir* directory, const char16_t* entry_name)
    : RestoreTarget(directory, entry_name), directory(*directory) {
  const std::string native = entry_name != nullptr ? ToNativeName(entry_name) : std::string();
  entry_path = directory->GetNativePath();
  Common::NormalizePath(entry_path, native);
  resolved = Resolve(directory->GetNativePath(), native);
}

PosixRestoreTarget::~PosixRestoreTarget() {
  if (!temporary.empty() && own_file != nullptr) {
    struct stat64 st;
    if (fstat64(own_file->GetFd(), &st) == 0) RemoveIfOurs(temporary, st);
  }
  own_file = nullptr;
  file.reset();
  if (error && made && kind != kTargetNotCreated && kind != kTypeDirectory && kind != kTypeRegular)
    RemoveIfOurs(last, identity);
}

Error PosixRestoreTarget::Resolve(const std::string& directory, const std::string& native) {
  // A name that does not convert names nothing: the empty name of the by-name operations.
  if (native.empty() && name != nullptr && *name != 0) {
    errno = EINVAL;
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                              entry_path.c_str());
  }
  std::string start = !native.empty() && native[0] == '/' ? std::string("/") : directory;
  std::vector<std::string> components;
  for (size_t at = 0; at <= native.size();) {
    size_t slash = native.find('/', at);
    if (slash == std::string::npos) slash = native.size();
    std::string component = native.substr(at, slash - at);
    at = slash + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (components.empty()) {
        // Above the directory handed in, where nothing of this restore may be.
        errno = EXDEV;
        return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                                  entry_path.c_str());
      }
      components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  last = components.empty() ? std::string(".") : components.back();
  if (!components.empty()) components.pop_back();

  parent.Reset(open(start.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent.IsOpen())
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR, start.c_str());
  std::string reached = start;
  for (const std::string& component : components) {
    Common::NormalizePath(reached, component);
    int fd = openat(parent.Get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
      return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                                reached.c_str());
    parent.Reset(fd);
  }
  return Common::NoError;
}

Error PosixRestoreTarget::HoldCreated(mode_t type, int extraFlags) {
  int fd = openat(parent.Get(), last.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC | extraFlags);
  if (fd < 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                              entry_path.c_str());
  held.Reset(fd);
  struct stat64 st;
  if (fstat64(fd, &st) != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                              entry_path.c_str());
  // Swapped for something else since it was made: that is not the restore's to change.
  if ((st.st_mode & S_IFMT) != type) {
    held.Reset(-1);
    made = false;
    return PathErrorWithoutCause(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                                 entry_path.c_str());
  }
  if (made) identity = st;
  return Common::NoError;
}

void PosixRestoreTarget::RemoveIfOurs(const std::string& entry, const struct stat64& ours) {
  struct stat64 st;
  if (fstatat64(parent.Get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !SameInode(st, ours)) return;
  // Best effort: a failed restore reports its own failure, not the clean-up's.
  unlinkat(parent.Get(), entry.c_str(), 0);
}

std::string PosixRestoreTarget::TemporaryName() {
  static std::atomic<uint64_t> counter{0};
  uint64_t draw = 0;
  if (getrandom(&draw, sizeof draw, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof draw))
    draw = (static_cast<uint64_t>(getpid()) << 32) ^ counter.fetch_add(1, std::memory_order_relaxed);
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(draw));
  return "." + last.substr(0, NAME_MAX - 24) + "." + suffix;
}

// "Already exists" counts as success only over a directory itself, never a link to one:
// the owner and mode of the stream are applied to what stands there next.
Error PosixRestoreTarget::CreateDirectory() {
  if (resolved) return resolved;
  if (mkdirat(parent.Get(), last.c_str(), kDefaultDirMode) == 0) {
    made = true;
    return HoldCreated(S_IFDIR, O_DIRECTORY);
  }
  Error failed = FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kCreateDirSite), Common::FILE_CREATE_ERROR,
                                    entry_path.c_str());
  if (failed.GetCode() != Common::FILE_ALREADY_EXISTS) return failed;
  if (HoldCreated(S_IFDIR, O_DIRECTORY)) return failed;
  return Common::NoError;
}

Error PosixRestoreTarget::CreateFile(std::unique_ptr<ro_file>& created) {
  Error error = resolved;
  for (int attempt = 0; !error && attempt < kTemporaryNameAttempts; ++attempt) {
    std::string candidate = TemporaryName();
    // Created fresh beneath the parent's descriptor: nothing that stands anywhere is
    // opened, so nothing planted is written through.
    Descriptor made(openat(parent.Get(), candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           kTemporaryFileMode));
    if (!made.IsOpen()) {
      error = FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                                 entry_path.c_str());
      if (error.GetCode() == Common::FILE_ALREADY_EXISTS) error = Common::NoError;
      continue;
    }
    // The directory opens it as it opens every file, through the path of the descriptor
    // made, which reaches that inode whatever has come to stand at the name since.
    posix_file* opened = directory.Open(DescriptorPath(made.Get()), O_RDWR, false, 0);
    error = TakeLastError(directory);
    if (opened == nullptr) {
      struct stat64 st;
      if (fstat64(made.Get(), &st) == 0) RemoveIfOurs(candidate, st);
      break;
    }
    own_file = opened;
    created.reset(opened);
    temporary = candidate;
    return Common::NoError;
  }
  if (!error) {
    errno = EEXIST;
    error = FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                               entry_path.c_str());
  }
  if (error.GetCode() != Common::FILE_OPEN_ERROR) return error;
  Error failed = Common::MakeError(PosixSites::kSource.At(PosixSites::kCreateSite), Common::FILE_CREATE_ERROR);
  failed.AddCause(error);
  return failed;
}

Error PosixRestoreTarget::CreateDevice(uint32_t type, uint32_t mode, uint32_t major, uint32_t minor) {
  static constexpr mode_t kNodeTypes[] = {S_IFREG, S_IFCHR, S_IFBLK, S_IFIFO, S_IFSOCK};
  if (resolved) return resolved;
  if (type >= std::size(kNodeTypes))
    return Common::MakeError(PosixSites::kSource.At(PosixSites::kDeviceNodeTypeSite), Common::FILE_CREATE_ERROR);
  mode_t nodeMode = (static_cast<mode_t>(mode) & ~static_cast<mode_t>(S_IFMT)) | kNodeTypes[type];
  if (mknodat(parent.Get(), last.c_str(), nodeMode, makedev(major, minor)) != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kDeviceNodeSite), Common::FILE_CREATE_ERROR,
                              entry_path.c_str());
  made = true;
  return HoldCreated(kNodeTypes[type], 0);
}

Error PosixRestoreTarget::CreateLink(const char16_t* link) {
  if (resolved) return resolved;
  // Stored as given: a relative target stays relative to the link.
  std::string target = ToNativeName(link != nullptr ? link : u"");
  if (symlinkat(target.c_str(), parent.Get(), last.c_str()) != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kSymLinkSite), Common::FILE_CREATE_ERROR,
                              entry_path.c_str(), target.c_str());
  made = true;
  return HoldCreated(S_IFLNK, 0);
}

// A POSIX directory keeps no DOS attributes: "not supported", which counts as success.
Error PosixRestoreTarget::SetAttributes(uint32_t) { return Common::NoError; }

Error PosixRestoreTarget::SetOwner(uint32_t uid, uint32_t gid) {
  int result = own_file != nullptr ? fchown(own_file->GetFd(), uid, gid)
                                   : fchownat(held.Get(), "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
  if (result != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOwnerSite), Common::FILE_ACCESS_DENIED,
                              entry_path.c_str());
  return Common::NoError;
}

Error PosixRestoreTarget::SetPermissions(uint32_t mode) {
  // A link has no mode of its own; chmod would change its target ("not supported").
  if (kind == kTypeSymLink) return Common::NoError;
  // Through the descriptor's path, which reaches the inode held and follows no name.
  int result = own_file != nullptr ? fchmod(own_file->GetFd(), mode) : chmod(DescriptorPath(held.Get()).c_str(), mode);
  if (result != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kPermissionsSite), Common::FILE_ACCESS_DENIED,
                              entry_path.c_str());
  mode_set = own_file != nullptr;
  return Common::NoError;
}

Error PosixRestoreTarget::SetTimes(uint64_t modification, uint64_t, uint64_t access) {
  // Link times are not set ("not supported", which counts as success).
  if (kind == kTypeSymLink) return Common::NoError;
  timeval times[2] = {PosixSites::MillisToTimeval(static_cast<int64_t>(access)),
                      PosixSites::MillisToTimeval(static_cast<int64_t>(modification))};
  if (utimes(DescriptorPath(held.Get()).c_str(), times) != 0)
    return Common::MakeError(PosixSites::kSource.At(PosixSites::kEntryTimesSite), Common::FILE_WRITE_ERROR);
  return Common::NoError;
}

// A POSIX directory sets no flags by name ("not supported"); the outcome is not looked at.
Error PosixRestoreTarget::SetFlags(uint32_t) { return Common::NoError; }

// The whole file replaces whatever stands at the name (a file, a hard link, a FIFO, a
// device, a link), which is never written through; what was linked elsewhere keeps its
// old content.
Error PosixRestoreTarget::Finish() {
  if (temporary.empty()) return Common::NoError;
  // A stream without a mode leaves the file the mode a by-name create gives it; when the
  // umask cannot be had, the file stays its owner's alone.
  mode_t mask = 0;
  if (!mode_set && ReadUmask(&mask) && fchmod(own_file->GetFd(), kDefaultFileMode & ~mask) != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kPermissionsSite), Common::FILE_ACCESS_DENIED,
                              entry_path.c_str());
  if (renameat(parent.Get(), temporary.c_str(), parent.Get(), last.c_str()) != 0) {
    std::string from = entry_path.substr(0, entry_path.rfind('/') + 1) + temporary;
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kRenameSite), Common::FILE_RENAME_ERROR,
                              from.c_str(), entry_path.c_str());
  }
  temporary.clear();
  return Common::NoError;
}

// ---- The POSIX restore processor ---------------------------------------------------------

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
  PosixRestoreChunkProcessor(posix_dir* dir, const char16_t* dir_path, const char16_t* name)
      : PosixRestoreChunkProcessor(std::make_unique<PosixRestoreTarget>(dir, name), dir_path) {}

  Error ProcessChunk(uint8_t type, std::unique_ptr<i_file>& reader, const RestoreRequestBody& request) override;

 protected:
  void RestoreOwnership() override;

 private:
  PosixRestoreChunkProcessor(std::unique_ptr<PosixRestoreTarget> target, const char16_t* dir_path)
      : CommonRestoreChunkProcessor(std::move(target)),
        directory_path(dir_path != nullptr ? dir_path : u""),
        posix_target(static_cast<PosixRestoreTarget&>(Target())) {}

  Error RestoreXattrs(i_file& reader, int fd);

  Common::WString directory_path;  // with its trailing '/'
  PosixRestoreTarget& posix_target;
  bool has_capability = false;
  std::vector<uint8_t> capability;
};

Error PosixRestoreChunkProcessor::ProcessChunk(uint8_t type, std::unique_ptr<i_file>& reader,
                                               const RestoreRequestBody& request) {
  if (directory_path.empty()) return Common::MakeError(kSource.At(kNoDirPathSite), Common::FILE_READ_ERROR);
  if (Error error = CommonRestoreChunkProcessor::ProcessChunk(type, reader, request)) return error;
  if (type != CHUNK_XATTR) return Common::NoError;
  // Only an open regular file takes the attributes (not a directory or a link).
  int fd = posix_target.FileDescriptor();
  if (fd < 0 || !reader) return Common::NoError;
  return RestoreXattrs(*reader, fd);
}

Error PosixRestoreChunkProcessor::RestoreXattrs(i_file& reader, int fd) {
  namespace L = XattrRecordLayout;
  const std::string& path = posix_target.EntryPath();
  for (;;) {
    uint8_t header[L::kHeaderBytes];
    uint32_t count = 0;
    reader.Read(header, sizeof header, &count);
    if (reader.last_error) return TakeLastError(reader);
    if (count == 0) return Common::NoError;
    if (count != sizeof header) return Common::MakeError(kSource.At(kXattrHeaderShortSite), Common::FILE_END_OF_FILE);
    const uint16_t nameBytes = BackupFormat::LoadLe16(header + L::kNameLengthOffset);
    const uint32_t valueBytes = BackupFormat::LoadLe32(header + L::kValueLengthOffset);
    if (valueBytes > kLargestValueBytes)
      return Common::MakeError(kSource.At(kXattrValueTooLongSite), Common::FILE_END_OF_FILE);

    std::vector<char> name(static_cast<size_t>(nameBytes) + 1, 0);
    if (Error error = ReadExact(reader, name.data(), nameBytes)) return error;
    std::vector<uint8_t> value;
    if (Error error = ReadValue(reader, valueBytes, value)) return error;

    static const uint8_t kEmptyValue = 0;
    const void* bytes = value.empty() ? &kEmptyValue : value.data();
    if (fsetxattr(fd, name.data(), bytes, value.size(), 0) != 0) {
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
  int fd = posix_target.FileDescriptor();
  if (!has_capability || posix_target.error || fd < 0) return;
  static const uint8_t kEmptyValue = 0;
  const void* bytes = capability.empty() ? &kEmptyValue : capability.data();
  if (fsetxattr(fd, kCapabilityAttribute, bytes, capability.size(), 0) != 0)
    posix_target.error = SetXattrError(posix_target.EntryPath(), kCapabilityAttribute);
}

}  // namespace

Common::Error GetXattr(const char* path, const char* name, void* value, size_t size, ssize_t* result) {
  return XattrResult(lgetxattr(path, name, value, size), path, name, result);
}

Common::Error PosixBackupFile(i_dir* dir, const file_identifier* id, const BackupRequestBody& request) {
  std::unique_ptr<i_dir::iterator> entry(id != nullptr ? dir->GetIterator(id) : dir->GetSelfIterator());
  if (!entry) return TakeLastError(*dir);
  auto* listed = dynamic_cast<posix_dir::stat_iterator*>(entry.get());
  if (listed == nullptr) return Common::MakeError(kSource.At(kEntryOpenSite), Common::FILE_OPEN_ERROR);

  const char16_t* dirPath = dir->GetDirPath();
  Common::WString path = dirPath != nullptr ? dirPath : u"";
  if (id != nullptr) path += entry->GetName();
  EntryAttributes attributes{std::string(), ToNativeName(path.c_str())};

  // Everything of the entry is read through one descriptor of the inode that was listed.
  Descriptor held;
  if (Error error = OpenListedEntry(*listed, attributes.path, held)) return error;
  attributes.access = DescriptorPath(held.Get());

  uint32_t type = entry->GetType();
  std::unique_ptr<i_file> data;
  bool regular = type == kTypeRegular || type == kTypeRegularAlias;
  if (id != nullptr && regular && (request.Flags & kBackupNoData) == 0)
    if (Error error = OpenEntryData(attributes, data)) return error;
  if (Error error = CommonBackupEntry(dir, data.get(), entry.get(), request)) return error;
  data.reset();

  if (Error error = BackupXattrs(*request.Sink, attributes)) return error;
  if (type != kTypeRegular && type != kTypeDirectory) return Common::NoError;
  // The directory itself is "." to itself; its last component would name a child.
  const char16_t* name = id != nullptr ? entry->GetName() : u".";
  return BackupFlags(*dir, *request.Sink, attributes, type == kTypeDirectory, name);
}

Common::Error PosixRestoreFile(posix_dir* dir, const char16_t* dir_path, const char16_t* name,
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

// POSIX backup and restore: the common chunks of an entry, then its extended attributes
// and flag words; the restore processor that sets extended attributes on the restored
// file and reports every failure under one code.
#include "core/file/unix/posix_backup.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
  int Release() { return std::exchange(fd, -1); }
  void Reset(int next) {
    if (fd >= 0) close(fd);
    fd = next;
  }

 private:
  int fd = -1;
};

// The path through /proc that reaches what `fd` is open on, whatever now stands at its
// name: only for the calls that have no descriptor form for an O_PATH descriptor (the
// attributes of a link or a device node, a mode on a kernel without fchmodat2).
std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

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
Error PathErrorWithoutCause(Common::SourceLocation location, uint32_t code, const char* path,
                            const char* path2 = nullptr) {
  errno = 0;
  Error error = FileErrorFromErrno(location, code, path, path2);
  error.AddCause(Error());
  return error;
}

// The directory that holds entry `native` of `directory`, opened beneath `directory`
// without following a link, and the entry's last component. ".." may not climb above
// `directory`, and a name that does not convert (`native` empty for a name that is not)
// names nothing. Failures are open errors at `site` that name `entryPath` or the
// directory that could not be reached.
Error ReachParent(const std::string& directory, const std::string& native, bool unconvertible,
                  const std::string& entryPath, Common::SourceLocation site, Descriptor& parent, std::string& last) {
  if (unconvertible) {
    errno = EINVAL;
    return FileErrorFromErrno(site, Common::FILE_OPEN_ERROR, entryPath.c_str());
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
        // Above the directory handed in, where nothing of this operation may be.
        errno = EXDEV;
        return FileErrorFromErrno(site, Common::FILE_OPEN_ERROR, entryPath.c_str());
      }
      components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  last = components.empty() ? std::string(".") : components.back();
  if (!components.empty()) components.pop_back();

  parent.Reset(open(start.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent.IsOpen()) return FileErrorFromErrno(site, Common::FILE_OPEN_ERROR, start.c_str());
  std::string reached = start;
  for (const std::string& component : components) {
    Common::NormalizePath(reached, component);
    int fd = openat(parent.Get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FileErrorFromErrno(site, Common::FILE_OPEN_ERROR, reached.c_str());
    parent.Reset(fd);
  }
  return Common::NoError;
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

// The entry the backup verified: a descriptor of it open for reading (a regular file, a
// directory, a FIFO), or else a path through /proc to its O_PATH descriptor.
struct EntryAttributes {
  int fd = -1;
  std::string access;
  std::string path;  // names the entry in errors

  ssize_t List(char* list, size_t size) const {
    return fd >= 0 ? flistxattr(fd, list, size) : listxattr(access.c_str(), list, size);
  }
  ssize_t Get(const char* name, void* value, size_t size) const {
    return fd >= 0 ? fgetxattr(fd, name, value, size) : getxattr(access.c_str(), name, value, size);
  }
};

// The attribute names in the order the system lists them; none when the list cannot be
// read or changes between the two calls. Through /proc a list that cannot be had is a
// failure unless the file system keeps no attributes: without /proc nothing would be read.
Error ListXattrNames(const EntryAttributes& entry, std::vector<std::string>& names) {
  names.clear();
  ssize_t size = entry.List(nullptr, 0);
  if (size < 0 && entry.fd < 0 && errno != ENOTSUP) {
    ssize_t failed = 0;
    return XattrResult(size, entry.path.c_str(), nullptr, &failed);
  }
  if (size <= 0) return Common::NoError;
  std::vector<char> list(static_cast<size_t>(size));
  if (entry.List(list.data(), list.size()) != size) return Common::NoError;
  for (size_t at = 0; at < list.size();) {
    const char* name = list.data() + at;
    size_t length = strnlen(name, list.size() - at);
    if (length > 0) names.emplace_back(name, length);
    at += length + 1;
  }
  return Common::NoError;
}

Error ReadXattr(const EntryAttributes& entry, const std::string& name, void* value, size_t size, ssize_t* result) {
  return XattrResult(entry.Get(name.c_str(), value, size), entry.path.c_str(), name.c_str(), result);
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
  std::vector<std::string> names;
  if (Error error = ListXattrNames(entry, names)) return error;
  for (const std::string& name : names)
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

// The inode flags word of the verified entry, through its own descriptor; false when it
// cannot be had.
bool ReadInodeFlags(posix_file& file, uint32_t* word) {
  PosixControl::InodeFlagsRequest request{PosixControl::kGetInodeFlags, 0};
  file.IOCTL(&request);
  if (TakeLastError(file)) return false;
  *word = request.Flags;
  return true;
}

Error BackupFlags(i_dir& dir, ChunkSink& sink, posix_file& file, const char16_t* name) {
  uint32_t word = 0;
  if (ReadInodeFlags(file, &word) && word != 0)
    if (Error error = WriteFlagChunk(sink, CHUNK_UNIX_FLAGS, word)) return error;

  auto* writable = dynamic_cast<o_dir*>(&dir);
  if (writable == nullptr) return Common::NoError;
  word = 0;
  if (!GetFlagsByName(writable, name, &word).IsEmpty() || word == 0) return Common::NoError;
  return WriteFlagChunk(sink, CHUNK_FLAGS, word);
}

// The entry a backup reads, opened once without following a link: a regular file, a
// directory or a FIFO for reading (without waiting: a FIFO must not hang the backup), so
// that its data, attributes and flags come through that one descriptor; anything else
// only as an O_PATH descriptor, never opened.
struct ListedEntry {
  std::unique_ptr<posix_file> file;
  Descriptor path_only;
};

// Opens the entry the iterator listed, beneath its directory (`name` null: the directory
// itself), and refuses it unless it is the very inode the iterator's lstat saw.
// O_NOCTTY: a terminal swapped in for the listed entry never becomes the controlling one.
Error OpenListedEntry(posix_dir::stat_iterator& listed, const std::string& directory, const char* name,
                      const std::string& path, ListedEntry& out) {
  const struct stat64* seen = listed.GetStatRecord();
  if (seen == nullptr) return TakeLastError(listed);
  Descriptor parent;
  std::string last = directory;
  if (name != nullptr)
    if (Error error = ReachParent(directory, name, false, path, kSource.At(kEntryOpenSite), parent, last))
      return error;
  const mode_t type = seen->st_mode & S_IFMT;
  const bool readable = type == S_IFREG || type == S_IFDIR || type == S_IFIFO;
  const int access = readable ? O_RDONLY | O_NONBLOCK | O_NOCTTY | (type == S_IFDIR ? O_DIRECTORY : 0) : O_PATH;
  Descriptor opened(openat(parent.IsOpen() ? parent.Get() : AT_FDCWD, last.c_str(), access | O_NOFOLLOW | O_CLOEXEC));
  if (!opened.IsOpen()) return FileErrorFromErrno(kSource.At(kEntryOpenSite), Common::FILE_OPEN_ERROR, path.c_str());
  struct stat64 now;
  if (fstat64(opened.Get(), &now) != 0)
    return FileErrorFromErrno(kSource.At(kEntryOpenSite), Common::FILE_OPEN_ERROR, path.c_str());
  if ((now.st_mode & S_IFMT) != type || !SameInode(now, *seen))
    return PathErrorWithoutCause(kSource.At(kEntryChangedSite), Common::FILE_OPEN_ERROR, path.c_str());
  if (!readable) {
    out.path_only = std::move(opened);
    return Common::NoError;
  }
  Error error;
  out.file.reset(AdoptOpenedFile(opened.Release(), O_RDONLY, true, now, path, error));
  return error;
}

// ---- The restore target ------------------------------------------------------------------

// fchmodat with AT_EMPTY_PATH: the mode of what an O_PATH descriptor is open on, `name` of
// `parent`. Kernels before fchmodat2 have no such call; there the path through /proc
// reaches the inode, and where /proc is missing a directory or a FIFO is opened at the
// name for fchmod, once it proves to be that inode. Anything else has no descriptor call:
// the refusal of the chmod through /proc is the answer.
int ChangeModeOfDescriptor(int fd, int parent, const char* name, mode_t mode) {
  // Not in every C library's headers yet; numbered alike on every architecture.
  constexpr long kFchmodat2Call = 452;
  if (syscall(kFchmodat2Call, fd, "", mode, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOSYS) return -1;
  if (chmod(ProcPath(fd).c_str(), mode) == 0) return 0;
  const int refused = errno;
  struct stat64 held, opened;
  if (fstat64(fd, &held) != 0 || (!S_ISDIR(held.st_mode) && !S_ISFIFO(held.st_mode))) {
    errno = refused;
    return -1;
  }
  const int access = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC | (S_ISDIR(held.st_mode) ? O_DIRECTORY : 0);
  Descriptor reopened(openat(parent, name, access));
  if (!reopened.IsOpen() || fstat64(reopened.Get(), &opened) != 0 || !SameInode(opened, held) ||
      fchmod(reopened.Get(), mode) != 0) {
    errno = refused;
    return -1;
  }
  return 0;
}

// The entry of a restore, reached by descriptor alone. The directory handed in is opened
// once, at the start; each further component of the name is opened beneath it without
// following a link, and ".." may not climb above it. Everything after acts through
// descriptors: a regular file is written under a temporary name and renamed over the
// name once it is whole; other entries are created at the name by the *at calls and
// changed through a descriptor of what was created, adopted only when it is the very
// entry made. Whatever else is planted or swapped in on the way is refused or replaced,
// never written through.
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
  // Opens what now stands at the name as a descriptor of the kind just created. What the
  // restore made is adopted only when it is that entry: its kind, a single link and the
  // restore's own user as owner; anything else is refused.
  Error HoldCreated(mode_t type, int extraFlags);
  // Removes `name` from the parent when it is still the inode the restore made.
  void RemoveIfOurs(const std::string& name, const struct stat64& made);
  std::string TemporaryName();
  // The umask, from the system or else from a probe file made and removed in the parent.
  Error LearnUmask(mode_t* mask);

  Error resolved;           // the failure to reach the entry's directory, for every operation
  Descriptor parent;        // the directory that holds the entry
  std::string last;         // the entry's own name in it
  std::string entry_path;   // the entry's native path, for error parameters
  Descriptor held;          // what was created or found at the name (not a regular file)
  bool made = false;        // the restore created what `held` or the file is open on
  struct stat64 identity {};  // of what the restore created
  posix_file* own_file = nullptr;  // the target's file, owned by `file`
  std::string temporary;    // the file's temporary name until it is renamed over the name
  bool mode_set = false;    // the stream's mode was given to the file
};

PosixRestoreTarget::PosixRestoreTarget(posix_dir* directory, const char16_t* entry_name)
    : RestoreTarget(directory, entry_name) {
  const std::string native = entry_name != nullptr ? ToNativeName(entry_name) : std::string();
  entry_path = directory->GetNativePath();
  Common::NormalizePath(entry_path, native);
  // A name that does not convert names nothing: the empty name of the by-name operations.
  const bool unconvertible = native.empty() && entry_name != nullptr && *entry_name != 0;
  resolved = ReachParent(directory->GetNativePath(), native, unconvertible, entry_path,
                         PosixSites::kSource.At(PosixSites::kOpenSite), parent, last);
}

PosixRestoreTarget::~PosixRestoreTarget() {
  if (!temporary.empty() && own_file != nullptr) RemoveIfOurs(temporary, identity);
  own_file = nullptr;
  file.reset();
  if (error && made && kind != kTargetNotCreated && kind != kTypeDirectory) RemoveIfOurs(last, identity);
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
  // A hard link to another's inode of the same kind swapped in since (where the system
  // lets a user link what they do not own) has more links, or another owner.
  // A directory has no hard links (and some file systems count its links otherwise).
  const bool ours = !made || ((type == S_IFDIR || st.st_nlink == 1) && st.st_uid == geteuid());
  // Swapped for something else since it was made: that is not the restore's to change.
  if ((st.st_mode & S_IFMT) != type || !ours) {
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
  // Drawn in batches: one system call serves many names, none of them guessable.
  constexpr size_t kDrawsPerBatch = 32;
  thread_local uint64_t batch[kDrawsPerBatch];
  thread_local size_t used = kDrawsPerBatch;
  static std::atomic<uint64_t> counter{0};
  if (used == kDrawsPerBatch) {
    if (getrandom(batch, sizeof batch, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof batch))
      for (uint64_t& draw : batch)
        draw = (static_cast<uint64_t>(getpid()) << 32) ^ counter.fetch_add(1, std::memory_order_relaxed);
    used = 0;
  }
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(batch[used++]));
  return "." + last.substr(0, NAME_MAX - 24) + "." + suffix;
}

Error PosixRestoreTarget::LearnUmask(mode_t* mask) {
  if (ReadUmask(mask)) return Common::NoError;
  // The probe holds nothing and is removed at once; its mode is the umask's complement in
  // the bits a created file may have, so no one else may ever write to it.
  constexpr mode_t kProbeMode = kDefaultFileMode;
  Descriptor probe;
  std::string name;
  for (int attempt = 0; !probe.IsOpen() && attempt < kTemporaryNameAttempts; ++attempt) {
    name = TemporaryName();
    probe.Reset(openat(parent.Get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kProbeMode));
    if (!probe.IsOpen() && errno != EEXIST) break;
  }
  struct stat64 st;
  if (!probe.IsOpen() || fstat64(probe.Get(), &st) != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kPermissionsSite), Common::FILE_ACCESS_DENIED,
                              entry_path.c_str());
  RemoveIfOurs(name, st);
  *mask = ~st.st_mode & kProbeMode;
  return Common::NoError;
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
  // Where nothing stands at the name the file is made there; over anything else it is made
  // apart and renamed over the name once whole.
  for (int attempt = -1; !error && attempt < kTemporaryNameAttempts; ++attempt) {
    std::string candidate = attempt < 0 ? last : TemporaryName();
    // Created fresh beneath the parent's descriptor: nothing that stands anywhere is
    // opened, so nothing planted is written through.
    constexpr int kCreateFlags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    Descriptor made_fd(openat(parent.Get(), candidate.c_str(), kCreateFlags, kTemporaryFileMode));
    if (!made_fd.IsOpen()) {
      error = FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                                 entry_path.c_str());
      if (error.GetCode() == Common::FILE_ALREADY_EXISTS) error = Common::NoError;
      continue;
    }
    struct stat64 st;
    if (fstat64(made_fd.Get(), &st) != 0) {
      error = FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kOpenSite), Common::FILE_OPEN_ERROR,
                                 entry_path.c_str());
      break;
    }
    // The file object is the descriptor the create returned, locked as a created file is.
    posix_file* opened = AdoptOpenedFile(made_fd.Release(), O_RDWR, false, st, entry_path, error);
    if (opened == nullptr) {
      RemoveIfOurs(candidate, st);
      break;
    }
    own_file = opened;
    created.reset(opened);
    if (attempt >= 0) temporary = candidate;
    identity = st;
    made = true;
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
  int result = own_file != nullptr ? fchmod(own_file->GetFd(), mode) : ChangeModeOfDescriptor(held.Get(), parent.Get(), last.c_str(), mode);
  if (result != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kPermissionsSite), Common::FILE_ACCESS_DENIED,
                              entry_path.c_str());
  mode_set = own_file != nullptr;
  return Common::NoError;
}

Error PosixRestoreTarget::SetTimes(uint64_t modification, uint64_t, uint64_t access) {
  // Link times are not set ("not supported", which counts as success).
  if (kind == kTypeSymLink) return Common::NoError;
  const timeval access_time = PosixSites::MillisToTimeval(static_cast<int64_t>(access));
  const timeval modification_time = PosixSites::MillisToTimeval(static_cast<int64_t>(modification));
  constexpr long kNanosPerMicro = 1000;
  const timespec times[2] = {
      {access_time.tv_sec, static_cast<long>(access_time.tv_usec * kNanosPerMicro)},
      {modification_time.tv_sec, static_cast<long>(modification_time.tv_usec * kNanosPerMicro)}};
  // Kernels before AT_EMPTY_PATH in utimensat reach the inode through /proc only.
  if (utimensat(held.Get(), "", times, AT_EMPTY_PATH) != 0 &&
      (errno != EINVAL || utimensat(AT_FDCWD, ProcPath(held.Get()).c_str(), times, 0) != 0))
    return Common::MakeError(PosixSites::kSource.At(PosixSites::kEntryTimesSite), Common::FILE_WRITE_ERROR);
  return Common::NoError;
}

// A POSIX directory sets no flags by name ("not supported"); the outcome is not looked at.
Error PosixRestoreTarget::SetFlags(uint32_t) { return Common::NoError; }

// The whole file replaces whatever stood at the name (a file, a hard link, a FIFO, a
// device, a link), which is never written through; what was linked elsewhere keeps its
// old content. The restore succeeds only when the name then holds the file it wrote.
Error PosixRestoreTarget::Finish() {
  if (own_file == nullptr) return Common::NoError;
  // A stream without a mode leaves the file the mode a by-name create gives it.
  if (!mode_set) {
    mode_t mask = 0;
    if (Error error = LearnUmask(&mask)) return error;
    if (fchmod(own_file->GetFd(), kDefaultFileMode & ~mask) != 0)
      return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kPermissionsSite), Common::FILE_ACCESS_DENIED,
                                entry_path.c_str());
  }
  std::string from = entry_path.substr(0, entry_path.rfind('/') + 1) + (temporary.empty() ? last : temporary);
  if (!temporary.empty()) {
    if (renameat(parent.Get(), temporary.c_str(), parent.Get(), last.c_str()) != 0)
      return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kRenameSite), Common::FILE_RENAME_ERROR,
                                from.c_str(), entry_path.c_str());
    temporary.clear();
  }
  // Exchanged for another file on the way, the name holds that one now, and the restored
  // file lies where the other stood: neither is this restore's to remove.
  struct stat64 st;
  if (fstatat64(parent.Get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return FileErrorFromErrno(PosixSites::kSource.At(PosixSites::kRenameSite), Common::FILE_RENAME_ERROR,
                              from.c_str(), entry_path.c_str());
  if (!SameInode(st, identity))
    return PathErrorWithoutCause(PosixSites::kSource.At(PosixSites::kRenameSite), Common::FILE_RENAME_ERROR,
                                 from.c_str(), entry_path.c_str());
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
  auto* posix = dynamic_cast<posix_dir*>(dir);
  const auto* identifier = dynamic_cast<const the_identifier*>(id);
  if (listed == nullptr || posix == nullptr || (id != nullptr && (identifier == nullptr || identifier->GetNativeName() == nullptr)))
    return Common::MakeError(kSource.At(kEntryOpenSite), Common::FILE_OPEN_ERROR);

  // The entry as the identifier names it, which may hold several components.
  const char* native = id != nullptr ? identifier->GetNativeName() : nullptr;
  EntryAttributes attributes;
  attributes.path = posix->GetNativePath();
  if (native != nullptr) Common::NormalizePath(attributes.path, native);

  // Everything of the entry is read through one descriptor of the inode that was listed.
  ListedEntry opened;
  if (Error error = OpenListedEntry(*listed, posix->GetNativePath(), native, attributes.path, opened)) return error;
  if (opened.file)
    attributes.fd = opened.file->GetFd();
  else
    attributes.access = ProcPath(opened.path_only.Get());

  uint32_t type = entry->GetType();
  bool regular = type == kTypeRegular || type == kTypeRegularAlias;
  i_file* data = id != nullptr && regular && (request.Flags & kBackupNoData) == 0 ? opened.file.get() : nullptr;
  if (Error error = CommonBackupEntry(dir, data, entry.get(), request)) return error;

  if (Error error = BackupXattrs(*request.Sink, attributes)) return error;
  if (type != kTypeRegular && type != kTypeDirectory) return Common::NoError;
  // The directory itself is "." to itself; its last component would name a child.
  const char16_t* name = id != nullptr ? entry->GetName() : u".";
  return BackupFlags(*dir, *request.Sink, *opened.file, name);
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

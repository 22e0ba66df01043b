// The Linux implementation of the file family: posix_file over a registered descriptor,
// posix_dir as a native path with every directory operation, its iterators and the
// directory-independent identifier the_identifier.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "core/include/file/dir.h"
#include "core/include/file/file.h"

class NotificationWatch;

class posix_base_file : public rio_file {};

// A descriptor obtained from the lock layer's registry. Without range locks the file
// holds the whole-file lock taken by posix_dir::Open for its lifetime. A file keeps its
// first error and does nothing until it is taken, except for positioning.
class posix_file : public posix_base_file {
 public:
  posix_file(int fd, bool range_locks);
  ~posix_file() override;

  void Read(void* buffer, uint32_t length, uint32_t* done) override;
  void LockShared(uint64_t start, uint64_t length, bool wait) override;
  void Write(const void* buffer, uint32_t length, uint32_t* done) override;
  void Flush() override;
  void SetPos(uint64_t position) override;
  uint64_t SeekCur(int64_t delta) override;
  uint64_t SeekEnd(int64_t delta) override;
  void Truncate(uint64_t size) override;
  void IOCTL(void* request) override;
  void LockExclusive(uint64_t start, uint64_t length, bool wait) override;
  void Unlock(uint64_t start, uint64_t length) override;

  // The positioning primitive: acts even while an error is held; a failure replaces it
  // and gives 0.
  uint64_t Seek(uint64_t offset, int whence);

  // The descriptor, for code that must act on it directly (extended attributes).
  int GetFd() const { return fd; }
  bool UsesRangeLocks() const { return range_locks; }

 private:
  bool HoldsError() const { return static_cast<bool>(last_error); }
  void RangeLock(bool lock, bool exclusive, bool wait, uint64_t start, uint64_t length);
  void GetSector(void* request);
  void UserIoctl(void* request);
  void SetAppendMode();
  void GetInodeFlags(void* request);
  void SetInodeFlags(void* request);
  void SetFileTimes(void* request);
  void DeallocateRange(void* request);

  int fd;
  bool range_locks;
};

// A posix_file over a descriptor the caller opened itself with `flags` (beneath a directory
// descriptor, say) and fstat'ed into `status`: registered with the lock layer and, without
// range locks, locked as posix_dir::Open locks. On failure null with `error` set, the
// descriptor closed; `path` names the file in errors.
posix_file* AdoptOpenedFile(int fd, int flags, bool range_locks, const struct stat64& status, const std::string& path,
                            Common::Error& error);

// One byte-range lock request to the lock layer (length 0: to the end and beyond).
Common::Error DoLockFileHandle(bool lock, int fd, bool exclusive, bool wait, uint64_t start, uint64_t length);

// A directory is nothing but its native path: opening one touches nothing on disk, and
// every name given to it is joined to that path (it may hold several components, "." and
// "..", or be absolute). Each operation replaces the last error with its outcome, except
// the queries that say they leave it alone.
class posix_dir : public rio_dir {
 public:
  class stat_iterator;
  class iterator;
  class self_iterator;

  explicit posix_dir(const std::string& native_path);
  ~posix_dir() override;

  // i_dir
  ri_file* OpenI(const char16_t* name, bool range_locks) override;
  ri_file* OpenI(const i_dir::iterator* entry, bool range_locks) override;
  ri_file* OpenI(const file_identifier* id, bool range_locks) override;
  rio_dir* OpenDir(const char16_t* name) override;
  rio_dir* OpenDir(const i_dir::iterator* entry) override;
  rio_dir* OpenDir(const file_identifier* id) override;
  rio_dir* GetParentDir(const char16_t** name) override;
  // Leaves the last error alone on success.
  rio_dir* OpenSpecialDir(uint32_t id) override;
  i_dir::iterator* GetIterator() override;
  i_dir::iterator* GetIterator(const char16_t* name) override;
  i_dir::iterator* GetIterator(const file_identifier* id) override;
  i_dir::iterator* GetSelfIterator() override;
  // The UTF-16 path with a trailing '/' (except for "/"); leaves the last error alone.
  const char16_t* GetDirPath() override;
  uint32_t CompareLocation(i_dir* other) override;
  int32_t CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  uint32_t GetCapabilities() override { return kCapabilities; }
  void GetDriveSize(uint64_t* total, uint64_t* free, uint64_t* available) override;
  bool IsPathSeparator(char16_t c) override { return c == u'/'; }
  char16_t GetPathSeparator() override { return u'/'; }
  bool IsCaseSensitive() override { return true; }
  void IOCTL(void* request) override;
  void EnableNotification(NotificationListener* listener) override;
  void RearmNotification() override;

  // rio_dir
  ro_file* OpenO(const char16_t* name, bool range_locks) override;
  ro_file* OpenO(const i_dir::iterator* entry, bool range_locks) override;
  ro_file* OpenO(const file_identifier* id, bool range_locks) override;
  rio_file* OpenIO(const char16_t* name, bool range_locks) override;
  rio_file* OpenIO(const i_dir::iterator* entry, bool range_locks) override;
  rio_file* OpenIO(const file_identifier* id, bool range_locks) override;
  rio_file* Create(const char16_t* name, bool range_locks, const AccessRights* rights) override;

  // o_dir
  void Remove(const char16_t* name) override;
  void Rename(const char16_t* from, const char16_t* to) override;
  void CreateDir(const char16_t* name, const AccessRights* rights) override;
  void RemoveDir(const char16_t* name) override;
  void SetAccessRights(const char16_t* name, const AccessRights* rights) override;
  void SetUnixOwner(const char16_t* name, uint32_t uid, uint32_t gid) override;
  void SetUnixPermissions(const char16_t* name, uint32_t mode) override;
  void CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t mode, uint32_t major,
                        uint32_t minor) override;
  void CreateHardLink(const char16_t* link, const char16_t* existing) override;
  void CreateSymLink(const char16_t* link, const char16_t* target, uint32_t type, uint32_t flags) override;

  // Opens a file with open(2) flags. Without range locks the whole file is locked at once
  // (shared for reading, exclusive for writing) and O_TRUNC waits until the lock stands.
  // The directory's last error receives the outcome; null on failure.
  virtual posix_file* Open(const std::string& native_path, uint32_t flags, bool range_locks, uint32_t mode);
  // Iterator factories, virtual so that a derived directory can supply other iterators.
  virtual stat_iterator* CreateIterator(const char* native_path, DIR* handle);
  virtual stat_iterator* CreateSelfIterator(const char* native_path);

  // Path joining. Each sets the last error (success, or the error of a bad iterator or
  // identifier). A name that cannot be converted gives an empty path.
  void GetPath(const char16_t* name, std::string& out);
  void GetPath(const i_dir::iterator* entry, std::string& out);
  void GetPath(const file_identifier* id, std::string& out);

  const std::string& GetNativePath() const { return native_path; }

  static constexpr uint32_t kCapabilities = 0x83;

  // Set while change notification is enabled on this object.
  NotificationWatch* watch = nullptr;

 private:
  // Joins what names the entry (a name, an iterator or an identifier), then Open.
  template <typename What>
  posix_file* OpenByName(const What& what, uint32_t flags, bool range_locks, uint32_t mode);
  // Create with the open flags given; a failed open becomes the create error.
  posix_file* CreateByName(const char16_t* name, uint32_t flags, bool range_locks, const AccessRights* rights);
  i_dir::iterator* AdoptSelfIterator(stat_iterator* entry, Common::Site nullSite);
  [[nodiscard]] bool JoinName(const char16_t* name, std::string& path, Common::Site emptySite, uint32_t code);
  void SetEntryTimes(void* request);
  void GetDevicePath(void* request);
  void GetFsType(void* request);
  void RouteBackup(void* request);
  void RouteRestore(void* request);

  const std::string native_path;
  Common::WString dir_path;
};

// Every attribute of the current entry comes from one lstat record. An error stays in the
// iterator until taken; meanwhile the getters return their fallbacks.
class posix_dir::stat_iterator : public i_dir::iterator {
 public:
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override;
  uint64_t GetSize() override;
  uint64_t GetAllocatedSize() override;
  uint32_t GetType() override;
  uint64_t GetModificationTime() override;
  uint64_t GetChangeTime() override;
  uint64_t GetAccessTime() override;
  int32_t GetUnixMode() override;
  bool IsHidden() override;
  int32_t GetUnixOwner() override;
  int32_t GetUnixGroup() override;
  uint32_t GetLinkCount() override;
  uint32_t GetDeviceMajor() override;
  uint32_t GetDeviceMinor() override;
  uint64_t GetInode() override;
  const char16_t* GetLinkTarget() override;

  // The lstat record of the current entry, or null while an error is pending.
  const struct stat64* GetStatRecord() { return StatRecord(); }
  // The current entry's native name, NUL-terminated, or null without an entry.
  virtual const char* GetNativeName() const = 0;
  // Makes the stat record available.
  virtual void StatFile() = 0;
  // Makes the allocated size available, once per entry.
  virtual void AcquireAllocatedSize();

 protected:
  bool HoldsError() const { return static_cast<bool>(last_error); }
  // lstat of `path` into the record; the outcome becomes the last error.
  void DoStat(const std::string& path);
  // Forgets everything cached about the current entry.
  void ResetEntry();
  // The record, or null while an error is pending after StatFile.
  const struct stat64* StatRecord();

  struct stat64 stat_record {};
  bool stat_valid = false;

 private:
  Common::WString cached_name;
  Common::WString cached_link_target;
  std::string link_path;
  int32_t link_state = 0;  // 0 not read, 1 read, -1 readlink failed
  uint64_t allocated_size = 0;
  bool allocated_size_valid = false;
};

// Walks every entry of a directory but "." and ".."; created on the first entry.
class posix_dir::iterator : public posix_dir::stat_iterator {
 public:
  iterator(const char* native_path, DIR* handle);
  ~iterator() override;
  void Next() override;
  uint32_t GetType() override;
  const char* GetNativeName() const override;
  void StatFile() override;

 private:
  std::string dir_path;  // with a trailing '/', except for "/"
  DIR* handle;
  struct dirent64* current = nullptr;
};

// Stands on one named path (an entry or a directory itself); stat'ed once at creation.
class posix_dir::self_iterator : public posix_dir::stat_iterator {
 public:
  explicit self_iterator(const char* path);
  void Next() override;
  const char* GetNativeName() const override { return name.c_str(); }
  void StatFile() override;

 private:
  std::string name;
  std::string full_path;
};

// An entry's identity: its UTF-16 name and native name in one block shared by clones.
class the_identifier : public file_identifier {
 public:
  // A null name means the empty one. `native` holds `native_length` bytes (from an
  // iterator: the name with its NUL); none gives an identifier without native name.
  the_identifier(const char16_t* name, const char* native, size_t native_length);
  ~the_identifier() override;
  file_identifier* Clone() const override;

  // Null when the identifier holds no native name.
  const char* GetNativeName() const;
  const char16_t* GetName() const;

  struct Block;

 private:
  explicit the_identifier(Block* shared) : block(shared) {}
  Block* block;
};

// A directory object for the working directory as it was at the first call of the
// process (read once; later changes of directory are not seen). Never null.
void OpenCurrentDir(rio_dir** out);
rio_dir* OpenCurrentDir();

// The name of a file-system magic number; an unknown magic gives the previous answer
// ("" before any known magic was seen).
const char* FsTypeName(uint32_t magic);

// Special directory ids.
inline constexpr uint32_t kSpecialDirVarLib = 143;
inline constexpr uint32_t kSpecialDirHome = 144;
inline constexpr uint32_t kSpecialDirHomeAlias = 145;
inline constexpr uint32_t kSpecialDirTmp = 149;
inline constexpr uint32_t kSpecialDirVarLog = 156;


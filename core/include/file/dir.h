// The directory interfaces: a read side (i_dir, si_dir, ri_dir), a write side (o_dir,
// ro_dir) and the read-write rio_dir, with entry iterators and identifiers. Unlike files,
// a directory replaces its error with the outcome of every operation that can fail.
#pragma once

#include <cstdint>
#include <utility>

#include "core/include/file/file.h"

class NotificationListener;

// Entry types of i_dir::iterator::GetType, which the backup's entry record stores too.
namespace EntryTypes {

inline constexpr uint32_t kTypeRegular = 0;  // and anything not listed
inline constexpr uint32_t kTypeCharDevice = 1;
inline constexpr uint32_t kTypeBlockDevice = 2;
inline constexpr uint32_t kTypeFifo = 3;
inline constexpr uint32_t kTypeSocket = 4;
inline constexpr uint32_t kTypeSymLink = 5;
inline constexpr uint32_t kTypeRegularAlias = 6;  // backed up and restored like kTypeRegular
inline constexpr uint32_t kTypeDirectory = 128;
inline constexpr uint32_t kTypeWholeEntryFirst = 150;  // a directory removed as a whole, not listed
inline constexpr uint32_t kTypeWholeEntryLast = 151;
// From here on an entry is a directory of some kind: the backup gives it the directory
// attribute and the tree removal leaves alone those it does not know.
inline constexpr uint32_t kFirstDirectoryLikeType = 128;

}  // namespace EntryTypes

namespace FileDefaults {

// A default that the implementation does not override: the directory's error becomes
// "not supported", raised from this header, replacing whatever it held.
inline constexpr Common::SourceFile kDirHeader{Common::Locations::CoreIncludeFileDir, "core/include/file/dir.h"};

inline void RecordDirNotSupported(file_object& object, Common::Site site) {
  ReplaceLastError(object, Common::MakeError(kDirHeader.At(site), Common::FILE_NOT_SUPPORTED));
}

inline constexpr Common::Site kIDirOpenSpecialDirSite{"OpenSpecialDir", 173};
inline constexpr Common::Site kIDirIoctlSite{"IOCTL", 189};
inline constexpr Common::Site kEnableNotificationSite{"EnableNotification", 191};
inline constexpr Common::Site kCreateHardLinkSite{"CreateHardLink", 213};
inline constexpr Common::Site kCreateSymLinkSite{"CreateSymLink", 218};
inline constexpr Common::Site kSetAccessRightsSite{"SetAccessRights", 224};
inline constexpr Common::Site kSetDOSAttributesSite{"SetDOSAttributes", 227};
inline constexpr Common::Site kSetUnixPermissionsSite{"SetUnixPermissions", 230};
inline constexpr Common::Site kSetUnixOwnerSite{"SetUnixOwner", 233};
inline constexpr Common::Site kCreateDeviceNodeSite{"CreateDeviceNode", 238};
inline constexpr Common::Site kODirIoctlSite{"IOCTL", 239};
inline constexpr Common::Site kSiDirOpenSpecialDirSite{"OpenSpecialDir", 271};
inline constexpr Common::Site kRiDirOpenSpecialDirSite{"OpenSpecialDir", 285};
inline constexpr Common::Site kRioDirOpenSpecialDirSite{"OpenSpecialDir", 329};

}  // namespace FileDefaults

// Names an entry independently of any directory object. Holds no error of its own.
class file_identifier {
 public:
  file_identifier() = default;
  file_identifier(const file_identifier&) = delete;
  file_identifier& operator=(const file_identifier&) = delete;
  virtual ~file_identifier();
  // A new identifier naming the same entry; null when no memory is left.
  virtual file_identifier* Clone() const = 0;
};

// Rights given to CreateDir, SetAccessRights and Create; a null pointer asks for the
// implementation's default mode.
struct AccessRights {
  uint32_t Reserved;  // not read by the POSIX implementation
  uint32_t Mode;      // POSIX permission bits
};

// Every name below is a NUL-terminated UTF-16 name relative to the directory (it may hold
// several components, or be absolute). Returned objects belong to the caller.
class i_dir : public virtual file_object {
 public:
  class iterator;

  virtual i_file* OpenI(const char16_t* name, bool range_locks) = 0;
  virtual i_file* OpenI(const iterator* entry, bool range_locks) = 0;
  virtual i_file* OpenI(const file_identifier* id, bool range_locks) = 0;
  virtual i_dir* OpenDir(const char16_t* name) = 0;
  virtual i_dir* OpenDir(const iterator* entry) = 0;
  virtual i_dir* OpenDir(const file_identifier* id) = 0;
  // `*name` is a relative path; it is moved on to its last component and the directory
  // part is returned.
  virtual i_dir* GetParentDir(const char16_t** name) = 0;
  virtual i_dir* OpenSelf() { return nullptr; }
  virtual i_dir* OpenSpecialDir(uint32_t) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kIDirOpenSpecialDirSite);
    return nullptr;
  }
  virtual iterator* GetIterator() = 0;
  virtual iterator* GetIterator(const char16_t* name) = 0;
  virtual iterator* GetIterator(const file_identifier* id) = 0;
  virtual iterator* GetSelfIterator() = 0;
  // Owned by the directory; null when it has no path.
  virtual const char16_t* GetDirPath() { return nullptr; }
  // 0: the same directory, 1: `other` lies inside this one, 2: otherwise.
  virtual uint32_t CompareLocation(i_dir* other) = 0;
  virtual int32_t CompareIdentifiers(const file_identifier* a, const file_identifier* b) = 0;
  virtual uint32_t GetCapabilities() { return 0x89; }
  virtual void GetDriveSize(uint64_t* total, uint64_t* free_bytes, uint64_t* available);
  virtual void GetVolumeLabel(char16_t* buffer, uint32_t capacity);
  virtual bool IsPathSeparator(char16_t c) { return c == u'/' || c == u'\\'; }
  virtual char16_t GetPathSeparator() { return u'\\'; }
  virtual bool IsCaseSensitive() { return false; }
  void IOCTL(void*) override { FileDefaults::RecordDirNotSupported(*this, FileDefaults::kIDirIoctlSite); }
  // A null listener stops notification.
  virtual void EnableNotification(NotificationListener*) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kEnableNotificationSite);
  }
  virtual void RearmNotification() {}
  // {this directory reopened, a copy of `id`}; both belong to the caller.
  virtual std::pair<i_dir*, file_identifier*> ResolveSymLinks(const file_identifier* id);
  virtual uint32_t Reserved26() { return 0; }
  virtual std::pair<void*, void*> Reserved27() { return {nullptr, nullptr}; }
  virtual uint32_t Reserved28() { return 0; }
  ~i_dir() override;
};

// The iterator's current entry is meant throughout. The defaults neither read nor change
// `last_error`.
class i_dir::iterator : public virtual file_object {
 public:
  ~iterator() override;
  // Advances; past the last entry the iterator holds "end of file".
  virtual void Next() = 0;
  virtual file_identifier* GetIdentifier() = 0;
  // Owned by the iterator.
  virtual const char16_t* GetName() = 0;
  virtual uint32_t Reserved5() { return 0; }
  virtual const char16_t* Reserved6() { return GetName(); }
  virtual uint32_t Reserved7() { return 0; }
  virtual uint64_t GetSize() = 0;
  virtual uint64_t GetAllocatedSize() { return GetSize(); }
  virtual uint32_t GetType() = 0;
  // Milliseconds since 1970-01-01 UTC.
  virtual uint64_t GetModificationTime() { return 0; }
  virtual uint64_t GetChangeTime() { return 0; }
  virtual uint64_t GetCreationTime() { return 0; }
  virtual uint64_t GetAccessTime() { return 0; }
  virtual int32_t GetDOSAttributes() { return -1; }
  virtual int32_t GetUnixMode() { return -1; }
  virtual bool IsHidden() { return false; }
  virtual int32_t GetUnixOwner() { return -1; }
  virtual int32_t GetUnixGroup() { return -1; }
  virtual uint32_t Reserved20() { return 0; }
  virtual uint32_t GetLinkCount() { return 1; }
  virtual uint32_t GetDeviceMajor() { return 0; }
  virtual uint32_t GetDeviceMinor() { return 0; }
  virtual uint32_t Reserved24() { return 1; }
  virtual uint64_t GetInode() { return 0; }
  // Null when the entry is not a symbolic link.
  virtual const char16_t* GetLinkTarget() { return nullptr; }
};

// What an si_dir opens is an si_file or an si_dir.
class si_dir : public i_dir {
 public:
  si_file* OpenI(const char16_t* name, bool range_locks) override = 0;
  si_file* OpenI(const iterator* entry, bool range_locks) override = 0;
  si_file* OpenI(const file_identifier* id, bool range_locks) override = 0;
  si_dir* OpenDir(const char16_t* name) override = 0;
  si_dir* OpenDir(const iterator* entry) override = 0;
  si_dir* OpenDir(const file_identifier* id) override = 0;
  si_dir* GetParentDir(const char16_t** name) override = 0;
  si_dir* OpenSelf() override { return nullptr; }
  si_dir* OpenSpecialDir(uint32_t) override {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kSiDirOpenSpecialDirSite);
    return nullptr;
  }
};

// What an ri_dir opens is an ri_file or an ri_dir.
class ri_dir : public si_dir {
 public:
  ri_file* OpenI(const char16_t* name, bool range_locks) override = 0;
  ri_file* OpenI(const iterator* entry, bool range_locks) override = 0;
  ri_file* OpenI(const file_identifier* id, bool range_locks) override = 0;
  ri_dir* OpenDir(const char16_t* name) override = 0;
  ri_dir* OpenDir(const iterator* entry) override = 0;
  ri_dir* OpenDir(const file_identifier* id) override = 0;
  ri_dir* GetParentDir(const char16_t** name) override = 0;
  ri_dir* OpenSelf() override { return nullptr; }
  ri_dir* OpenSpecialDir(uint32_t) override {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kRiDirOpenSpecialDirSite);
    return nullptr;
  }
};

class o_dir : public virtual file_object {
 public:
  virtual o_file* OpenO(const char16_t* name, bool range_locks) = 0;
  virtual void Remove(const char16_t* name) = 0;
  virtual void Rename(const char16_t* from, const char16_t* to) = 0;
  virtual void CreateHardLink(const char16_t* /*link*/, const char16_t* /*existing*/) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kCreateHardLinkSite);
  }
  // The two words (an entry type and 0 from a restore) are not read by the POSIX side.
  virtual void CreateSymLink(const char16_t* /*link*/, const char16_t* /*target*/, uint32_t /*type*/,
                             uint32_t /*flags*/) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kCreateSymLinkSite);
  }
  virtual void CreateDir(const char16_t* name, const AccessRights* rights) = 0;
  virtual void RemoveDir(const char16_t* name) = 0;
  virtual void SetAccessRights(const char16_t* /*name*/, const AccessRights* /*rights*/) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kSetAccessRightsSite);
  }
  virtual void SetDOSAttributes(const char16_t* /*name*/, uint32_t /*attributes*/) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kSetDOSAttributesSite);
  }
  virtual void SetUnixPermissions(const char16_t* /*name*/, uint32_t /*mode*/) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kSetUnixPermissionsSite);
  }
  virtual void SetUnixOwner(const char16_t* /*name*/, uint32_t /*uid*/, uint32_t /*gid*/) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kSetUnixOwnerSite);
  }
  virtual void CreateDeviceNode(const char16_t* /*name*/, uint32_t /*type*/, uint32_t /*mode*/, uint32_t /*major*/,
                                uint32_t /*minor*/) {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kCreateDeviceNodeSite);
  }
  void IOCTL(void*) override { FileDefaults::RecordDirNotSupported(*this, FileDefaults::kODirIoctlSite); }
  virtual ro_file* Create(const char16_t* name, bool range_locks, const AccessRights* rights) = 0;
  virtual o_dir* OpenDir(const char16_t* name) = 0;
  virtual o_dir* GetParentDir(const char16_t** name) = 0;
  ~o_dir() override;
};

class ro_dir : public o_dir {};

// The read-write directory. Each override below that shares its signature with an o_dir
// operation (OpenO, Create, OpenDir by name, GetParentDir) also serves the o_dir side:
// the covariant return is adjusted to the ro_file or ro_dir part there, and null stays
// null. A request sent through any side reaches the one IOCTL.
class rio_dir : public ri_dir, public ro_dir {
 public:
  rio_dir* OpenDir(const char16_t* name) override = 0;
  rio_dir* OpenDir(const iterator* entry) override = 0;
  rio_dir* OpenDir(const file_identifier* id) override = 0;
  rio_dir* GetParentDir(const char16_t** name) override = 0;
  rio_dir* OpenSelf() override { return OpenDir(u"."); }
  rio_dir* OpenSpecialDir(uint32_t) override {
    FileDefaults::RecordDirNotSupported(*this, FileDefaults::kRioDirOpenSpecialDirSite);
    return nullptr;
  }
  // One body for the file_object, i_dir and o_dir sides.
  void IOCTL(void*) override { FileDefaults::RecordDirNotSupported(*this, FileDefaults::kIDirIoctlSite); }

  ro_file* OpenO(const char16_t* name, bool range_locks) override = 0;
  virtual ro_file* OpenO(const iterator* entry, bool range_locks) = 0;
  virtual ro_file* OpenO(const file_identifier* id, bool range_locks) = 0;
  virtual rio_file* OpenIO(const char16_t* name, bool range_locks) = 0;
  virtual rio_file* OpenIO(const iterator* entry, bool range_locks) = 0;
  virtual rio_file* OpenIO(const file_identifier* id, bool range_locks) = 0;
  rio_file* Create(const char16_t* name, bool range_locks, const AccessRights* rights) override = 0;
};

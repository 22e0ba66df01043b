// posix_dir: path joining, the open operations, special directories, name operations,
// iterator factories, queries and the directory control codes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/common/safe_assert.h"
#include "core/common/text.h"
#include "core/file/backup.h"
#include "core/file/unix/name_codec.h"
#include "core/file/unix/posix_backup.h"
#include "core/include/file/posix_control.h"
#include "core/file/unix/posixsp.h"
#include "core/file/unix/posixsp_site.h"

using PosixSites::kSource;

namespace {

using PosixSites::kCreateSite;
constexpr Common::Site kHomeSite{"OpenSpecialDir", 891};
constexpr Common::Site kSpecialUnknownSite{"OpenSpecialDir", 901};
constexpr Common::Site kRemoveEmptySite{"Remove", 914};
using PosixSites::kRemoveSite;
constexpr Common::Site kRenameEmptySite{"Rename", 929};
using PosixSites::kRenameSite;
constexpr Common::Site kCreateDirEmptySite{"CreateDir", 942};
using PosixSites::kCreateDirSite;
constexpr Common::Site kRemoveDirEmptySite{"RemoveDir", 963};
constexpr Common::Site kRemoveDirSite{"RemoveDir", 965};
constexpr Common::Site kAccessAssertSite{"SetAccessRights", 972};
constexpr Common::Site kIteratorOpenSite{"GetIterator", 991};
constexpr Common::Site kIteratorMemorySite{"GetIterator", 998};
constexpr Common::Site kIteratorByNameEmptySite{"GetIterator", 1011};
constexpr Common::Site kIteratorByNameMemorySite{"GetIterator", 1017};
constexpr Common::Site kIteratorByIdNullSite{"GetIterator", 1033};
constexpr Common::Site kIteratorByIdMemorySite{"GetIterator", 1043};
constexpr Common::Site kSelfIteratorMemorySite{"GetSelfIterator", 1060};
constexpr Common::Site kPathByIteratorSite{"GetPath", 1084};
constexpr Common::Site kPathByIdSite{"GetPath", 1098};
constexpr Common::Site kDriveSizeSite{"GetDriveSize", 1157};
constexpr Common::Site kDriveBlockSizeSite{"GetDriveSize", 1164};
constexpr Common::Site kOwnerEmptySite{"SetUnixOwner", 1325};
using PosixSites::kOwnerSite;
constexpr Common::Site kPermissionsEmptySite{"SetUnixPermissions", 1341};
constexpr Common::Site kPermissionsStatSite{"SetUnixPermissions", 1347};
using PosixSites::kPermissionsLinkSite;
using PosixSites::kPermissionsSite;
constexpr Common::Site kDeviceNodeEmptySite{"CreateDeviceNode", 1396};
using PosixSites::kDeviceNodeTypeSite;
using PosixSites::kDeviceNodeSite;
constexpr Common::Site kHardLinkEmptySite{"CreateHardLink", 1440};
constexpr Common::Site kHardLinkExistingEmptySite{"CreateHardLink", 1447};
constexpr Common::Site kHardLinkSite{"CreateHardLink", 1452};
constexpr Common::Site kSymLinkEmptySite{"CreateSymLink", 1468};
using PosixSites::kSymLinkSite;
constexpr Common::Site kDevicePathSite{"IOCTL", 1495};
constexpr Common::Site kEntryTimesStatSite{"IOCTL", 1542};
using PosixSites::kEntryTimesLinkSite;
using PosixSites::kEntryTimesSite;
constexpr Common::Site kFsTypeSite{"IOCTL", 1601};
// Sites of this file's own: an empty joined path names no entry.
constexpr Common::Site kOpenEmptyPathSite{"Open", 92};
constexpr Common::Site kOpenDirEmptyPathSite{"OpenDir", 105};

constexpr uint32_t kOpenReadOnly = O_RDONLY;
constexpr uint32_t kOpenWriteOnly = O_WRONLY;
constexpr uint32_t kOpenReadWrite = O_RDWR;
constexpr uint32_t kOpenCreate = O_RDWR | O_CREAT | O_TRUNC;
constexpr uint32_t kDefaultFileMode = 0644;
constexpr uint32_t kDefaultDirMode = 0755;
constexpr size_t kCurrentDirBytes = 4096;

// The native path with a '/' after it, unless it is exactly one byte long ("/").
std::string WithSlash(const std::string& path) { return path.size() == 1 ? path : path + '/'; }

template <typename What>
posix_dir* OpenSubdir(posix_dir& dir, const What& what) {
  std::string path;
  dir.GetPath(what, path);
  if (dir.last_error) return nullptr;
  // An empty path would leave later names relative to the process's working directory.
  if (path.empty()) {
    ReplaceLastError(dir, Common::MakeError(kSource.At(kOpenDirEmptyPathSite), Common::FILE_OPEN_ERROR));
    return nullptr;
  }
  return new posix_dir(path);
}

const the_identifier* NativeIdentifier(const file_identifier* id) {
  auto* own = dynamic_cast<const the_identifier*>(id);
  if (own == nullptr || own->GetNativeName() == nullptr) return nullptr;
  return own;
}

// A path record without the errno cause that MakeFileError attaches.
Common::Error PathErrorWithoutCause(Common::Site site, uint32_t code, const char* path) {
  errno = 0;
  Common::Error error = FileErrorFromErrno(kSource.At(site), code, path);
  error.AddCause(Common::Error());
  return error;
}

struct FsMagicName {
  uint32_t Magic;
  const char* Name;
};

constexpr FsMagicName kFsMagicNames[] = {
    {0xADF5, "adfs"},        {0xADFF, "affs"},         {0x42465331, "befs"},     {0x1BADFACE, "bfs"},
    {0x9123683E, "btrfs"},   {0xFF534D42, "cifs"},     {0x73757245, "coda"},     {0x012FF7B7, "coh"},
    {0x28CD3D45, "cramfs"},  {0x1373, "devfs"},        {0x00414A53, "efs"},      {0x137D, "ext2"},
    {0xEF51, "ext2"},        {0xEF53, "ext2"},         {0x4244, "hfs"},          {0xF995E849, "hpfs"},
    {0x958458F6, "hugetlbfs"}, {0x9660, "isofs"},      {0x72B6, "jffs2"},        {0x3153464A, "jfs"},
    {0x137F, "minix"},       {0x138F, "minix"},        {0x2468, "minix"},        {0x2478, "minix"},
    {0x564C, "ncpfs"},       {0x6969, "nfs"},          {0x5346544E, "ntfs"},     {0x9FA1, "openprom"},
    {0x9FA0, "procfs"},      {0x002F, "qnx4fs"},       {0x52654973, "reiserfs"}, {0x7275, "romfs"},
    {0x517B, "smbfs"},       {0x012FF7B5, "sysvfs"},   {0x012FF7B6, "sysvfs"},   {0x01021994, "tmpfs"},
    {0x15013346, "udf"},     {0x00011954, "ufs"},      {0x9FA2, "usbfs"},        {0x4D44, "vfat"},
    {0xA501FCF5, "vxfs"},    {0x012FF7B4, "xenix"},    {0x58465342, "xfs"},      {0x012FD16D, "xiafs"},
};

// Process-wide: an unknown magic answers with the last known name.
std::atomic<const char*> g_lastFsTypeName{""};

const std::string& CurrentDirCache() {
  static const std::string cached = [] {
    char buffer[kCurrentDirBytes] = {};
    if (getcwd(buffer, sizeof buffer) == nullptr) {
      std::memset(buffer, 0, sizeof buffer);
      buffer[0] = '/';
    }
    return std::string(buffer);
  }();
  return cached;
}

}  // namespace

const char* FsTypeName(uint32_t magic) {
  for (const FsMagicName& row : kFsMagicNames) {
    if (row.Magic != magic) continue;
    g_lastFsTypeName.store(row.Name, std::memory_order_relaxed);
    return row.Name;
  }
  return g_lastFsTypeName.load(std::memory_order_relaxed);
}

void OpenCurrentDir(rio_dir** out) { *out = new posix_dir(CurrentDirCache()); }

rio_dir* OpenCurrentDir() {
  rio_dir* dir = nullptr;
  OpenCurrentDir(&dir);
  return dir;
}

posix_dir::posix_dir(const std::string& native_path) : native_path(native_path) {}

posix_dir::~posix_dir() {
  // Resolves to the notification body of this class, not to a derived one.
  if (watch != nullptr) posix_dir::EnableNotification(nullptr);
}

// Path joining ---------------------------------------------------------------------------

void posix_dir::GetPath(const char16_t* name, std::string& out) {
  out = native_path;
  ReplaceLastError(*this, Common::NoError);
  if (name == nullptr || *name == 0) return;
  std::string native = ToNativeName(name);
  // A name that does not convert is a bad name, not the directory itself.
  if (native.empty()) {
    out.clear();
    return;
  }
  Common::NormalizePath(out, native);
}

void posix_dir::GetPath(const i_dir::iterator* entry, std::string& out) {
  out.clear();
  auto* own = dynamic_cast<const stat_iterator*>(entry);
  const char* native = own != nullptr && !own->last_error ? own->GetNativeName() : nullptr;
  if (native == nullptr) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kPathByIteratorSite), Common::FILE_OPEN_ERROR));
    return;
  }
  out = native_path;
  Common::NormalizePath(out, native);
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::GetPath(const file_identifier* id, std::string& out) {
  out.clear();
  const the_identifier* own = NativeIdentifier(id);
  if (own == nullptr) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kPathByIdSite), Common::FILE_OPEN_ERROR));
    return;
  }
  out = native_path;
  Common::NormalizePath(out, own->GetNativeName());
  ReplaceLastError(*this, Common::NoError);
}

bool posix_dir::JoinName(const char16_t* name, std::string& path, Common::Site emptySite, uint32_t code) {
  GetPath(name, path);
  if (!path.empty()) return true;
  ReplaceLastError(*this, Common::MakeError(kSource.At(emptySite), code));
  return false;
}

// Opening files and directories ----------------------------------------------------------

// Opens the entry that `what` names (a name, an iterator or an identifier). An empty
// joined path names nothing: it is refused before any system call.
template <typename What>
posix_file* posix_dir::OpenByName(const What& what, uint32_t flags, bool range_locks, uint32_t mode) {
  std::string path;
  GetPath(what, path);
  if (last_error) return nullptr;
  if (path.empty()) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kOpenEmptyPathSite), Common::FILE_OPEN_ERROR));
    return nullptr;
  }
  return Open(path, flags, range_locks, mode);
}

ri_file* posix_dir::OpenI(const char16_t* name, bool range_locks) {
  return OpenByName(name, kOpenReadOnly, range_locks, 0);
}

ri_file* posix_dir::OpenI(const i_dir::iterator* entry, bool range_locks) {
  return OpenByName(entry, kOpenReadOnly, range_locks, 0);
}

ri_file* posix_dir::OpenI(const file_identifier* id, bool range_locks) {
  return OpenByName(id, kOpenReadOnly, range_locks, 0);
}

ro_file* posix_dir::OpenO(const char16_t* name, bool range_locks) {
  return OpenByName(name, kOpenWriteOnly, range_locks, 0);
}

ro_file* posix_dir::OpenO(const i_dir::iterator* entry, bool range_locks) {
  return OpenByName(entry, kOpenWriteOnly, range_locks, 0);
}

ro_file* posix_dir::OpenO(const file_identifier* id, bool range_locks) {
  return OpenByName(id, kOpenWriteOnly, range_locks, 0);
}

rio_file* posix_dir::OpenIO(const char16_t* name, bool range_locks) {
  return OpenByName(name, kOpenReadWrite, range_locks, 0);
}

rio_file* posix_dir::OpenIO(const i_dir::iterator* entry, bool range_locks) {
  return OpenByName(entry, kOpenReadWrite, range_locks, 0);
}

rio_file* posix_dir::OpenIO(const file_identifier* id, bool range_locks) {
  return OpenByName(id, kOpenReadWrite, range_locks, 0);
}

posix_file* posix_dir::CreateByName(const char16_t* name, uint32_t flags, bool range_locks,
                                     const AccessRights* rights) {
  uint32_t mode = rights != nullptr ? rights->Mode : kDefaultFileMode;
  posix_file* file = OpenByName(name, flags, range_locks, mode);
  if (last_error.GetCode() == Common::FILE_OPEN_ERROR) {
    Common::Error failed = Common::MakeError(kSource.At(kCreateSite), Common::FILE_CREATE_ERROR);
    failed.AddCause(last_error);
    ReplaceLastError(*this, failed);
  }
  return file;
}

rio_file* posix_dir::Create(const char16_t* name, bool range_locks, const AccessRights* rights) {
  return CreateByName(name, kOpenCreate, range_locks, rights);
}

rio_dir* posix_dir::OpenDir(const char16_t* name) { return OpenSubdir(*this, name); }

rio_dir* posix_dir::OpenDir(const i_dir::iterator* entry) { return OpenSubdir(*this, entry); }

rio_dir* posix_dir::OpenDir(const file_identifier* id) { return OpenSubdir(*this, id); }

rio_dir* posix_dir::GetParentDir(const char16_t** name) {
  const char16_t* path = name != nullptr ? *name : nullptr;
  const char16_t* last = nullptr;
  for (const char16_t* at = path; at != nullptr && *at != 0; ++at)
    if (*at == u'/') last = at;
  if (last == nullptr) return OpenDir(u".");
  Common::WString prefix(path, static_cast<size_t>(last - path) + 1);
  rio_dir* parent = OpenDir(prefix.c_str());
  if (parent != nullptr) *name = last + 1;
  return parent;
}

rio_dir* posix_dir::OpenSpecialDir(uint32_t id) {
  switch (id) {
    case kSpecialDirVarLib:
      return new posix_dir("/var/lib");
    case kSpecialDirHome:
    case kSpecialDirHomeAlias: {
      const char* home = std::getenv("HOME");
      if (home == nullptr || home[0] != '/') {
        ReplaceLastError(*this, Common::MakeError(kSource.At(kHomeSite), Common::FILE_OPEN_ERROR));
        return nullptr;
      }
      return new posix_dir(home);
    }
    case kSpecialDirTmp:
      return new posix_dir("/tmp");
    case kSpecialDirVarLog:
      return new posix_dir("/var/log");
    default:
      ReplaceLastError(*this, Common::MakeError(kSource.At(kSpecialUnknownSite), Common::FILE_NOT_SUPPORTED));
      return nullptr;
  }
}

// Name operations ------------------------------------------------------------------------

void posix_dir::Remove(const char16_t* name) {
  std::string path;
  if (!JoinName(name, path, kRemoveEmptySite, Common::FILE_DELETE_ERROR)) return;
  if (unlink(path.c_str()) != 0)
    return ReplaceLastError(*this,
                            FileErrorFromErrno(kSource.At(kRemoveSite), Common::FILE_DELETE_ERROR, path.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::Rename(const char16_t* from, const char16_t* to) {
  std::string fromPath;
  std::string toPath;
  GetPath(from, fromPath);
  GetPath(to, toPath);
  if (fromPath.empty() || toPath.empty())
    return ReplaceLastError(*this, Common::MakeError(kSource.At(kRenameEmptySite), Common::FILE_RENAME_ERROR));
  if (rename(fromPath.c_str(), toPath.c_str()) != 0)
    return ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kRenameSite), Common::FILE_RENAME_ERROR,
                                                      fromPath.c_str(), toPath.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::CreateDir(const char16_t* name, const AccessRights* rights) {
  std::string path;
  if (!JoinName(name, path, kCreateDirEmptySite, Common::FILE_CREATE_ERROR)) return;
  mode_t mode = rights != nullptr ? rights->Mode : kDefaultDirMode;
  if (mkdir(path.c_str(), mode) != 0)
    return ReplaceLastError(*this,
                            FileErrorFromErrno(kSource.At(kCreateDirSite), Common::FILE_CREATE_ERROR, path.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::RemoveDir(const char16_t* name) {
  std::string path;
  if (!JoinName(name, path, kRemoveDirEmptySite, Common::FILE_DELETE_ERROR)) return;
  if (rmdir(path.c_str()) != 0)
    return ReplaceLastError(*this,
                            FileErrorFromErrno(kSource.At(kRemoveDirSite), Common::FILE_DELETE_ERROR, path.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::SetAccessRights(const char16_t* name, const AccessRights* rights) {
  if (rights == nullptr) {
    SafeAssert("Access", PosixSites::kSourceFile, kAccessAssertSite);
    // Without rights there is no mode to apply.
    return ReplaceLastError(*this, Common::MakeError(kSource.At(kAccessAssertSite), Common::FILE_NOT_SUPPORTED));
  }
  SetUnixPermissions(name, rights->Mode);
}

void posix_dir::SetUnixOwner(const char16_t* name, uint32_t uid, uint32_t gid) {
  std::string path;
  if (!JoinName(name, path, kOwnerEmptySite, Common::FILE_OPEN_ERROR)) return;
  if (lchown(path.c_str(), uid, gid) != 0)
    return ReplaceLastError(*this,
                            FileErrorFromErrno(kSource.At(kOwnerSite), Common::FILE_ACCESS_DENIED, path.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::SetUnixPermissions(const char16_t* name, uint32_t mode) {
  std::string path;
  if (!JoinName(name, path, kPermissionsEmptySite, Common::FILE_OPEN_ERROR)) return;
  struct stat64 st;
  if (lstat64(path.c_str(), &st) != 0)
    return ReplaceLastError(
        *this, FileErrorFromErrno(kSource.At(kPermissionsStatSite), Common::FILE_READ_ERROR, path.c_str()));
  // chmod would follow the link and change its target.
  if (S_ISLNK(st.st_mode))
    return ReplaceLastError(*this, Common::MakeError(kSource.At(kPermissionsLinkSite), Common::FILE_NOT_SUPPORTED));
  if (chmod(path.c_str(), mode) != 0)
    return ReplaceLastError(*this,
                            FileErrorFromErrno(kSource.At(kPermissionsSite), Common::FILE_ACCESS_DENIED, path.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t mode, uint32_t major,
                                 uint32_t minor) {
  static constexpr mode_t kNodeTypes[] = {S_IFREG, S_IFCHR, S_IFBLK, S_IFIFO, S_IFSOCK};
  std::string path;
  if (!JoinName(name, path, kDeviceNodeEmptySite, Common::FILE_CREATE_ERROR)) return;
  if (type >= std::size(kNodeTypes))
    return ReplaceLastError(*this, Common::MakeError(kSource.At(kDeviceNodeTypeSite), Common::FILE_CREATE_ERROR));
  mode_t nodeMode = (static_cast<mode_t>(mode) & ~static_cast<mode_t>(S_IFMT)) | kNodeTypes[type];
  if (mknod(path.c_str(), nodeMode, makedev(major, minor)) != 0)
    return ReplaceLastError(*this,
                            FileErrorFromErrno(kSource.At(kDeviceNodeSite), Common::FILE_CREATE_ERROR, path.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::CreateHardLink(const char16_t* link, const char16_t* existing) {
  std::string linkPath;
  std::string existingPath;
  if (!JoinName(link, linkPath, kHardLinkEmptySite, Common::FILE_CREATE_ERROR)) return;
  if (!JoinName(existing, existingPath, kHardLinkExistingEmptySite, Common::FILE_CREATE_ERROR)) return;
  if (::link(existingPath.c_str(), linkPath.c_str()) != 0)
    return ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kHardLinkSite), Common::FILE_CREATE_ERROR,
                                                      linkPath.c_str(), existingPath.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::CreateSymLink(const char16_t* link, const char16_t* target, uint32_t, uint32_t) {
  std::string linkPath;
  if (!JoinName(link, linkPath, kSymLinkEmptySite, Common::FILE_CREATE_ERROR)) return;
  // Stored as given: a relative target stays relative to the link.
  std::string nativeTarget = ToNativeName(target != nullptr ? target : u"");
  if (symlink(nativeTarget.c_str(), linkPath.c_str()) != 0)
    return ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kSymLinkSite), Common::FILE_CREATE_ERROR,
                                                      linkPath.c_str(), nativeTarget.c_str()));
  ReplaceLastError(*this, Common::NoError);
}

// Iterators ------------------------------------------------------------------------------

posix_dir::stat_iterator* posix_dir::CreateIterator(const char* native_path, DIR* handle) {
  return new iterator(native_path, handle);
}

posix_dir::stat_iterator* posix_dir::CreateSelfIterator(const char* native_path) {
  return new self_iterator(native_path);
}

i_dir::iterator* posix_dir::GetIterator() {
  DIR* handle = opendir(native_path.c_str());
  if (handle == nullptr) {
    ReplaceLastError(*this,
                     FileErrorFromErrno(kSource.At(kIteratorOpenSite), Common::FILE_OPEN_ERROR, native_path.c_str()));
    return nullptr;
  }
  stat_iterator* entries = nullptr;
  // The handle becomes the iterator's only once it exists.
  try {
    entries = CreateIterator(native_path.c_str(), handle);
  } catch (...) {
    closedir(handle);
    throw;
  }
  if (entries == nullptr) {
    closedir(handle);
    ReplaceLastError(*this, Common::MakeError(kSource.At(kIteratorMemorySite), Common::FILE_OUT_OF_MEMORY));
    return nullptr;
  }
  // An empty directory shows as end of data in the iterator's own error.
  ReplaceLastError(*this, Common::NoError);
  return entries;
}

i_dir::iterator* posix_dir::AdoptSelfIterator(stat_iterator* entry, Common::Site nullSite) {
  if (entry == nullptr) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(nullSite), Common::FILE_OUT_OF_MEMORY));
    return nullptr;
  }
  ReplaceLastError(*this, entry->last_error);
  if (last_error) {
    delete entry;
    return nullptr;
  }
  return entry;
}

i_dir::iterator* posix_dir::GetIterator(const char16_t* name) {
  std::string path;
  if (!JoinName(name, path, kIteratorByNameEmptySite, Common::FILE_OPEN_ERROR)) return nullptr;
  return AdoptSelfIterator(CreateSelfIterator(path.c_str()), kIteratorByNameMemorySite);
}

i_dir::iterator* posix_dir::GetIterator(const file_identifier* id) {
  const the_identifier* own = NativeIdentifier(id);
  if (own == nullptr) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kIteratorByIdNullSite), Common::FILE_OPEN_ERROR));
    return nullptr;
  }
  std::string path = native_path;
  if (path.size() >= 2) path += '/';
  path += own->GetNativeName();
  return AdoptSelfIterator(CreateSelfIterator(path.c_str()), kIteratorByIdMemorySite);
}

i_dir::iterator* posix_dir::GetSelfIterator() {
  return AdoptSelfIterator(CreateSelfIterator(native_path.c_str()), kSelfIteratorMemorySite);
}

// Queries --------------------------------------------------------------------------------

const char16_t* posix_dir::GetDirPath() {
  if (dir_path.empty()) {
    dir_path = FromNativeName(native_path.c_str());
    if (native_path.size() > 1) dir_path.push_back(u'/');
  }
  return dir_path.c_str();
}

uint32_t posix_dir::CompareLocation(i_dir* other) {
  constexpr uint32_t kSame = 0;
  constexpr uint32_t kInside = 1;
  constexpr uint32_t kElsewhere = 2;
  if (other == nullptr) return kElsewhere;
  if (other == static_cast<i_dir*>(this)) return kSame;
  auto* posix = dynamic_cast<posix_dir*>(other);
  if (posix == nullptr) return kElsewhere;
  const std::string& mine = native_path;
  const std::string& theirs = posix->native_path;
  size_t l = mine.size();
  size_t m = theirs.size();
  if (l > m) return kElsewhere;
  if (l < m && l > 0 && theirs[l - 1] != '/' && theirs[l] != '/') return kElsewhere;
  if (theirs.compare(0, l, mine) != 0) return kElsewhere;
  return l == m ? kSame : kInside;
}

int32_t posix_dir::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  const the_identifier* left = NativeIdentifier(a);
  const the_identifier* right = NativeIdentifier(b);
  // Identifiers without native names name nothing this directory can compare.
  if (left == nullptr || right == nullptr) return 1;
  return std::strcmp(left->GetNativeName(), right->GetNativeName());
}

void posix_dir::GetDriveSize(uint64_t* total, uint64_t* free, uint64_t* available) {
  *total = 0;
  *free = 0;
  *available = 0;
  struct statfs64 info;
  if (statfs64(native_path.c_str(), &info) != 0)
    return ReplaceLastError(
        *this, FileErrorFromErrno(kSource.At(kDriveSizeSite), Common::FILE_READ_ERROR, native_path.c_str()));
  int64_t blockBytes = static_cast<int32_t>(info.f_bsize);
  if (blockBytes == 0)
    return ReplaceLastError(*this,
                            PathErrorWithoutCause(kDriveBlockSizeSite, Common::FILE_READ_ERROR, native_path.c_str()));
  *total = static_cast<uint64_t>(blockBytes * static_cast<int64_t>(info.f_blocks));
  *free = static_cast<uint64_t>(blockBytes * static_cast<int64_t>(info.f_bfree));
  *available = static_cast<uint64_t>(blockBytes * static_cast<int64_t>(info.f_bavail));
  ReplaceLastError(*this, Common::NoError);
}

// Control codes --------------------------------------------------------------------------

void posix_dir::IOCTL(void* request) {
  if (request == nullptr) return rio_dir::IOCTL(request);
  switch (PosixControl::ReadControlCode(request)) {
    case PosixControl::kSetEntryTimes:
      return SetEntryTimes(request);
    case PosixControl::kGetDevicePath:
      return GetDevicePath(request);
    case PosixControl::kGetFsType:
      return GetFsType(request);
    case PosixControl::kBackup:
      return RouteBackup(request);
    case PosixControl::kRestore:
      return RouteRestore(request);
    default:
      return rio_dir::IOCTL(request);
  }
}

// Backup and restore of one entry: the bodies get the block from its second word on, and
// their outcome becomes the last error.
void posix_dir::RouteBackup(void* request) {
  const BackupRequestBody& body = static_cast<const BackupRequest*>(request)->Body;
  Common::Error result = PosixBackupFile(this, body.Entry, body);
  ReplaceLastError(*this, result);
}

void posix_dir::RouteRestore(void* request) {
  const RestoreRequestBody& body = static_cast<const RestoreRequest*>(request)->Body;
  Common::Error result = PosixRestoreFile(this, GetDirPath(), body.Name, body);
  ReplaceLastError(*this, result);
}

void posix_dir::SetEntryTimes(void* request) {
  auto* block = static_cast<PosixControl::SetEntryTimesRequest*>(request);
  std::string path;
  GetPath(block->Name, path);
  struct stat64 st;
  if (lstat64(path.c_str(), &st) != 0)
    return ReplaceLastError(*this,
                            FileErrorFromErrno(kSource.At(kEntryTimesStatSite), Common::FILE_READ_ERROR, path.c_str()));
  // utimes would follow the link: link times are not set.
  if (S_ISLNK(st.st_mode))
    return ReplaceLastError(*this, Common::MakeError(kSource.At(kEntryTimesLinkSite), Common::FILE_NOT_SUPPORTED));
  timeval times[2] = {PosixSites::MillisToTimeval(block->AccessTime),
                      PosixSites::MillisToTimeval(block->ModificationTime)};
  if (utimes(path.c_str(), times) != 0)
    return ReplaceLastError(*this, Common::MakeError(kSource.At(kEntryTimesSite), Common::FILE_WRITE_ERROR));
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::GetDevicePath(void* request) {
  auto* block = static_cast<PosixControl::GetDevicePathRequest*>(request);
  std::string candidate = WithSlash(native_path);
  // Walks up to the nearest ancestor that exists: a directory that is still to be made
  // reports the device it will be made on.
  for (;;) {
    struct stat64 st;
    if (stat64(candidate.c_str(), &st) == 0) {
      block->Major = major(st.st_dev);
      block->Minor = minor(st.st_dev);
      block->Path = GetDirPath();
      return ReplaceLastError(*this, Common::NoError);
    }
    if ((errno != ENOENT && errno != ENOTDIR) || candidate.size() < 3)
      return ReplaceLastError(*this, Common::MakeError(kSource.At(kDevicePathSite), Common::FILE_NOT_SUPPORTED));
    size_t slash = candidate.rfind('/', candidate.size() - 3);
    candidate.resize(slash == std::string::npos ? 0 : slash + 1);
  }
}

void posix_dir::GetFsType(void* request) {
  auto* block = static_cast<PosixControl::GetFsTypeRequest*>(request);
  std::string path = WithSlash(native_path);
  struct statfs64 info;
  if (statfs64(path.c_str(), &info) != 0)
    return ReplaceLastError(*this,
                            FileErrorFromErrno(kSource.At(kFsTypeSite), Common::FILE_NOT_SUPPORTED, path.c_str()));
  const char* name = FsTypeName(static_cast<uint32_t>(info.f_type));
  size_t i = 0;
  for (; name[i] != 0 && i + 1 < PosixControl::kFsTypeNameUnits; ++i)
    block->Name[i] = static_cast<char16_t>(std::toupper(static_cast<unsigned char>(name[i])));
  block->Name[i] = 0;
}

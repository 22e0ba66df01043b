// The directory iterators of posix_dir (the walking one and the one that stands on a
// single path) and the_identifier, whose name block is shared by its clones.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "core/file/unix/name_codec.h"
#include "core/file/unix/posixsp.h"
#include "core/file/unix/posixsp_site.h"

using PosixSites::kSource;

namespace {

constexpr Common::Site kDoStatSite{"DoStat", 1664};
constexpr Common::Site kStatFileSite{"StatFile", 1906};
constexpr Common::Site kAllocatedSizeSite{"AcquireAllocatedSize", 1918};
constexpr Common::Site kNextSite{"Next", 1968};
constexpr Common::Site kSelfNextSite{"Next", 1989};
constexpr Common::Site kSelfStatFileSite{"StatFile", 2000};

constexpr uint64_t kBlockUnitBytes = 512;
constexpr size_t kLinkBufferBytes = 4096;
constexpr int64_t kMillisPerSecond = 1000;
constexpr int64_t kNanosPerMilli = 1000000;

uint32_t TypeFromMode(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFCHR:
      return EntryTypes::kTypeCharDevice;
    case S_IFBLK:
      return EntryTypes::kTypeBlockDevice;
    case S_IFIFO:
      return EntryTypes::kTypeFifo;
    case S_IFSOCK:
      return EntryTypes::kTypeSocket;
    case S_IFLNK:
      return EntryTypes::kTypeSymLink;
    case S_IFDIR:
      return EntryTypes::kTypeDirectory;
    default:
      return EntryTypes::kTypeRegular;
  }
}

// The code of a d_type the table knows; false for DT_UNKNOWN and anything else.
bool TypeFromDirent(unsigned char type, uint32_t& code) {
  switch (type) {
    case DT_REG:
      code = EntryTypes::kTypeRegular;
      return true;
    case DT_CHR:
      code = EntryTypes::kTypeCharDevice;
      return true;
    case DT_BLK:
      code = EntryTypes::kTypeBlockDevice;
      return true;
    case DT_FIFO:
      code = EntryTypes::kTypeFifo;
      return true;
    case DT_SOCK:
      code = EntryTypes::kTypeSocket;
      return true;
    case DT_LNK:
      code = EntryTypes::kTypeSymLink;
      return true;
    case DT_DIR:
      code = EntryTypes::kTypeDirectory;
      return true;
    default:
      return false;
  }
}

// Seconds beyond what a count of milliseconds holds (some file systems store them) give
// the nearest count rather than an overflow.
uint64_t ToMillis(const timespec& time) {
  constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max() / kMillisPerSecond - 1;
  const int64_t seconds = std::clamp<int64_t>(time.tv_sec, -kMaxSeconds, kMaxSeconds);
  return static_cast<uint64_t>(seconds * kMillisPerSecond + static_cast<int64_t>(time.tv_nsec) / kNanosPerMilli);
}

}  // namespace

// stat_iterator --------------------------------------------------------------------------

void posix_dir::stat_iterator::ResetEntry() {
  cached_name.clear();
  cached_link_target.clear();
  stat_valid = false;
  link_path.clear();
  link_state = 0;
  allocated_size = 0;
  allocated_size_valid = false;
}

void posix_dir::stat_iterator::DoStat(const std::string& path) {
  if (lstat64(path.c_str(), &stat_record) != 0) {
    ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kDoStatSite), Common::FILE_READ_ERROR, path.c_str()));
    stat_valid = false;
    return;
  }
  ReplaceLastError(*this, Common::NoError);
  stat_valid = true;
  if (S_ISLNK(stat_record.st_mode)) {
    link_path = path;
    link_state = 0;
  }
}

const struct stat64* posix_dir::stat_iterator::StatRecord() {
  StatFile();
  return HoldsError() ? nullptr : &stat_record;
}

void posix_dir::stat_iterator::AcquireAllocatedSize() {
  if (HoldsError() || allocated_size_valid) return;
  if (GetNativeName() == nullptr)
    return ReplaceLastError(*this, Common::MakeError(kSource.At(kAllocatedSizeSite), Common::FILE_READ_ERROR));
  StatFile();
  if (HoldsError()) return;
  allocated_size = static_cast<uint64_t>(stat_record.st_blocks) * kBlockUnitBytes;
  allocated_size_valid = true;
}

uint64_t posix_dir::stat_iterator::GetSize() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? static_cast<uint64_t>(st->st_size) : 0;
}

uint64_t posix_dir::stat_iterator::GetAllocatedSize() {
  AcquireAllocatedSize();
  return HoldsError() ? 0 : allocated_size;
}

uint32_t posix_dir::stat_iterator::GetType() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? TypeFromMode(st->st_mode) : EntryTypes::kTypeRegular;
}

uint64_t posix_dir::stat_iterator::GetModificationTime() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? ToMillis(st->st_mtim) : 0;
}

uint64_t posix_dir::stat_iterator::GetChangeTime() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? ToMillis(st->st_ctim) : 0;
}

uint64_t posix_dir::stat_iterator::GetAccessTime() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? ToMillis(st->st_atim) : 0;
}

int32_t posix_dir::stat_iterator::GetUnixMode() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? static_cast<int32_t>(st->st_mode) : -1;
}

int32_t posix_dir::stat_iterator::GetUnixOwner() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? static_cast<int32_t>(st->st_uid) : -1;
}

int32_t posix_dir::stat_iterator::GetUnixGroup() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? static_cast<int32_t>(st->st_gid) : -1;
}

uint32_t posix_dir::stat_iterator::GetLinkCount() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? static_cast<uint32_t>(st->st_nlink) : 1;
}

uint32_t posix_dir::stat_iterator::GetDeviceMajor() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? major(st->st_rdev) : 0;
}

uint32_t posix_dir::stat_iterator::GetDeviceMinor() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? minor(st->st_rdev) : 0;
}

uint64_t posix_dir::stat_iterator::GetInode() {
  const struct stat64* st = StatRecord();
  return st != nullptr ? static_cast<uint64_t>(st->st_ino) : 0;
}

bool posix_dir::stat_iterator::IsHidden() {
  const char* native = GetNativeName();
  return HoldsError() || native == nullptr || native[0] == '.';
}

const char16_t* posix_dir::stat_iterator::GetName() {
  const char* native = GetNativeName();
  if (cached_name.empty() && native != nullptr) cached_name = FromNativeName(native);
  return cached_name.c_str();
}

file_identifier* posix_dir::stat_iterator::GetIdentifier() {
  const char* native = GetNativeName();
  if (native == nullptr) return nullptr;
  const char16_t* name = GetName();
  return new the_identifier(name, native, std::strlen(native) + 1);
}

const char16_t* posix_dir::stat_iterator::GetLinkTarget() {
  const struct stat64* st = StatRecord();
  if (st == nullptr || !S_ISLNK(st->st_mode)) return nullptr;
  if (link_state == 0) {
    if (link_path.find('/') == std::string::npos) return nullptr;
    char target[kLinkBufferBytes];
    ssize_t n = readlink(link_path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
      link_state = -1;
      return nullptr;
    }
    target[n] = 0;
    cached_link_target = FromNativeName(target);
    link_state = 1;
  }
  // A link whose text could not be read stays without a target.
  if (link_state < 0) return nullptr;
  return cached_link_target.c_str();
}

// iterator -------------------------------------------------------------------------------

posix_dir::iterator::iterator(const char* native_path, DIR* handle) : dir_path(native_path), handle(handle) {
  if (dir_path.size() > 1) dir_path += '/';
  Next();
}

posix_dir::iterator::~iterator() { closedir(handle); }

void posix_dir::iterator::Next() {
  if (HoldsError()) return;
  ResetEntry();
  for (;;) {
    errno = 0;
    current = readdir64(handle);
    if (current == nullptr) break;
    const char* name = current->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    return;
  }
  // At the true end errno is still 0 and the code stays "end of file".
  ReplaceLastError(*this, FileErrorFromErrno(kSource.At(kNextSite), Common::FILE_END_OF_FILE, dir_path.c_str()));
}

const char* posix_dir::iterator::GetNativeName() const { return current != nullptr ? current->d_name : nullptr; }

void posix_dir::iterator::StatFile() {
  if (HoldsError()) return;
  if (current == nullptr)
    return ReplaceLastError(*this, Common::MakeError(kSource.At(kStatFileSite), Common::FILE_READ_ERROR));
  // Refreshed on every call: each attribute asked for is current.
  DoStat(dir_path + current->d_name);
}

uint32_t posix_dir::iterator::GetType() {
  uint32_t code;
  if (!HoldsError() && current != nullptr && !stat_valid && TypeFromDirent(current->d_type, code)) return code;
  return stat_iterator::GetType();
}

// self_iterator --------------------------------------------------------------------------

posix_dir::self_iterator::self_iterator(const char* path) : full_path(path) {
  size_t slash = full_path.rfind('/');
  name = slash == std::string::npos ? full_path : full_path.substr(slash + 1);
  if (name.empty()) name = "/";
  DoStat(full_path);
}

void posix_dir::self_iterator::Next() {
  if (HoldsError()) return;
  ReplaceLastError(*this, Common::MakeError(kSource.At(kSelfNextSite), Common::FILE_NOT_SUPPORTED));
}

void posix_dir::self_iterator::StatFile() {
  if (HoldsError()) return;
  if (!stat_valid)
    ReplaceLastError(*this, Common::MakeError(kSource.At(kSelfStatFileSite), Common::FILE_NOT_SUPPORTED));
}

// the_identifier -------------------------------------------------------------------------

// One allocation: the header, the UTF-16 name with its NUL, then the native bytes.
struct the_identifier::Block {
  uint32_t RefCount;  // changed only through std::atomic_ref
  const char* NativeName;

  char16_t* Name() { return reinterpret_cast<char16_t*>(this + 1); }
};

namespace {

std::atomic_ref<uint32_t> CountOf(the_identifier::Block* block) { return std::atomic_ref<uint32_t>(block->RefCount); }

// The empty name without native bytes; counted from 1 so that it is never freed.
struct EmptyIdentifierBlock {
  the_identifier::Block Header;
  char16_t Name[1];
};
EmptyIdentifierBlock g_emptyIdentifier = {{1, nullptr}, {0}};

the_identifier::Block* EmptyBlock() { return &g_emptyIdentifier.Header; }

}  // namespace

the_identifier::the_identifier(const char16_t* name, const char* native, size_t native_length) {
  if (name == nullptr) name = u"";
  size_t units = std::char_traits<char16_t>::length(name) + 1;
  if (units == 1 && native_length == 0) {
    block = EmptyBlock();
    CountOf(block).fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // A NUL after the native bytes keeps string comparisons inside the block even for bytes
  // given without one.
  size_t bytes = sizeof(Block) + units * sizeof(char16_t) + native_length + 1;
  block = static_cast<Block*>(::operator new(bytes));
  block->RefCount = 1;
  std::memcpy(block->Name(), name, units * sizeof(char16_t));
  block->NativeName = nullptr;
  if (native_length > 0) {
    char* bytesAt = reinterpret_cast<char*>(block->Name() + units);
    std::memcpy(bytesAt, native, native_length);
    bytesAt[native_length] = 0;
    block->NativeName = bytesAt;
  }
}

the_identifier::~the_identifier() {
  if (CountOf(block).fetch_sub(1, std::memory_order_acq_rel) == 1) ::operator delete(block);
}

file_identifier* the_identifier::Clone() const {
  auto* clone = new (std::nothrow) the_identifier(block);
  if (clone != nullptr) CountOf(block).fetch_add(1, std::memory_order_relaxed);
  return clone;
}

const char* the_identifier::GetNativeName() const { return block->NativeName; }

const char16_t* the_identifier::GetName() const { return block->Name(); }

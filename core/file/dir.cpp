// Generic directory operations: the drive-size and volume-label defaults and the
// symbolic-link resolution that the POSIX directory reuses.
#include "core/include/file/dir.h"

namespace {

constexpr Common::SourceFile kSource{Common::Locations::CoreFileDir, "core/file/dir.cpp"};
constexpr Common::Site kGetDriveSizeSite{"GetDriveSize", 27};
constexpr Common::Site kGetVolumeLabelSite{"GetVolumeLabel", 35};
constexpr Common::Site kResolveSymLinksSite{"ResolveSymLinks", 49};

}  // namespace

file_identifier::~file_identifier() = default;
i_dir::~i_dir() = default;
i_dir::iterator::~iterator() = default;
o_dir::~o_dir() = default;

void i_dir::GetDriveSize(uint64_t* total, uint64_t* free_bytes, uint64_t* available) {
  *total = 0;
  *free_bytes = 0;
  *available = 0;
  ReplaceLastError(*this, Common::MakeError(kSource.At(kGetDriveSizeSite), Common::FILE_NOT_SUPPORTED));
}

void i_dir::GetVolumeLabel(char16_t* buffer, uint32_t capacity) {
  if (capacity != 0) buffer[0] = 0;
  ReplaceLastError(*this, Common::MakeError(kSource.At(kGetVolumeLabelSite), Common::FILE_NOT_SUPPORTED));
}

std::pair<i_dir*, file_identifier*> i_dir::ResolveSymLinks(const file_identifier* id) {
  i_dir* dir = OpenDir(u".");
  std::pair<i_dir*, file_identifier*> result{dir, nullptr};
  if (last_error) return result;
  if (id == nullptr) return result;
  file_identifier* clone = id->Clone();
  if (clone == nullptr) {
    delete dir;
    ReplaceLastError(*this, Common::MakeError(kSource.At(kResolveSymLinksSite), Common::FILE_OUT_OF_MEMORY));
    return {nullptr, nullptr};
  }
  return {dir, clone};
}

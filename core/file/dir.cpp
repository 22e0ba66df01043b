// Generic directory operations: the drive-size and volume-label defaults and the
// symbolic-link resolution that the POSIX directory reuses.
#include "core/include/file/dir.h"

namespace {

constexpr uint32_t kGetDriveSizeLine = 27;
constexpr uint32_t kGetVolumeLabelLine = 35;
constexpr uint32_t kResolveSymLinksLine = 49;

void RecordNotSupported(file_object& object, const char* function, uint32_t line) {
  ReplaceLastError(object, Common::MakeError(ORMIVANE_SITE_FN(Common::Locations::CoreFileDir, function, line),
                                             Common::FILE_NOT_SUPPORTED));
}

}  // namespace

file_identifier::~file_identifier() = default;
i_dir::~i_dir() = default;
i_dir::iterator::~iterator() = default;
o_dir::~o_dir() = default;

void i_dir::GetDriveSize(uint64_t* total, uint64_t* free_bytes, uint64_t* available) {
  *total = 0;
  *free_bytes = 0;
  *available = 0;
  RecordNotSupported(*this, "GetDriveSize", kGetDriveSizeLine);
}

void i_dir::GetVolumeLabel(char16_t* buffer, uint32_t capacity) {
  if (capacity != 0) buffer[0] = 0;
  RecordNotSupported(*this, "GetVolumeLabel", kGetVolumeLabelLine);
}

std::pair<i_dir*, file_identifier*> i_dir::ResolveSymLinks(const file_identifier* id) {
  i_dir* dir = OpenDir(u".");
  std::pair<i_dir*, file_identifier*> result{dir, nullptr};
  if (last_error) return result;
  if (id == nullptr) return result;
  file_identifier* clone = id->Clone();
  if (clone == nullptr) {
    delete dir;
    ReplaceLastError(*this, Common::MakeError(ORMIVANE_SITE_FN(Common::Locations::CoreFileDir, "ResolveSymLinks",
                                                               kResolveSymLinksLine),
                                              Common::FILE_OUT_OF_MEMORY));
    return {nullptr, nullptr};
  }
  return {dir, clone};
}

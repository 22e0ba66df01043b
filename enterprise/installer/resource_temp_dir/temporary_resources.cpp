// Temporary resources: entries of the program's resource archive copied into a temporary
// directory in "/tmp" as ordinary files.
#include "enterprise/installer/resource_temp_dir/temporary_resources.h"

#include <memory>

#include "core/common/zipopen.h"
#include "core/file/utils.h"

namespace EnterpriseInstaller {

namespace {

constexpr Common::SourceFile kSource{Common::Locations::InstallerTemporaryResources,
                                     "enterprise/installer/resource_temp_dir/temporary_resources.cpp"};
constexpr Common::Site kNoTargetFileSite{"ExtractZipFile", 26};
constexpr Common::Site kShortEntrySite{"ExtractZipFile", 41};
constexpr Common::Site kEntryMissingSite{"ExtractZipFile", 44};

// The directory's error when it could not create the target; the file's own when the
// directory gave none, and never an empty error.
Common::Error CreateError(rio_dir& dir, rio_file* file) {
  Common::Error error = TakeLastError(dir);
  if (error.IsEmpty() && file != nullptr) error = TakeLastError(*file);
  if (error.IsEmpty()) error = Common::MakeError(kSource.At(kNoTargetFileSite), Common::FILE_CREATE_ERROR);
  return error;
}

// The copy stops at the first short read, and the entry compares its CRC (and reports a
// broken deflate stream) only on the call after its last byte: so one more read must find
// the end without an error, and the count must be the entry's size. Otherwise the file
// written is truncated or wrong and must not be used.
void CheckWholeEntry(si_file& src, uint64_t copied) {
  uint8_t probe[1];
  uint32_t beyond = 0;
  src.Read(probe, sizeof probe, &beyond);
  if (src.last_error) throw TakeLastError(src);
  uint64_t size = src.Size();
  if (src.last_error) throw TakeLastError(src);
  if (beyond != 0 || copied != size) throw Common::MakeError(kSource.At(kShortEntrySite), Common::FILE_CORRUPTED);
}

}  // namespace

TemporaryResources::TemporaryResources() : TemporaryDirectory(u"") {}

TemporaryResources::~TemporaryResources() = default;

void TemporaryResources::ExtractZipFile(const std::u16string& entry, const std::u16string& target) {
  std::unique_ptr<si_file> src(Resources::OpenResourceFile(entry.c_str()));
  if (!src || src->last_error) throw Common::MakeError(kSource.At(kEntryMissingSite), Common::INSTALLER_INTERNAL_ERROR);
  std::unique_ptr<rio_file> dst(dir->Create(target.c_str(), false, nullptr));
  if (!dst || dst->last_error) throw CreateError(*dir, dst.get());
  uint64_t copied = 0;
  Common::Error error = SimpleCopyFile(src.get(), dst.get(), &copied, kExtractPieceBytes);
  if (!error.IsEmpty()) throw error;
  CheckWholeEntry(*src, copied);
  // dst goes first (closing the file), then src.
}

std::u16string TemporaryResources::ExtractAs(const std::u16string& entry, const std::u16string& target) {
  ExtractZipFile(entry, target);
  return GetPath() + target;
}

std::u16string TemporaryResources::Extract(const std::u16string& name) { return ExtractAs(name, name); }

}  // namespace EnterpriseInstaller

// The temporary directory: a GUID-named directory under a base, removed with its tree.
#include "enterprise/installer/resource_temp_dir/temporary_directory.h"

#include <memory>

#include "core/common/guid.h"
#include "core/file/unix/posixsp.h"
#include "core/file/utils.h"

namespace EnterpriseInstaller {

namespace {

constexpr Common::SourceFile kSource{Common::Locations::InstallerTemporaryDirectory,
                                     "enterprise/installer/resource_temp_dir/temporary_directory.cpp"};
constexpr Common::Site kNoTempDirSite{"GetTempDirectory", 25};
constexpr Common::Site kNoCurrentDirSite{"GetTempDirectory", 30};

// The object's error, taken out of it. An object that failed without saying why must
// still end the construction with an error, never with an empty one.
Common::Error ObjectError(file_object& object) {
  Common::Error error = TakeLastError(object);
  if (error.IsEmpty()) return Common::MakeError(kSource.At(kNoTempDirSite), Common::INSTALLER_INTERNAL_ERROR);
  return error;
}

}  // namespace

TemporaryDirectory::TemporaryDirectory(const std::u16string& base) {
  std::unique_ptr<rio_dir> cur(OpenCurrentDir());
  if (!cur) throw Common::MakeError(kSource.At(kNoCurrentDirSite), Common::INSTALLER_INTERNAL_ERROR);
  std::unique_ptr<rio_dir> parent(base.empty() ? cur->OpenSpecialDir(kSpecialDirTmp) : cur->OpenDir(base.c_str()));
  if (!parent || cur->last_error) throw ObjectError(*cur);
  if (parent->last_error) throw ObjectError(*parent);
  // A missing base, or a missing "/tmp", is made with its ancestors first.
  Common::Error created = CreateDirWithParents(parent.get());
  if (!created.IsEmpty()) throw created;
  cur.reset();

  Common::Guid guid{};
  // Without flags a GUID is always made (the weak source falls back to a seeded generator).
  static_cast<void>(Common::CreateGuid(guid, 0));
  std::u16string name = Common::ToUtf16(Common::GuidToString(guid).c_str());
  // No check for an existing entry first: a collision fails as "already exists".
  parent->CreateDir(name.c_str(), nullptr);
  if (parent->last_error) throw ObjectError(*parent);
  dir = parent->OpenDir(name.c_str());
  if (dir == nullptr) throw ObjectError(*parent);
}

TemporaryDirectory::~TemporaryDirectory() {
  // Whatever could not be removed stays; the owner has nothing to do about it.
  RemoveDirTree(dir, false).IgnoreError();
  delete dir;
}

std::u16string TemporaryDirectory::GetPath() const {
  const char16_t* text = dir->GetDirPath();
  std::u16string path = text != nullptr ? text : u"";
  char16_t separator = dir->GetPathSeparator();
  if (path.empty() || path.back() != separator) path.push_back(separator);
  return path;
}

}  // namespace EnterpriseInstaller

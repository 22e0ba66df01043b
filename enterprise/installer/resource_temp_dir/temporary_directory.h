// A directory that exists exactly as long as its object: created under a GUID name at
// construction, removed with everything in it at destruction.
#pragma once

#include <string>

#include "core/include/file/dir.h"
#include "core/common/non_copyable.h"

namespace EnterpriseInstaller {

class TemporaryDirectory : private Common::NonCopyable {
 public:
  // Creates the directory under `base` (relative to the current directory; its missing
  // ancestors are created too); an empty base means the system's temporary directory.
  // Throws Common::Error.
  explicit TemporaryDirectory(const std::u16string& base);
  // Removes the whole tree, the directory itself included. Never throws.
  virtual ~TemporaryDirectory();

  // The directory's path, always ending with the directory's path separator.
  std::u16string GetPath() const;

 protected:
  // The created directory; never null after construction.
  rio_dir* dir = nullptr;
};

}  // namespace EnterpriseInstaller

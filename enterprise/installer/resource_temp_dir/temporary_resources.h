// A temporary directory in "/tmp" that entries of the program's resource archive are
// copied into as ordinary files.
#pragma once

#include <string>

#include "enterprise/installer/resource_temp_dir/temporary_directory.h"

namespace EnterpriseInstaller {

// Bytes copied from an entry at a time.
inline constexpr uint32_t kExtractPieceBytes = 65536;

class TemporaryResources : public TemporaryDirectory {
 public:
  TemporaryResources();
  ~TemporaryResources() override;

  // Copies archive entry `entry` into the directory as file `target` (created or
  // truncated). An entry that does not arrive whole and intact is an error. Throws
  // Common::Error.
  void ExtractZipFile(const std::u16string& entry, const std::u16string& target);
  // ExtractZipFile, then the path of the written file.
  std::u16string ExtractAs(const std::u16string& entry, const std::u16string& target);
  std::u16string Extract(const std::u16string& name);
};

}  // namespace EnterpriseInstaller

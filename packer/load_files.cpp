// Unpacking the carried files into the run's temporary directory.
#include "packer/load_files.h"

#include <sys/stat.h>

#include <iostream>

#include "packer/payload_list.h"

namespace LoadFiles {

namespace {

constexpr mode_t kToolMode = 0700;

bool IsTool(const std::string& name) { return name.size() > 3 && name.ends_with(".exe"); }

}  // namespace

std::vector<std::string> UnpackList() {
  return std::vector<std::string>(std::begin(Payload::kUnpackEntries), std::end(Payload::kUnpackEntries));
}

LibraryRenameTable::LibraryRenameTable() {
  for (const Payload::RenameRow& row : Payload::kRenameRows) rows.emplace(row.ArchiveName, row.FileName);
}

const std::string& LibraryRenameTable::FileNameOf(const std::string& archiveName) const {
  auto row = rows.find(archiveName);
  return row != rows.end() ? row->second : archiveName;
}

FilesHolder::FilesHolder(const std::vector<std::string>& names) {
  LibraryRenameTable table;
  const std::u16string dir = GetPath();
  const std::string dirText = Common::ToUtf8(dir.c_str());
  std::cout << "Unpack files to " << dirText << std::endl;
  for (const std::string& name : names) {
    if (IsTool(name)) {
      std::string path = Common::ToUtf8(resources.Extract(Common::ToUtf16(name.c_str())).c_str());
      std::cout << "Unpacked " << name << " to " << path << std::endl;
      // A failure here shows later, when the tool cannot be started.
      chmod(path.c_str(), kToolMode);
      // The tool comes first, so the path is set before any library lands.
      Common::SetEnv(u"LD_LIBRARY_PATH", dir.c_str());
      continue;
    }
    const std::string& target = table.FileNameOf(name);
    std::string path = Common::ToUtf8(
        resources.ExtractAs(Common::ToUtf16(name.c_str()), Common::ToUtf16(target.c_str())).c_str());
    std::cout << "Unpacked " << name << " to " << path << std::endl;
  }
  std::cout << "Files unpacked to " << dirText << std::endl;
}

}  // namespace LoadFiles

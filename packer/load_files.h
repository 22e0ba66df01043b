// Unpacking the carried files: the tool and its libraries copied out of the resource
// archive into a fresh temporary directory, the libraries under the names the tool's
// loader asks for, the tool made executable and the library path pointed at the
// directory. The directory goes with the holder.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "enterprise/installer/resource_temp_dir/temporary_resources.h"

namespace LoadFiles {

// The archive entries to unpack, in order: the tool, the three compiler runtime
// libraries, then the ten ".dll" libraries of the tool.
std::vector<std::string> UnpackList();

// Archive name -> file name in the directory, for every library the tool may need.
class LibraryRenameTable {
 public:
  LibraryRenameTable();
  // The file name of `archiveName`, or the name itself when it has no row.
  const std::string& FileNameOf(const std::string& archiveName) const;
  const std::map<std::string, std::string>& Rows() const { return rows; }

 private:
  std::map<std::string, std::string> rows;
};

class FilesHolder {
 public:
  // Creates the directory and unpacks every name in order, printing a line for each.
  // Throws Common::Error at the first failure; the directory is then already removed.
  explicit FilesHolder(const std::vector<std::string>& names);
  FilesHolder(const FilesHolder&) = delete;
  FilesHolder& operator=(const FilesHolder&) = delete;

  // The directory's path with its trailing "/".
  std::u16string GetPath() const { return resources.GetPath(); }

 private:
  EnterpriseInstaller::TemporaryResources resources;
};

}  // namespace LoadFiles

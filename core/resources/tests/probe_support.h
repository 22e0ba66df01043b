// Support of the resource tests that need a fresh process: a copy of the probe program
// in a temporary directory, with the archive a test gives it, and archives built from
// catalogs and texts by the fixture tool.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/testing/fixtures.h"

namespace ProbeTesting {

// One archive entry: its name and either a file to store or a text.
struct Entry {
  std::string Name;
  std::string File;
  std::string Text;
};

class ProbeDir {
 public:
  // The copy is named `programName` inside a new temporary directory.
  explicit ProbeDir(const std::string& programName = "probe");

  const std::string& Program() const { return program; }
  std::string File(const std::string& name) const { return dir.File(name); }

  // The catalog from the project's table with the fixture tool's options, as file `name`.
  std::string Catalog(const std::string& name, const std::vector<std::string>& options = {});
  // An archive of the entries (deflated), as file `name`.
  std::string Archive(const std::string& name, const std::vector<Entry>& entries);

  // Installs the probe copy with `archive` as its ".zip" section ("-": without one).
  bool Install(const std::string& archive, bool decoy = false);

  // Runs the copy. Unless `i18n` names a file, the language setting comes from LANG
  // alone (the machine's /etc/i18n is never read).
  Testing::ProcessResult Run(const std::vector<std::string>& args, const std::vector<std::string>& environment = {},
                             const std::string& i18n = "");

 private:
  Testing::TempDir dir;
  std::string program;
};

// "text\n" as the probe prints it.
inline std::string Line(const std::string& text) { return text + "\n"; }

}  // namespace ProbeTesting

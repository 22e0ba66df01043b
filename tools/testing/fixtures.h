// Test support for the archive tests: a temporary directory per test, the project's
// fixture tool (tools/fixtures/make_archive.py) run into it, and whole-file helpers.
#pragma once

#include <string>
#include <vector>

namespace Testing {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path; }
  std::string File(const std::string& name) const { return path + "/" + name; }

 private:
  std::string path;
};

// Runs a program with its arguments and waits for it; its exit status, or -1 when it
// could not be started or did not exit normally.
int RunProgram(const std::vector<std::string>& argv);

// What a program run by RunCaptured did: its exit status (-1 when it did not exit), the
// signal that ended it (0 when none) and its standard output.
struct ProcessResult {
  int Status = -1;
  int Signal = 0;
  std::string Output;
};

// Runs a program with `environment` changes ("NAME=VALUE" sets, "NAME" alone unsets) and
// collects its standard output; its standard error is left alone.
ProcessResult RunCaptured(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

// The fixture tool's subcommands (see its usage text); false when it failed.
bool MakeZip(const std::string& out, const std::string& jsonSpec);
bool MakeElf(const std::string& out, const std::string& jsonSpec);
bool EmbedArchive(const std::string& program, const std::string& archive, const std::string& out,
                  bool decoy = false);
bool MakeCatalog(const std::string& out, const std::vector<std::string>& options = {});

std::vector<unsigned char> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);
bool CopyFile(const std::string& from, const std::string& to, unsigned mode = 0755);

// The catalog the build generated (the one every test program carries in its archive).
std::string CatalogPath();

}  // namespace Testing

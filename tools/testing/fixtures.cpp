// Test support: temporary directories and the fixture tool.
#include "tools/testing/fixtures.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace Testing {

TempDir::TempDir() {
  char pattern[] = "/tmp/ormivane-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

int RunProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {
bool RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), {ORMIVANE_PYTHON, ORMIVANE_FIXTURE_TOOL});
  return RunProgram(args) == 0;
}
}  // namespace

bool MakeZip(const std::string& out, const std::string& jsonSpec) { return RunTool({"zip", out, jsonSpec}); }

bool MakeElf(const std::string& out, const std::string& jsonSpec) { return RunTool({"elf", out, jsonSpec}); }

bool EmbedArchive(const std::string& program, const std::string& archive, const std::string& out, bool decoy) {
  std::vector<std::string> args = {"embed", program, archive, out, "--objcopy", ORMIVANE_OBJCOPY};
  if (decoy) args.push_back("--decoy");
  return RunTool(args);
}

bool MakeCatalog(const std::string& out, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"catalog", out};
  args.insert(args.end(), options.begin(), options.end());
  return RunTool(args);
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool CopyFile(const std::string& from, const std::string& to, unsigned mode) {
  std::error_code error;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
  return !error && chmod(to.c_str(), mode) == 0;
}

std::string CatalogPath() { return ORMIVANE_CATALOG_PATH; }

}  // namespace Testing

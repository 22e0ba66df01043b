// Test support: temporary directories and the fixture tool.
#include "tools/testing/fixtures.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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

ProcessResult RunCaptured(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  ProcessResult result;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& change : environment) {
    std::string name = change.substr(0, change.find('='));
    std::erase_if(env, [&](const std::string& e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // Programs that are expected to abort leave no core files behind.
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  int out[2];
  if (pipe(out) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned == 0) {
    char buffer[4096];
    for (;;) {
      ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      result.Output.append(buffer, static_cast<size_t>(n));
    }
  }
  close(out[0]);
  if (spawned != 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  if (WIFEXITED(status)) result.Status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.Signal = WTERMSIG(status);
  return result;
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
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<unsigned char> bytes(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) return {};
  return bytes;
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

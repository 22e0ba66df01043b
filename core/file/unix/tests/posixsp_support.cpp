// Scratch directories, error-chain views and child processes for the POSIX tests.
#include "core/file/unix/tests/posixsp_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace PosixTest {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/posixsp_test.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

ScratchDir::~ScratchDir() { nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

void ScratchDir::WriteFile(const std::string& name, const std::string& content, mode_t mode) const {
  int fd = ::open(At(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) throw std::runtime_error("cannot create " + At(name));
  if (!content.empty() && ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    throw std::runtime_error("cannot write " + At(name));
  ::close(fd);
  ::chmod(At(name).c_str(), mode);
}

std::string ScratchDir::ReadFile(const std::string& name) const {
  std::ifstream in(At(name), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void ScratchDir::MakeDir(const std::string& name, mode_t mode) const {
  if (::mkdir(At(name).c_str(), mode) != 0) throw std::runtime_error("cannot make " + At(name));
}

RecordView RecordAt(const Common::Error& error, int depth) {
  RecordView view;
  const Common::ErrorRecord* record = error.GetHead();
  for (int i = 0; i < depth && record != nullptr; ++i) record = record->Cause;
  if (record == nullptr) return view;
  view.Code = record->Code;
  view.Line = record->Line;
  view.Function = record->Function != nullptr ? record->Function : "";
  view.File = record->File != nullptr ? record->File : "";
  view.IdLow = record->IdLow;
  view.IdHigh = record->IdHigh;
  view.Record = record;
  return view;
}

int ChainLength(const Common::Error& error) {
  int n = 0;
  for (const Common::ErrorRecord* r = error.GetHead(); r != nullptr; r = r->Cause) ++n;
  return n;
}

std::string Param(const Common::ErrorRecord* record, const char* name) {
  if (record == nullptr) return "";
  const char* value = record->Kind->GetAsciiParam(record, name);
  return value != nullptr ? value : "";
}

int ErrnoOf(const Common::ErrorRecord* record) {
  if (record == nullptr) return -1;
  return static_cast<int>(record->Kind->GetNumberParam(record, "code"));
}

namespace {

// Forks a child that runs `body` and exits with its answer (124 for an exception); the
// child's pid, or -1.
pid_t StartChild(const std::function<int()>& body) {
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int status = 125;
  try {
    status = body();
  } catch (...) {
    status = 124;
  }
  std::fflush(stdout);
  _exit(status);
}

int ExitStatus(int status, int* signal) {
  if (WIFSIGNALED(status) && signal != nullptr) *signal = WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunInChild(const std::function<int()>& body, int* signal) {
  pid_t pid = StartChild(body);
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return ExitStatus(status, signal);
}

int RunInChildWithin(const std::function<int()>& body, int seconds, int* signal) {
  pid_t pid = StartChild(body);
  if (pid < 0) return -1;
  constexpr long kPollsPerSecond = 100;
  const timespec pause{0, 1000000000L / kPollsPerSecond};
  int status = 0;
  pid_t reaped = 0;
  for (long polls = 0; (reaped = waitpid(pid, &status, WNOHANG)) == 0 && polls < seconds * kPollsPerSecond; ++polls)
    nanosleep(&pause, nullptr);
  if (reaped == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else if (reaped != pid) {
    return -1;
  }
  return ExitStatus(status, signal);
}

bool EnterPrivateMounts(std::string* why) {
  if (geteuid() != 0) {
    *why = "a mount namespace of its own needs root";
    return false;
  }
  if (unshare(CLONE_NEWNS) != 0) {
    *why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = std::string("making / private: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool DropPrivileges() {
  // The catalog comes from the test program's own archive, which the unprivileged user may
  // not be able to reach (a checkout in root's home folder): load it while still allowed.
  Common::GetCodeText(Common::FILE_OPEN_ERROR);
  return setgid(kNobody) == 0 && setuid(kNobody) == 0 && geteuid() == kNobody;
}

int OpenDescriptorCount() {
  // The first message lookup opens the archive behind the catalog, which stays open.
  Common::GetCodeText(Common::FILE_OPEN_ERROR);
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int n = 0;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

}  // namespace PosixTest

// A program for the child-process tests to start: it reports what it was started with
// (arguments, open descriptors, signal state, standard handles, directory, environment)
// or plays one simple part (echo its input, emit data, exit with a status).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "enterprise/common/child_process/tests/probe_pattern.h"

extern char** environ;

namespace {

void WriteAll(int fd, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t done = write(fd, bytes, length);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) _exit(3);
    bytes += done;
    length -= static_cast<size_t>(done);
  }
}

void Line(const std::string& text) {
  std::string line = text + "\n";
  WriteAll(1, line.data(), line.size());
}

std::string OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return "?";
  std::string list;
  int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (std::atoi(entry->d_name) == own) continue;
    if (!list.empty()) list += ",";
    list += entry->d_name;
  }
  closedir(dir);
  return list;
}

// A signal set as the kernel prints it in /proc/self/status: 16 hex digits, signal n at
// bit n - 1. Asked through the calls, since an emulator may keep masks of its own.
std::string SignalSetHex(bool (*member)(int)) {
  unsigned long long bits = 0;
  for (int signal = 1; signal <= 64; ++signal)
    if (member(signal)) bits |= 1ULL << (signal - 1);
  char text[32];
  std::snprintf(text, sizeof text, "%016llx", bits);
  return text;
}

bool IsBlocked(int signal) {
  sigset_t mask;
  sigemptyset(&mask);
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

bool IsIgnored(int signal) {
  struct sigaction action;
  if (sigaction(signal, nullptr, &action) != 0) return false;
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

bool IsCaught(int signal) {
  struct sigaction action;
  if (sigaction(signal, nullptr, &action) != 0) return false;
  return (action.sa_flags & SA_SIGINFO) != 0 || (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
}

std::string HandleKind(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return "closed";
  if (S_ISFIFO(info.st_mode)) return "fifo";
  if (S_ISCHR(info.st_mode)) return "chr";
  if (S_ISREG(info.st_mode)) return "reg";
  return "other";
}

std::string HandleTarget(int fd) {
  char path[64];
  char target[4096];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(path, target, sizeof target - 1);
  if (length < 0) return "closed";
  return std::string(target, static_cast<size_t>(length));
}

int Report(int argc, char** argv) {
  for (int index = 0; index < argc; ++index) Line("arg=" + std::string(argv[index]));
  Line("fds=" + OpenDescriptors());
  Line("sigblk=" + SignalSetHex(IsBlocked));
  Line("sigign=" + SignalSetHex(IsIgnored));
  Line("sigcgt=" + SignalSetHex(IsCaught));
  for (int fd = 0; fd < 3; ++fd) {
    Line("kind" + std::to_string(fd) + "=" + HandleKind(fd));
    Line("target" + std::to_string(fd) + "=" + HandleTarget(fd));
  }
  char directory[4096];
  Line("cwd=" + std::string(getcwd(directory, sizeof directory) != nullptr ? directory : "?"));
  for (char** entry = environ; *entry != nullptr; ++entry) Line("env=" + std::string(*entry));
  return 0;
}

int Cat() {
  char buffer[4096];
  for (;;) {
    ssize_t got = read(0, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0 ? 0 : 4;
    WriteAll(1, buffer, static_cast<size_t>(got));
  }
}

int Emit(size_t total, int fd) {
  char buffer[65536];
  size_t sent = 0;
  while (sent < total) {
    size_t piece = std::min(total - sent, sizeof buffer);
    for (size_t i = 0; i < piece; ++i) buffer[i] = static_cast<char>(ChildProcessTesting::ProbePatternByte(sent + i));
    WriteAll(fd, buffer, piece);
    sent += piece;
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: child_process_probe report|cat|emit N|emit-stderr N|say TEXT|exit N\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string mode = argv[1];
  if (mode == "report") return Report(argc, argv);
  if (mode == "cat") return Cat();
  if (mode == "emit" && argc == 3) return Emit(std::strtoull(argv[2], nullptr, 10), 1);
  if (mode == "emit-stderr" && argc == 3) return Emit(std::strtoull(argv[2], nullptr, 10), 2);
  if (mode == "say" && argc == 3) {
    Line(argv[2]);
    return 0;
  }
  if (mode == "exit" && argc == 3) return std::atoi(argv[2]);
  return Usage();
}

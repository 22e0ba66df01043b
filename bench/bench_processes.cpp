// Starting the compared programs and timing their output.
#include "bench/bench_processes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace Bench {

namespace {

constexpr size_t kReadPieceBytes = 65536;
constexpr int kExecFailedStatus = 127;

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// The program is spawned without copying this process's page tables (posix_spawn shares
// the memory until the exec): a fork of this process, which holds the payloads, would
// add its own copying to every start-up figure.
pid_t Spawn(char* const* argv, int stdinFd, int stdoutFd) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) throw std::runtime_error("posix_spawn_file_actions_init failed");
  int failed = 0;
  if (stdinFd >= 0)
    failed |= posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
  else
    failed |= posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  failed |= posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
  failed |= posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (failed == 0) failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    errno = failed;
    throw SystemError(std::string("posix_spawn ") + argv[0]);
  }
  return pid;
}

ssize_t ReadPiece(int fd, char* buffer, size_t size) {
  for (;;) {
    ssize_t n = read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

double Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

Pipe::Pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw SystemError("pipe2");
  Read = ends[0];
  Write = ends[1];
}

Pipe::~Pipe() {
  CloseRead();
  CloseWrite();
}

void Pipe::CloseRead() {
  if (Read >= 0) close(Read);
  Read = -1;
}

void Pipe::CloseWrite() {
  if (Write >= 0) close(Write);
  Write = -1;
}

Process::Process(const std::vector<std::string>& argv, int stdinFd, int stdoutFd) {
  std::vector<char*> pointers;
  for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  std::unique_ptr<Pipe> pipe;
  if (stdoutFd < 0) {
    pipe = std::make_unique<Pipe>();
    stdoutFd = pipe->Write;
  }
  started = Now();
  pid = Spawn(pointers.data(), stdinFd, stdoutFd);
  if (pipe) {
    pipe->CloseWrite();
    output = pipe->Read;
    pipe->Read = -1;
  }
}

Process::~Process() {
  if (output >= 0) close(output);
  if (pid > 0) Reap();
}

int Process::Reap() {
  if (output >= 0) {
    close(output);
    output = -1;
  }
  int status = -1;  // stays so, and reads as "not exited", when the wait fails
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
  return status;
}

int Process::Wait() {
  int status = Reap();
  if (!WIFEXITED(status)) return -1;
  if (WEXITSTATUS(status) == kExecFailedStatus) throw std::runtime_error("a benchmarked program could not be run");
  return WEXITSTATUS(status);
}

std::vector<TimedLine> ReadLines(int fd) {
  std::vector<TimedLine> lines;
  std::string pending;
  std::unique_ptr<char[]> buffer(new char[kReadPieceBytes]);
  for (;;) {
    ssize_t n = ReadPiece(fd, buffer.get(), kReadPieceBytes);
    if (n < 0) throw SystemError("read");
    if (n == 0) break;
    double arrived = Now();
    pending.append(buffer.get(), static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back({pending.substr(start, end - start), arrived});
    pending.erase(0, start);
  }
  if (!pending.empty()) lines.push_back({pending, Now()});
  return lines;
}

DrainResult Drain(int fd, const std::string& after) {
  DrainResult result;
  std::string header;
  bool inBody = after.empty();
  std::unique_ptr<char[]> buffer(new char[kReadPieceBytes]);
  for (;;) {
    ssize_t n = ReadPiece(fd, buffer.get(), kReadPieceBytes);
    if (n < 0) throw SystemError("read");
    if (n == 0) break;
    double arrived = Now();
    uint64_t body = static_cast<uint64_t>(n);
    if (!inBody) {
      // The launcher's own lines come first and are short: keep them until the marker.
      header.append(buffer.get(), static_cast<size_t>(n));
      size_t at = header.find(after);
      if (at == std::string::npos) continue;
      inBody = true;
      body = header.size() - (at + after.size());
    }
    if (body == 0) continue;
    if (result.Bytes == 0) result.First = arrived;
    result.Bytes += body;
    result.Last = arrived;
  }
  return result;
}

void RunQuietly(const std::vector<std::string>& argv) {
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) throw SystemError("open /dev/null");
  Process process(argv, -1, null);
  int status = process.Wait();
  close(null);
  if (status != 0) throw std::runtime_error(argv[0] + " failed");
}

}  // namespace Bench

// Helper of safe_close_test: does one kind of close in a process whose ZENVALO_SAFE_CLOSE
// the test chose, and prints what the call returned (when the process survives it).
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <atomic>
#include <thread>

#include "core/linex/safe_close.h"

namespace {

const char* ErrnoName(int value) {
  switch (value) {
    case 0: return "0";
    case EBADF: return "EBADF";
    case ENOENT: return "ENOENT";
    case ENOSPC: return "ENOSPC";
    default: return "other";
  }
}

void Report(const char* what, int result) {
  std::printf("%s %d %s\n", what, result, ErrnoName(errno));
  std::fflush(stdout);
}

// A descriptor number that is certainly not open.
int ClosedDescriptor() {
  int fd = open("/dev/null", O_RDONLY);
  RealClose(fd);
  return fd;
}

int BadClose() {
  errno = 0;
  Report("close", close(ClosedDescriptor()));
  return 0;
}

// A stream whose descriptor was closed underneath it fails to close with EBADF.
int BadFclose() {
  FILE* stream = std::fopen("/dev/null", "w");
  RealClose(fileno(stream));
  errno = 0;
  Report("fclose", std::fclose(stream));
  return 0;
}

int FindDescriptorOf(const std::string& path) {
  for (int fd = 3; fd < 1024; ++fd) {
    char link[64];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    if (path == target) return fd;
  }
  return -1;
}

// The standard library's file streams close through fclose too.
int BadStream(const char* directory) {
  std::string path = std::string(directory) + "/stream";
  std::ofstream stream(path);
  int fd = FindDescriptorOf(path);
  if (fd < 0) return 3;
  RealClose(fd);
  stream.close();
  std::printf("stream %s\n", stream.fail() ? "failed" : "closed");
  return 0;
}

// A stream whose buffered data cannot be written out fails to close with ENOSPC: a
// failure to return, not a programming error.
int FullFclose() {
  FILE* stream = std::fopen("/dev/full", "w");
  if (stream == nullptr) return 3;
  std::fputc('x', stream);
  errno = 0;
  Report("fclose", std::fclose(stream));
  return 0;
}

// While the check is off nothing stops the process; switched on again, it acts.
int Disabled() {
  int fd = ClosedDescriptor();
  DisableSafeCloseCheck();
  int failures = 0;
  for (int i = 0; i < 50; ++i) {
    errno = 0;
    if (close(fd) == -1 && errno == EBADF) ++failures;
  }
  FILE* stream = std::fopen("/dev/null", "w");
  RealClose(fileno(stream));
  errno = 0;
  if (std::fclose(stream) == EOF && errno == EBADF) ++failures;
  EnableSafeCloseCheck();
  std::printf("disabled %d\n", failures);
  std::fflush(stdout);
  return BadClose();
}

// Success leaves errno as the caller had it.
int Good() {
  int fd = open("/dev/null", O_RDONLY);
  errno = ENOENT;
  Report("close", close(fd));
  FILE* stream = std::fopen("/dev/null", "r");
  errno = ENOENT;
  Report("fclose", std::fclose(stream));
  return 0;
}

// A write on one thread and a close on another with nothing ordering them: a race the
// thread sanitizer reports only when the close reaches its interceptor.
int UnorderedClose() {
  int fd = open("/dev/null", O_WRONLY);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    if (write(fd, "x", 1) != 1) std::abort();
    written.store(true, std::memory_order_relaxed);
  });
  while (!written.load(std::memory_order_relaxed)) {
  }
  close(fd);
  writer.join();
  std::printf("closed\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string action = argv[1];
  if (action == "mode") {
    std::printf("mode %d\n", SafeCloseMode);
    return 0;
  }
  if (action == "close") return BadClose();
  if (action == "fclose") return BadFclose();
  if (action == "full") return FullFclose();
  if (action == "stream" && argc == 3) return BadStream(argv[2]);
  if (action == "disabled") return Disabled();
  if (action == "good") return Good();
  if (action == "unordered") return UnorderedClose();
  return 2;
}

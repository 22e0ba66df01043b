// Helper program of the trace tests: runs one scenario of lock-layer calls in a temporary
// directory given on the command line, so that each VELTRA_LOG value is read by a fresh
// process. Writes the facts the test needs (descriptor numbers, pids) to standard output.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/linex/descriptor_registry.h"
#include "core/linex/descriptor_registry_testing.h"
#include "core/linex/filelock.h"
#include "core/linex/tests/lock_probe.h"

namespace {

int Request(int fd, int cmd, short type, short whence, int64_t start, int64_t len) {
  struct flock64 lock = {};
  lock.l_type = type;
  lock.l_whence = whence;
  lock.l_start = start;
  lock.l_len = len;
  return LinuxExRangeLock(fd, cmd, &lock);
}

int CreateFile(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_RDWR, 0644);
  if (fd >= 0) close(fd);
  return fd;
}

// Every failure of the entry point and of the registry that can be staged here.
int Failures(const std::string& dir) {
  const std::string f = dir + "/f", g = dir + "/g", h = dir + "/h";
  CreateFile(f);
  CreateFile(g);
  CreateFile(h);
  int a = GetDescriptor(f.c_str(), O_RDWR, 0);
  int b = GetDescriptor(f.c_str(), O_RDWR, 0);
  int c = open(g.c_str(), O_RDWR);
  FileLock::RegisterDescriptorAsForTesting(c, O_RDWR, g.c_str(), FileLock::FileObjectClass::WindowsNoRanges);
  int d = GetDescriptor(h.c_str(), O_RDWR, 0);
  Testing::ForeignLockHolder holder(h, F_WRLCK, 0, 10);
  std::printf("a=%d b=%d c=%d d=%d holder=%d pid=%d\n", a, b, c, d, static_cast<int>(holder.Pid()),
              static_cast<int>(getpid()));
  std::fflush(stdout);

  LinuxExRangeLock(a, F_SETLK64, nullptr);
  Request(a, F_SETLK64, F_RDLCK, SEEK_CUR, 0, 10);
  Request(a, F_SETLK64, F_RDLCK, SEEK_SET, -1, 10);
  Request(a, F_SETLK64, F_RDLCK, SEEK_SET, FileLock::kMaxOffset, 0);
  Request(999, F_SETLK64, F_RDLCK, SEEK_SET, 0, 10);
  Request(a, F_SETLK64, F_UNLCK, SEEK_SET, 0, 10);
  Request(a, F_SETLK64, F_WRLCK, SEEK_SET, 0, 10);
  Request(b, F_SETLK64, F_RDLCK, SEEK_SET, 5, 10);
  LinuxExClose(999);
  Request(c, F_SETLK64, F_RDLCK, SEEK_SET, 0, 10);
  Request(c, F_SETLKW64, F_WRLCK, SEEK_SET, 0, 10);
  Request(d, F_SETLK64, F_RDLCK, SEEK_SET, 0, 10);
  holder.Release();
  for (int fd : {a, b, c, d}) LinuxExClose(fd);
  return 0;
}

// Successful calls only: what every level-2 trace of them looks like.
int Calls(const std::string& dir) {
  const std::string f = dir + "/f";
  CreateFile(f);
  int a = GetDescriptor(f.c_str(), O_RDWR, 0);
  int b = GetDescriptor(f.c_str(), O_RDONLY, 0);
  std::printf("a=%d b=%d pid=%d\n", a, b, static_cast<int>(getpid()));
  std::fflush(stdout);
  Request(a, F_SETLK64, F_WRLCK, SEEK_SET, 0, 0);
  Request(a, F_SETLK64, F_UNLCK, SEEK_SET, 0, 0);
  Request(a, F_SETLKW64, F_RDLCK, SEEK_SET, 0, 100);
  Request(b, F_SETLK64, F_RDLCK, SEEK_SET, 50, 100);
  Request(a, F_SETLK64, F_UNLCK, SEEK_SET, 0, 100);
  LinuxExClose(a);
  LinuxExClose(b);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (std::strcmp(argv[1], "failures") == 0) return Failures(argv[2]);
  if (std::strcmp(argv[1], "calls") == 0) return Calls(argv[2]);
  return 2;
}

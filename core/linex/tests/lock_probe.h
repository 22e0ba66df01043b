// Test support: what another process sees of this process's record locks on a file,
// read with F_GETLK64 in a forked child (a process never conflicts with itself).
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Testing {

struct ProbeRange {
  int64_t Start;
  int64_t Len;
};

struct OsLock {
  short Type;  // F_UNLCK when nothing stands in the way
  int64_t Start;
  int64_t Len;
  int64_t Pid;
};

// For each range, the first lock of another process that a write lock there would meet.
inline std::vector<OsLock> ProbeOsLocks(const std::string& path, const std::vector<ProbeRange>& ranges) {
  std::vector<OsLock> results(ranges.size(), OsLock{-1, 0, 0, 0});
  int channel[2];
  if (pipe(channel) != 0) return results;
  pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls in the child of a threaded process.
    int fd = open(path.c_str(), O_RDONLY);
    for (const ProbeRange& range : ranges) {
      struct flock64 lock = {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = range.Start;
      lock.l_len = range.Len;
      OsLock seen{-1, 0, 0, 0};
      if (fd >= 0 && fcntl(fd, F_GETLK64, &lock) == 0) seen = OsLock{lock.l_type, lock.l_start, lock.l_len, lock.l_pid};
      if (write(channel[1], &seen, sizeof seen) != static_cast<ssize_t>(sizeof seen)) _exit(1);
    }
    _exit(0);
  }
  close(channel[1]);
  for (OsLock& result : results)
    if (read(channel[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) break;
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return results;
}

inline OsLock ProbeOsLock(const std::string& path, int64_t start, int64_t len) {
  return ProbeOsLocks(path, {ProbeRange{start, len}})[0];
}

// Another process that holds a record lock until told to let go.
class ForeignLockHolder {
 public:
  ForeignLockHolder(const std::string& path, short type, int64_t start, int64_t len) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(release[1]);
      int fd = open(path.c_str(), O_RDWR);
      struct flock64 lock = {};
      lock.l_type = type;
      lock.l_whence = SEEK_SET;
      lock.l_start = start;
      lock.l_len = len;
      char ok = fd >= 0 && fcntl(fd, F_SETLK64, &lock) == 0 ? 1 : 0;
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      char byte;
      while (read(release[0], &byte, 1) < 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    releaseFd = release[1];
    char ok = 0;
    held = read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
  }
  ~ForeignLockHolder() { Release(); }
  ForeignLockHolder(const ForeignLockHolder&) = delete;
  ForeignLockHolder& operator=(const ForeignLockHolder&) = delete;

  bool Held() const { return held; }
  pid_t Pid() const { return pid; }

  // The child exits, and its lock goes with it.
  void Release() {
    if (releaseFd < 0) return;
    close(releaseFd);
    releaseFd = -1;
    int status = 0;
    waitpid(pid, &status, 0);
  }

 private:
  pid_t pid = -1;
  int releaseFd = -1;
  bool held = false;
};

}  // namespace Testing

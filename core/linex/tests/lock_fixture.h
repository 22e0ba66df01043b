// Test support: a temporary file opened through the descriptor registry, lock requests
// in fcntl's shape, and waits for the lock layer to reach a state.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/tests/safe_assert_recorder.h"
#include "core/linex/descriptor_registry.h"
#include "core/linex/filelock.h"

namespace Testing {

struct LockResult {
  int Code;
  int Errno;
  bool operator==(const LockResult&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LockResult& r) {
  return out << "{" << r.Code << ", errno " << r.Errno << "}";
}

inline constexpr LockResult kLocked{0, 0};

inline LockResult RangeLock(int fd, short type, int64_t start, int64_t len, bool wait = false) {
  struct flock64 lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = len;
  errno = 0;
  int code = LinuxExRangeLock(fd, wait ? F_SETLKW64 : F_SETLK64, &lock);
  return LockResult{code, code == 0 ? 0 : errno};
}

inline LockResult Shared(int fd, int64_t start, int64_t len, bool wait = false) { return RangeLock(fd, F_RDLCK, start, len, wait); }
inline LockResult Exclusive(int fd, int64_t start, int64_t len, bool wait = false) { return RangeLock(fd, F_WRLCK, start, len, wait); }
inline LockResult Unlock(int fd, int64_t start, int64_t len) { return RangeLock(fd, F_UNLCK, start, len); }

// Runs `check` on the descriptor's FileObject with its mutex held.
inline bool WithFileObject(int fd, const std::function<bool(FileLock::FileObject&)>& check) {
  std::shared_ptr<FileLock::FileObject> object = FileLock::FindFileObject(fd);
  if (!object) return false;
  FileLock::FileObject::Guard guard(*object);
  return check(*object);
}

// Yields until the layer reaches the state; the caller's thread that should bring it
// about is already running, so this ends unless the layer is wrong (then the test's
// time limit ends it).
inline void AwaitState(int fd, const std::function<bool(FileLock::FileObject&)>& check) {
  while (!WithFileObject(fd, check)) sched_yield();
}

inline size_t WaiterCount(int fd) {
  size_t count = 0;
  WithFileObject(fd, [&](FileLock::FileObject& object) {
    count = object.Waiters.size();
    return true;
  });
  return count;
}

inline void AwaitWaiters(int fd, size_t count) {
  AwaitState(fd, [count](FileLock::FileObject& object) { return object.Waiters.size() == count; });
}

// The table entry of (start, len, fd), if any.
inline bool FindRegion(int fd, int64_t start, int64_t len, FileLock::LockState* state) {
  return WithFileObject(fd, [&](FileLock::FileObject& object) {
    auto it = object.Regions.find(FileLock::FileRegion(start, len, fd));
    if (it == object.Regions.end()) return false;
    if (state != nullptr) *state = it->second;
    return true;
  });
}

inline bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

inline size_t OpenDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// A temporary directory with one file of 4 KiB; every descriptor the test opened
// through the registry must be given back by the end, and no consistency check of the
// layer may have failed.
class LockFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lockXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    path = dir + "/file";
    int fd = open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    std::string data(4096, 'x');
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
    descriptorsBefore = OpenDescriptorCount();
    asserts = std::make_unique<AssertRecorder>();
  }

  void TearDown() override {
    for (const std::string& report : asserts->Reports()) ADD_FAILURE() << report;
    asserts.reset();
    if (!LayerIsEmpty()) {
      ADD_FAILURE() << "descriptors or files left registered";
      ReleaseEverything();  // so that the next test starts clean
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore) << "descriptors leaked";
    std::filesystem::remove_all(dir);
  }

  static void ReleaseEverything() {
    std::vector<int> fds;
    {
      FileLock::RegistryGuard registry;
      for (const auto& entry : FileLock::GetDescriptorTable()) fds.push_back(entry.first);
    }
    for (int fd : fds) LinuxExClose(fd);
  }

  static bool LayerIsEmpty() {
    FileLock::RegistryGuard registry;
    return FileLock::GetDescriptorTable().empty() && FileLock::GetFileTable().empty();
  }

  int Open(int flags = O_RDWR) {
    int fd = GetDescriptor(path.c_str(), flags, 0644);
    EXPECT_GE(fd, 0) << strerror(errno);
    return fd;
  }

  std::string dir;
  std::string path;
  size_t descriptorsBefore = 0;
  std::unique_ptr<AssertRecorder> asserts;
};

}  // namespace Testing

// Test support of the child-process runner: a thread-safe in-memory target for the
// relays, a recorder of traced errors, a temporary directory, and small queries on the
// process (open descriptors, unreaped children, error parameters).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/common/trace.h"
#include "core/include/file/file.h"
#include "core/linex/safe_close.h"

namespace ChildProcessTesting {

inline std::string ProbePath() {
  return std::string(ORMIVANE_TEST_BINARY_DIR) + "/enterprise/common/child_process/tests/child_process_probe";
}

inline bool ProbeIsBuilt() { return access(ProbePath().c_str(), X_OK) == 0; }

inline Common::Error TestError(uint32_t code) {
  return Common::MakeError(
      Common::MakeLocation(Common::Locations::CoreFileDir, "enterprise/common/child_process/tests/child_test_support.h",
                           "Injected", 1),
      code);
}

// An o_file that keeps what it receives. Writes and flushes may come from relay threads
// while the test thread reads, so everything is under one mutex.
class MemorySink : public o_file {
 public:
  void Write(const void* buffer, uint32_t length, uint32_t* done) override {
    std::lock_guard<std::mutex> lock(mutex);
    *done = 0;
    ++writeCalls;
    largestPiece = std::max(largestPiece, length);
    if (writeCalls == failingWrite) {
      ReplaceLastError(*this, TestError(Common::FILE_WRITE_ERROR));
      changed.notify_all();
      return;
    }
    data.append(static_cast<const char*>(buffer), length);
    *done = length;
    changed.notify_all();
  }

  void Flush() override {
    std::lock_guard<std::mutex> lock(mutex);
    ++flushCalls;
    if (flushFailure != 0) ReplaceLastError(*this, TestError(flushFailure));
  }

  // The Nth Write (counted from 1) stores nothing and records an error.
  void FailWriteNumber(uint32_t number) { failingWrite = number; }
  void FailFlushWith(uint32_t code) { flushFailure = code; }

  std::string Data() {
    std::lock_guard<std::mutex> lock(mutex);
    return data;
  }
  uint32_t WriteCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    return writeCalls;
  }
  uint32_t FlushCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    return flushCalls;
  }
  uint32_t LargestPiece() {
    std::lock_guard<std::mutex> lock(mutex);
    return largestPiece;
  }
  uint32_t HeldCode() {
    std::lock_guard<std::mutex> lock(mutex);
    return last_error.GetCode();
  }
  // Blocks until the data holds `text` (no time limit: a hang is the failure).
  void WaitFor(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return data.find(text) != std::string::npos; });
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::string data;
  uint32_t writeCalls = 0;
  uint32_t flushCalls = 0;
  uint32_t largestPiece = 0;
  uint32_t failingWrite = 0;
  uint32_t flushFailure = 0;
};

// A target that refuses every piece, as one log sink shared by several launches may. Its
// own state is guarded; its error, the public `last_error`, it cannot guard: whoever
// writes to it must hold the target's relay lock from the write until the error is taken.
// It counts the calls that came in while another was still inside, or found the error of
// an earlier write not yet taken: callers that did not take turns. Each write stays a
// moment after it has failed, so that a caller that does not wait comes in meanwhile.
class RefusingSink : public o_file {
 public:
  void Write(const void*, uint32_t, uint32_t* done) override {
    *done = 0;
    if (inside.fetch_add(1) != 0) ++overlaps;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++writes;
      if (!last_error.IsEmpty()) ++overlaps;
      ReplaceLastError(*this, TestError(Common::FILE_WRITE_ERROR));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    inside.fetch_sub(1);
  }

  uint32_t Writes() {
    std::lock_guard<std::mutex> lock(mutex);
    return writes;
  }
  uint32_t Overlaps() const { return overlaps.load(); }

 private:
  std::mutex mutex;
  uint32_t writes = 0;
  std::atomic<uint32_t> inside{0};
  std::atomic<uint32_t> overlaps{0};
};

// Keeps every error traced while it exists.
class TraceRecorder : public Common::TraceSink {
 public:
  TraceRecorder() { Common::RegisterTraceSink(this); }
  ~TraceRecorder() override { Common::UnregisterTraceSink(this); }

  void TraceText(void*, int32_t, uint32_t, uint32_t, const char16_t*) override {}
  void TraceErrorValue(void*, int32_t level, const Common::Error& error) override {
    std::lock_guard<std::mutex> lock(mutex);
    levels.push_back(level);
    errors.push_back(error);
  }

  std::vector<Common::Error> Errors() {
    std::lock_guard<std::mutex> lock(mutex);
    return errors;
  }
  std::vector<int32_t> Levels() {
    std::lock_guard<std::mutex> lock(mutex);
    return levels;
  }

 private:
  std::mutex mutex;
  std::vector<Common::Error> errors;
  std::vector<int32_t> levels;
};

// A fresh directory under /tmp, removed with its contents.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/child_process_test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
  }
  ~TempDir() {
    if (path.empty()) return;
    nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path; }
  std::u16string WidePath() const { return std::u16string(path.begin(), path.end()); }

 private:
  static int RemoveEntry(const char* entry, const struct stat*, int, struct FTW*) {
    ::remove(entry);
    return 0;
  }
  std::string path;
};

// The first message lookup opens the archive that carries the catalog and keeps it open:
// done before a test counts descriptors, so that it is not taken for a leak.
inline void LoadCatalog() { Common::GetMessageText(Common::Message(2)); }

inline std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != own) fds.insert(fd);
  }
  closedir(dir);
  return fds;
}

// A descriptor at `minimum` or above, without close-on-exec, as a careless parent leaves
// them for its children to inherit.
inline int LeakDescriptorAbove(int minimum) {
  int fd = open("/dev/null", O_RDONLY);
  int moved = fcntl(fd, F_DUPFD, minimum);
  close(fd);
  return moved;
}

// True when this process has no child left, reaped or not.
inline bool NoChildLeft() {
  errno = 0;
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

inline std::string AsciiParam(const Common::Error& error, const char* name) {
  Common::ErrorRecord* head = error.GetHead();
  if (head == nullptr) return "<no record>";
  const char* value = head->Kind->GetAsciiParam(head, name);
  return value == nullptr ? "<null>" : value;
}

inline std::u16string WideParam(const Common::Error& error, const char* name) {
  Common::ErrorRecord* head = error.GetHead();
  if (head == nullptr) return u"<no record>";
  const char16_t* value = head->Kind->GetWideParam(head, name);
  return value == nullptr ? u"<null>" : value;
}

inline std::string ParamNames(const Common::Error& error) {
  Common::ErrorRecord* head = error.GetHead();
  return head == nullptr ? "" : head->Kind->GetParamNames(head);
}

inline Common::ErrorRecord* CauseOf(const Common::Error& error) {
  Common::ErrorRecord* head = error.GetHead();
  return head == nullptr ? nullptr : head->Cause;
}

inline std::u16string RecordText(const Common::ErrorRecord* record) {
  Common::WString text;
  record->Kind->GetText(text, record);
  return text;
}

inline std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace ChildProcessTesting

// Test support of the child-process runner: a thread-safe in-memory target for the
// relays, a recorder of traced errors, a temporary directory, small queries on the
// process (open descriptors, unreaped children, error parameters) and the bounds that
// turn a hung launch into a failure.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/error_display.h"
#include "core/common/text.h"
#include "core/common/trace.h"
#include "core/include/file/file.h"
#include "core/linex/safe_close.h"
#include "tools/testing/emulation.h"

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
  std::u16string WidePath() const { return Common::ToUtf16(path.c_str()); }

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

// A UTF-8 text (a path of the build tree, say) as the library's own conversion reads it.
inline std::u16string Wide(const std::string& text) { return Common::ToUtf16(text.c_str()); }

// `text` as one word of the shell rules, whatever it holds.
inline std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string DisplayText(const Common::Error& error) { return Common::ToUtf8(Common::FormatError(error).c_str()); }

// What a launch that had to start throws in place of its error, so that the test says why
// it did not start rather than "Unknown C++ exception".
inline std::runtime_error LaunchFailed(const Common::Error& error) {
  return std::runtime_error("the launch failed:\n" + DisplayText(error));
}

// How long a test waits for a child or a launch before it takes it for a hang.
constexpr std::chrono::seconds kPatience{10};

// The children of this process, reaped or not.
inline std::vector<int> OwnChildren() {
  std::vector<int> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::FILE* file = std::fopen(("/proc/" + std::string(entry->d_name) + "/stat").c_str(), "r");
    if (file == nullptr) continue;
    char text[1024];
    size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = '\0';
    const char* end = std::strrchr(text, ')');  // the command name may hold blanks and parentheses
    char state = 0;
    int parent = 0;
    if (end != nullptr && std::sscanf(end + 1, " %c %d", &state, &parent) == 2 && parent == getpid())
      children.push_back(pid);
  }
  closedir(proc);
  return children;
}

// Waits at most `limit` for `pid` to end and reaps it: its exit status, -1 when it did not
// exit normally. A child still running then is killed and reaped, and the result is -2.
inline int ReapWithin(int pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int raw = 0;
  for (;;) {
    int got = waitpid(pid, &raw, WNOHANG);
    if (got == pid) return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (got < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) break;
    usleep(1000);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  return -2;
}

// Bounds a test whose threads launch children, where a hang cannot be bounded call by
// call: once `limit` has passed without the watchdog being destroyed, it fails the test
// and kills every child of this process, so that launches and waits held up by a child
// return; a test that has still not ended after kGrace more is ended with the program.
class Watchdog {
 public:
  static constexpr std::chrono::seconds kGrace{5};

  Watchdog(std::chrono::seconds limit, std::string what) : thread([this, limit, what = std::move(what)] {
    Watch(limit, what);
  }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ended = true;
    }
    changed.notify_all();
    thread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  void Watch(std::chrono::seconds limit, const std::string& what) {
    std::unique_lock<std::mutex> lock(mutex);
    if (changed.wait_for(lock, limit, [this] { return ended; })) return;
    std::string message = what + " did not end within " + std::to_string(limit.count()) + " s";
    if (Testing::UnderEmulation())
      message += " under qemu's user-mode emulator, where a child forked while other threads run can hang before exec";
    ADD_FAILURE() << message << "; its children are killed";
    for (int pid : OwnChildren()) kill(pid, SIGKILL);
    if (changed.wait_for(lock, kGrace, [this] { return ended; })) return;
    std::fprintf(stderr, "%s, and had not ended %lld s after its children were killed: giving up\n", message.c_str(),
                 static_cast<long long>(kGrace.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }

  std::mutex mutex;
  std::condition_variable changed;
  bool ended = false;
  std::thread thread;
};

}  // namespace ChildProcessTesting

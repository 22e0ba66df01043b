// What the parts of fork_process share: the source-file identity that every record names
// whichever part raised it, the descriptor helpers that both sides of the fork use, and
// the interfaces between the parent's side, the child's side, the environment block and
// the status report.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "enterprise/common/child_process/fork_process.h"

namespace ChildProcess::ForkParts {

inline constexpr Common::SourceFile kSource{Common::Locations::ChildProcessForkProcess,
                                            "enterprise/common/child_process/fork_process.cpp"};

inline constexpr int kFirstFreeDescriptor = 3;

// ---- descriptors (safe between fork and exec) ----------------------------------------------

inline void CloseIfOpen(int& fd) {
  if (fd == -1) return;
  close(fd);
  fd = -1;
}

// A descriptor the child opens only to duplicate it must not be one of 0, 1 and 2 (free
// when the parent was started with it closed): duplicating it onto itself would do nothing
// and closing it afterwards would close the redirected handle.
inline int MoveAboveStdHandles(int fd) {
  if (fd < 0 || fd >= kFirstFreeDescriptor) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

// Both ends of the status pipe and of the three standard-handle pipes; -1 for none.
struct ForkPipes {
  int Status[2] = {-1, -1};
  int Input[2] = {-1, -1};
  int Output[2] = {-1, -1};
  int Error[2] = {-1, -1};
};

// ---- the child (fork_process_child.cpp) ------------------------------------------------------

// Sets up the standard handles, closes what the program must not inherit, and executes it;
// on failure writes the status record and ends with 127.
[[noreturn]] void RunChild(const ForkSnapshot& snapshot, ForkPipes& pipes);

// ---- the environment block (fork_process_environment.cpp) ------------------------------------

// The inherited environment without the entries the context replaces, then the context's
// entries as "name=value". Built before the fork so the child only installs it.
class MergedEnvironment {
 public:
  explicit MergedEnvironment(const ForkContext& context);

  // Null when the context adds nothing: the child keeps the inherited environment.
  char* const* Get() const { return Pointers.empty() ? nullptr : Pointers.data(); }

 private:
  static bool IsValidName(const std::string& name);
  static bool IsReplaced(const char* inherited, const PathMap& entries);

  std::vector<std::string> Entries;
  std::vector<char*> Pointers;
};

// ---- the status report (fork_process_report.cpp) ---------------------------------------------

// What the status pipe gave: the count read (0: end of file, the program started), the
// record, and errno when the read failed.
struct StatusReport {
  ssize_t Got = 0;
  StatusRecord Record{0, 0};
  int Errno = 0;
};

// One read of the status pipe, repeated only when interrupted.
StatusReport ReadStatusReport(int fd);
// The empty error for end of file, else the failure the report names.
Common::Error ResultOfReport(const ForkContext& context, const StatusReport& report) noexcept;

// ---- the error records (fork_process_records.cpp) --------------------------------------------

// Runs a builder of an error record and never throws: out of memory, the error is the
// shared out-of-memory record.
template <typename Build>
Common::Error OrOutOfMemory(Build build) noexcept {
  try {
    return build();
  } catch (const std::bad_alloc&) {
    return Common::Error::Adopt(nullptr);
  }
}

}  // namespace ChildProcess::ForkParts

// Test support for the POSIX file and directory tests: a scratch directory per test,
// a look into error chains, and a forked child for process-wide or privileged cases.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include "core/common/error.h"
#include "core/common/text.h"

namespace PosixTest {

// A fresh directory under /tmp (made with mkdtemp), removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Path() const { return path; }
  std::string At(const std::string& name) const { return path + "/" + name; }
  Common::WString WideAt(const std::string& name) const { return Common::ToUtf16(At(name).c_str()); }

  void WriteFile(const std::string& name, const std::string& content, mode_t mode = 0644) const;
  std::string ReadFile(const std::string& name) const;
  void MakeDir(const std::string& name, mode_t mode = 0755) const;

 private:
  std::string path;
};

// One record of an error chain as the tests compare it.
struct RecordView {
  uint32_t Code = 0;
  uint32_t Line = 0;
  std::string Function;
  std::string File;
  uint32_t IdLow = 0;
  uint32_t IdHigh = 0;
  const Common::ErrorRecord* Record = nullptr;
};

// The record `depth` causes below the head (0 is the head); Code 0 when the chain is shorter.
RecordView RecordAt(const Common::Error& error, int depth);
int ChainLength(const Common::Error& error);
// An 8-bit parameter of a record, "" when it has none.
std::string Param(const Common::ErrorRecord* record, const char* name);
// The errno that an errno record carries (its "code" parameter).
int ErrnoOf(const Common::ErrorRecord* record);

// Runs `body` in a forked child and returns its exit status, or -1 when it did not exit
// normally (its signal in *signal when given).
int RunInChild(const std::function<int()>& body, int* signal = nullptr);

// RunInChild for at most `seconds`: a child still running then is killed (its status -1,
// its signal SIGKILL).
int RunInChildWithin(const std::function<int()>& body, int seconds, int* signal = nullptr);

// In a child only: moves the process into a mount namespace of its own whose mounts no
// longer propagate anywhere, so that it may mount and unmount freely. False, with the
// reason in *why, where the system does not allow it (not root, no namespaces).
bool EnterPrivateMounts(std::string* why);

// The exit status of a child whose gtest assertions failed (they are reported in its own
// output); the parent checks for 0.
inline constexpr int kChildAssertionsFailed = 1;
// A child's report that it cannot set up what it needs: the parent skips the test.
inline constexpr int kChildCannotSetUp = 77;

// Loads the message catalog, then drops to an unprivileged user and group (in a child
// only). False when that failed.
bool DropPrivileges();

// Descriptors currently open in this process (after the message catalog is loaded).
int OpenDescriptorCount();

inline constexpr uint32_t kNobody = 65534;

}  // namespace PosixTest

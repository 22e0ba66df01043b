// Forking and executing a prepared launch: the fork context and its snapshot, the child's
// set-up steps, the status report on the close-on-exec pipe, waiting for the child, and the
// error records of the child-process runner.
#pragma once

#include <signal.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/common/non_copyable.h"

namespace ChildProcess {

// A text held both as UTF-16 and as the native bytes the name codec makes of it.
class PathString {
 public:
  PathString() = default;
  PathString(const Common::WString& wide);
  // Both forms given, for constants whose native bytes are known.
  PathString(Common::WString wide, std::string native) : Wide(std::move(wide)), Native(std::move(native)) {}

  const char16_t* WideStr() const { return Wide.c_str(); }
  const char* NativeStr() const { return Native.c_str(); }
  const Common::WString& GetWide() const { return Wide; }
  const std::string& GetNative() const { return Native; }
  bool IsEmpty() const { return Native.empty(); }
  // Bytewise over the native form, unsigned; a prefix comes first.
  bool operator<(const PathString& other) const;

 private:
  Common::WString Wide;
  std::string Native;
};

using PathMap = std::map<PathString, PathString>;

inline constexpr int kStdInput = 0;
inline constexpr int kStdOutput = 1;
inline constexpr int kStdError = 2;
inline constexpr int kStdHandleCount = 3;

// Everything the child will need, collected by the launch before the fork. The pointer
// fields point into the context's own strings, so it is not copyable.
class ForkContext : private Common::NonCopyable {
 public:
  ForkContext(const std::vector<PathString>& argv, const PathString& workingDirectory, const PathMap& environment);
  virtual ~ForkContext();

  void DisableInherit(int index) { InheritFlags[index] = false; }
  void EnablePipe(int index) { PipeFlags[index] = true; }
  void MergeStderr() { MergeFlag = true; }
  void SetStdHandlePath(int index, const PathString& path);
  // The caller owns the returned descriptor (-1 when there is none).
  int TakePipeFd(int index);

  const std::vector<PathString>& GetArgv() const { return Argv; }
  const PathString& GetWorkingDirectory() const { return WorkingDirectory; }
  const PathMap& GetEnvironment() const { return Environment; }
  const PathString& GetHandlePath(int index) const { return HandlePaths[index]; }

 private:
  friend int ForkProcess(ForkContext& context);
  friend class ForkSnapshot;

  std::vector<PathString> Argv;
  std::vector<const char*> ArgvPointers;
  PathString WorkingDirectory;
  PathMap Environment;
  std::vector<std::pair<const char*, const char*>> EnvironmentPointers;
  bool MergeFlag = false;
  bool InheritFlags[kStdHandleCount] = {true, true, true};
  PathString HandlePaths[kStdHandleCount];
  const char* HandlePathPointers[kStdHandleCount] = {nullptr, nullptr, nullptr};
  bool PipeFlags[kStdHandleCount] = {false, false, false};
  int ParentFds[kStdHandleCount] = {-1, -1, -1};
};

// The plain view of a context that the child uses: pointers and flags only, so that the
// child touches no object that a thread absent after the fork might hold.
class ForkSnapshot : private Common::NonCopyable {
 public:
  ForkSnapshot() = default;
  virtual ~ForkSnapshot() {}

  void SetCommand(const ForkContext& context);
  void SetWorkingDirectory(const ForkContext& context);
  void SetEnvironment(const ForkContext& context);
  void SetHandles(const ForkContext& context);
  // The whole environment the program starts with (inherited entries with the context's
  // on top), or null to keep the inherited one as it is.
  void SetMergedEnvironment(char* const* merged) { MergedEnvironment = merged; }
  // The SIGCHLD disposition the child gets back before exec, when the parent changed it.
  void SetSigchldRestore(const struct sigaction* original) { SigchldRestore = original; }
  // The SIGXFSZ disposition the child gets back before exec, when the library ignored it.
  void SetSigxfszRestore(const struct sigaction* original) { SigxfszRestore = original; }

  const char* Program = nullptr;
  const char* const* Argv = nullptr;
  const char* WorkingDirectory = nullptr;
  const std::pair<const char*, const char*>* Environment = nullptr;
  char* const* MergedEnvironment = nullptr;
  const struct sigaction* SigchldRestore = nullptr;
  const struct sigaction* SigxfszRestore = nullptr;
  bool InheritFlags[kStdHandleCount] = {true, true, true};
  const char* Paths[kStdHandleCount] = {nullptr, nullptr, nullptr};
  bool PipeFlags[kStdHandleCount] = {false, false, false};
  bool MergeFlag = false;
};

// The set-up steps of the child; a failed step is reported by its number.
enum ForkStep : uint32_t {
  kStepOpenNullDevice = 1,
  kStepOpenStdinFile = 2,
  kStepOpenStdoutFile = 3,
  kStepOpenStderrFile = 4,
  kStepDupStdinFile = 5,
  kStepDupStdoutFile = 6,
  kStepDupStderrFile = 7,
  kStepDupNullStdin = 8,
  kStepDupNullStdout = 9,
  kStepDupNullStderr = 10,
  kStepMergeStderr = 11,
  kStepDupStdinPipe = 12,
  kStepDupStdoutPipe = 13,
  kStepDupStderrPipe = 14,
  kStepChdir = 15,
  kStepSetenv = 16,
  kStepExecvp = 17,
};

// The outcome of a child step: step 0 is success.
class ForkResult {
 public:
  static ForkResult Success() { return ForkResult(0, 0); }
  static ForkResult Failure(uint32_t step, int errnum) { return ForkResult(step, static_cast<uint32_t>(errnum)); }
  uint32_t GetStep() const { return Step; }
  uint32_t GetErrno() const { return Errno; }
  bool IsSuccess() const { return Step == 0; }

 private:
  ForkResult(uint32_t step, uint32_t errnum) : Step(step), Errno(errnum) {}
  uint32_t Step;
  uint32_t Errno;
};

// What a failing child writes on the status pipe, each field in host byte order.
struct StatusRecord {
  uint32_t Errno;
  uint32_t Step;
};
static_assert(sizeof(StatusRecord) == 8, "the status report is two 32-bit words");

// Creates the pipes, forks and sets up the child; returns the child's id once it has
// executed the program, with the parent's pipe ends in the context. Throws Common::Error
// (the child, when it reported a failure, has been reaped).
int ForkProcess(ForkContext& context);

// The empty error when the status pipe `fd` reads end of file, otherwise the failure
// (the out-of-memory record when memory runs out). Never throws.
Common::Error GetResultFromPipe(const ForkContext& context, int fd);

// Closes both ends of the four pipes (status, stdin, stdout, stderr), skipping -1 ends.
void CloseForkPipes(int status[2], int input[2], int output[2], int error[2]);

// The exit status of a child that exited normally, otherwise -1 (signal, waitpid failure).
int WaitPid(int pid);
int WaitForProcess(int pid);
// Returns once the child `pid` has ended (or cannot be waited for), leaving it unreaped, so
// that its id stays its own until WaitPid. Nothing for -1.
void WaitUntilEnded(int pid);

// "[a,b c]": the wide forms joined by ",", without quoting.
Common::WString FormatArgList(const std::vector<PathString>& argv);

// Keeps SIGCHLD at its default action while at least one hold exists. Under SIG_IGN (or
// SA_NOCLDWAIT) the kernel reaps children itself and waitpid cannot learn their status.
class DefaultSigchldHold {
 public:
  DefaultSigchldHold();
  ~DefaultSigchldHold();
  DefaultSigchldHold(const DefaultSigchldHold&) = delete;
  DefaultSigchldHold& operator=(const DefaultSigchldHold&) = delete;

  // The caller's disposition when the hold had to change it, else null.
  const struct sigaction* Original() const { return Changed ? &Saved : nullptr; }

 private:
  bool Changed = false;
  struct sigaction Saved {};
};

// The record kinds of the runner: the parameters `cmdline` (UTF-16), `libcCall` (8-bit)
// and `file` (UTF-16), behind the common fields and the text.
extern const Common::ErrorKind CmdlineErrorKind;
extern const Common::ErrorKind LaunchErrorKind;
extern const Common::ErrorKind LaunchFileErrorKind;

// They never throw: out of memory, the error is the shared out-of-memory record.
Common::Error MakeParseCommandLineError(const Common::SourceLocation& location,
                                        const Common::WString& cmdline) noexcept;
Common::Error MakeLaunchError(const Common::SourceLocation& location, const std::vector<PathString>& argv,
                              const char* libcCall, int errnum) noexcept;
Common::Error MakeLaunchFileError(const Common::SourceLocation& location, const std::vector<PathString>& argv,
                                  const char* libcCall, int errnum, const PathString& file) noexcept;

}  // namespace ChildProcess

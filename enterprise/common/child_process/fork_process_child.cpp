// The child's side of the fork: redirecting the standard handles, closing what the program
// must not inherit, and executing it, or writing the failed step on the status pipe.
// Everything here runs between fork and exec: no allocation, no lock, no exception; only
// system calls over what the snapshot prepared.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/common/non_copyable.h"
#include "core/linex/safe_close.h"
#include "enterprise/common/child_process/fork_process_parts.h"

extern char** environ;

namespace ChildProcess {

using ForkParts::CloseIfOpen;
using ForkParts::ForkPipes;
using ForkParts::kFirstFreeDescriptor;
using ForkParts::MoveAboveStdHandles;

namespace {

constexpr int kChildFailureExitCode = 127;
constexpr mode_t kOutputFileMode = 0644;

// Holds the descriptors the child opens for duplication: the three files and /dev/null.
class DescrptorsAutoCloseContext : private Common::NonCopyable {
 public:
  DescrptorsAutoCloseContext() = default;
  virtual ~DescrptorsAutoCloseContext() {
    for (int& fd : Fds) CloseIfOpen(fd);
  }

  static constexpr int kNullDevice = 3;
  int Fds[4] = {-1, -1, -1, -1};
};

ForkResult OpenNullDevice(int& fd) {
  if (fd != -1) return ForkResult::Success();
  fd = MoveAboveStdHandles(open("/dev/null", O_RDWR));
  if (fd == -1) return ForkResult::Failure(kStepOpenNullDevice, errno);
  return ForkResult::Success();
}

ForkResult Duplicate(int from, int to, uint32_t step) {
  if (dup2(from, to) == -1) return ForkResult::Failure(step, errno);
  return ForkResult::Success();
}

ForkResult OpenAndDuplicate(const char* path, int flags, int& fd, int target, uint32_t openStep, uint32_t dupStep) {
  fd = MoveAboveStdHandles(open(path, flags, kOutputFileMode));
  if (fd == -1) return ForkResult::Failure(openStep, errno);
  return Duplicate(fd, target, dupStep);
}

ForkResult NullAndDuplicate(DescrptorsAutoCloseContext& opened, int target, uint32_t dupStep) {
  ForkResult result = OpenNullDevice(opened.Fds[DescrptorsAutoCloseContext::kNullDevice]);
  if (!result.IsSuccess()) return result;
  return Duplicate(opened.Fds[DescrptorsAutoCloseContext::kNullDevice], target, dupStep);
}

ForkResult SetupStdin(const ForkSnapshot& snapshot, int pipeEnd, DescrptorsAutoCloseContext& opened) {
  if (snapshot.PipeFlags[kStdInput]) return Duplicate(pipeEnd, kStdInput, kStepDupStdinPipe);
  if (snapshot.Paths[kStdInput] != nullptr)
    return OpenAndDuplicate(snapshot.Paths[kStdInput], O_RDONLY, opened.Fds[kStdInput], kStdInput,
                            kStepOpenStdinFile, kStepDupStdinFile);
  if (!snapshot.InheritFlags[kStdInput]) return NullAndDuplicate(opened, kStdInput, kStepDupNullStdin);
  return ForkResult::Success();
}

ForkResult SetupStdout(const ForkSnapshot& snapshot, int pipeEnd, DescrptorsAutoCloseContext& opened) {
  if (snapshot.PipeFlags[kStdOutput]) return Duplicate(pipeEnd, kStdOutput, kStepDupStdoutPipe);
  if (snapshot.Paths[kStdOutput] != nullptr)
    return OpenAndDuplicate(snapshot.Paths[kStdOutput], O_WRONLY | O_CREAT | O_TRUNC, opened.Fds[kStdOutput],
                            kStdOutput, kStepOpenStdoutFile, kStepDupStdoutFile);
  if (!snapshot.InheritFlags[kStdOutput]) return NullAndDuplicate(opened, kStdOutput, kStepDupNullStdout);
  return ForkResult::Success();
}

ForkResult SetupStderr(const ForkSnapshot& snapshot, int pipeEnd, DescrptorsAutoCloseContext& opened) {
  if (snapshot.MergeFlag) return Duplicate(kStdOutput, kStdError, kStepMergeStderr);
  if (snapshot.PipeFlags[kStdError]) return Duplicate(pipeEnd, kStdError, kStepDupStderrPipe);
  if (snapshot.Paths[kStdError] != nullptr)
    return OpenAndDuplicate(snapshot.Paths[kStdError], O_WRONLY | O_CREAT | O_TRUNC, opened.Fds[kStdError],
                            kStdError, kStepOpenStderrFile, kStepDupStderrFile);
  if (!snapshot.InheritFlags[kStdError]) return NullAndDuplicate(opened, kStdError, kStepDupNullStderr);
  return ForkResult::Success();
}

ForkResult SetupChildStdHandles(const ForkSnapshot& snapshot, int stdinRead, int stdoutWrite, int stderrWrite) {
  DescrptorsAutoCloseContext opened;
  ForkResult result = SetupStdin(snapshot, stdinRead, opened);
  if (!result.IsSuccess()) return result;
  result = SetupStdout(snapshot, stdoutWrite, opened);
  if (!result.IsSuccess()) return result;
  return SetupStderr(snapshot, stderrWrite, opened);
}

// The descriptors the child keeps while it sets up: the status write end and its three
// pipe ends (-1 for none).
constexpr int kKeptDescriptors = 4;

// Closes every descriptor from 3 on but those in `keep`. close_range does it in a few
// calls whatever the descriptor limit; the loop is for kernels without it.
void CloseInheritedDescriptors(const int (&keep)[kKeptDescriptors]) {
  int kept[kKeptDescriptors];
  int count = 0;
  for (int fd : keep) {
    if (fd < kFirstFreeDescriptor) continue;
    int at = count++;
    for (; at > 0 && kept[at - 1] > fd; --at) kept[at] = kept[at - 1];
    kept[at] = fd;
  }
  unsigned first = kFirstFreeDescriptor;
  bool done = true;
  for (int index = 0; done && index < count; ++index) {
    const unsigned fd = static_cast<unsigned>(kept[index]);
    done = fd == first || close_range(first, fd - 1, 0) == 0;
    first = fd + 1;
  }
  if (done && close_range(first, ~0U, 0) == 0) return;
  long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = kFirstFreeDescriptor; fd < limit; ++fd) {
    bool isKept = false;
    for (int index = 0; index < count; ++index) isKept = isKept || kept[index] == fd;
    if (!isKept) close(static_cast<int>(fd));
  }
}

// The entries of the context on top of the inherited environment. The merged block was
// made before the fork, so the child only checks the names as setenv would and installs
// it: setenv itself would allocate and take the environment lock.
bool ApplyEnvironment(const ForkSnapshot& snapshot) {
  for (const auto* pair = snapshot.Environment; pair != nullptr && pair->first != nullptr; ++pair) {
    if (pair->first[0] == '\0' || std::strchr(pair->first, '=') != nullptr) {
      errno = EINVAL;
      return false;
    }
  }
  if (snapshot.MergedEnvironment != nullptr) environ = const_cast<char**>(snapshot.MergedEnvironment);
  return true;
}

// The dispositions the program starts with, set first thing in the child. What this
// library changed goes back to what it found (SIGCHLD for the launch, SIGXFSZ for writing
// files), and every handler of the parent becomes the default, so that no signal, pending
// since the fork or arriving while a redirection blocks, runs the parent's code in the
// child. A SIG_IGN that the caller set stays, as exec keeps it.
void ResetSignalHandlers(const ForkSnapshot& snapshot) {
  if (snapshot.SigchldRestore != nullptr) sigaction(SIGCHLD, snapshot.SigchldRestore, nullptr);
  if (snapshot.SigxfszRestore != nullptr) sigaction(SIGXFSZ, snapshot.SigxfszRestore, nullptr);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current;
    if (sigaction(signal, nullptr, &current) != 0) continue;  // one the C library keeps for itself
    bool caught = (current.sa_flags & SA_SIGINFO) != 0 ||
                  (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
    if (caught) sigaction(signal, &standard, nullptr);
  }
}

// The handlers are the defaults already (ResetSignalHandlers), so unblocking runs none.
void UnblockAllSignals() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
}

ForkResult ExecChild(const ForkSnapshot& snapshot) {
  UnblockAllSignals();
  if (snapshot.WorkingDirectory != nullptr && chdir(snapshot.WorkingDirectory) != 0)
    return ForkResult::Failure(kStepChdir, errno);
  if (!ApplyEnvironment(snapshot)) return ForkResult::Failure(kStepSetenv, errno);
  execvp(snapshot.Program, const_cast<char* const*>(snapshot.Argv));
  return ForkResult::Failure(kStepExecvp, errno);
}

}  // namespace

[[noreturn]] void ForkParts::RunChild(const ForkSnapshot& snapshot, ForkPipes& pipes) {
  // The parent forked with every signal blocked; a signal that came meanwhile is taken
  // now, by the defaults, and one that comes while a redirection blocks ends the child.
  ResetSignalHandlers(snapshot);
  UnblockAllSignals();
  CloseIfOpen(pipes.Status[0]);
  CloseIfOpen(pipes.Input[1]);
  CloseIfOpen(pipes.Output[0]);
  CloseIfOpen(pipes.Error[0]);
  // Before anything is opened: opening a redirection can block (a FIFO without a writer),
  // and meanwhile the child must hold no descriptor of another launch.
  DisableSafeCloseCheck();
  CloseInheritedDescriptors({pipes.Status[1], pipes.Input[0], pipes.Output[1], pipes.Error[1]});
  EnableSafeCloseCheck();
  ForkResult result = SetupChildStdHandles(snapshot, pipes.Input[0], pipes.Output[1], pipes.Error[1]);
  // The pipe ends are on 0, 1 and 2 now, or were not needed.
  CloseIfOpen(pipes.Input[0]);
  CloseIfOpen(pipes.Output[1]);
  CloseIfOpen(pipes.Error[1]);
  if (result.IsSuccess()) result = ExecChild(snapshot);
  StatusRecord record{result.GetErrno(), result.GetStep()};
  ssize_t written = write(pipes.Status[1], &record, sizeof record);
  (void)written;
  CloseIfOpen(pipes.Status[1]);
  _exit(kChildFailureExitCode);
}

}  // namespace ChildProcess

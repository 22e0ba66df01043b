// The parent's side of a launch: the fork context and its snapshot, the pipes, the fork,
// and waiting for the child. The child's side, the environment block, the status report
// and the error records are the other parts of fork_process.
#include "enterprise/common/child_process/fork_process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/file/unix/name_codec.h"
#include "core/file/unix/signal_disposition.h"
#include "enterprise/common/child_process/fork_process_parts.h"

namespace ChildProcess {

using ForkParts::CloseIfOpen;
using ForkParts::ForkPipes;
using ForkParts::kSource;
using ForkParts::MoveAboveStdHandles;

namespace {

constexpr Common::Site kStatusPipeSite{"ForkProcess", 118};
constexpr Common::Site kCloexecSite{"ForkProcess", 124};
constexpr Common::Site kStdinPipeSite{"ForkProcess", 131};
constexpr Common::Site kStdoutPipeSite{"ForkProcess", 137};
constexpr Common::Site kStderrPipeSite{"ForkProcess", 143};
constexpr Common::Site kForkSite{"ForkProcess", 160};

// A pipe whose ends are never 0, 1 or 2, which the child's redirections would overwrite
// (possible when the parent was started with one of them closed). Both ends are
// close-on-exec from the start: a program that another thread of this process starts
// meanwhile must not inherit them, or the child's end of file (and the wait for it) would
// last as long as that program. The child's standard handles lose the flag through dup2.
bool CreatePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int end = 0; end < 2; ++end) {
    fds[end] = MoveAboveStdHandles(fds[end]);
    if (fds[end] != -1) continue;
    int saved = errno;
    CloseIfOpen(fds[1 - end]);
    errno = saved;
    return false;
  }
  return true;
}

// Every signal blocked on this thread from construction until Restore: a signal that
// reaches the child before it has reset its handlers (a terminal's SIGINT to the process
// group) stays pending there instead of running a handler of the caller in the child,
// which unblocks only once its handlers are the defaults.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    blocked = pthread_sigmask(SIG_SETMASK, &all, &callers) == 0;
  }
  ~AllSignalsBlocked() { Restore(); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

  // Keeps errno, which the caller may still have to report.
  void Restore() {
    if (!blocked) return;
    int saved = errno;
    pthread_sigmask(SIG_SETMASK, &callers, nullptr);
    errno = saved;
    blocked = false;
  }

 private:
  sigset_t callers;
  bool blocked = false;
};

[[noreturn]] void ThrowForkFailure(const ForkContext& context, ForkPipes& pipes, const char* call, Common::Site site) {
  int saved = errno;
  CloseForkPipes(pipes.Status, pipes.Input, pipes.Output, pipes.Error);
  throw MakeLaunchError(kSource.At(site), context.GetArgv(), call, saved);
}

}  // namespace

// ---- PathString, ForkContext, ForkSnapshot -------------------------------------------------

PathString::PathString(const Common::WString& wide) : Wide(wide), Native(ToNativeName(wide.c_str())) {}

bool PathString::operator<(const PathString& other) const {
  size_t common = std::min(Native.size(), other.Native.size());
  int order = std::memcmp(Native.data(), other.Native.data(), common);
  if (order != 0) return order < 0;
  return Native.size() < other.Native.size();
}

ForkContext::ForkContext(const std::vector<PathString>& argv, const PathString& workingDirectory,
                         const PathMap& environment)
    : Argv(argv), WorkingDirectory(workingDirectory), Environment(environment) {
  ArgvPointers.reserve(Argv.size() + 1);
  for (const PathString& argument : Argv) ArgvPointers.push_back(argument.NativeStr());
  ArgvPointers.push_back(nullptr);
  EnvironmentPointers.reserve(Environment.size() + 1);
  for (const auto& [name, value] : Environment) EnvironmentPointers.emplace_back(name.NativeStr(), value.NativeStr());
  EnvironmentPointers.emplace_back(nullptr, nullptr);
}

ForkContext::~ForkContext() {
  for (int& fd : ParentFds) CloseIfOpen(fd);
}

void ForkContext::SetStdHandlePath(int index, const PathString& path) {
  HandlePaths[index] = path;
  HandlePathPointers[index] = HandlePaths[index].NativeStr();
}

int ForkContext::TakePipeFd(int index) {
  int fd = ParentFds[index];
  ParentFds[index] = -1;
  return fd;
}

void ForkSnapshot::SetCommand(const ForkContext& context) {
  Program = context.ArgvPointers.front();
  Argv = context.ArgvPointers.data();
}

// A directory whose name did not convert still has to fail in chdir rather than leave the
// child in the parent's directory, so only a directory that was not given at all is null.
void ForkSnapshot::SetWorkingDirectory(const ForkContext& context) {
  const PathString& directory = context.WorkingDirectory;
  WorkingDirectory = directory.IsEmpty() && directory.GetWide().empty() ? nullptr : directory.NativeStr();
}

void ForkSnapshot::SetEnvironment(const ForkContext& context) { Environment = context.EnvironmentPointers.data(); }

void ForkSnapshot::SetHandles(const ForkContext& context) {
  for (int index = 0; index < kStdHandleCount; ++index) {
    InheritFlags[index] = context.InheritFlags[index];
    Paths[index] = context.HandlePathPointers[index];
    PipeFlags[index] = context.PipeFlags[index];
  }
  MergeFlag = context.MergeFlag;
}

// ---- fork and wait -------------------------------------------------------------------------

int ForkProcess(ForkContext& context) {
  // Prepared first: nothing that allocates may come between the pipes and the fork.
  DefaultSigchldHold sigchld;
  ForkParts::MergedEnvironment merged(context);
  ForkSnapshot snapshot;
  snapshot.SetCommand(context);
  snapshot.SetWorkingDirectory(context);
  snapshot.SetEnvironment(context);
  snapshot.SetHandles(context);
  snapshot.SetMergedEnvironment(merged.Get());
  snapshot.SetSigchldRestore(sigchld.Original());
  struct sigaction sigxfszFound;
  if (GetFileSizeSignalFound(&sigxfszFound)) snapshot.SetSigxfszRestore(&sigxfszFound);

  ForkPipes pipes;
  if (!CreatePipe(pipes.Status)) ThrowForkFailure(context, pipes, "pipe", kStatusPipeSite);
  if (fcntl(pipes.Status[1], F_SETFD, FD_CLOEXEC) != 0) ThrowForkFailure(context, pipes, "fcntl", kCloexecSite);
  if (context.PipeFlags[kStdInput] && !CreatePipe(pipes.Input))
    ThrowForkFailure(context, pipes, "pipe", kStdinPipeSite);
  if (context.PipeFlags[kStdOutput] && !CreatePipe(pipes.Output))
    ThrowForkFailure(context, pipes, "pipe", kStdoutPipeSite);
  if (!context.MergeFlag && context.PipeFlags[kStdError] && !CreatePipe(pipes.Error))
    ThrowForkFailure(context, pipes, "pipe", kStderrPipeSite);

  AllSignalsBlocked blocked;
  pid_t pid = fork();
  if (pid == 0) ForkParts::RunChild(snapshot, pipes);
  blocked.Restore();
  if (pid == -1) ThrowForkFailure(context, pipes, "fork", kForkSite);

  CloseIfOpen(pipes.Status[1]);
  CloseIfOpen(pipes.Input[0]);
  CloseIfOpen(pipes.Output[1]);
  CloseIfOpen(pipes.Error[1]);
  context.ParentFds[kStdInput] = pipes.Input[1];
  context.ParentFds[kStdOutput] = pipes.Output[0];
  context.ParentFds[kStdError] = pipes.Error[0];

  // The child is reaped before its report becomes an error: building the error may run
  // out of memory, and no child may stay a zombie.
  ForkParts::StatusReport report = ForkParts::ReadStatusReport(pipes.Status[0]);
  CloseIfOpen(pipes.Status[0]);
  if (report.Got == 0) return pid;
  WaitPid(pid);
  throw ForkParts::ResultOfReport(context, report);
}

void CloseForkPipes(int status[2], int input[2], int output[2], int error[2]) {
  for (int* pipeFds : {status, input, output, error}) {
    CloseIfOpen(pipeFds[0]);
    CloseIfOpen(pipeFds[1]);
  }
}

int WaitPid(int pid) {
  int status = 0;
  pid_t result;
  do {
    status = 0;
    result = waitpid(pid, &status, 0);
  } while (result == -1 && errno == EINTR);
  if (result == pid && WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

int WaitForProcess(int pid) { return pid == -1 ? -1 : WaitPid(pid); }

void WaitUntilEnded(int pid) {
  if (pid == -1) return;
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == -1 && errno == EINTR) {
  }
}

}  // namespace ChildProcess

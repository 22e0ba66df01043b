// Fork, the child's set-up up to exec, the status report that carries a failed step back to
// the parent, and the error records of the child-process runner.
#include "enterprise/common/child_process/fork_process.h"
#include "core/common/non_copyable.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "core/file/unix/name_codec.h"
#include "core/linex/safe_close.h"

extern char** environ;

namespace ChildProcess {

namespace {

constexpr Common::SourceFile kSource{Common::Locations::ChildProcessForkProcess,
                                     "enterprise/common/child_process/fork_process.cpp"};

constexpr Common::Site kStatusPipeSite{"ForkProcess", 118};
constexpr Common::Site kCloexecSite{"ForkProcess", 124};
constexpr Common::Site kStdinPipeSite{"ForkProcess", 131};
constexpr Common::Site kStdoutPipeSite{"ForkProcess", 137};
constexpr Common::Site kStderrPipeSite{"ForkProcess", 143};
constexpr Common::Site kForkSite{"ForkProcess", 160};

constexpr Common::Site kReadFailedSite{"GetResultFromPipe", 308};
constexpr Common::Site kShortReportSite{"GetResultFromPipe", 310};
constexpr Common::Site kOpenNullSite{"GetResultFromPipe", 319};
constexpr Common::Site kOpenStdinSite{"GetResultFromPipe", 322};
constexpr Common::Site kOpenStdoutSite{"GetResultFromPipe", 325};
constexpr Common::Site kOpenStderrSite{"GetResultFromPipe", 328};
constexpr Common::Site kDupSite{"GetResultFromPipe", 340};
constexpr Common::Site kChdirSite{"GetResultFromPipe", 343};
constexpr Common::Site kSetenvSite{"GetResultFromPipe", 346};
constexpr Common::Site kExecvpSite{"GetResultFromPipe", 349};
constexpr Common::Site kUnknownStepSite{"GetResultFromPipe", 353};

constexpr int kChildFailureExitCode = 127;
constexpr int kFirstFreeDescriptor = 3;
constexpr mode_t kOutputFileMode = 0644;

// ---- error records ----------------------------------------------------------------------

// Offsets from the record's start of the parameter texts (0: absent). Kept in the last
// bytes of the record, so they are found from Size whatever the text before them.
struct ChildParams {
  uintptr_t Cmdline;
  uintptr_t LibcCall;
  uintptr_t File;
};

size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

size_t WideBytes(const char16_t* text) {
  return text == nullptr ? 0 : (std::char_traits<char16_t>::length(text) + 1) * sizeof(char16_t);
}

size_t AsciiBytes(const char* text) { return text == nullptr ? 0 : std::strlen(text) + 1; }

ChildParams ReadParams(const Common::ErrorRecord* record) {
  ChildParams params;
  std::memcpy(&params, reinterpret_cast<const uint8_t*>(record) + record->Size - sizeof params, sizeof params);
  return params;
}

template <typename Char>
const Char* ParamAt(const Common::ErrorRecord* record, uintptr_t offset) {
  if (offset == 0) return nullptr;
  return reinterpret_cast<const Char*>(reinterpret_cast<const uint8_t*>(record) + offset);
}

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

// One block: common fields, the code's catalog text, the parameter texts, their offsets.
Common::Error BuildRecord(const Common::SourceLocation& location, uint32_t code, const Common::ErrorKind* kind,
                          const char16_t* cmdline, const char* libcCall, const char16_t* file) {
  const size_t cmdlineBytes = WideBytes(cmdline);
  const size_t fileBytes = WideBytes(file);
  const size_t libcCallBytes = AsciiBytes(libcCall);
  const size_t textBytes = AlignUp(cmdlineBytes + fileBytes + libcCallBytes, alignof(ChildParams));
  size_t dataOffset = 0;
  Common::ErrorRecord* record = Common::AllocateTextRecord(location, code, kind, Common::GetCodeText(code),
                                                           textBytes + sizeof(ChildParams), &dataOffset);
  if (record == nullptr) return Common::Error::Adopt(nullptr);
  uint8_t* base = reinterpret_cast<uint8_t*>(record);
  ChildParams params{0, 0, 0};
  size_t position = dataOffset;
  // The UTF-16 texts first: the data starts aligned, and their sizes are even.
  if (cmdline != nullptr) {
    std::memcpy(base + position, cmdline, cmdlineBytes);
    params.Cmdline = position;
    position += cmdlineBytes;
  }
  if (file != nullptr) {
    std::memcpy(base + position, file, fileBytes);
    params.File = position;
    position += fileBytes;
  }
  if (libcCall != nullptr) {
    std::memcpy(base + position, libcCall, libcCallBytes);
    params.LibcCall = position;
  }
  std::memcpy(base + record->Size - sizeof params, &params, sizeof params);
  return Common::Error::Adopt(record);
}

const char* GetLaunchAsciiParam(const Common::ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "libcCall") == 0) return ParamAt<char>(record, ReadParams(record).LibcCall);
  return Common::GetModuleParam(record, name);
}

const char16_t* GetCmdlineWideParam(const Common::ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "cmdline") == 0) return ParamAt<char16_t>(record, ReadParams(record).Cmdline);
  return Common::NoWideParam(record, name);
}

const char16_t* GetLaunchFileWideParam(const Common::ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "file") == 0) return ParamAt<char16_t>(record, ReadParams(record).File);
  return GetCmdlineWideParam(record, name);
}

const char* CmdlineParamNames(const Common::ErrorRecord*) { return "cmdline,$module"; }
const char* LaunchParamNames(const Common::ErrorRecord*) { return "cmdline,libcCall,$module"; }
const char* LaunchFileParamNames(const Common::ErrorRecord*) { return "cmdline,libcCall,file,$module"; }

// ---- the child --------------------------------------------------------------------------
// Everything below until the parent's part runs between fork and exec: no allocation, no
// lock, no exception; only system calls over what the snapshot prepared.

void CloseIfOpen(int& fd) {
  if (fd == -1) return;
  close(fd);
  fd = -1;
}

// A descriptor the child opens only to duplicate it must not be one of 0, 1 and 2 (free
// when the parent was started with it closed): duplicating it onto itself would do nothing
// and closing it afterwards would close the redirected handle.
int MoveAboveStdHandles(int fd) {
  if (fd < 0 || fd >= kFirstFreeDescriptor) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

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

// Closes every descriptor from 3 on but `keep`. close_range does it in one call whatever
// the descriptor limit; the loop is for kernels without it.
void CloseInheritedDescriptors(int keep) {
  const unsigned first = kFirstFreeDescriptor;
  const unsigned kept = static_cast<unsigned>(keep);
  bool done = kept == first || close_range(first, kept - 1, 0) == 0;
  if (done && close_range(kept + 1, ~0U, 0) == 0) return;
  long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = kFirstFreeDescriptor; fd < limit; ++fd) {
    if (fd != keep) close(static_cast<int>(fd));
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

ForkResult ExecChild(const ForkSnapshot& snapshot) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
  if (snapshot.SigchldRestore != nullptr) sigaction(SIGCHLD, snapshot.SigchldRestore, nullptr);
  if (snapshot.WorkingDirectory != nullptr && chdir(snapshot.WorkingDirectory) != 0)
    return ForkResult::Failure(kStepChdir, errno);
  if (!ApplyEnvironment(snapshot)) return ForkResult::Failure(kStepSetenv, errno);
  execvp(snapshot.Program, const_cast<char* const*>(snapshot.Argv));
  return ForkResult::Failure(kStepExecvp, errno);
}

struct ForkPipes {
  int Status[2] = {-1, -1};
  int Input[2] = {-1, -1};
  int Output[2] = {-1, -1};
  int Error[2] = {-1, -1};
};

[[noreturn]] void RunChild(const ForkSnapshot& snapshot, ForkPipes& pipes) {
  CloseIfOpen(pipes.Status[0]);
  CloseIfOpen(pipes.Input[1]);
  CloseIfOpen(pipes.Output[0]);
  CloseIfOpen(pipes.Error[0]);
  ForkResult result = SetupChildStdHandles(snapshot, pipes.Input[0], pipes.Output[1], pipes.Error[1]);
  if (result.IsSuccess()) {
    DisableSafeCloseCheck();
    CloseInheritedDescriptors(pipes.Status[1]);
    EnableSafeCloseCheck();
    pipes.Input[0] = pipes.Output[1] = pipes.Error[1] = -1;
    result = ExecChild(snapshot);
  }
  StatusRecord record{result.GetErrno(), result.GetStep()};
  ssize_t written = write(pipes.Status[1], &record, sizeof record);
  (void)written;
  CloseIfOpen(pipes.Status[1]);
  CloseIfOpen(pipes.Input[0]);
  CloseIfOpen(pipes.Output[1]);
  CloseIfOpen(pipes.Error[1]);
  _exit(kChildFailureExitCode);
}

// ---- the parent -------------------------------------------------------------------------

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

// The inherited environment without the entries the context replaces, then the context's
// entries as "name=value". Built before the fork so the child only installs it.
class MergedEnvironment {
 public:
  explicit MergedEnvironment(const ForkContext& context) {
    const PathMap& entries = context.GetEnvironment();
    if (entries.empty()) return;
    for (const auto& [name, value] : entries) {
      if (!IsValidName(name.GetNative())) continue;  // the child reports it as setenv would
      Entries.push_back(name.GetNative() + "=" + value.GetNative());
    }
    for (char** inherited = environ; inherited != nullptr && *inherited != nullptr; ++inherited) {
      if (!IsReplaced(*inherited, entries)) Pointers.push_back(*inherited);
    }
    for (std::string& entry : Entries) Pointers.push_back(entry.data());
    Pointers.push_back(nullptr);
  }

  char* const* Get() const { return Pointers.empty() ? nullptr : Pointers.data(); }

 private:
  static bool IsValidName(const std::string& name) { return !name.empty() && name.find('=') == std::string::npos; }

  static bool IsReplaced(const char* inherited, const PathMap& entries) {
    const char* equals = std::strchr(inherited, '=');
    size_t length = equals == nullptr ? std::strlen(inherited) : static_cast<size_t>(equals - inherited);
    for (const auto& entry : entries) {
      const std::string& name = entry.first.GetNative();
      if (name.size() == length && std::memcmp(name.data(), inherited, length) == 0) return true;
    }
    return false;
  }

  std::vector<std::string> Entries;
  std::vector<char*> Pointers;
};

// What the status pipe gave: the count read (0: end of file, the program started), the
// record, and errno when the read failed.
struct StatusReport {
  ssize_t Got = 0;
  StatusRecord Record{0, 0};
  int Errno = 0;
};

StatusReport ReadStatusReport(int fd);
Common::Error ResultOfReport(const ForkContext& context, const StatusReport& report) noexcept;
Common::Error BuildResultOfReport(const ForkContext& context, const StatusReport& report);

[[noreturn]] void ThrowForkFailure(const ForkContext& context, ForkPipes& pipes, const char* call, Common::Site site) {
  int saved = errno;
  CloseForkPipes(pipes.Status, pipes.Input, pipes.Output, pipes.Error);
  throw MakeLaunchError(kSource.At(site), context.GetArgv(), call, saved);
}

// The holds of all launches. `g_sigchldInstalled` is what the holds put in place of the
// caller's `g_sigchldOriginal`; `g_sigchldChanged` says it was put there and is not known
// to have been replaced by the caller since.
pthread_mutex_t g_sigchldMutex = PTHREAD_MUTEX_INITIALIZER;
uint32_t g_sigchldHolders = 0;
bool g_sigchldChanged = false;
struct sigaction g_sigchldOriginal;
struct sigaction g_sigchldInstalled;

bool ReapsChildrenItself(const struct sigaction& action) {
  if ((action.sa_flags & SA_NOCLDWAIT) != 0) return true;
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

bool SameDisposition(const struct sigaction& left, const struct sigaction& right) {
  constexpr int kMeaningful = SA_SIGINFO | SA_NOCLDWAIT | SA_NOCLDSTOP | SA_RESTART | SA_NODEFER | SA_RESETHAND |
                              SA_ONSTACK;
  return left.sa_handler == right.sa_handler && (left.sa_flags & kMeaningful) == (right.sa_flags & kMeaningful);
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

// ---- fork, report, wait -------------------------------------------------------------------

int ForkProcess(ForkContext& context) {
  // Prepared first: nothing that allocates may come between the pipes and the fork.
  DefaultSigchldHold sigchld;
  MergedEnvironment merged(context);
  ForkSnapshot snapshot;
  snapshot.SetCommand(context);
  snapshot.SetWorkingDirectory(context);
  snapshot.SetEnvironment(context);
  snapshot.SetHandles(context);
  snapshot.SetMergedEnvironment(merged.Get());
  snapshot.SetSigchldRestore(sigchld.Original());

  ForkPipes pipes;
  if (!CreatePipe(pipes.Status)) ThrowForkFailure(context, pipes, "pipe", kStatusPipeSite);
  if (fcntl(pipes.Status[1], F_SETFD, FD_CLOEXEC) != 0) ThrowForkFailure(context, pipes, "fcntl", kCloexecSite);
  if (context.PipeFlags[kStdInput] && !CreatePipe(pipes.Input))
    ThrowForkFailure(context, pipes, "pipe", kStdinPipeSite);
  if (context.PipeFlags[kStdOutput] && !CreatePipe(pipes.Output))
    ThrowForkFailure(context, pipes, "pipe", kStdoutPipeSite);
  if (!context.MergeFlag && context.PipeFlags[kStdError] && !CreatePipe(pipes.Error))
    ThrowForkFailure(context, pipes, "pipe", kStderrPipeSite);

  pid_t pid = fork();
  if (pid == -1) ThrowForkFailure(context, pipes, "fork", kForkSite);
  if (pid == 0) RunChild(snapshot, pipes);

  CloseIfOpen(pipes.Status[1]);
  CloseIfOpen(pipes.Input[0]);
  CloseIfOpen(pipes.Output[1]);
  CloseIfOpen(pipes.Error[1]);
  context.ParentFds[kStdInput] = pipes.Input[1];
  context.ParentFds[kStdOutput] = pipes.Output[0];
  context.ParentFds[kStdError] = pipes.Error[0];

  // The child is reaped before its report becomes an error: building the error may run
  // out of memory, and no child may stay a zombie.
  StatusReport report = ReadStatusReport(pipes.Status[0]);
  CloseIfOpen(pipes.Status[0]);
  if (report.Got == 0) return pid;
  WaitPid(pid);
  throw ResultOfReport(context, report);
}

Common::Error GetResultFromPipe(const ForkContext& context, int fd) {
  return ResultOfReport(context, ReadStatusReport(fd));
}

namespace {

StatusReport ReadStatusReport(int fd) {
  StatusReport report;
  // An interrupted read is no answer from the child: it says nothing about the launch.
  do {
    report.Got = read(fd, &report.Record, sizeof report.Record);
  } while (report.Got == -1 && errno == EINTR);
  report.Errno = errno;
  return report;
}

Common::Error ResultOfReport(const ForkContext& context, const StatusReport& report) noexcept {
  return OrOutOfMemory([&] { return BuildResultOfReport(context, report); });
}

Common::Error BuildResultOfReport(const ForkContext& context, const StatusReport& report) {
  const ssize_t got = report.Got;
  const StatusRecord& record = report.Record;
  if (got == 0) return Common::NoError;
  if (got < 0) {
    Common::Error error = Common::MakeError(kSource.At(kReadFailedSite), Common::CHILD_COMMUNICATION_ABORTED);
    error.AddPosixError(report.Errno);
    return error;
  }
  if (static_cast<size_t>(got) < sizeof record)
    return Common::MakeError(kSource.At(kShortReportSite), Common::CHILD_COMMUNICATION_ABORTED);

  const std::vector<PathString>& argv = context.GetArgv();
  const int errnum = static_cast<int>(record.Errno);
  switch (record.Step) {
    case kStepOpenNullDevice:
      return MakeLaunchFileError(kSource.At(kOpenNullSite), argv, "open", errnum,
                                 PathString(u"/dev/null", "/dev/null"));
    case kStepOpenStdinFile:
      return MakeLaunchFileError(kSource.At(kOpenStdinSite), argv, "open", errnum, context.GetHandlePath(kStdInput));
    case kStepOpenStdoutFile:
      return MakeLaunchFileError(kSource.At(kOpenStdoutSite), argv, "open", errnum, context.GetHandlePath(kStdOutput));
    case kStepOpenStderrFile:
      return MakeLaunchFileError(kSource.At(kOpenStderrSite), argv, "open", errnum, context.GetHandlePath(kStdError));
    case kStepDupStdinFile:
    case kStepDupStdoutFile:
    case kStepDupStderrFile:
    case kStepDupNullStdin:
    case kStepDupNullStdout:
    case kStepDupNullStderr:
    case kStepMergeStderr:
    case kStepDupStdinPipe:
    case kStepDupStdoutPipe:
    case kStepDupStderrPipe:
      return MakeLaunchError(kSource.At(kDupSite), argv, "dup2", errnum);
    case kStepChdir:
      return MakeLaunchFileError(kSource.At(kChdirSite), argv, "chdir", errnum, context.GetWorkingDirectory());
    case kStepSetenv:
      return MakeLaunchError(kSource.At(kSetenvSite), argv, "setenv", errnum);
    case kStepExecvp:
      return MakeLaunchError(kSource.At(kExecvpSite), argv, "execvp", errnum);
    default:
      return MakeLaunchError(kSource.At(kUnknownStepSite), argv, "<unknown>", errnum);
  }
}

}  // namespace

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

Common::WString FormatArgList(const std::vector<PathString>& argv) {
  Common::WString text = u"[";
  for (size_t index = 0; index < argv.size(); ++index) {
    if (index > 0) text += u',';
    text += argv[index].GetWide();
  }
  text += u']';
  return text;
}

// Every hold looks at the disposition in force, since the caller may change it while
// other holds exist: one that reaps children itself is replaced, and remembered as the
// caller's.
DefaultSigchldHold::DefaultSigchldHold() {
  pthread_mutex_lock(&g_sigchldMutex);
  ++g_sigchldHolders;
  struct sigaction current;
  if (sigaction(SIGCHLD, nullptr, &current) == 0) {
    if (g_sigchldChanged && !SameDisposition(current, g_sigchldInstalled)) g_sigchldChanged = false;
    if (ReapsChildrenItself(current)) {
      struct sigaction waitable = current;
      if ((waitable.sa_flags & SA_SIGINFO) == 0 && waitable.sa_handler == SIG_IGN) waitable.sa_handler = SIG_DFL;
      waitable.sa_flags &= ~SA_NOCLDWAIT;
      if (sigaction(SIGCHLD, &waitable, nullptr) == 0) {
        g_sigchldOriginal = current;
        g_sigchldInstalled = waitable;
        g_sigchldChanged = true;
      }
    }
  }
  Changed = g_sigchldChanged;
  if (Changed) Saved = g_sigchldOriginal;
  pthread_mutex_unlock(&g_sigchldMutex);
}

// The caller's disposition comes back only over the one the holds installed: one that
// the caller set meanwhile stays.
DefaultSigchldHold::~DefaultSigchldHold() {
  pthread_mutex_lock(&g_sigchldMutex);
  if (--g_sigchldHolders == 0 && g_sigchldChanged) {
    struct sigaction current;
    if (sigaction(SIGCHLD, nullptr, &current) == 0 && SameDisposition(current, g_sigchldInstalled))
      sigaction(SIGCHLD, &g_sigchldOriginal, nullptr);
    g_sigchldChanged = false;
  }
  pthread_mutex_unlock(&g_sigchldMutex);
}

// ---- record kinds and builders --------------------------------------------------------------

const Common::ErrorKind CmdlineErrorKind = {Common::FreeRecord,   Common::CloneRecord,  Common::GetRecordText,
                                            Common::NoNumberParam, Common::GetModuleParam, GetCmdlineWideParam,
                                            CmdlineParamNames};
const Common::ErrorKind LaunchErrorKind = {Common::FreeRecord,   Common::CloneRecord, Common::GetRecordText,
                                           Common::NoNumberParam, GetLaunchAsciiParam, GetCmdlineWideParam,
                                           LaunchParamNames};
const Common::ErrorKind LaunchFileErrorKind = {Common::FreeRecord,   Common::CloneRecord, Common::GetRecordText,
                                               Common::NoNumberParam, GetLaunchAsciiParam, GetLaunchFileWideParam,
                                               LaunchFileParamNames};

Common::Error MakeParseCommandLineError(const Common::SourceLocation& location,
                                        const Common::WString& cmdline) noexcept {
  return OrOutOfMemory([&] {
    return BuildRecord(location, Common::CHILD_CMDLINE_SPLIT_FAILED, &CmdlineErrorKind, cmdline.c_str(), nullptr,
                       nullptr);
  });
}

Common::Error MakeLaunchError(const Common::SourceLocation& location, const std::vector<PathString>& argv,
                              const char* libcCall, int errnum) noexcept {
  return OrOutOfMemory([&] {
    Common::WString cmdline = FormatArgList(argv);
    Common::Error error =
        BuildRecord(location, Common::CHILD_LAUNCH_FAILED, &LaunchErrorKind, cmdline.c_str(), libcCall, nullptr);
    error.AddPosixError(errnum);
    return error;
  });
}

Common::Error MakeLaunchFileError(const Common::SourceLocation& location, const std::vector<PathString>& argv,
                                  const char* libcCall, int errnum, const PathString& file) noexcept {
  return OrOutOfMemory([&] {
    Common::WString cmdline = FormatArgList(argv);
    Common::Error error = BuildRecord(location, Common::CHILD_LAUNCH_FAILED, &LaunchFileErrorKind,
                                      cmdline.c_str(), libcCall, file.WideStr());
    error.AddPosixError(errnum);
    return error;
  });
}

}  // namespace ChildProcess

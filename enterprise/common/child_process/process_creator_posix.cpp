// The launch of a child from its parameters, in ten steps, and the control of the child:
// every check is made before any pipe, process or thread exists.
#include "enterprise/common/child_process/process_creator_posix.h"

#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <new>

#include "core/common/cmdline_tokenizer.h"
#include "enterprise/common/child_process/communication_posix.h"
#include "enterprise/common/child_process/fork_process.h"

namespace ChildProcess {

namespace {

constexpr Common::SourceFile kSource{Common::Locations::ChildProcessCreatorPosix,
                                     "enterprise/common/child_process/process_creator_posix.cpp"};

constexpr Common::Site kRedirectSite{"RedirectStdHandle", 69};
constexpr Common::Site kSplitFailedSite{"ParseCommandLine", 179};
constexpr Common::Site kNoTokenSite{"ParseCommandLine", 185};
constexpr Common::Site kStdoutCallbackSite{"PrepareCommunication", 237};
constexpr Common::Site kStderrCallbackSite{"PrepareCommunication", 243};
// A relay whose thread could not start (a site of this implementation).
constexpr Common::Site kRelayNotStartedSite{"StartCommunication", 171};

void ParseCommandLine(const Common::WString& commandLine, std::vector<PathString>& argv) {
  try {
    std::unique_ptr<Common::TokenEnumerator> tokens =
        Common::TokenizeCommandLine(commandLine.c_str(), Common::kShellSyntax);
    while (tokens->HasNext()) {
      argv.emplace_back(tokens->GetToken());
      tokens->Next();
    }
  } catch (const Common::Error& cause) {
    Common::Error error = MakeParseCommandLineError(kSource.At(kSplitFailedSite), commandLine);
    error.AddCause(cause);
    throw error;
  }
  if (argv.empty()) throw MakeParseCommandLineError(kSource.At(kNoTokenSite), commandLine);
}

// Step 1: the argument vector.
std::vector<PathString> BuildArgv(const Parameters& parameters) {
  std::vector<PathString> argv;
  if (parameters.UseShell) {
    argv.emplace_back(u"/bin/bash", "/bin/bash");
    argv.emplace_back(u"-c", "-c");
    if (parameters.Argv.empty()) {
      argv.emplace_back(parameters.CommandLine);
      return argv;
    }
  }
  if (!parameters.Argv.empty()) {
    for (const Common::WString& argument : parameters.Argv) argv.emplace_back(argument);
    return argv;
  }
  ParseCommandLine(parameters.CommandLine, argv);
  return argv;
}

// Step 2: in native byte order; of two names that convert alike, the later value stays.
PathMap ConvertEnvironment(const std::map<Common::WString, Common::WString>& environment) {
  PathMap converted;
  for (const auto& [name, value] : environment) converted[PathString(name)] = PathString(value);
  return converted;
}

bool PipesStderr(const Parameters& parameters) {
  return !parameters.MergeStderr && parameters.Stderr.Type == HandleType::Pipe;
}

// Steps 5 and 6: one standard handle onto the context.
void Redirect(int index, HandleType type, const Common::WString& fileName, ForkContext& context) {
  switch (type) {
    case HandleType::Inherit:
      return;
    case HandleType::NullDevice:
      context.DisableInherit(index);
      return;
    case HandleType::File:
      context.SetStdHandlePath(index, PathString(fileName));
      return;
    case HandleType::Pipe:
      context.EnablePipe(index);
      return;
  }
  throw Common::MakeError(kSource.At(kRedirectSite), Common::CHILD_STD_HANDLE_ERROR);
}

void RedirectStdHandle(int index, const OutputHandle& handle, ForkContext& context) {
  Redirect(index, handle.Type, handle.FileName, context);
}

class ProcessCreatorPosix : public Control {
 public:
  ProcessCreatorPosix() = default;
  ~ProcessCreatorPosix() override;

  void Launch(const Parameters& parameters);

  int GetProcessId() override;
  int Wait() override;
  int Kill() override;
  std::unique_ptr<o_file> TakeInput() override;

 private:
  void PrepareCommunication(const Parameters& parameters);
  void StartCommunication(const Parameters& parameters, ForkContext& context);

  // Kill may come from another thread than Wait: the child is reaped under `PidMutex`,
  // and Pid becomes -1 at once, so a kill never reaches a process that took the id over.
  std::mutex PidMutex;
  int Pid = -1;
  int InputFd = -1;
  std::unique_ptr<CommunicationLogic> Communication;
  // From before the fork until the child is reaped: a SIGCHLD that the caller ignores
  // would let the kernel reap the child and take its exit status away.
  std::unique_ptr<DefaultSigchldHold> SigchldHold;
};

ProcessCreatorPosix::~ProcessCreatorPosix() {
  if (InputFd != -1) close(InputFd);
  InputFd = -1;
  Wait();
  Communication.reset();
}

void ProcessCreatorPosix::Launch(const Parameters& parameters) {
  std::vector<PathString> argv = BuildArgv(parameters);
  PathMap environment = ConvertEnvironment(parameters.Environment);
  PrepareCommunication(parameters);

  ForkContext context(argv, PathString(parameters.WorkingDirectory), environment);
  Redirect(kStdInput, parameters.Stdin.Type, parameters.Stdin.FileName, context);
  RedirectStdHandle(kStdOutput, parameters.Stdout, context);
  if (parameters.MergeStderr)
    context.MergeStderr();
  else
    RedirectStdHandle(kStdError, parameters.Stderr, context);

  SigchldHold = std::make_unique<DefaultSigchldHold>();
  Pid = ForkProcess(context);
  if (parameters.Stdin.Type == HandleType::Pipe) InputFd = context.TakePipeFd(kStdInput);
  if (Communication) StartCommunication(parameters, context);
}

// Step 3: the checks of the output handles, made while no pipe or process exists.
void ProcessCreatorPosix::PrepareCommunication(const Parameters& parameters) {
  if (parameters.Stdout.Type == HandleType::Pipe && !parameters.Stdout.Target)
    throw Common::MakeError(kSource.At(kStdoutCallbackSite), Common::CHILD_EMPTY_CALLBACK);
  if (PipesStderr(parameters) && !parameters.Stderr.Target)
    throw Common::MakeError(kSource.At(kStderrCallbackSite), Common::CHILD_EMPTY_CALLBACK);
  if (parameters.Stdout.Type == HandleType::Pipe || PipesStderr(parameters))
    Communication = std::make_unique<CommunicationLogic>();
}

// Step 9: the relays get the read ends and start. A relay without its thread, or one that
// could not be made for lack of memory, would leave the child writing into a pipe nobody
// reads, and the wait for it would never end: the child is ended instead, which also ends
// the relays that did start, and the launch fails as for a thread the system refused.
void ProcessCreatorPosix::StartCommunication(const Parameters& parameters, ForkContext& context) {
  auto hand = [](int fd, auto set) {
    try {
      set(fd);
    } catch (...) {
      close(fd);
      throw;
    }
  };
  bool started = false;
  try {
    if (parameters.Stdout.Type == HandleType::Pipe)
      hand(context.TakePipeFd(kStdOutput), [&](int fd) { Communication->SetOutput(fd, parameters.Stdout.Target); });
    if (PipesStderr(parameters))
      hand(context.TakePipeFd(kStdError), [&](int fd) { Communication->SetError(fd, parameters.Stderr.Target); });
    Communication->Start();
    started = Communication->AllRelaysStarted();
  } catch (const std::bad_alloc&) {
  }
  if (started) return;
  Kill();
  Wait();
  throw Common::MakeError(kSource.At(kRelayNotStartedSite), Common::CHILD_COMMUNICATION_ABORTED);
}

int ProcessCreatorPosix::GetProcessId() {
  std::lock_guard<std::mutex> lock(PidMutex);
  return Pid;
}

// The wait for the end holds no lock, so Kill can end a child that does not end itself;
// the reap, of a child that has ended, is then immediate.
int ProcessCreatorPosix::Wait() {
  WaitUntilEnded(GetProcessId());
  int status = -1;
  {
    std::lock_guard<std::mutex> lock(PidMutex);
    status = WaitForProcess(Pid);
    Pid = -1;
  }
  SigchldHold.reset();
  Communication.reset();
  return status;
}

int ProcessCreatorPosix::Kill() {
  std::lock_guard<std::mutex> lock(PidMutex);
  if (Pid == -1) return -1;
  return kill(Pid, SIGKILL);
}

std::unique_ptr<o_file> ProcessCreatorPosix::TakeInput() {
  if (InputFd == -1) return nullptr;
  auto writer = std::make_unique<InputCommunicationLogic>(InputFd);
  InputFd = -1;
  return writer;
}

}  // namespace

std::shared_ptr<Control> Create(const Parameters& parameters) {
  auto process = std::make_shared<ProcessCreatorPosix>();
  process->Launch(parameters);
  return process;
}

}  // namespace ChildProcess

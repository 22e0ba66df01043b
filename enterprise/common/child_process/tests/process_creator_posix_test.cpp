// Starting a child from launch parameters, what the started program sees, and the
// control of the child: wait, kill, the input writer and the release of the last reference.
#include "enterprise/common/child_process/process_creator_posix.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "enterprise/common/child_process/communication_posix.h"
#include "enterprise/common/child_process/tests/child_test_support.h"
#include "enterprise/common/child_process/tests/probe_pattern.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/failing_new.h"
#include "tools/testing/location_id.h"

extern char** environ;

namespace ChildProcess {
namespace {

using ::testing::AllOf;
using Testing::CauseAt;
using Testing::HasCode;
using Testing::HasLocation;
using Testing::HasSite;

using namespace ChildProcessTesting;

constexpr Common::SourceFileId kCreatorFile = Common::Locations::ChildProcessCreatorPosix;

bool HasLine(const std::string& output, const std::string& line) {
  return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
}

std::vector<std::string> LinesStartingWith(const std::string& output, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);)
    if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line.substr(prefix.size()));
  return lines;
}

// The probe with `args`, its standard output relayed into `sink`.
Parameters Probe(std::initializer_list<const char16_t*> args, const std::shared_ptr<MemorySink>& sink) {
  Parameters parameters;
  parameters.Argv.push_back(Wide(ProbePath()));
  for (const char16_t* arg : args) parameters.Argv.emplace_back(arg);
  parameters.Stdout = OutputHandle::Pipe(sink);
  return parameters;
}

std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(ProbePatternByte(i));
  return bytes;
}

size_t FirstDifference(const std::string& left, const std::string& right) {
  return static_cast<size_t>(std::mismatch(left.begin(), left.end(), right.begin(), right.end()).first - left.begin());
}

struct Outcome {
  int Status;
  std::string Output;
};

// Create for a launch that must start.
std::shared_ptr<Control> Start(const Parameters& parameters) {
  try {
    return Create(parameters);
  } catch (const Common::Error& error) {
    throw LaunchFailed(error);
  }
}

Outcome RunToEnd(Parameters parameters) {
  auto sink = std::make_shared<MemorySink>();
  if (parameters.Stdout.Type == HandleType::Pipe && parameters.Stdout.Target == nullptr) parameters.Stdout.Target = sink;
  std::shared_ptr<MemorySink> target = std::static_pointer_cast<MemorySink>(parameters.Stdout.Target);
  std::shared_ptr<Control> control = Start(parameters);
  int status = control->Wait();
  return {status, target ? target->Data() : ""};
}

Common::Error CreateFailure(const Parameters& parameters) {
  try {
    std::shared_ptr<Control> control = Create(parameters);
    control->Wait();
  } catch (const Common::Error& error) {
    return error;
  }
  return Common::NoError;
}

// Every test leaves no descriptor and no child behind.
class ChildCreateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeIsBuilt()) << ProbePath() << " is missing: build child_process_probe";
    LoadCatalog();
    before = OpenDescriptors();
  }
  void TearDown() override {
    EXPECT_EQ(OpenDescriptors(), before) << "a descriptor leaked";
    EXPECT_TRUE(NoChildLeft()) << "a child was left unreaped";
  }
  std::set<int> before;
};

// ---- the argument vector ----------------------------------------------------------------------

TEST_F(ChildCreateTest, ArgumentVectorByUseShellArgvAndCommandLine) {
  const std::u16string probe = Wide(ProbePath());
  const std::u16string quotedProbe = Wide(ShellQuoted(ProbePath()));
  struct Case {
    const char* Name;
    bool UseShell;
    std::vector<std::u16string> Argv;
    std::u16string CommandLine;
    std::vector<std::string> Expected;
  } cases[] = {
      {"command line split by shell rules", false, {}, quotedProbe + u" report 'a b' c\\ d \"e\\\"f\" g''h",
       {ProbePath(), "report", "a b", "c d", "e\"f", "gh"}},
      {"argv wins and the command line is never split", false, {probe, u"report", u"x y"}, u"unbalanced '",
       {ProbePath(), "report", "x y"}},
      {"shell runs the command line as one argument", true, {}, u"exec " + quotedProbe + u" report \"$0\"",
       {ProbePath(), "report", "/bin/bash"}},
      {"shell gets argv after -c", true, {u"exec \"$1\" report \"$0\" \"$2\"", u"zero", probe, u"p q"},
       u"ignored '", {ProbePath(), "report", "zero", "p q"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Parameters parameters;
    parameters.UseShell = c.UseShell;
    parameters.Argv = c.Argv;
    parameters.CommandLine = c.CommandLine;
    parameters.Stdout.Type = HandleType::Pipe;
    Outcome outcome = RunToEnd(parameters);
    EXPECT_EQ(outcome.Status, 0);
    // The shell cases exec the probe, whose own argv[0] is the path it was given.
    EXPECT_EQ(LinesStartingWith(outcome.Output, "arg="), c.Expected) << outcome.Output;
  }
}

TEST_F(ChildCreateTest, CommandLineThatCannotBeSplit) {
  struct Case {
    std::u16string CommandLine;
    uint32_t Line;
    bool CausedByTokenizer;
  } cases[] = {
      {u"", 185, false},
      {u"  \t ", 185, false},
      {u"prog 'unbalanced", 179, true},
      {u"prog \"unbalanced", 179, true},
      {u"prog trailing\\", 179, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Common::ToUtf8(c.CommandLine.c_str()));
    Parameters parameters;
    parameters.CommandLine = c.CommandLine;
    Common::Error error = CreateFailure(parameters);
    Common::ErrorRecord* head = error.GetHead();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->Code, Common::CHILD_CMDLINE_SPLIT_FAILED);
    EXPECT_EQ(head->Line, c.Line);
    EXPECT_EQ(head->IdLow, kCreatorFile.Base + c.Line);
    EXPECT_STREQ(head->Function, "ParseCommandLine");
    EXPECT_EQ(WideParam(error, "cmdline"), c.CommandLine);
    EXPECT_EQ(ParamNames(error), "cmdline,$module");
    if (c.CausedByTokenizer) {
      ASSERT_NE(head->Cause, nullptr);
      EXPECT_EQ(head->Cause->Code, Common::CMDLINE_PARSE_ERROR);
    } else {
      EXPECT_EQ(head->Cause, nullptr);
    }
  }
}

// ---- the checks made before anything exists -------------------------------------------------------

// From now on every system call of this process that would make a pipe or a process
// fails with EPERM. False when no such filter can be had (an emulator may lack it).
bool ForbidPipesAndProcesses() {
#if defined(__i386__)
  constexpr uint32_t kArch = AUDIT_ARCH_I386;
#else
  constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#endif
  std::vector<uint32_t> forbidden = {SYS_pipe, SYS_pipe2, SYS_fork, SYS_vfork, SYS_clone};
#ifdef SYS_clone3
  forbidden.push_back(SYS_clone3);
#endif
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  for (uint32_t call : forbidden) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
    return false;
  int probe[2];
  return pipe(probe) != 0 && errno == EPERM;
}

TEST_F(ChildCreateTest, HandleChecksComeBeforeAnyPipeOrProcess) {
  const HandleType bad = static_cast<HandleType>(7);
  struct Case {
    const char* Name;
    InputHandle Stdin;
    OutputHandle Stdout;
    OutputHandle Stderr;
    bool Merge;
    uint32_t Code;  // 0: the launch succeeds
    uint32_t Line;
    const char* Function;
  } cases[] = {
      {"stdout pipe without target", {}, {HandleType::Pipe, u"", nullptr}, {}, false, Common::CHILD_EMPTY_CALLBACK, 237,
       "PrepareCommunication"},
      {"stderr pipe without target", {}, {}, {HandleType::Pipe, u"", nullptr}, false, Common::CHILD_EMPTY_CALLBACK, 243,
       "PrepareCommunication"},
      {"stdin type 7", {bad, u""}, {}, {}, false, Common::CHILD_STD_HANDLE_ERROR, 69, "RedirectStdHandle"},
      {"stdout type 7", {}, {bad, u"", nullptr}, {}, false, Common::CHILD_STD_HANDLE_ERROR, 69, "RedirectStdHandle"},
      {"stderr type 7", {}, {}, {bad, u"", nullptr}, false, Common::CHILD_STD_HANDLE_ERROR, 69, "RedirectStdHandle"},
      {"stdin pipe, stdout type 7", {HandleType::Pipe, u""}, {bad, u"", nullptr}, {}, false,
       Common::CHILD_STD_HANDLE_ERROR, 69, "RedirectStdHandle"},
      {"merged: stderr pipe without target is unused", {}, {}, {HandleType::Pipe, u"", nullptr}, true, 0, 0, ""},
      {"merged: stderr type 7 is never looked at", {}, {}, {bad, u"", nullptr}, true, 0, 0, ""},
  };
  auto parametersOf = [](const Case& c) {
    Parameters parameters;
    parameters.Argv = {u"/bin/true"};
    parameters.Stdin = c.Stdin;
    parameters.Stdout = c.Stdout;
    parameters.Stderr = c.Stderr;
    parameters.MergeStderr = c.Merge;
    return parameters;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Common::Error error = CreateFailure(parametersOf(c));
    EXPECT_EQ(error.GetCode(), c.Code);
    if (c.Code == 0) continue;
    EXPECT_THAT(error.GetHead(), HasSite(c.Function, c.Line));
    EXPECT_EQ(error.GetHead()->IdLow, kCreatorFile.Base + c.Line);
    EXPECT_EQ(error.GetHead()->Cause, nullptr);
    if (c.Line == 69) {
      EXPECT_EQ(Testing::LocationId(error), 0x4E880B9B77CDA79Bu);  // process_creator_posix, line 69
    }
    EXPECT_EQ(RecordText(error.GetHead()),
              c.Code == Common::CHILD_EMPTY_CALLBACK ? u"Empty callback is given during child process creation." : u"");
  }

  // The failing cases again where no pipe and no process can be made: one made before the
  // check would fail first and change the error. The exit status names the case.
  constexpr int kNoFilter = 200;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!ForbidPipesAndProcesses()) _exit(kNoFilter);
    for (size_t i = 0; i < std::size(cases); ++i) {
      if (cases[i].Code == 0) continue;
      Common::Error error = CreateFailure(parametersOf(cases[i]));
      if (error.GetCode() != cases[i].Code || error.GetHead()->Line != cases[i].Line) _exit(static_cast<int>(i) + 1);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == kNoFilter) GTEST_SKIP() << "no system call filter can be installed here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << cases[WEXITSTATUS(status) - 1].Name;
}

TEST_F(ChildCreateTest, SetupFailurePassesThroughAndTheChildIsReaped) {
  Parameters parameters;
  parameters.Argv = {u"/bin/true"};
  parameters.WorkingDirectory = u"/nonexistent/directory";
  parameters.Stdin = InputHandle::Pipe();
  parameters.Stdout = OutputHandle::Pipe(std::make_shared<MemorySink>());
  Common::Error error = CreateFailure(parameters);
  ASSERT_EQ(error.GetCode(), Common::CHILD_LAUNCH_FAILED);
  EXPECT_EQ(error.GetHead()->Line, 343u);
  EXPECT_EQ(AsciiParam(error, "libcCall"), "chdir");
  EXPECT_EQ(WideParam(error, "file"), u"/nonexistent/directory");
  EXPECT_EQ(WideParam(error, "cmdline"), u"[/bin/true]");
}

// ---- what the started program sees --------------------------------------------------------------

TEST_F(ChildCreateTest, ProgramSeesItsHandlesDirectoryEnvironmentAndAnEmptySignalMask) {
  TempDir dir;
  setenv("CHILD_PROBE_REPLACED", "inherited", 1);
  setenv("CHILD_PROBE_KEPT", "kept", 1);
  int leaked = LeakDescriptorAbove(100);

  auto sink = std::make_shared<MemorySink>();
  Parameters parameters = Probe({u"report"}, sink);
  parameters.Stdin = InputHandle::Pipe();
  parameters.Stderr = OutputHandle::NullDevice();
  parameters.WorkingDirectory = dir.WidePath();
  parameters.Environment = {{u"CHILD_PROBE_REPLACED", u"given"}, {u"CHILD_PROBE_NEW", u"new value"}};

  // The thread that starts the child blocks signals; the program must start with none.
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  std::shared_ptr<Control> control = Start(parameters);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(leaked);

  EXPECT_GT(control->GetProcessId(), 0);
  std::unique_ptr<o_file> input = control->TakeInput();
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(control->Wait(), 0);
  std::string output = sink->Data();
  EXPECT_TRUE(HasLine(output, "fds=0,1,2")) << output;
  EXPECT_TRUE(HasLine(output, "sigblk=0000000000000000")) << output;
  EXPECT_TRUE(HasLine(output, "kind0=fifo")) << output;
  EXPECT_TRUE(HasLine(output, "kind1=fifo")) << output;
  EXPECT_TRUE(HasLine(output, "target2=/dev/null")) << output;
  EXPECT_TRUE(HasLine(output, "cwd=" + dir.Path())) << output;
  std::vector<std::string> env = LinesStartingWith(output, "env=CHILD_PROBE_");
  std::sort(env.begin(), env.end());
  EXPECT_EQ(env, (std::vector<std::string>{"KEPT=kept", "NEW=new value", "REPLACED=given"}));
  // The parent's own environment is untouched.
  EXPECT_STREQ(getenv("CHILD_PROBE_REPLACED"), "inherited");
  EXPECT_EQ(getenv("CHILD_PROBE_NEW"), nullptr);
  unsetenv("CHILD_PROBE_REPLACED");
  unsetenv("CHILD_PROBE_KEPT");
}

TEST_F(ChildCreateTest, FileRedirections) {
  TempDir dir;
  const std::string in = dir.Path() + "/in.txt";
  const std::string out = dir.Path() + "/out.txt";
  std::ofstream(in) << "line one\nline two\n";
  std::ofstream(out) << std::string(10000, 'o');  // longer than what comes: truncated
  chmod(in.c_str(), 0444);
  mode_t savedMask = umask(022);
  Parameters parameters;
  parameters.Argv = {Wide(ProbePath()), u"cat"};
  parameters.Stdin = {HandleType::File, Wide(in)};
  parameters.Stdout = {HandleType::File, Wide(out), nullptr};
  parameters.Stderr = {HandleType::File, Wide(dir.Path() + "/err.txt"), nullptr};
  EXPECT_EQ(RunToEnd(parameters).Status, 0);
  umask(savedMask);
  std::ifstream result(out);
  std::string content((std::istreambuf_iterator<char>(result)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "line one\nline two\n");
  struct stat info;
  ASSERT_EQ(stat((dir.Path() + "/err.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(info.st_size, 0);
}

TEST_F(ChildCreateTest, MergedStderrFollowsStdoutIntoItsPipe) {
  auto sink = std::make_shared<MemorySink>();
  Parameters parameters = Probe({u"emit-stderr", u"100000"}, sink);
  parameters.MergeStderr = true;
  parameters.Stderr = {HandleType::Pipe, u"", nullptr};
  std::shared_ptr<Control> control = Start(parameters);
  EXPECT_EQ(control->Wait(), 0);
  EXPECT_TRUE(sink->Data() == Pattern(100000));
}

// ---- relays and waiting ---------------------------------------------------------------------------

TEST_F(ChildCreateTest, WaitReturnsAfterAllOutputWasDelivered) {
  const size_t total = 3 * 1024 * 1024 + 17;
  auto sink = std::make_shared<MemorySink>();
  std::shared_ptr<Control> control = Start(Probe({u"emit", u"3145745"}, sink));
  EXPECT_EQ(control->Wait(), 0);
  std::string data = sink->Data();
  EXPECT_EQ(data.size(), total);
  EXPECT_TRUE(data == Pattern(total)) << "first difference at " << FirstDifference(data, Pattern(total));
  EXPECT_LE(sink->LargestPiece(), kRelayPieceBytes);
  EXPECT_EQ(sink->FlushCalls(), 1u);
}

TEST_F(ChildCreateTest, StdoutAndStderrRelayedAtOnce) {
  auto out = std::make_shared<MemorySink>();
  auto err = std::make_shared<MemorySink>();
  Parameters parameters;
  const std::string probe = ShellQuoted(ProbePath());
  // Both at once, each more than a pipe holds: one relay alone would deadlock.
  parameters.UseShell = true;
  parameters.CommandLine = Wide(probe + " emit 500000 & " + probe + " emit-stderr 400000; wait");
  parameters.Stdout = OutputHandle::Pipe(out);
  parameters.Stderr = OutputHandle::Pipe(err);
  std::shared_ptr<Control> control = Start(parameters);
  EXPECT_EQ(control->Wait(), 0);
  EXPECT_EQ(out->Data().size(), 500000u);
  EXPECT_EQ(err->Data().size(), 400000u);
}

// Launches on several threads at once whose standard output goes into one log sink that
// refuses every write: each launch's relay reports its own failure, once, and no relay
// comes in on another's write or takes another's error.
TEST_F(ChildCreateTest, ConcurrentLaunchesIntoOneRefusingTarget) {
  constexpr int kLaunches = 8;
  constexpr int kBatches = 3;
  for (int batch = 0; batch < kBatches; ++batch) {
    Watchdog watchdog(2 * kPatience, "a batch of " + std::to_string(kLaunches) + " concurrent launches");
    TraceRecorder traces;
    auto sink = std::make_shared<RefusingSink>();
    std::latch started(kLaunches);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < kLaunches; ++t) {
      threads.emplace_back([&] {
        Parameters parameters;
        parameters.Argv = {Wide(ProbePath()), u"cat"};
        parameters.Stdin = InputHandle::Pipe();
        parameters.Stdout = OutputHandle::Pipe(sink);
        std::shared_ptr<Control> control;
        try {
          control = Create(parameters);
        } catch (const Common::Error& error) {
          ADD_FAILURE() << "a launch failed:\n" << DisplayText(error);
          started.count_down();
          return;
        }
        std::unique_ptr<o_file> input = control->TakeInput();
        // Every child echoes its line at about the same moment.
        started.arrive_and_wait();
        Write(*input, "a line for the log\n", 19);
        input.reset();
        if (control->Wait() != 0) ++wrong;
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(sink->Overlaps(), 0u) << "batch " << batch;
    EXPECT_EQ(sink->Writes(), static_cast<uint32_t>(kLaunches)) << "batch " << batch;
    std::vector<Common::Error> errors = traces.Errors();
    EXPECT_EQ(errors.size(), static_cast<size_t>(kLaunches)) << "batch " << batch;
    for (const Common::Error& error : errors) {
      EXPECT_THAT(error, AllOf(HasCode(Common::CHILD_COMMUNICATION_ABORTED), HasSite("Communicate", 127),
                               CauseAt(1, HasCode(Common::FILE_WRITE_ERROR))));
    }
    EXPECT_FALSE(sink->last_error);
  }
}

TEST_F(ChildCreateTest, ExitStatusesAndTheStateAfterWait) {
  for (int code : {0, 7, 255}) {
    auto sink = std::make_shared<MemorySink>();
    std::u16string text = Wide(std::to_string(code));
    std::shared_ptr<Control> control = Start(Probe({u"exit", text.c_str()}, sink));
    EXPECT_EQ(control->Wait(), code);
    EXPECT_EQ(control->GetProcessId(), -1);
    EXPECT_EQ(control->Wait(), -1);
    EXPECT_EQ(control->Kill(), -1);
  }
}

TEST_F(ChildCreateTest, KilledChildWaitsAsMinusOne) {
  auto sink = std::make_shared<MemorySink>();
  Parameters parameters = Probe({u"cat"}, sink);
  parameters.Stdin = InputHandle::Pipe();
  std::shared_ptr<Control> control = Start(parameters);
  EXPECT_EQ(control->Kill(), 0);
  EXPECT_EQ(control->Wait(), -1);
  EXPECT_EQ(control->Kill(), -1);
}

// ---- the input writer -------------------------------------------------------------------------------

TEST_F(ChildCreateTest, InputWriterFeedsTheChildAndItsDeletionEndsTheInput) {
  auto sink = std::make_shared<MemorySink>();
  Parameters parameters = Probe({u"cat"}, sink);
  parameters.Stdin = InputHandle::Pipe();
  std::shared_ptr<Control> control = Start(parameters);
  std::unique_ptr<o_file> input = control->TakeInput();
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(control->TakeInput(), nullptr);
  Write(*input, "secret\n", 7);
  EXPECT_TRUE(input->last_error.IsEmpty());
  sink->WaitFor("secret\n");
  input.reset();  // the child reads end of file and exits
  EXPECT_EQ(control->Wait(), 0);
  EXPECT_EQ(sink->Data(), "secret\n");
}

TEST_F(ChildCreateTest, NoInputWriterWithoutAnInputPipe) {
  auto sink = std::make_shared<MemorySink>();
  std::shared_ptr<Control> control = Start(Probe({u"exit", u"0"}, sink));
  EXPECT_EQ(control->TakeInput(), nullptr);
  EXPECT_EQ(control->Wait(), 0);
}

TEST_F(ChildCreateTest, WritingAfterTheChildClosedItsInputGivesPipeClosed) {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_UNBLOCK, &pipeOnly, nullptr);  // a SIGPIPE here would end the test

  auto sink = std::make_shared<MemorySink>();
  Parameters parameters = Probe({u"exit", u"0"}, sink);
  parameters.Stdin = InputHandle::Pipe();
  std::shared_ptr<Control> control = Start(parameters);
  std::unique_ptr<o_file> input = control->TakeInput();
  EXPECT_EQ(control->Wait(), 0);  // the child has ended, and its input with it
  uint32_t done = 99;
  input->Write("answer\n", 7, &done);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(input->last_error.GetCode(), Common::FILE_PIPE_CLOSED);
  EXPECT_EQ(RecordText(input->last_error.GetHead()), u"The reading end of a pipe is closed.");
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST_F(ChildCreateTest, ReleasingARunningChildClosesItsInputAndWaitsForIt) {
  auto sink = std::make_shared<MemorySink>();
  Parameters parameters = Probe({u"cat"}, sink);
  parameters.Stdin = InputHandle::Pipe();
  std::shared_ptr<Control> control = Start(parameters);
  int pid = control->GetProcessId();
  control.reset();  // cat ends only when its input is closed
  EXPECT_EQ(kill(pid, 0), -1) << "the child must have been reaped";
  EXPECT_EQ(sink->FlushCalls(), 1u);
}

// A program that another thread of the parent starts while the child runs (fork and exec,
// as system() does, closing nothing) must inherit none of the child's pipes: holding the
// write end of the child's input, it would keep the child from ever reading its end, and
// the wait for the child would last as long as that program.
TEST_F(ChildCreateTest, AProgramStartedMeanwhileInheritsNoPipe) {
  auto sink = std::make_shared<MemorySink>();
  Parameters parameters = Probe({u"cat"}, sink);
  parameters.Stdin = InputHandle::Pipe();
  std::shared_ptr<Control> control = Start(parameters);

  // The unrelated program copies a pipe of the test's own until the test closes it.
  int feed[2];
  ASSERT_EQ(pipe2(feed, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, feed[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string probe = ProbePath();
  char cat[] = "cat";
  char* argv[] = {probe.data(), cat, nullptr};
  pid_t unrelated = -1;
  int spawned = posix_spawn(&unrelated, probe.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(feed[0]);
  ASSERT_EQ(spawned, 0);

  control->TakeInput().reset();  // the child's input ends here
  std::future<int> status = std::async(std::launch::async, [&] { return control->Wait(); });
  // Bounded only to report the hang: the child ends as soon as its input does.
  bool ended = status.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
  EXPECT_TRUE(ended) << "the wait lasts as long as the unrelated program";
  close(feed[1]);
  waitpid(unrelated, nullptr, 0);
  EXPECT_EQ(status.get(), 0);
}

// ---- a caller that ignores SIGCHLD ------------------------------------------------------------------

TEST_F(ChildCreateTest, IgnoredSigchldStillGivesTheExitStatus) {
  struct sigaction ignore {};
  struct sigaction saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved);

  auto sink = std::make_shared<MemorySink>();
  std::shared_ptr<Control> control = Start(Probe({u"report"}, sink));
  EXPECT_EQ(control->Wait(), 0);
  struct sigaction after {};
  sigaction(SIGCHLD, nullptr, &after);
  EXPECT_EQ(after.sa_handler, SIG_IGN) << "the caller's disposition comes back after the wait";

  // The program got the caller's disposition: SIGCHLD ignored.
  std::vector<std::string> ignored = LinesStartingWith(sink->Data(), "sigign=");
  ASSERT_EQ(ignored.size(), 1u);
  uint64_t mask = std::strtoull(ignored[0].c_str(), nullptr, 16);
  EXPECT_NE(mask & (uint64_t{1} << (SIGCHLD - 1)), 0u) << ignored[0];

  sigaction(SIGCHLD, &saved, nullptr);
}

void NoteSigchld(int) {}

struct sigaction Disposition(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  return action;
}

void (*SigchldHandler())(int) {
  struct sigaction current {};
  sigaction(SIGCHLD, nullptr, &current);
  return current.sa_handler;
}

// A child that runs until the test ends its input.
std::shared_ptr<Control> StartCat(const std::shared_ptr<MemorySink>& sink) {
  Parameters parameters = Probe({u"cat"}, sink);
  parameters.Stdin = InputHandle::Pipe();
  return Start(parameters);
}

int EndCat(const std::shared_ptr<Control>& control) {
  control->TakeInput().reset();
  return control->Wait();
}

// The caller changes SIGCHLD while a launch holds it: a later launch still learns its
// child's status, and what the caller set last is what stays.
TEST_F(ChildCreateTest, SigchldChangedByTheCallerDuringALaunch) {
  struct sigaction saved {};
  sigaction(SIGCHLD, nullptr, &saved);
  // The handler only has to stay installed, so its signal is held back on this thread (the
  // relays block every signal). Under qemu's user-mode emulator a handler run on a 32-bit
  // thread reloads the thread pointer from a descriptor table that all threads share, and
  // this thread would go on with the identity of the newest relay thread.
  sigset_t sigchldOnly;
  sigset_t previousMask;
  sigemptyset(&sigchldOnly);
  sigaddset(&sigchldOnly, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &sigchldOnly, &previousMask);
  auto sink = std::make_shared<MemorySink>();

  // Ignored at the start, a handler installed meanwhile: the handler stays.
  struct sigaction ignore = Disposition(SIG_IGN);
  sigaction(SIGCHLD, &ignore, nullptr);
  std::shared_ptr<Control> running = StartCat(sink);
  struct sigaction handler = Disposition(NoteSigchld);
  sigaction(SIGCHLD, &handler, nullptr);
  EXPECT_EQ(EndCat(running), 0);
  EXPECT_EQ(SigchldHandler(), NoteSigchld) << "the caller's newer handler was overwritten";

  // Default at the start, ignored meanwhile: the next launch must change it again.
  struct sigaction standard = Disposition(SIG_DFL);
  sigaction(SIGCHLD, &standard, nullptr);
  running = StartCat(sink);
  sigaction(SIGCHLD, &ignore, nullptr);
  std::shared_ptr<Control> next = Start(Probe({u"exit", u"3"}, sink));
  EXPECT_EQ(next->Wait(), 3) << "the second child's status was lost";
  EXPECT_EQ(EndCat(running), 0);
  EXPECT_EQ(SigchldHandler(), SIG_IGN);

  sigaction(SIGCHLD, &saved, nullptr);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

// Launches on several threads at once under an ignored SIGCHLD: each learns its child's
// status, and the caller's disposition is back once the last one has waited.
TEST_F(ChildCreateTest, ConcurrentLaunchesUnderAnIgnoredSigchld) {
  struct sigaction saved {};
  struct sigaction ignore = Disposition(SIG_IGN);
  sigaction(SIGCHLD, &ignore, &saved);
  constexpr int kThreads = 4;
  constexpr int kLaunches = 8;
  Watchdog watchdog(3 * kPatience, std::to_string(kThreads) + " threads launching " + std::to_string(kLaunches) + " children each");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&wrong, t] {
      auto sink = std::make_shared<MemorySink>();
      for (int i = 0; i < kLaunches; ++i) {
        std::u16string code = Wide(std::to_string(t * kLaunches + i));
        try {
          std::shared_ptr<Control> control = Create(Probe({u"exit", code.c_str()}, sink));
          if (control->Wait() != t * kLaunches + i) ++wrong;
        } catch (const Common::Error& error) {
          ADD_FAILURE() << "launch " << t * kLaunches + i << " failed:\n" << DisplayText(error);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(SigchldHandler(), SIG_IGN);
  sigaction(SIGCHLD, &saved, nullptr);
}

// ---- a relay thread that cannot be started ---------------------------------------------------------

// The standard-output sink of the next test: once the child has been ended and that relay
// reads the end of its pipe, memory is back for the launch's error.
class SinkThatGivesMemoryBack : public MemorySink {
 public:
  void Flush() override {
    Testing::FailScalarNew.store(false);
    MemorySink::Flush();
  }
};

// Memory runs out after the standard-output relay has started, while the child fills its
// standard error: the child is ended, the running relay with it, and the launch fails as
// for a relay thread the system refused, instead of leaving the pipe unread and waiting
// for a child that never ends.
TEST_F(ChildCreateTest, NoMemoryForTheStderrRelayEndsTheChildAndFails) {
  auto launch = [](const std::shared_ptr<MemorySink>& out, const std::shared_ptr<MemorySink>& err) {
    Parameters parameters = Probe({u"emit-stderr", u"10000000"}, out);
    parameters.Stderr = OutputHandle::Pipe(err);
    return parameters;
  };
  // The launch's last thread object is the standard-error relay's: a first launch counts
  // the allocations of that size.
  int threadObjects = 0;
  {
    auto countedOut = std::make_shared<MemorySink>();
    auto countedErr = std::make_shared<MemorySink>();
    std::shared_ptr<Control> counted;
    {
      Testing::NewFailure count(Testing::kScalarNew, 0, sizeof(Common::Thread));
      counted = Start(launch(countedOut, countedErr));
      threadObjects = count.Seen();
    }
    counted->Wait();
  }
  ASSERT_GE(threadObjects, 2);
  auto out = std::make_shared<SinkThatGivesMemoryBack>();
  auto err = std::make_shared<MemorySink>();
  Common::Error error;
  {
    Testing::NewFailure stderrThread(Testing::kScalarNew, threadObjects, sizeof(Common::Thread),
                                     Testing::kFailEveryLaterScalarNew);
    error = CreateFailure(launch(out, err));
    EXPECT_TRUE(stderrThread.Failed());
  }
  Testing::FailScalarNew.store(false);
  EXPECT_THAT(error, AllOf(HasCode(Common::CHILD_COMMUNICATION_ABORTED), HasSite("StartCommunication", 171),
                           HasLocation(kCreatorFile, 171)));
  EXPECT_EQ(out->FlushCalls(), 1u);
  EXPECT_EQ(err->WriteCalls(), 0u);
}

// In a death test's own process: every new thread asks for a stack that cannot be mapped.
[[noreturn]] void LaunchWhenNoThreadCanStart() {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  const size_t unmappable = sizeof(void*) == 8 ? size_t{1} << 47 : size_t{0xF0000000};
  pthread_attr_setstacksize(&attributes, unmappable);
  if (pthread_setattr_default_np(&attributes) != 0) _exit(3);
  LoadCatalog();
  std::set<int> before = OpenDescriptors();
  auto sink = std::make_shared<MemorySink>();
  // Without a reader, the probe blocks on its full output pipe and would never end.
  Parameters parameters = Probe({u"emit", u"10000000"}, sink);
  parameters.Stdin = InputHandle::Pipe();
  try {
    Create(parameters);
  } catch (const Common::Error& error) {
    Common::ErrorRecord* head = error.GetHead();
    bool ok = head != nullptr && head->Code == Common::CHILD_COMMUNICATION_ABORTED &&
              head->IdHigh == kCreatorFile.High && head->IdLow == kCreatorFile.Base + head->Line &&
              OpenDescriptors() == before && NoChildLeft();
    if (!ok) std::fprintf(stderr, "unexpected error %x\n", error.GetCode());
    _exit(ok ? 0 : 1);
  }
  std::fprintf(stderr, "launched without a relay\n");
  _exit(1);
}

TEST(ChildRelayStartTest, MissingRelayThreadKillsTheChildAndFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LaunchWhenNoThreadCanStart(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ChildProcess

// End-to-end tests of the launcher: the bare launcher packed with payloads whose tool is
// the test probe (and the packed product with its demo tool), run as a user would run
// it, with whole console transcripts compared.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "packer/console_relay.h"
#include "packer/load_files.h"
#include "packer/tests/launcher_support.h"
#include "tools/testing/emulation.h"
#include "tools/testing/fixtures.h"

namespace {

using LauncherTest::Entry;
using LauncherTest::RunLauncher;
using LauncherTest::RunOptions;
using LauncherTest::RunResult;

const std::regex kUnpackDirShape("/tmp/[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}/");
const char* const kModuleLine = "| $module: ormivane_packed_lx_31346";

// The 16 lines of a complete unpacking into `dir`, in order.
std::vector<std::string> UnpackingLines(const std::string& dir) {
  std::vector<std::string> lines = {"Unpack files to " + dir};
  LoadFiles::LibraryRenameTable table;
  for (const std::string& name : LoadFiles::UnpackList())
    lines.push_back("Unpacked " + name + " to " + dir + table.FileNameOf(name));
  lines.push_back("Files unpacked to " + dir);
  return lines;
}

// The whole transcript of a run that unpacked everything and started the tool.
std::vector<std::string> StartedTranscript(const std::string& dir, const std::vector<std::string>& toolLines) {
  std::vector<std::string> lines = {"ormivane_tool packed", "Start unpacking..."};
  for (const std::string& line : UnpackingLines(dir)) lines.push_back(line);
  lines.push_back("Start executing...");
  lines.push_back("");
  lines.insert(lines.end(), toolLines.begin(), toolLines.end());
  return lines;
}

// What the tool printed: everything after "Start executing..." and its empty line.
std::string ToolOutput(const RunResult& run) {
  static const std::string kStart = "Start executing...\n\n";
  size_t at = run.Stdout.find(kStart);
  return at == std::string::npos ? std::string("<not started>") : run.Stdout.substr(at + kStart.size());
}

std::vector<std::string> ExecuteFailedBlock(const std::string& commandLine) {
  return {"Error 0x64000f: Failed to execute command " + commandLine + ".", "| line: 0x5b4590c246c3fee5",
          "| file: packer/main.cpp:274", "| function: main", kModuleLine};
}

// A run that ended with an exit code leaves nothing of its directory behind.
void ExpectCleanedUp(const RunResult& run) {
  std::string dir = run.UnpackDir();
  ASSERT_TRUE(std::regex_match(dir, kUnpackDirShape)) << run.Stdout;
  EXPECT_FALSE(LauncherTest::PathExists(dir));
  EXPECT_EQ(run.Stderr, "");
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

std::vector<Entry> Without(std::vector<Entry> entries, const std::string& name) {
  std::erase_if(entries, [&](const Entry& e) { return e.Name == name; });
  return entries;
}

std::vector<Entry> Replacing(std::vector<Entry> entries, const Entry& replacement) {
  for (Entry& e : entries)
    if (e.Name == replacement.Name) e = replacement;
  return entries;
}

// The probe launcher that the build packed serves most tests.
class LauncherRun : public testing::Test {
 protected:
  // A launcher of its own for a test that needs another payload.
  std::string PackVariant(const std::vector<Entry>& entries) {
    std::string out = own.File("ormivane_packed");
    EXPECT_TRUE(LauncherTest::PackLauncher(out, entries, own.Path()));
    return out;
  }

  static inline const std::string standard = LauncherTest::ProbeLauncher();
  Testing::TempDir own;
};

TEST_F(LauncherRun, SuccessfulRunTranscript) {
  RunResult run = RunLauncher(standard, {"print:hello-from-the-tool"});
  EXPECT_EQ(run.Status, 0);
  std::string dir = run.UnpackDir();
  EXPECT_EQ(run.Lines, StartedTranscript(dir, {"hello-from-the-tool"}));
  ExpectCleanedUp(run);
}

struct StatusCase {
  const char* Name;
  std::string Command;
  int ExitCode;
  bool ErrorBlock;
  std::vector<std::string> After;  // lines after the tool's output
};

void PrintTo(const StatusCase& c, std::ostream* out) { *out << c.Name; }

class ExitStatus : public LauncherRun, public testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatus, MapsTheToolsStatus) {
  const StatusCase& c = GetParam();
  RunResult run = RunLauncher(standard, {"print:tool-ran", c.Command});
  EXPECT_EQ(run.Status, c.ExitCode);
  std::string dir = run.UnpackDir();
  std::vector<std::string> after = c.After;
  if (c.ErrorBlock) after = ExecuteFailedBlock(dir + "ormivane_tool.exe print:tool-ran " + c.Command);
  std::vector<std::string> tool = {"tool-ran"};
  tool.insert(tool.end(), after.begin(), after.end());
  EXPECT_EQ(run.Lines, StartedTranscript(dir, tool));
  ExpectCleanedUp(run);
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, ExitStatus,
    testing::Values(StatusCase{"Zero", "exit:0", 0, false, {}},
                    StatusCase{"Six", "exit:6", 1, false, {}},
                    StatusCase{"Seven", "exit:7", 1, false, {"* Cannot proceed: korvel executable missing"}},
                    StatusCase{"Three", "exit:3", 1, true, {}},
                    StatusCase{"Killed", "signal:" + std::to_string(SIGKILL), 1, true, {}},
                    StatusCase{"Terminated", "signal:" + std::to_string(SIGTERM), 1, true, {}}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.Name); });

struct ArgumentsCase {
  const char* Name;
  std::vector<std::string> Args;
  std::vector<std::string> ToolSees;  // the tool's arguments after the shell-style split
};

void PrintTo(const ArgumentsCase& c, std::ostream* out) { *out << c.Name; }

class Arguments : public LauncherRun, public testing::WithParamInterface<ArgumentsCase> {};

TEST_P(Arguments, ReachTheToolSplitByShellRules) {
  const ArgumentsCase& c = GetParam();
  RunResult run = RunLauncher(standard, c.Args);
  EXPECT_EQ(run.Status, 0);
  std::string expected = "argc " + std::to_string(c.ToolSees.size()) + "\n";
  for (size_t i = 0; i < c.ToolSees.size(); ++i)
    expected += "arg " + std::to_string(i + 1) + " " + Hex(c.ToolSees[i]) + "\n";
  EXPECT_EQ(ToolOutput(run), expected);
  ExpectCleanedUp(run);
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, Arguments,
    testing::Values(
        ArgumentsCase{"None", {}, {}},
        ArgumentsCase{"BlankSplits", {"args", "two words"}, {"args", "two", "words"}},
        ArgumentsCase{"Quotes", {"args", "'a  b'", "\"c\\\"d\""}, {"args", "a  b", "c\"d"}},
        ArgumentsCase{"Backslash", {"args", "a\\ b"}, {"args", "a b"}},
        // Not strict UTF-8, an encoded surrogate, and characters of the name codec's escape
        // range, next to ordinary two- and four-byte characters: all byte for byte.
        ArgumentsCase{"Bytes",
                      {"args", "\xff", "x\x80y", "\xed\xa0\x80", "\xef\xa2\x80\xef\xa3\xbf", "\xc3\xa9", "\xf0\x9f\x98\x80"},
                      {"args", "\xff", "x\x80y", "\xed\xa0\x80", "\xef\xa2\x80\xef\xa3\xbf", "\xc3\xa9", "\xf0\x9f\x98\x80"}}),
    [](const testing::TestParamInfo<ArgumentsCase>& info) { return std::string(info.param.Name); });

TEST_F(LauncherRun, CommandLineThatCannotBeSplit) {
  for (const std::string bad : {"\"unbalanced", "trailing\\"}) {
    RunResult run = RunLauncher(standard, {"print:never", bad});
    EXPECT_EQ(run.Status, 1);
    std::string dir = run.UnpackDir();
    std::vector<std::string> expected = StartedTranscript(
        dir, {"Error 0x25d0005: Failed to split command line on tokens during child process creation."});
    ASSERT_GE(run.Lines.size(), expected.size()) << run.Stdout;
    EXPECT_EQ(std::vector<std::string>(run.Lines.begin(), run.Lines.begin() + expected.size()), expected);
    EXPECT_EQ(std::count(run.Lines.begin(), run.Lines.end(), "never"), 0);  // the tool never ran
    ExpectCleanedUp(run);
  }
}

struct PromptCase {
  const char* Name;
  std::vector<std::string> Commands;
  std::string Stdin;
  std::string ToolOutput;
};

void PrintTo(const PromptCase& c, std::ostream* out) { *out << c.Name; }

class Prompts : public LauncherRun, public testing::WithParamInterface<PromptCase> {};

TEST_P(Prompts, AreAnsweredFromStandardInput) {
  const PromptCase& c = GetParam();
  RunOptions options;
  options.Stdin = c.Stdin;
  RunResult run = RunLauncher(standard, c.Commands, options);
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(ToolOutput(run), c.ToolOutput);
  ExpectCleanedUp(run);
}

const std::string kPw = "Enter password for user: ";
const std::string kCode = "2FA verification: Enter the 6-digit code displayed on your authenticator app\n";

INSTANTIATE_TEST_SUITE_P(
    Launcher, Prompts,
    testing::Values(
        PromptCase{"Password", {"password"}, "s3cret\n", kPw + "password [s3cret]\n"},
        PromptCase{"BothInOnePiece", {"both"}, "pw 123456\n", kPw + "\n" + kCode + "password [pw]\ncode [123456]\n"},
        PromptCase{"TwoWordsForTwoPrompts", {"password", "code"}, "first second\n",
                   kPw + "password [first]\n" + kCode + "code [second]\n"},
        PromptCase{"AnswersAtEndOfInput", {"password", "code"}, "", kPw + "password []\n" + kCode + "code []\n"},
        PromptCase{"SplitPrompt", {"split"}, "hidden\n", kPw + "password [hidden]\n"},
        PromptCase{"SamePromptTwiceInOnePiece", {"code-twice", "password"}, "a b c\n",
                   kCode + kCode + "code [a]\n" + kPw + "password [b]\n"},
        // Answers travel as text: bytes that are not UTF-8 arrive as U+FFFD.
        PromptCase{"AnswerThatIsNotUtf8", {"password"}, "\xff\n", kPw + "password [\xef\xbf\xbd]\n"},
        // The answer is read but cannot be delivered; the relay goes on all the same.
        PromptCase{"ToolClosedItsInput", {"close-stdin", "password", "print:still-relayed"}, "lost\n",
                   kPw + "password [<none>]\nstill-relayed\n"}),
    [](const testing::TestParamInfo<PromptCase>& info) { return std::string(info.param.Name); });

// On a real terminal the answer is read with the echo off, and the echo is on again
// afterwards, also when the tool is gone by the time the answer comes.
TEST(LauncherOnATerminal, AnswersAreReadWithoutEcho) {
  const struct {
    const char* name;
    std::vector<std::string> commands;
    std::string seenAfterAnswer;
    int status;
  } cases[] = {
      {"tool waits", {"password"}, "password [s3cret]\n", 0},
      {"tool died", {"prompt", "signal:9"}, "Error 0x64000f", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherTest::TerminalRun run(LauncherTest::ProbeLauncher(), c.commands);
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(run.EchoOn());
    ASSERT_TRUE(run.ReadUntil(kPw)) << run.Stdout();
    ASSERT_TRUE(run.WaitForEchoOff()) << run.Stdout();
    run.Type("s3cret\n");
    ASSERT_TRUE(run.ReadUntil(c.seenAfterAnswer)) << run.Stdout();
    EXPECT_TRUE(run.EchoOn());
    EXPECT_EQ(run.Finish(), c.status) << run.Stdout();
    EXPECT_TRUE(run.EchoOn());
    EXPECT_EQ(run.Echoed(), "");
  }
}

// The directory a terminal run printed that it unpacks into.
std::string UnpackDirOf(const std::string& stdoutText) {
  RunResult parsed;
  parsed.Stdout = stdoutText;
  std::istringstream in(stdoutText);
  for (std::string line; std::getline(in, line);) parsed.Lines.push_back(line);
  return parsed.UnpackDir();
}

struct SignalCase {
  const char* Name;
  int Signal;
  bool Typed;  // typed on the terminal rather than sent to the launcher alone
};

// A signal that ends the launcher while it reads an answer with the echo off: the user's
// terminal has its echo back, and the launcher still ends by that signal, leaving its
// directory as such an ending does.
TEST(LauncherOnATerminal, SignalDuringAnAnswerRestoresTheEcho) {
  const SignalCase signals[] = {
      {"SIGINT", SIGINT, false},     {"SIGTERM", SIGTERM, false},     {"SIGHUP", SIGHUP, false},
      {"SIGQUIT", SIGQUIT, false},   {"Ctrl-C", SIGINT, true},        {"SIGUSR1", SIGUSR1, false},
      {"SIGUSR2", SIGUSR2, false},   {"SIGALRM", SIGALRM, false},     {"SIGPIPE", SIGPIPE, false},
      {"SIGXCPU", SIGXCPU, false},   {"SIGVTALRM", SIGVTALRM, false}, {"SIGPROF", SIGPROF, false},
      {"SIGRTMIN", SIGRTMIN, false},
  };
  const struct {
    const char* command;
    std::string prompt;
  } prompts[] = {{"password", kPw}, {"code", std::string(Launcher::kCodePrompt)}};  // the newline may come later
  for (const auto& prompt : prompts) {
    for (const SignalCase& c : signals) {
      SCOPED_TRACE(std::string(prompt.command) + " " + c.Name);
      // qemu's user-mode emulator keeps real-time signals of its own and maps the others.
      if (c.Signal == SIGRTMIN && Testing::UnderEmulation()) continue;
      LauncherTest::TerminalRun run(LauncherTest::ProbeLauncher(), {prompt.command},
                                    {LauncherTest::TerminalRole::Foreground, false});
      ASSERT_TRUE(run.Started());
      const termios before = run.Modes();
      ASSERT_TRUE(run.EchoOn());
      ASSERT_TRUE(run.ReadUntil(prompt.prompt)) << run.Stdout();
      ASSERT_TRUE(run.WaitForEchoOff()) << run.Stdout();
      // Sent to the main thread, where the kernel puts a signal for the launcher anyway
      // (its other threads block every signal). An emulator may hand a signal to a thread
      // that blocks it, and the thread sanitizer may hold one back while the main thread
      // waits: so it is sent again while the echo shows that no handler has run.
      auto deliver = [&] {
        if (c.Typed)
          run.Type("\x03");
        else
          syscall(SYS_tgkill, run.Pid(), run.Pid(), c.Signal);
      };
      deliver();
      constexpr int kTries = 3000;
      constexpr useconds_t kTryMicros = 20000;
      for (int i = 0; i < kTries && !run.Ended() && !run.EchoOn(); ++i) {
        usleep(kTryMicros);
        if (!run.Ended() && !run.EchoOn()) deliver();
      }
      // A launcher that outlives the guard fails the case instead of hanging the test.
      for (int i = 0; i < kTries && !run.Ended(); ++i) usleep(kTryMicros);
      if (!run.Ended()) {
        ADD_FAILURE() << "the launcher did not end; echo " << (run.EchoOn() ? "on" : "off");
        kill(run.Pid(), SIGKILL);
      }
      EXPECT_EQ(run.Finish(), -1) << run.Stdout();
      EXPECT_EQ(run.EndSignal(), c.Signal);
      EXPECT_TRUE(run.EchoOn());
      EXPECT_TRUE(LauncherTest::SameModes(run.Modes(), before));
      std::string dir = UnpackDirOf(run.Stdout());
      EXPECT_TRUE(std::regex_match(dir, kUnpackDirShape)) << run.Stdout();
      EXPECT_TRUE(LauncherTest::PathExists(dir));
      LauncherTest::RemoveTree(dir);
    }
  }
}

// Whatever the terminal's modes were, an answer leaves them so, byte for byte; a launcher
// in the background leaves the foreground job's terminal alone, also when its echo is on
// (where the launcher would switch it off), and reads what a background reader gets
// (nothing), unless job control stops it for reading.
TEST(LauncherOnATerminal, AnswerLeavesTheModesAsFound) {
  const struct {
    const char* name;
    LauncherTest::TerminalRole role;
    bool echoOff;
  } cases[] = {
      {"foreground, echo off", LauncherTest::TerminalRole::Foreground, true},
      {"background, echo off", LauncherTest::TerminalRole::Background, true},
      {"background, echo on", LauncherTest::TerminalRole::Background, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherTest::TerminalRun run(LauncherTest::ProbeLauncher(), {"password"}, {c.role, c.echoOff});
    ASSERT_TRUE(run.Started());
    const termios before = run.Modes();
    ASSERT_EQ(run.EchoOn(), !c.echoOff);
    ASSERT_TRUE(run.ReadUntil(kPw)) << run.Stdout();
    if (c.role == LauncherTest::TerminalRole::Foreground) {
      run.Type("s3cret\n");
      ASSERT_TRUE(run.ReadUntil("password [s3cret]\n")) << run.Stdout();
      EXPECT_EQ(run.Finish(), 0) << run.Stdout();
    } else {
      int status = run.Finish();
      if (status == LauncherTest::kStoppedForTerminal) {
        LauncherTest::RemoveTree(UnpackDirOf(run.Stdout()));
      } else {
        EXPECT_EQ(status, 0) << run.Stdout();
        EXPECT_NE(run.Stdout().find("password []\n"), std::string::npos) << run.Stdout();
      }
    }
    EXPECT_TRUE(LauncherTest::SameModes(run.Modes(), before));
    EXPECT_EQ(run.EchoOn(), !c.echoOff);
    EXPECT_EQ(run.Echoed(), "");
  }
}

// Ctrl-Z at a prompt, as at a job-control shell: the launcher gives the modes back and
// stops. Continued in the foreground (fg) it switches the echo off again before reading
// on; continued in the background (bg) it neither writes its modes over the shell's
// line-editing ones nor reads, but stops again for reading its terminal, until fg.
TEST(LauncherOnATerminal, StoppedAndContinuedAtAPromptKeepsTheAnswerHidden) {
  // A handler that returns on the main thread of a 32-bit program under qemu's user-mode
  // emulator leaves that thread with the identity of the newest thread (the thread pointer
  // is reloaded from a table all threads share): the launcher then waits for itself.
  if (Testing::UnderEmulation())
    GTEST_SKIP() << "under qemu's user-mode emulator a returning signal handler takes another thread's identity";
  const struct {
    const char* command;
    std::string prompt;
    std::string report;
  } prompts[] = {{"password", kPw, "password [s3cret]\n"},
                 {"code", std::string(Launcher::kCodePrompt), "code [s3cret]\n"}};
  for (const auto& prompt : prompts) {
    for (bool firstInTheBackground : {false, true}) {
      SCOPED_TRACE(std::string(prompt.command) + (firstInTheBackground ? ": Ctrl-Z, bg, fg" : ": Ctrl-Z, fg"));
#if defined(__SANITIZE_THREAD__)
      // The thread sanitizer holds a signal back until the call it interrupted returns,
      // and the read that the background stop interrupts is restarted, so never returns.
      if (firstInTheBackground) continue;
#endif
      LauncherTest::TerminalRun run(LauncherTest::ProbeLauncher(), {prompt.command},
                                    {LauncherTest::TerminalRole::Job, false});
      ASSERT_TRUE(run.Started());
      const termios before = run.Modes();
      ASSERT_TRUE(run.ReadUntil(prompt.prompt)) << run.Stdout();
      ASSERT_TRUE(run.WaitForEchoOff()) << run.Stdout();
      run.Type("\x1a");
      ASSERT_EQ(run.WaitForStop(), SIGTSTP) << run.Stdout();
      ASSERT_TRUE(LauncherTest::SameModes(run.Modes(), before)) << "the modes were not given back at the stop";
      if (firstInTheBackground) {
        // The shell edits its next command line with modes of its own.
        termios lineEditing = before;
        lineEditing.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        ASSERT_TRUE(run.SetModes(lineEditing));
        run.Continue(false);
        EXPECT_EQ(run.WaitForStop(), SIGTTIN) << run.Stdout();
        EXPECT_TRUE(LauncherTest::SameModes(run.Modes(), lineEditing)) << "the shell's modes were overwritten";
        EXPECT_EQ(run.Stdout().find(std::string(prompt.command) + " ["), std::string::npos) << run.Stdout();
        // As a shell gives the terminal to a foreground job.
        ASSERT_TRUE(run.SetModes(before));
      }
      run.Continue(true);
      ASSERT_TRUE(run.WaitForEchoOff()) << run.Stdout();
      run.Type("s3cret\n");
      ASSERT_TRUE(run.ReadUntil(prompt.report)) << run.Stdout();
      EXPECT_EQ(run.Finish(), 0) << run.Stdout();
      EXPECT_TRUE(LauncherTest::SameModes(run.Modes(), before));
      EXPECT_EQ(run.Echoed(), "");
    }
  }
}

// Whether a thread of `pid` waits in a read of its terminal, within five seconds: a job
// whose terminal is taken from it before its read began would be stopped for reading.
bool WaitsInATerminalRead(pid_t pid) {
  constexpr int kTries = 5000;
  constexpr useconds_t kTryMicros = 1000;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (int i = 0; i < kTries; ++i) {
    if (DIR* dir = opendir(tasks.c_str())) {
      bool waiting = false;
      while (dirent* task = readdir(dir)) {
        std::ifstream wchan(tasks + "/" + task->d_name + "/wchan");
        std::string where;
        std::getline(wchan, where);
        waiting = waiting || where == "n_tty_read" || where == "wait_woken";
      }
      closedir(dir);
      if (waiting) return true;
    }
    usleep(kTryMicros);
  }
  return false;
}

// A Job's launcher once it waits in its read of the answer with the echo off: its pid, -1
// when it got no further.
pid_t WaitForTheAnswerRead(LauncherTest::TerminalRun& run) {
  if (!run.Started() || !run.ReadUntil(kPw) || !run.WaitForEchoOff()) return -1;
  const pid_t launcher = run.ForegroundGroup();
  return launcher > 0 && WaitsInATerminalRead(launcher) ? launcher : -1;
}

// A Job within a minute: the signal that stopped it, 0 once it has ended, -1 when it did
// neither. `nudge` runs again every try, for a signal that a sanitizer holds back.
int EndOrStop(LauncherTest::TerminalRun& run, const std::function<void()>& nudge) {
  constexpr int kTries = 1500;
  constexpr int kTryMillis = 20;
  for (int i = 0; i < kTries; ++i) {
    if (run.Ended()) return 0;
    if (int stop = run.WaitForStop(kTryMillis)) return stop;
    // The shell's end is seen on its pipe a moment before it can be reaped.
    usleep(kTryMillis * 1000);
    nudge();
  }
  return -1;
}

// Another job takes the terminal while the launcher reads an answer and sets modes of its
// own: the launcher, now in the background without having been stopped, leaves them alone
// when the answer comes and when a signal ends it.
TEST(LauncherOnATerminal, AnotherJobsModesOutliveTheAnswer) {
  if (Testing::UnderEmulation())
    GTEST_SKIP() << "under qemu's user-mode emulator a returning signal handler takes another thread's identity";
  const struct {
    const char* name;
    int signal;  // 0: the answer is typed
  } cases[] = {{"answer", 0}, {"SIGTERM", SIGTERM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherTest::TerminalRun run(LauncherTest::ProbeLauncher(), {"password"}, {LauncherTest::TerminalRole::Job, false});
    const pid_t launcher = WaitForTheAnswerRead(run);
    ASSERT_GT(launcher, 0) << run.Stdout();
    ASSERT_TRUE(run.TakeTerminal());
    termios other = run.Modes();
    other.c_lflag |= ECHO;
    other.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    other.c_cc[VERASE] = '\b';
    ASSERT_TRUE(run.SetModes(other));
    if (c.signal == 0) run.Type("s3cret\n");
    auto nudge = [&] {
      if (c.signal != 0) kill(launcher, c.signal);
    };
    nudge();
    const int stop = EndOrStop(run, nudge);
    EXPECT_TRUE(LauncherTest::SameModes(run.Modes(), other)) << "the other job's modes were overwritten";
    ASSERT_EQ(stop, 0) << run.Stdout();
    if (c.signal == 0) {
      EXPECT_EQ(run.Finish(), 0) << run.Stdout();
      EXPECT_NE(run.Stdout().find("password [s3cret]\n"), std::string::npos) << run.Stdout();
    } else {
      EXPECT_EQ(run.Finish(), 128 + c.signal) << run.Stdout();
      LauncherTest::RemoveTree(UnpackDirOf(run.Stdout()));
    }
  }
}

// A SIGTTIN or SIGTTOU sent while the launcher reads in the terminal's foreground does not
// stop it: the answer is still read with the echo off.
TEST(LauncherOnATerminal, TerminalStopSignalInTheForegroundDoesNotStop) {
  if (Testing::UnderEmulation())
    GTEST_SKIP() << "under qemu's user-mode emulator a returning signal handler takes another thread's identity";
  constexpr int kNoStopMillis = 2000;
  const struct {
    const char* name;
    int signal;
  } cases[] = {{"SIGTTIN", SIGTTIN}, {"SIGTTOU", SIGTTOU}};
  for (const auto& [name, signal] : cases) {
    SCOPED_TRACE(name);
    LauncherTest::TerminalRun run(LauncherTest::ProbeLauncher(), {"password"}, {LauncherTest::TerminalRole::Job, false});
    const termios before = run.Modes();
    const pid_t launcher = WaitForTheAnswerRead(run);
    ASSERT_GT(launcher, 0) << run.Stdout();
    ASSERT_EQ(kill(launcher, signal), 0);
    if (int stop = run.WaitForStop(kNoStopMillis)) {
      ADD_FAILURE() << "stopped by " << strsignal(stop) << ", in the foreground";
      continue;
    }
    EXPECT_FALSE(run.EchoOn());
    run.Type("s3cret\n");
    if (int stop = EndOrStop(run, [] {})) {
      ADD_FAILURE() << "did not end (" << stop << ") " << run.Stdout();
      continue;
    }
    EXPECT_EQ(run.Finish(), 0) << run.Stdout();
    EXPECT_NE(run.Stdout().find("password [s3cret]\n"), std::string::npos) << run.Stdout();
    EXPECT_TRUE(LauncherTest::SameModes(run.Modes(), before));
    EXPECT_EQ(run.Echoed(), "");
  }
}

// A stop that no handler sees (SIGSTOP from another process) at a prompt: while the
// launcher is stopped its shell puts its own modes back, echo included; continued in the
// foreground, the launcher switches the echo off again before reading on.
TEST(LauncherOnATerminal, StoppedFromOutsideAtAPromptKeepsTheAnswerHidden) {
  if (Testing::UnderEmulation())
    GTEST_SKIP() << "under qemu's user-mode emulator a returning signal handler takes another thread's identity";
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer holds SIGCONT back until the launcher's wait for its tool returns";
#endif
  LauncherTest::TerminalRun run(LauncherTest::ProbeLauncher(), {"password"}, {LauncherTest::TerminalRole::Job, false});
  const termios before = run.Modes();
  const pid_t launcher = WaitForTheAnswerRead(run);
  ASSERT_GT(launcher, 0) << run.Stdout();
  ASSERT_EQ(kill(launcher, SIGSTOP), 0);
  ASSERT_EQ(run.WaitForStop(), SIGSTOP) << run.Stdout();
  ASSERT_TRUE(run.SetModes(before));
  run.Continue(true);
  constexpr int kTries = 5000;
  constexpr useconds_t kTryMicros = 1000;
  for (int i = 0; i < kTries && run.EchoOn(); ++i) usleep(kTryMicros);
  EXPECT_FALSE(run.EchoOn()) << "the answer would be shown";
  run.Type("s3cret\n");
  ASSERT_EQ(EndOrStop(run, [] {}), 0) << run.Stdout();
  EXPECT_EQ(run.Finish(), 0) << run.Stdout();
  EXPECT_NE(run.Stdout().find("password [s3cret]\n"), std::string::npos) << run.Stdout();
  EXPECT_TRUE(LauncherTest::SameModes(run.Modes(), before));
  EXPECT_EQ(run.Echoed(), "");
}

// The directory is removed before the error of a failed run is printed: with the
// output pipe full, the launcher cannot print the error, and the directory must go all
// the same while the test holds the output back.
TEST(LauncherOnATerminal, DirectoryIsGoneBeforeTheErrorIsPrinted) {
  LauncherTest::TerminalRun run(LauncherTest::ProbeLauncher(), {"prompt", "exit:3"});
  ASSERT_TRUE(run.Started());
  ASSERT_TRUE(run.ReadUntil(kPw)) << run.Stdout();
  ASSERT_TRUE(run.WaitForEchoOff()) << run.Stdout();
  std::string dir = UnpackDirOf(run.Stdout());
  ASSERT_TRUE(std::regex_match(dir, kUnpackDirShape)) << run.Stdout();
  ASSERT_TRUE(run.FillOutput());
  run.Type("late\n");
  // A minute is a guard against a launcher that prints first and would wait forever.
  constexpr int kTries = 60000;
  constexpr useconds_t kTryMicros = 1000;
  bool gone = false;
  for (int i = 0; i < kTries && !gone; ++i) {
    gone = !LauncherTest::PathExists(dir);
    if (!gone) usleep(kTryMicros);
  }
  EXPECT_TRUE(gone) << "the directory is still there while the error waits to be printed";
  EXPECT_EQ(run.Finish(), 1);
  std::string output = run.Stdout();
  std::erase(output, '#');
  std::string block;
  for (const std::string& line : ExecuteFailedBlock(dir + "ormivane_tool.exe prompt exit:3")) block += line + "\n";
  EXPECT_TRUE(output.ends_with(kPw + block)) << output;
  LauncherTest::RemoveTree(dir);
}

struct SignalledCase {
  const char* Name;
  int Signal;
};
void PrintTo(const SignalledCase& c, std::ostream* out) { *out << c.Name; }

class SignalWithoutTerminal : public LauncherRun, public testing::WithParamInterface<SignalledCase> {};

// Without a terminal nothing is restored, and the signal ends the launcher as it always
// did, leaving its directory.
TEST_P(SignalWithoutTerminal, EndsTheLauncherAsBefore) {
  RunOptions options;
  options.Stdin = "unread\n";
  RunResult run = RunLauncher(standard, {"prompt", "kill-parent:" + std::to_string(GetParam().Signal)}, options);
  std::string dir = run.UnpackDir();
  EXPECT_TRUE(LauncherTest::PathExists(dir));
  LauncherTest::RemoveTree(dir);
  EXPECT_EQ(run.Signal, GetParam().Signal) << run.Stdout;
  EXPECT_TRUE(std::regex_match(dir, kUnpackDirShape)) << run.Stdout;
}

INSTANTIATE_TEST_SUITE_P(Launcher, SignalWithoutTerminal,
                         testing::Values(SignalledCase{"SIGINT", SIGINT}, SignalledCase{"SIGTERM", SIGTERM},
                                         SignalledCase{"SIGHUP", SIGHUP}, SignalledCase{"SIGQUIT", SIGQUIT}),
                         [](const testing::TestParamInfo<SignalledCase>& info) { return std::string(info.param.Name); });

struct LongAnswerCase {
  const char* Name;
  size_t WordBytes;
  bool Taken;
};
void PrintTo(const LongAnswerCase& c, std::ostream* out) { *out << c.Name; }

class LongAnswer : public LauncherRun, public testing::WithParamInterface<LongAnswerCase> {};

// An answer is bounded: one that goes on past the bound ends the run with an error, the
// tool ended and the directory removed, also when it is longer than the launcher's
// memory; one at the bound reaches the tool whole.
TEST_P(LongAnswer, IsTakenOrEndsTheRunCleanly) {
  const LongAnswerCase& c = GetParam();
  RunOptions options;
  options.StdinWordBytes = c.WordBytes;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Less memory than the longest word takes; the sanitizers' shadow memory needs more.
  constexpr size_t kLauncherMemoryBytes = size_t{48} << 20;
  options.AddressSpaceBytes = kLauncherMemoryBytes;
#endif
  RunResult run = RunLauncher(standard, {"password-size", "print:after"}, options);
  std::string dir = run.UnpackDir();
  if (c.Taken) {
    EXPECT_EQ(run.Status, 0) << run.Stdout;
    EXPECT_EQ(ToolOutput(run), kPw + "password " + std::to_string(c.WordBytes) + " bytes\nafter\n");
  } else {
    EXPECT_EQ(run.Status, 1) << run.Stdout << run.Stderr;
    EXPECT_EQ(run.Lines, StartedTranscript(dir, {kPw + "Error 0x25d0004: Communication with child process has been aborted.",
                                                 "| line: 0x5b4590c246c3ff11", "| file: packer/main.cpp:318",
                                                 "| function: Write", kModuleLine}));
  }
  ExpectCleanedUp(run);
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, LongAnswer,
    testing::Values(LongAnswerCase{"AtTheBound", Launcher::kLongestAnswerBytes, true},
                    LongAnswerCase{"JustUnderTheBound", Launcher::kLongestAnswerBytes - 1, true},
                    LongAnswerCase{"OneOverTheBound", Launcher::kLongestAnswerBytes + 1, false},
                    LongAnswerCase{"LongerThanTheMemory", size_t{64} << 20, false}),
    [](const testing::TestParamInfo<LongAnswerCase>& info) { return std::string(info.param.Name); });

// The answer that ends the run comes after the tool has exited and been reaped, and its
// process id has gone to another process: that process must live on, and the run ends by
// the tool's own status. In a pid namespace of its own the test alone hands out ids.
namespace pid_reuse {

constexpr int kSkipped = 77;        // no pid namespace or no ns_last_pid here
constexpr int kTimedOut = 78;       // a step did not happen in time
constexpr int kNoReuse = 79;        // the id did not go to the stand-in process
constexpr int kStepMillis = 60000;  // a guard against a hang, not a measure of speed
constexpr size_t kOverLongAnswerBytes = 70000;
static_assert(kOverLongAnswerBytes > Launcher::kLongestAnswerBytes);

void WriteAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Reads the launcher's output into `text` until `done` holds; false at its end or after
// the guard's time.
template <typename Done>
bool ReadOutput(int fd, std::string& text, Done done) {
  for (int waited = 0; !done(text);) {
    struct pollfd ready = {fd, POLLIN, 0};
    int n = poll(&ready, 1, 100);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && (waited += 100) >= kStepMillis) return false;
    if (n <= 0) continue;
    char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    text.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

// Polls until `done` holds, within the guard's time.
template <typename Done>
bool Eventually(Done done) {
  for (int i = 0; i < kStepMillis; ++i) {
    if (done()) return true;
    usleep(1000);
  }
  return done();
}

bool WritePid(pid_t pid) {
  int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text = std::to_string(pid);
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// A process of this namespace that takes `pid` and waits to be killed; -1 when the id
// went elsewhere. Ends the run as skipped when ids cannot be chosen.
pid_t TakePid(pid_t pid) {
  constexpr int kTries = 20;
  for (int i = 0; i < kTries; ++i) {
    if (!WritePid(pid - 1)) _exit(kSkipped);
    pid_t taker = fork();
    if (taker == 0) {
      for (;;) pause();
    }
    if (taker == pid) return taker;
    if (taker > 0) {
      kill(taker, SIGKILL);
      waitpid(taker, nullptr, 0);
    }
  }
  return -1;
}

// As process 1 of the new namespace: the launcher runs a tool that prints its id and the
// password prompt and exits 0; once the tool is reaped, its id is given to a stand-in,
// and then the over-long answer comes. Reports "status S stand-in alive|killed".
[[noreturn]] void RunInNamespace(int report) {
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) _exit(kSkipped);
  const std::string program = LauncherTest::ProbeLauncher();
  pid_t launcher = fork();
  if (launcher == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    execl(program.c_str(), program.c_str(), "pid", "prompt", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  std::string text;
  if (!ReadOutput(out[0], text, [](const std::string& t) { return t.find(kPw) != std::string::npos; }))
    _exit(kTimedOut);
  size_t at = text.find("\npid ");
  if (at == std::string::npos) _exit(kTimedOut);
  const pid_t tool = static_cast<pid_t>(std::atoi(text.c_str() + at + 5));
  if (!Eventually([&] { return kill(tool, 0) == -1 && errno == ESRCH; })) _exit(kTimedOut);
  const pid_t standIn = TakePid(tool);
  if (standIn == -1) _exit(kNoReuse);
  std::string answer(kOverLongAnswerBytes, 'w');
  answer += "\n";
  WriteAll(in[1], answer);
  close(in[1]);
  ReadOutput(out[0], text, [](const std::string&) { return false; });
  int status = 0;
  if (!Eventually([&] { return waitpid(launcher, &status, WNOHANG) == launcher; })) _exit(kTimedOut);
  const bool alive = waitpid(standIn, nullptr, WNOHANG) == 0;
  std::string line = "status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " stand-in " +
                     (alive ? "alive" : "killed");
  WriteAll(report, line);
  _exit(0);
}

}  // namespace pid_reuse

TEST(LauncherToolEnd, OverLongAnswerAfterTheToolWasReapedLeavesItsIdAlone) {
  using namespace pid_reuse;
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  pid_t outer = fork();
  if (outer == 0) {
    close(report[0]);
    if (unshare(CLONE_NEWPID) != 0) _exit(kSkipped);
    pid_t first = fork();
    if (first == 0) RunInNamespace(report[1]);
    int status = 0;
    if (first < 0 || waitpid(first, &status, 0) != first) _exit(kSkipped);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : kTimedOut);
  }
  ASSERT_GT(outer, 0);
  close(report[1]);
  std::string line;
  ReadOutput(report[0], line, [](const std::string&) { return false; });
  close(report[0]);
  int status = 0;
  if (!Eventually([&] { return waitpid(outer, &status, WNOHANG) == outer; })) {
    kill(outer, SIGKILL);
    waitpid(outer, &status, 0);
    FAIL() << "the run in the pid namespace did not end";
  }
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kSkipped) GTEST_SKIP() << "needs a pid namespace and ns_last_pid (root)";
  ASSERT_EQ(WEXITSTATUS(status), 0) << "a step of the run failed: " << WEXITSTATUS(status);
  EXPECT_EQ(line, "status 0 stand-in alive");
}

TEST_F(LauncherRun, MissingEntryStopsTheUnpacking) {
  std::string launcher = PackVariant(Without(LauncherTest::ProbePayload(), "arvo.dll"));
  RunResult run = RunLauncher(launcher, {"print:never"});
  EXPECT_EQ(run.Status, 1);
  std::string dir = run.UnpackDir();
  std::vector<std::string> expected = {"ormivane_tool packed", "Start unpacking..."};
  std::vector<std::string> unpacking = UnpackingLines(dir);
  expected.insert(expected.end(), unpacking.begin(), unpacking.begin() + 5);
  for (const char* line :
       {"Error 0x624e20: An internal error.", "| line: 0x57fab25e3661dfba",
        "| file: enterprise/installer/resource_temp_dir/temporary_resources.cpp:44", "| function: ExtractZipFile"})
    expected.push_back(line);
  expected.push_back(kModuleLine);
  EXPECT_EQ(run.Lines, expected);
  ExpectCleanedUp(run);
}

TEST_F(LauncherRun, CorruptedEntryIsNeverUsed) {
  Entry broken{"libgcc_s.so.1", ORMIVANE_RUNTIME_LIBGCC, "", 8, "\"crc\": 1"};
  std::string launcher = PackVariant(Replacing(LauncherTest::ProbePayload(), broken));
  RunResult run = RunLauncher(launcher, {"print:never"});
  EXPECT_EQ(run.Status, 1);
  std::string dir = run.UnpackDir();
  std::vector<std::string> unpacking = UnpackingLines(dir);
  std::vector<std::string> expected = {"ormivane_tool packed", "Start unpacking..."};
  expected.insert(expected.end(), unpacking.begin(), unpacking.begin() + 3);
  expected.push_back("Error 0x4000d: The file is corrupted.");
  ASSERT_GT(run.Lines.size(), expected.size()) << run.Stdout;
  EXPECT_EQ(std::vector<std::string>(run.Lines.begin(), run.Lines.begin() + expected.size()), expected);
  EXPECT_EQ(run.Lines.back(), kModuleLine);
  ExpectCleanedUp(run);
}

TEST_F(LauncherRun, NoCatalogAborts) {
  std::string launcher = PackVariant(Without(LauncherTest::ProbePayload(), "ormivane_packed.msg"));
  RunResult run = RunLauncher(launcher, {"print:never"});
  std::string dir = run.UnpackDir();
  // An abort leaves the directory behind: it is ours to remove.
  LauncherTest::RemoveTree(dir);
  EXPECT_EQ(run.Signal, SIGABRT);
  EXPECT_TRUE(std::regex_match(dir, kUnpackDirShape)) << run.Stdout;
  EXPECT_EQ(run.Lines, (std::vector<std::string>{"ormivane_tool packed", "Start unpacking...", "Unpack files to " + dir}));
}

TEST_F(LauncherRun, ToolThatCannotBeExecuted) {
  Entry tool{"ormivane_tool.exe", "", "#!/nonexistent/ormivane-interpreter\n", 0, ""};
  std::string launcher = PackVariant(Replacing(LauncherTest::ProbePayload(), tool));
  RunResult run = RunLauncher(launcher, {"print:never"});
  EXPECT_EQ(run.Status, 1);
  std::string output = ToolOutput(run);
  EXPECT_EQ(output.rfind("Error 0x25d0002: ", 0), 0u) << output;
  EXPECT_EQ(std::count(run.Lines.begin(), run.Lines.end(), "never"), 0);
  ExpectCleanedUp(run);
}

class ToolEnvironment : public LauncherRun, public testing::WithParamInterface<int> {};

TEST_P(ToolEnvironment, DirectoryModesPathsAndHandles) {
  const mode_t mask = static_cast<mode_t>(GetParam());
  Testing::TempDir workDir;
  RunOptions options;
  options.Umask = GetParam();
  options.WorkingDirectory = workDir.Path();
  options.Environment = {"LD_LIBRARY_PATH=/an/earlier/value"};
  RunResult run = RunLauncher(standard, {"env:LD_LIBRARY_PATH", "cwd", "stderr", "stdin", "modes"}, options);
  EXPECT_EQ(run.Status, 0);
  std::string dir = run.UnpackDir();

  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", 0755 & ~mask);
  std::string expected = "LD_LIBRARY_PATH=" + dir + "\ncwd " + workDir.Path() + "\nstderr null\nstdin open\ndir " + mode + "\n";
  std::vector<std::string> files;
  LoadFiles::LibraryRenameTable table;
  for (const std::string& name : LoadFiles::UnpackList()) files.push_back(table.FileNameOf(name));
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    std::snprintf(mode, sizeof mode, "%04o", file == "ormivane_tool.exe" ? 0700 : 0644 & ~mask);
    expected += "mode " + file + " " + mode + "\n";
  }
  EXPECT_EQ(ToolOutput(run), expected);
  // The tool wrote to its standard error, which is discarded.
  ExpectCleanedUp(run);
}

INSTANTIATE_TEST_SUITE_P(Launcher, ToolEnvironment, testing::Values(022, 077),
                         [](const testing::TestParamInfo<int>& info) { return "Umask0" + std::to_string(info.param / 8) + std::to_string(info.param % 8); });

TEST_F(LauncherRun, LargeOutputIsRelayedIntact) {
  constexpr long kBytes = 300000;
  RunResult run = RunLauncher(standard, {"big:" + std::to_string(kBytes)});
  EXPECT_EQ(run.Status, 0);
  std::string expected;
  char line[32];
  for (long n = 1; static_cast<long>(expected.size()) < kBytes; ++n) {
    std::snprintf(line, sizeof line, "line %09ld\n", n);
    expected += line;
  }
  expected.resize(kBytes);
  std::string output = ToolOutput(run);
  EXPECT_EQ(output.size(), expected.size());
  EXPECT_TRUE(output == expected);
  ExpectCleanedUp(run);
}

// Started with SIGCHLD ignored, the launcher still learns the tool's status, and the tool
// starts with the default disposition the launcher reset at its start.
TEST_F(LauncherRun, IgnoredSigchldAtTheStart) {
  RunOptions options;
  options.IgnoreSigchld = true;
  RunResult run = RunLauncher(standard, {"sigchld", "exit:0"}, options);
  EXPECT_EQ(run.Status, 0) << run.Stdout;
  EXPECT_EQ(run.Lines, StartedTranscript(run.UnpackDir(), {"sigchld default"}));
  ExpectCleanedUp(run);
}

TEST_F(LauncherRun, SeveralLaunchersAtOnce) {
  constexpr int kRuns = 3;
  std::vector<std::future<RunResult>> runs;
  for (int i = 0; i < kRuns; ++i) {
    runs.push_back(std::async(std::launch::async, [i] {
      RunOptions options;
      options.Stdin = "answer" + std::to_string(i) + "\n";
      return RunLauncher(standard, {"print:run-" + std::to_string(i), "password"}, options);
    }));
  }
  std::set<std::string> dirs;
  for (int i = 0; i < kRuns; ++i) {
    RunResult run = runs[i].get();
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(ToolOutput(run), "run-" + std::to_string(i) + "\n" + kPw + "password [answer" + std::to_string(i) + "]\n");
    dirs.insert(run.UnpackDir());
    ExpectCleanedUp(run);
  }
  EXPECT_EQ(dirs.size(), static_cast<size_t>(kRuns));
}

TEST_F(LauncherRun, DatBesideTheProgramTakesPrecedence) {
  // The program carries the probe payload; the ".dat" beside it another tool.
  std::string launcher = own.File("ormivane_packed");
  ASSERT_TRUE(Testing::CopyFile(standard, launcher));
  Entry script{"ormivane_tool.exe", "", "#!/bin/sh\necho from the dat archive\n", 0, ""};
  std::string spec = LauncherTest::ArchiveSpec(Replacing(LauncherTest::ProbePayload(), script));
  ASSERT_TRUE(Testing::MakeZip(own.File("ormivane_packed.dat"), spec));
  RunResult run = RunLauncher(launcher, {"print:not-the-probe"});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(ToolOutput(run), "from the dat archive\n");
  ExpectCleanedUp(run);

  // A ".dat" that opens but holds no archive still wins: there is no archive at all.
  ASSERT_TRUE(Testing::WriteFileBytes(own.File("ormivane_packed.dat"), {'n', 'o', ' ', 'z', 'i', 'p'}));
  RunResult broken = RunLauncher(launcher, {"print:not-the-probe"});
  LauncherTest::RemoveTree(broken.UnpackDir());
  EXPECT_EQ(broken.Signal, SIGABRT);
  EXPECT_EQ(broken.Stdout.find("not-the-probe"), std::string::npos);
}

// A launcher started without standard input answers a prompt as at the end of its input;
// its random source must not stand in for the missing descriptor.
TEST_F(LauncherRun, ClosedStandardInputGivesEmptyAnswers) {
  RunOptions options;
  options.Closed = {0};
  RunResult run = RunLauncher(standard, {"password", "code"}, options);
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(ToolOutput(run), kPw + "password []\n" + kCode + "code []\n");
  ExpectCleanedUp(run);
}

struct ClosedCase {
  const char* Name;
  std::vector<int> Closed;
  int ToolStatus;
  int ExitCode;
};

void PrintTo(const ClosedCase& c, std::ostream* out) { *out << c.Name; }

class ClosedDescriptors : public LauncherRun, public testing::WithParamInterface<ClosedCase> {};

// Whatever standard descriptors are missing, the files the launcher opens never take
// their place: the unpacked files and the archive keep their bytes (the lock layer's
// traces, asked for here, go to standard error), and the run ends as the tool did.
TEST_P(ClosedDescriptors, RunCleanlyWithUntouchedFiles) {
  const ClosedCase& c = GetParam();
  std::string launcher = PackVariant(LauncherTest::ProbePayload());
  std::vector<unsigned char> before = Testing::ReadFileBytes(launcher);
  Testing::TempDir copies;
  RunOptions options;
  options.Closed = c.Closed;
  options.Environment = {"VELTRA_LOG=F"};
  RunResult run = RunLauncher(launcher, {"copy-dir:" + copies.Path(), "exit:" + std::to_string(c.ToolStatus)}, options);
  EXPECT_EQ(run.Status, c.ExitCode) << run.Stdout;

  std::vector<unsigned char> from = Testing::ReadFileBytes(copies.File(".from"));
  std::string dir(from.begin(), from.end());
  ASSERT_TRUE(std::regex_match(dir, kUnpackDirShape)) << dir;
  EXPECT_FALSE(LauncherTest::PathExists(dir));
  LoadFiles::LibraryRenameTable table;
  std::vector<std::string> unpacked = LoadFiles::UnpackList();
  for (const Entry& e : LauncherTest::ProbePayload()) {
    if (std::find(unpacked.begin(), unpacked.end(), e.Name) == unpacked.end()) continue;
    std::vector<unsigned char> expected =
        e.File.empty() ? std::vector<unsigned char>(e.Text.begin(), e.Text.end()) : Testing::ReadFileBytes(e.File);
    EXPECT_TRUE(Testing::ReadFileBytes(copies.File(table.FileNameOf(e.Name))) == expected) << e.Name;
  }
  EXPECT_TRUE(Testing::ReadFileBytes(launcher) == before);
}

INSTANTIATE_TEST_SUITE_P(Launcher, ClosedDescriptors,
                         testing::Values(ClosedCase{"AllThree", {0, 1, 2}, 0, 0},
                                         ClosedCase{"AllThreeToolQuiet", {0, 1, 2}, 6, 1},
                                         ClosedCase{"StdoutAlone", {1}, 0, 0},
                                         ClosedCase{"StdoutAloneToolQuiet", {1}, 6, 1},
                                         ClosedCase{"StderrAlone", {2}, 0, 0},
                                         ClosedCase{"StderrAloneToolQuiet", {2}, 6, 1}),
                         [](const testing::TestParamInfo<ClosedCase>& info) { return std::string(info.param.Name); });

TEST(PackedProduct, RunsTheDemoTool) {
  RunOptions options;
  options.Stdin = "s3cret 123456\n";
  RunResult run = RunLauncher(LauncherTest::PackedProduct(), {"hello", "--status=0"}, options);
  EXPECT_EQ(run.Status, 0);
  std::string dir = run.UnpackDir();
  std::vector<std::string> tool = {
      "ormivane_tool demo: 1 argument(s)",
      "  argument 1: hello",
      "Libraries: arvo brint celto dunmar elsk fenno gorra libhesk istra unwind",
      "Enter password for user: ",
      "2FA verification: Enter the 6-digit code displayed on your authenticator app",
  };
  std::vector<std::string> expected = StartedTranscript(dir, tool);
  ASSERT_EQ(run.Lines.size(), expected.size() + 2) << run.Stdout;
  EXPECT_EQ(std::vector<std::string>(run.Lines.begin(), run.Lines.begin() + expected.size()), expected);
  EXPECT_TRUE(std::regex_match(run.Lines[expected.size()],
                               std::regex("Signed in: password of 6 character\\(s\\), fingerprint [0-9a-f]{8}; code accepted")))
      << run.Lines[expected.size()];
  EXPECT_EQ(run.Lines.back(), "Ending with status 0");
  ExpectCleanedUp(run);
}

}  // namespace

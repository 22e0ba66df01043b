// Tests of assertions: the configuration words and numbers, the report and its stack
// text as tracing receives them, the frame lines, the reporters, and each configuration
// of a real process (logs, events, traps, aborts, log files) in a child of its own.
#include "core/common/safe_assert.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/tests/safe_assert_child.h"
#include "core/common/tests/safe_assert_recorder.h"
#include "core/common/text.h"
#include "tools/testing/fixtures.h"

namespace {

struct ConfigCase {
  const char* value;  // null: unset
  uint32_t flags;
  bool readLogFile;
};

TEST(SafeAssertConfigTest, ValuesGiveActionBits) {
  const std::string longValue = "log" + std::string(124, ' ') + "abort";  // "abort" lies past 127
  const ConfigCase cases[] = {
      {nullptr, 0x4E, false},
      {"", 0x4E, false},
      {"0x4", 0x04, true},
      {"0X44", 0x44, true},
      {"44", 0x44, true},  // no prefix, still hexadecimal
      {"0x24", 0x24, true},
      {"0x8", 0x08, false},
      {"x0x4", kAssertOff, false},  // the first two characters are skipped, whatever they are
      {"0", kAssertOff, false},     // zero falls through to the words, where it is unknown
      {"0x0", kAssertOff, false},
      {"log stack", 0x44, true},
      {"  log   stack ", 0x44, true},
      {"stack", 0x40, false},
      {"break", 0x01, false},
      {"debug event", 0x0A, false},
      {"msgbox abort", 0x30, false},
      {"log bogus", kAssertOff, true},
      {"bogus log", kAssertOff, true},
      {"LOG", kAssertOff, false},
      {"   ", 0, false},
      {longValue.c_str(), 0x04, true},
      // A 32-bit long saturates, in every build as in the product.
      {"0xFFFFFFFF", 0x7FFFFFFF, true},
      {"100000000", 0x7FFFFFFF, true},
      {"-80000001", 0x80000000, false},
      {"-1", kAssertOff, true},
  };
  for (const ConfigCase& c : cases) {
    AssertConfig config = ParseAssertConfig(c.value);
    EXPECT_EQ(config.Flags, c.flags) << (c.value ? c.value : "(unset)");
    EXPECT_EQ(config.ReadLogFile, c.readLogFile) << (c.value ? c.value : "(unset)");
  }
}

class SafeAssertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetAssertFlags() != kAssertDefaultFlags) GTEST_SKIP() << "ZENVALO_SAFE_ASSERT is set for this run";
  }
};

TEST_F(SafeAssertTest, ReportThenStackTextGoToTheEventHook) {
  Testing::AssertRecorder recorder;
  EXPECT_EQ(SafeAssert("x", "f", 3), 1);
  std::vector<std::string> texts = recorder.All();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Assertion failed: x, file f, line 3");
  const std::string& stack = texts[1];
  // The walker's and ProcessAssertion's frames are left out: SafeAssert's comes first.
  EXPECT_EQ(stack.find("WalkStack"), std::string::npos) << stack;
  EXPECT_EQ(stack.find("ProcessAssertion"), std::string::npos) << stack;
  EXPECT_LT(stack.find("SafeAssert("), stack.find('\n')) << stack;
  EXPECT_NE(stack.back(), '\n');
}

TEST_F(SafeAssertTest, LongReportIsCutTo539Characters) {
  Testing::AssertRecorder recorder;
  std::string expression(600, 'e');
  SafeAssert(expression.c_str(), "f", 1);
  std::vector<std::string> reports = recorder.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], ("Assertion failed: " + expression).substr(0, 539));
}

TEST_F(SafeAssertTest, ReportersUseTheSystemLibraryWording) {
  Testing::AssertRecorder recorder;
  const std::string program = Common::GetProgramName();
  ReportAssertFailure("x > 0", "f.cpp", 12, "Fn");
  ReportAssertFailure("y", "g.cpp", 4, nullptr);
  ReportUnexpectedError(ENOENT, "h.cpp", 7, "Open");
  ReportUnexpectedError(EACCES, "h.cpp", 8, nullptr);
  std::vector<std::string> texts = recorder.All();
  ASSERT_EQ(texts.size(), 8u);  // each report is followed by its stack text
  EXPECT_EQ(texts[0], program + ": f.cpp:12: Fn: Assertion `x > 0' failed.");
  EXPECT_EQ(texts[2], program + ": g.cpp:4: Assertion `y' failed.");
  EXPECT_EQ(texts[4], program + ": h.cpp:7: Open: Unexpected error: No such file or directory.");
  EXPECT_EQ(texts[6], program + ": h.cpp:8: Unexpected error: Permission denied.");
}

TEST_F(SafeAssertTest, ThreadsAssertAtOnce) {
  Testing::AssertRecorder recorder;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 10; ++i) SafeAssert("concurrent", "t", i);
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(recorder.Reports().size(), 40u);
}

TEST(StackFrameTest, FrameTextsBecomeColumns) {
  auto pad = [](std::string text, size_t width) { return text.size() < width ? text + std::string(width - text.size(), ' ') : text; };
  const struct {
    const char* frame;
    std::string line;
  } cases[] = {
      {"./prog(_ZN3foo3barEv+0x1a) [0x8048abc]",
       pad("./prog", 30) + " ( " + pad("foo::bar()", 40) + "  + " + pad("0x1a", 6) + ") [0x8048abc]"},
      {"/lib/libc.so.6(__libc_start_main+0xf5) [0xf7d01234]",
       pad("/lib/libc.so.6", 30) + " ( " + pad("__libc_start_main", 40) + "  + " + pad("0xf5", 6) + ") [0xf7d01234]"},
      {"./prog(+0x1234) [0x5655a234]",
       pad("./prog", 30) + " ( " + pad("", 40) + "  + " + pad("0x1234", 6) + ") [0x5655a234]"},
      {"./prog(a+b+0x10) rest", pad("./prog", 30) + " ( " + pad("a+b", 40) + "  + " + pad("0x10", 6) + ") rest"},
      {"./prog(plain) [0x2]", pad("./prog", 30) + " ( " + pad("plain", 40) + "    " + pad("", 6) + ") [0x2]"},
      {"[0x8048abc]", pad("[0x8048abc]", 40)},
      {"module(unclosed", pad("module(unclosed", 40)},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatStackFrame(c.frame), c.line) << c.frame;
}

struct WalkRecord {
  std::vector<uint32_t> indexes;
  uint32_t stopAfter;
};

bool RecordFrame(uint32_t index, const char* line, void* context) {
  auto* record = static_cast<WalkRecord*>(context);
  record->indexes.push_back(index);
  EXPECT_NE(line, nullptr);
  return record->indexes.size() < record->stopAfter;
}

TEST(StackFrameTest, WalkStopsAtTheLimitOrWhenTold) {
  WalkRecord limited{{}, 100};
  WalkStack(StackWalkRequest{3, RecordFrame, &limited});
  EXPECT_EQ(limited.indexes, (std::vector<uint32_t>{0, 1, 2}));
  WalkRecord stopped{{}, 1};
  WalkStack(StackWalkRequest{32, RecordFrame, &stopped});
  EXPECT_EQ(stopped.indexes, std::vector<uint32_t>{0});
}

// One configuration of a real process, run through the probe.
struct ProcessCase {
  std::optional<std::string> assertValue;
  std::optional<std::string> logValue;  // "<dir>" stands for the test's directory
  std::string action;
  int signal;            // 0: exits 0
  std::string stdoutHas;  // lines (each ending "\n") that standard output holds, in order
  std::string reportIn;  // where the log lines go: "E" standard error, "O" standard output, "F" the file, "" nowhere
  bool stack;            // stack lines accompany the log lines
  bool event;            // the report reached tracing
};

class SafeAssertProcessTest : public ::testing::Test {
 protected:
  std::string LogPath() const { return scratch.File("assert.log"); }
  std::string ReadLog() const {
    std::ifstream in(LogPath());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  Testing::ChildOutcome Run(const std::optional<std::string>& assertValue, std::optional<std::string> logValue,
                            const std::string& action) {
    if (logValue) {
      size_t at = logValue->find("<dir>");
      if (at != std::string::npos) logValue->replace(at, 5, scratch.Path());
    }
    return Testing::RunHelper(Testing::HelperPath("core/common/tests", "safe_assert_probe"), {action},
                              {{"ZENVALO_SAFE_ASSERT", assertValue}, {"ZENVALO_SAFE_ASSERT_LOGFILE", logValue}});
  }

  Testing::TempDir scratch;
};

bool HasStackLines(const std::string& text) { return text.find(" ( ") != std::string::npos; }

TEST_F(SafeAssertProcessTest, EachConfigurationActsAsChosen) {
  const std::optional<std::string> unset;
  const std::string report = "Assertion failed: x, file f, line 3";
  const std::string event = "event 5 0 27: " + report + "\n";
  const ProcessCase cases[] = {
      {unset, unset, "assert", 0, "flags 0000004E\n" + event + "result 1\n", "E", true, true},
      {"", unset, "assert", 0, "flags 0000004E\n" + event + "result 1\n", "E", true, true},
      {"0x4", unset, "assert", 0, "flags 00000004\nresult 1\n", "E", false, false},
      {"44", unset, "assert", 0, "flags 00000044\nresult 1\n", "E", true, false},
      {"log stack", unset, "assert", 0, "flags 00000044\nresult 1\n", "E", true, false},
      {"log bogus", unset, "assert", 0, "flags FFFFFFFF\nresult 0\n", "", false, false},
      {"0", unset, "assert", 0, "flags FFFFFFFF\nresult 0\n", "", false, false},
      {"0x24", unset, "assert", SIGABRT, "flags 00000024\n", "E", false, false},
      {"log abort", unset, "assert", SIGABRT, "flags 00000024\n", "E", false, false},
      {"0xFFFFFFFF", unset, "assert", SIGABRT, "flags 7FFFFFFF\n" + event, "E", true, true},
      {"break", unset, "assert", 0, "flags 00000001\nresult 1\n", "", false, false},
      {"msgbox", unset, "assert", 0, "flags 00000010\nresult 1\n", "", false, false},
      {"event", unset, "assert", 0, "flags 00000008\n" + event + "result 1\n", "", false, true},
      {"0x4", "stdout", "assert", 0, "flags 00000004\n" + report + "\nresult 1\n", "O", false, false},
      {"log", "stderr", "assert", 0, "flags 00000004\nresult 1\n", "E", false, false},
      {"0x44", "<dir>/assert.log", "assert", 0, "flags 00000044\nresult 1\n", "F", true, false},
      {"0x4", "<dir>/missing/assert.log", "assert", 0, "flags 00000004\nresult 1\n", "E", false, false},
      // The log file variable is read only when the configuration asks for a log.
      {unset, "<dir>/assert.log", "assert", 0, "flags 0000004E\n" + event + "result 1\n", "E", true, true},
      {"event", "<dir>/assert.log", "assert", 0, "flags 00000008\n" + event + "result 1\n", "", false, true},
  };
  for (const ProcessCase& c : cases) {
    SCOPED_TRACE((c.assertValue ? "\"" + *c.assertValue + "\"" : std::string("unset")) + " log " +
                 (c.logValue ? *c.logValue : std::string("unset")));
    unlink(LogPath().c_str());
    Testing::ChildOutcome outcome = Run(c.assertValue, c.logValue, c.action);
    if (c.signal == 0) {
      EXPECT_TRUE(outcome.Exited);
      EXPECT_EQ(outcome.ExitCode, 0);
    } else {
      EXPECT_EQ(outcome.Signal, c.signal);
    }
    // Standard output: the probe's lines, plus the log lines when they go there.
    std::string probeLines;
    std::string logLines = c.reportIn == "F" ? ReadLog() : c.reportIn == "E" ? outcome.Errors : "";
    size_t pos = 0;
    while (pos < outcome.Output.size()) {
      size_t end = outcome.Output.find('\n', pos);
      std::string line = outcome.Output.substr(pos, end - pos + 1);
      pos = end == std::string::npos ? outcome.Output.size() : end + 1;
      bool probeLine = line.rfind("flags ", 0) == 0 || line.rfind("event ", 0) == 0 || line.rfind("result ", 0) == 0;
      if (probeLine) {
        if (line.rfind("event ", 0) == 0 && line != event) continue;  // the stack text's event
        probeLines += line;
      } else if (c.reportIn == "O") {
        logLines += line;
      }
    }
    if (c.reportIn == "O") probeLines.insert(probeLines.find("result"), report + "\n");
    EXPECT_EQ(probeLines, c.stdoutHas);
    if (c.reportIn.empty()) {
      EXPECT_EQ(outcome.Errors.find("Assertion failed"), std::string::npos) << outcome.Errors;
    } else {
      EXPECT_EQ(logLines.rfind(report + "\n", 0), 0u) << logLines;
      EXPECT_EQ(HasStackLines(logLines), c.stack) << logLines;
    }
    if (c.reportIn != "F") {
      EXPECT_EQ(access(LogPath().c_str(), F_OK), -1);
    }
    if (c.reportIn != "E") {
      EXPECT_EQ(outcome.Errors.find("Assertion failed"), std::string::npos) << outcome.Errors;
    }
  }
}

TEST_F(SafeAssertProcessTest, ConfigurationIsReadOnce) {
  Testing::ChildOutcome outcome = Run(std::nullopt, std::nullopt, "change-env");
  EXPECT_TRUE(outcome.Exited);
  EXPECT_NE(outcome.Output.find("result 1\n"), std::string::npos);
  EXPECT_NE(outcome.Errors.find("Assertion failed: second, file f, line 2\n"), std::string::npos);
}

// Assertions made after the log file was closed (at exit, by static destructors) go to
// standard error instead of a closed stream.
TEST_F(SafeAssertProcessTest, ClosedLogFallsBackToStandardError) {
  for (const std::string action : {"close-log", "exit"}) {
    SCOPED_TRACE(action);
    unlink(LogPath().c_str());
    Testing::ChildOutcome outcome = Run("0x4", "<dir>/assert.log", action);
    EXPECT_TRUE(outcome.Exited);
    EXPECT_EQ(outcome.ExitCode, 0);
    std::string first = action == "exit" ? "early" : "before";
    std::string second = action == "exit" ? "late, file exit.cpp, line 2" : "after, file f, line 2";
    EXPECT_EQ(ReadLog(), "Assertion failed: " + first + ", file f, line 1\n");
    EXPECT_EQ(outcome.Errors, "Assertion failed: " + second + "\n");
  }
}

// With a debugger attached, "break" traps and the assertion then returns 0.
TEST_F(SafeAssertProcessTest, BreakTrapsWhenADebuggerIsAttached) {
  Testing::ChildOutcome untraced = Run("break", std::nullopt, "debugger");
  EXPECT_EQ(untraced.Output, "attached 0\nresult 1\n");

  int out[2];
  ASSERT_EQ(pipe(out), 0);
  std::string path = Testing::HelperPath("core/common/tests", "safe_assert_probe");
  pid_t pid = fork();
  if (pid == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(125);
    dup2(out[1], 1);
    close(out[0]);
    setenv("ZENVALO_SAFE_ASSERT", "break", 1);
    execl(path.c_str(), path.c_str(), "debugger", static_cast<char*>(nullptr));
    _exit(126);
  }
  close(out[1]);
  int traps = 0;
  int status = 0;
  for (;;) {
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (!WIFSTOPPED(status)) break;
    int signal = WSTOPSIG(status);
    if (signal == SIGTRAP) ++traps;
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(signal == SIGTRAP ? 0 : signal)));
  }
  std::string output;
  char buffer[256];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(got));
  close(out[0]);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 125) GTEST_SKIP() << "this machine gives no ptrace (emulated?)";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(output, "attached 1\nresult 0\n");
  EXPECT_EQ(traps, 2);  // the exec, then the assertion's breakpoint
}

}  // namespace

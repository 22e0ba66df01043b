// Fork, the child's set-up steps and their report, waiting, and the runner's error records.
#include "enterprise/common/child_process/fork_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <new>
#include <thread>

#include "core/file/unix/posixsp.h"

#include "enterprise/common/child_process/tests/child_test_support.h"
#include "tools/testing/error_matchers.h"
#include "tools/testing/failing_new.h"
#include "tools/testing/location_id.h"

namespace {

using ::testing::AllOf;
using Testing::CauseAt;
using Testing::HasCode;
using Testing::HasLocation;
using Testing::HasSite;
using Testing::IsErrno;
using ::testing::Not;
}  // namespace

namespace ChildProcess {
namespace {

using namespace ChildProcessTesting;

constexpr Common::SourceFileId kForkFile = Common::Locations::ChildProcessForkProcess;

std::vector<PathString> Paths(std::initializer_list<const char16_t*> texts) {
  std::vector<PathString> paths;
  for (const char16_t* text : texts) paths.emplace_back(Common::WString(text));
  return paths;
}

// The head record's site and the errno of its direct cause (-1 when there is none).
struct Site {
  uint32_t Code;
  uint32_t Line;
  std::string Function;
  int CauseErrno;
};

Site SiteOf(const Common::Error& error) {
  Common::ErrorRecord* head = error.GetHead();
  if (head == nullptr) return {0, 0, "", -1};
  Common::ErrorRecord* cause = head->Cause;
  int causeErrno = -1;
  if (cause != nullptr && cause->Code == Common::POSIX_ERROR) causeErrno = static_cast<int>(cause->Size);
  return {head->Code, head->Line, head->Function == nullptr ? "" : head->Function, causeErrno};
}

// ---- argument lists, path strings, records -------------------------------------------------

TEST(ChildFormatArgListTest, JoinsWideFormsInBrackets) {
  struct Case {
    std::vector<PathString> Argv;
    std::u16string Expected;
  } cases[] = {
      {{}, u"[]"},
      {Paths({u"a"}), u"[a]"},
      {Paths({u"a b", u"c"}), u"[a b,c]"},
      {Paths({u"", u"x\"y", u""}), u"[,x\"y,]"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatArgList(c.Argv), c.Expected);
}

TEST(ChildPathStringTest, OrdersByUnsignedNativeBytesPrefixFirst) {
  struct Case {
    PathString Left;
    PathString Right;
    bool Less;
  } cases[] = {
      {PathString(u"a"), PathString(u"b"), true},
      {PathString(u"b"), PathString(u"a"), false},
      {PathString(u"ab"), PathString(u"abc"), true},
      {PathString(u"abc"), PathString(u"ab"), false},
      {PathString(u"a"), PathString(u"a"), false},
      {PathString(u"\u00e9"), PathString(u"z"), false},  // C3 A9 sorts above 7A as unsigned
      {PathString(u""), PathString(u"a"), true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.Left < c.Right, c.Less) << Common::ToUtf8(c.Left.WideStr());
}

TEST(ChildPathStringTest, HoldsBothForms) {
  PathString path(u"dir/\u00e9");
  EXPECT_EQ(path.GetWide(), u"dir/\u00e9");
  EXPECT_EQ(path.GetNative(), "dir/\xc3\xa9");
  EXPECT_FALSE(path.IsEmpty());
  EXPECT_TRUE(PathString().IsEmpty());
  // A lone surrogate has no native form.
  EXPECT_TRUE(PathString(Common::WString(1, char16_t(0xD800))).IsEmpty());
}

TEST(ChildErrorRecordTest, LaunchFileRecordCarriesItsParameters) {
  Common::Error error =
      MakeLaunchFileError(Common::MakeLocation(kForkFile, "enterprise/common/child_process/tests/fork_process_test.cpp",
                                               "GetResultFromPipe", 343),
                          Paths({u"prog", u"a b"}), "chdir", ENOENT, PathString(u"/no/dir"));
  EXPECT_THAT(error, AllOf(HasCode(Common::CHILD_LAUNCH_FAILED), HasSite("GetResultFromPipe", 343),
                           HasLocation(kForkFile, 343), CauseAt(1, IsErrno(ENOENT))));
  EXPECT_EQ(Testing::LocationId(error), 0x8D08838F7F0DF726u);  // fork_process, line 343
  EXPECT_EQ(ParamNames(error), "cmdline,libcCall,file,$module");
  EXPECT_EQ(WideParam(error, "cmdline"), u"[prog,a b]");
  EXPECT_EQ(WideParam(error, "file"), u"/no/dir");
  EXPECT_EQ(AsciiParam(error, "libcCall"), "chdir");
  EXPECT_EQ(AsciiParam(error, "$module"), Common::kModuleName);
  EXPECT_EQ(AsciiParam(error, "cmdline"), "<null>");
  EXPECT_EQ(WideParam(error, "libcCall"), u"<null>");
  EXPECT_EQ(WideParam(error, "File"), u"<null>");  // names are case-sensitive
  EXPECT_EQ(RecordText(error.GetHead()), u"Cannot launch child process due to platform API error.");
}

TEST(ChildErrorRecordTest, LaunchAndCmdlineRecordsListTheirOwnNames) {
  Common::Error launch =
      MakeLaunchError(Common::MakeLocation(kForkFile, "enterprise/common/child_process/tests/fork_process_test.cpp",
                                           "ForkProcess", 160),
                      Paths({u"p"}), "fork", EAGAIN);
  EXPECT_EQ(ParamNames(launch), "cmdline,libcCall,$module");
  EXPECT_EQ(AsciiParam(launch, "libcCall"), "fork");
  EXPECT_EQ(WideParam(launch, "file"), u"<null>");
  EXPECT_EQ(SiteOf(launch).CauseErrno, EAGAIN);

  Common::Error split = MakeParseCommandLineError(
      Common::MakeLocation(Common::Locations::ChildProcessCreatorPosix,
                           "enterprise/common/child_process/tests/fork_process_test.cpp", "ParseCommandLine", 185),
      u"a 'b");
  EXPECT_EQ(split.GetCode(), Common::CHILD_CMDLINE_SPLIT_FAILED);
  EXPECT_EQ(ParamNames(split), "cmdline,$module");
  EXPECT_EQ(WideParam(split, "cmdline"), u"a 'b");
  EXPECT_EQ(AsciiParam(split, "libcCall"), "<null>");
  EXPECT_EQ(AsciiParam(split, "$module"), Common::kModuleName);
  EXPECT_EQ(CauseOf(split), nullptr);
  EXPECT_EQ(RecordText(split.GetHead()), u"Failed to split command line on tokens during child process creation.");
}

TEST(ChildErrorRecordTest, CloneKeepsParameters) {
  Common::Error original =
      MakeLaunchFileError(Common::MakeLocation(kForkFile, "enterprise/common/child_process/tests/fork_process_test.cpp",
                                               "GetResultFromPipe", 325),
                          Paths({u"p"}), "open", EACCES, PathString(u"/out/file"));
  Common::Error shared = original;
  shared.AddCause(Common::MakeError(
      Common::MakeLocation(kForkFile, "enterprise/common/child_process/tests/fork_process_test.cpp", "X", 1),
      Common::FILE_WRITE_ERROR));
  ASSERT_NE(shared.GetHead(), original.GetHead());  // copy on write
  EXPECT_EQ(WideParam(shared, "file"), u"/out/file");
  EXPECT_EQ(WideParam(shared, "cmdline"), u"[p]");
  EXPECT_EQ(AsciiParam(shared, "libcCall"), "open");
  EXPECT_EQ(SiteOf(original).CauseErrno, EACCES);
}

// ---- the status report ------------------------------------------------------------------------

class ChildStatusReportTest : public ::testing::Test {
 protected:
  ChildStatusReportTest() : context(Paths({u"prog", u"a b"}), PathString(u"/work dir"), PathMap()) {
    context.SetStdHandlePath(kStdInput, PathString(u"/in"));
    context.SetStdHandlePath(kStdOutput, PathString(u"/out"));
    context.SetStdHandlePath(kStdError, PathString(u"/err"));
  }

  // The result of reading `bytes` from a pipe whose write end is then closed.
  Common::Error ResultOf(const void* bytes, size_t length) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    if (length > 0) {
      EXPECT_EQ(write(fds[1], bytes, length), static_cast<ssize_t>(length));
    }
    close(fds[1]);
    Common::Error result = GetResultFromPipe(context, fds[0]);
    close(fds[0]);
    return result;
  }

  ForkContext context;
};

TEST_F(ChildStatusReportTest, EachStepBecomesItsLaunchError) {
  struct Case {
    uint32_t Step;
    const char* Call;
    const char16_t* File;  // null: a record without `file`
    uint32_t Line;
  } cases[] = {
      {1, "open", u"/dev/null", 319},  {2, "open", u"/in", 322},       {3, "open", u"/out", 325},
      {4, "open", u"/err", 328},       {5, "dup2", nullptr, 340},      {9, "dup2", nullptr, 340},
      {11, "dup2", nullptr, 340},      {14, "dup2", nullptr, 340},     {15, "chdir", u"/work dir", 343},
      {16, "setenv", nullptr, 346},    {17, "execvp", nullptr, 349},   {0, "<unknown>", nullptr, 353},
      {18, "<unknown>", nullptr, 353}, {0xFFFFFFFF, "<unknown>", nullptr, 353},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Step);
    // The errno word comes first, the step second.
    const uint32_t words[2] = {static_cast<uint32_t>(EACCES), c.Step};
    Common::Error error = ResultOf(words, sizeof words);
    EXPECT_THAT(error, AllOf(HasCode(Common::CHILD_LAUNCH_FAILED), HasSite("GetResultFromPipe", c.Line),
                             HasLocation(kForkFile, c.Line), CauseAt(1, IsErrno(EACCES))));
    EXPECT_EQ(AsciiParam(error, "libcCall"), c.Call);
    EXPECT_EQ(WideParam(error, "cmdline"), u"[prog,a b]");
    EXPECT_EQ(WideParam(error, "file"), c.File == nullptr ? u"<null>" : c.File);
    EXPECT_EQ(ParamNames(error), c.File == nullptr ? "cmdline,libcCall,$module" : "cmdline,libcCall,file,$module");
  }
}

TEST_F(ChildStatusReportTest, EndOfFileIsSuccessAndAShortReportIsAnAbort) {
  EXPECT_TRUE(ResultOf(nullptr, 0).IsEmpty());

  const char partial[7] = {1, 2, 3, 4, 5, 6, 7};
  for (size_t length : {1u, 4u, 7u}) {
    Common::Error error = ResultOf(partial, length);
    EXPECT_THAT(error, AllOf(HasCode(Common::CHILD_COMMUNICATION_ABORTED), HasSite("GetResultFromPipe", 310),
                             HasLocation(kForkFile, 310), Not(CauseAt(1, HasCode(Common::POSIX_ERROR)))));
    EXPECT_EQ(CauseOf(error), nullptr);
    EXPECT_EQ(RecordText(error.GetHead()), u"Communication with child process has been aborted.");
  }
}

TEST_F(ChildStatusReportTest, AFailedReadIsAnAbortWithItsErrno) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Common::Error error = GetResultFromPipe(context, fds[1]);  // the write end cannot be read
  EXPECT_THAT(error, AllOf(HasCode(Common::CHILD_COMMUNICATION_ABORTED), HasSite("GetResultFromPipe", 308),
                           HasLocation(kForkFile, 308), CauseAt(1, IsErrno(EBADF))));
  close(fds[0]);
  close(fds[1]);
}

// ---- waiting -------------------------------------------------------------------------------------

TEST(ChildWaitPidTest, ExitStatusOrMinusOne) {
  for (int code : {0, 5, 127, 255}) {
    pid_t pid = fork();
    if (pid == 0) _exit(code);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitPid(pid), code);
  }
  pid_t killed = fork();
  if (killed == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(killed, 0);
  kill(killed, SIGKILL);
  EXPECT_EQ(WaitPid(killed), -1);
  EXPECT_EQ(WaitPid(killed), -1);  // already reaped: ECHILD
  EXPECT_EQ(WaitPid(getpid()), -1);
  EXPECT_EQ(WaitForProcess(-1), -1);
  EXPECT_TRUE(NoChildLeft());
}

// ---- fork and the child's set-up ---------------------------------------------------------------

// A launch that must start.
int Fork(ForkContext& context) {
  try {
    return ForkProcess(context);
  } catch (const Common::Error& error) {
    throw LaunchFailed(error);
  }
}

class ChildForkProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.Path().empty());
    ASSERT_TRUE(ProbeIsBuilt()) << ProbePath() << " is missing: build child_process_probe";
    LoadCatalog();
    before = OpenDescriptors();
  }
  void TearDown() override {
    EXPECT_EQ(OpenDescriptors(), before) << "a descriptor leaked";
    EXPECT_TRUE(NoChildLeft()) << "a child was left unreaped";
  }

  // Runs the launch; returns the thrown error, or the empty error after reaping a child
  // that started (its exit status in `status`).
  Common::Error Launch(ForkContext& context, int* status = nullptr) {
    try {
      int pid = ForkProcess(context);
      int code = WaitPid(pid);
      if (status != nullptr) *status = code;
      return Common::NoError;
    } catch (const Common::Error& error) {
      return error;
    }
  }

  std::string WriteFile(const char* name, const std::string& content, mode_t mode) {
    std::string path = dir.Path() + "/" + name;
    std::ofstream(path) << content;
    chmod(path.c_str(), mode);
    return path;
  }

  TempDir dir;
  std::set<int> before;
};

TEST_F(ChildForkProcessTest, StartedProgramReportsSuccess) {
  ForkContext context(Paths({u"/bin/sh", u"-c", u"exit 3"}), PathString(), PathMap());
  int status = -2;
  Common::Error error = Launch(context, &status);
  EXPECT_TRUE(error.IsEmpty()) << DisplayText(error);
  EXPECT_EQ(status, 3);
}

TEST_F(ChildForkProcessTest, ProgramIsSearchedInPath) {
  ForkContext context(Paths({u"sh", u"-c", u"exit 4"}), PathString(), PathMap());
  int status = -2;
  Common::Error error = Launch(context, &status);
  EXPECT_TRUE(error.IsEmpty()) << DisplayText(error);
  EXPECT_EQ(status, 4);
}

TEST_F(ChildForkProcessTest, EachProvokedSetupFailureIsReportedByStep) {
  std::string script = WriteFile("script", "#!/nonexistent/interp\nexit 0\n", 0755);
  std::string plain = WriteFile("plain", "exit 0\n", 0644);
  std::string missing = dir.Path() + "/missing";
  std::string inMissingDir = dir.Path() + "/missing/out";
  struct Case {
    const char* Name;
    std::string Program;
    std::string WorkingDirectory;
    int Handle;  // the handle redirected to `Path`, or -1
    std::string Path;
    PathMap Environment;
    const char* Call;
    uint32_t Line;
    int Errno;
    std::string File;  // expected `file`, "" for none
  } cases[] = {
      {"missing program", "/nonexistent/program", "", -1, "", {}, "execvp", 349, ENOENT, ""},
      {"missing program in PATH", "no-such-program-anywhere", "", -1, "", {}, "execvp", 349, ENOENT, ""},
      {"missing interpreter", script, "", -1, "", {}, "execvp", 349, ENOENT, ""},
      {"not executable", plain, "", -1, "", {}, "execvp", 349, EACCES, ""},
      {"missing working directory", "/bin/true", missing, -1, "", {}, "chdir", 343, ENOENT, missing},
      {"working directory is a file", "/bin/true", plain, -1, "", {}, "chdir", 343, ENOTDIR, plain},
      {"missing stdin file", "/bin/true", "", kStdInput, missing, {}, "open", 322, ENOENT, missing},
      {"stdout file in a missing directory", "/bin/true", "", kStdOutput, inMissingDir, {}, "open", 325, ENOENT,
       inMissingDir},
      {"stderr file in a missing directory", "/bin/true", "", kStdError, inMissingDir, {}, "open", 328, ENOENT,
       inMissingDir},
      {"environment name with '='", "/bin/true", "", -1, "", {{PathString(u"A=B"), PathString(u"v")}}, "setenv",
       346, EINVAL, ""},
      {"empty environment name", "/bin/true", "", -1, "", {{PathString(u""), PathString(u"v")}}, "setenv", 346,
       EINVAL, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<PathString> argv{PathString(Wide(c.Program)), PathString(u"x")};
    ForkContext context(argv, PathString(Wide(c.WorkingDirectory)), c.Environment);
    if (c.Handle >= 0) context.SetStdHandlePath(c.Handle, PathString(Wide(c.Path)));
    Common::Error error = Launch(context);
    EXPECT_THAT(error, AllOf(HasCode(Common::CHILD_LAUNCH_FAILED), HasSite("GetResultFromPipe", c.Line),
                             HasLocation(kForkFile, c.Line), CauseAt(1, IsErrno(c.Errno))));
    EXPECT_EQ(AsciiParam(error, "libcCall"), c.Call);
    EXPECT_EQ(WideParam(error, "cmdline"), u"[" + Wide(c.Program) + u",x]");
    EXPECT_EQ(WideParam(error, "file"), c.File.empty() ? u"<null>" : Wide(c.File));
    EXPECT_TRUE(NoChildLeft());
  }
  struct stat info;
  EXPECT_NE(stat(missing.c_str(), &info), 0) << "the stdin file must never be created";
}

// A directory given but without a native form must not leave the child in the parent's.
// Memory runs out while the failed start's report becomes an error: the child has been
// reaped all the same (the fixture checks), and what leaves is the out-of-memory error.
TEST_F(ChildForkProcessTest, OutOfMemoryOverAFailedStart) {
  ForkContext context({PathString(Wide(dir.Path() + "/missing"))}, PathString(), PathMap());
  uint32_t code = 0;
  bool otherException = false;
  Testing::FailScalarNew = true;
  try {
    WaitPid(ForkProcess(context));
  } catch (const Common::Error& error) {
    Testing::FailScalarNew = false;
    code = error.GetCode();
  } catch (...) {
    Testing::FailScalarNew = false;
    otherException = true;
  }
  Testing::FailScalarNew = false;
  EXPECT_FALSE(otherException) << "an exception other than Common::Error escaped";
  EXPECT_EQ(code, Common::OUT_OF_MEMORY);
}

TEST_F(ChildForkProcessTest, UnconvertibleWorkingDirectoryFailsInChdir) {
  const Common::WString loneSurrogate(1, char16_t(0xD800));
  ForkContext context(Paths({u"/bin/true"}), PathString(loneSurrogate), PathMap());
  Common::Error error = Launch(context);
  EXPECT_THAT(error, AllOf(HasCode(Common::CHILD_LAUNCH_FAILED), HasSite("GetResultFromPipe", 343),
                           HasLocation(kForkFile, 343), CauseAt(1, IsErrno(ENOENT))));
  EXPECT_EQ(AsciiParam(error, "libcCall"), "chdir");
  EXPECT_EQ(WideParam(error, "file"), loneSurrogate);
}

TEST_F(ChildForkProcessTest, ChildKeepsOnlyStandardHandlesOpen) {
  // A descriptor without close-on-exec, high up, that the program must not inherit.
  int leaked = LeakDescriptorAbove(200);
  ASSERT_GE(leaked, 200);
  ForkContext context({PathString(Wide(ProbePath())), PathString(u"report")}, PathString(), PathMap());
  context.EnablePipe(kStdOutput);
  context.DisableInherit(kStdInput);
  context.DisableInherit(kStdError);
  int pid = Fork(context);
  int fd = context.TakePipeFd(kStdOutput);
  ASSERT_GE(fd, 3);
  std::string output;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(got));
  close(fd);
  EXPECT_EQ(WaitPid(pid), 0);
  EXPECT_NE(output.find("\nfds=0,1,2\n"), std::string::npos) << output;
  EXPECT_NE(output.find("\ntarget0=/dev/null\n"), std::string::npos) << output;
  EXPECT_NE(output.find("\ntarget2=/dev/null\n"), std::string::npos) << output;
  close(leaked);
}

// A child of this process other than `other`, or -1.
int AnotherChild(int other) {
  for (int pid : OwnChildren())
    if (pid != other) return pid;
  return -1;
}

// Opens the FIFO for writing once a reader has it open, which lets that reader go on;
// false when none came within `limit` or `gone` says none will.
bool LetReaderOn(const std::string& fifo, const std::atomic<bool>& gone, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // ENXIO while nobody reads
    if (writer >= 0) return close(writer), true;
    if (gone.load() || std::chrono::steady_clock::now() >= deadline) return false;
    usleep(1000);
  }
}

// A child that blocks opening its redirection (a FIFO without a writer) must hold nothing
// of another launch meanwhile: with the other program's input pipe closed by its parent,
// that program sees the end of its input and ends. A child that outlives its input is the
// fault.
TEST_F(ChildForkProcessTest, ChildBlockedOpeningARedirectionHoldsNoOtherLaunchsPipe) {
  Watchdog watchdog(3 * kPatience, "a launch blocked opening its redirection");
  const std::string fifo = dir.Path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ForkContext running({PathString(Wide(ProbePath())), PathString(u"cat")}, PathString(), PathMap());
  running.EnablePipe(kStdInput);
  running.DisableInherit(kStdOutput);
  const int runningPid = Fork(running);
  int input = running.TakePipeFd(kStdInput);

  int blockedPid = -1;
  std::string failure;
  std::atomic<bool> returned{false};
  std::thread blocked([&] {
    try {
      ForkContext context(Paths({u"/bin/true"}), PathString(), PathMap());
      context.SetStdHandlePath(kStdInput, PathString(Wide(fifo)));
      blockedPid = ForkProcess(context);  // returns once the FIFO has had a writer
    } catch (const Common::Error& error) {
      failure = DisplayText(error);
    }
    returned.store(true);
  });
  // From its fork on, the blocked launch's child holds all it inherited until it closes it.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  int blockedChild = -1;
  while ((blockedChild = AnotherChild(runningPid)) < 0 && !returned.load() && std::chrono::steady_clock::now() < deadline)
    usleep(1000);
  EXPECT_GT(blockedChild, 0) << "the blocked launch forked no child";
  close(input);
  EXPECT_EQ(ReapWithin(runningPid, kPatience), 0) << "the program did not see the end of its input";

  if (!LetReaderOn(fifo, returned, kPatience) && blockedChild > 0) kill(blockedChild, SIGKILL);
  blocked.join();
  EXPECT_EQ(failure, "");
  if (blockedPid > 0) {
    EXPECT_EQ(WaitPid(blockedPid), 0);
  }
}

// The fork blocks every signal, but the child takes them again once its handlers are the
// defaults: one blocked opening its redirection is ended by a SIGTERM, as the program
// would be.
TEST_F(ChildForkProcessTest, ChildBlockedOpeningARedirectionEndsBySignal) {
  Watchdog watchdog(3 * kPatience, "a launch blocked opening its redirection");
  const std::string fifo = dir.Path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> returned{false};
  std::string failure;
  int blockedPid = -1;
  std::thread blocked([&] {
    try {
      ForkContext context(Paths({u"/bin/true"}), PathString(), PathMap());
      context.SetStdHandlePath(kStdInput, PathString(Wide(fifo)));
      blockedPid = ForkProcess(context);  // a child ended before its report reads as started
    } catch (const Common::Error& error) {
      failure = DisplayText(error);
    }
    returned.store(true);
  });
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  int child = -1;
  while ((child = AnotherChild(-1)) < 0 && !returned.load() && std::chrono::steady_clock::now() < deadline)
    usleep(1000);
  while (child > 0 && !returned.load() && std::chrono::steady_clock::now() < deadline) {
    kill(child, SIGTERM);
    usleep(1000);
  }
  const bool ended = returned.load();
  if (!ended) LetReaderOn(fifo, returned, kPatience);
  if (!returned.load() && child > 0) kill(child, SIGKILL);
  blocked.join();
  EXPECT_EQ(failure, "");
  EXPECT_TRUE(ended) << "the child did not end by SIGTERM while its redirection blocked";
  EXPECT_EQ(WaitPid(blockedPid), -1);
}

TEST_F(ChildForkProcessTest, ParentEndsStayInContextUntilTaken) {
  PathMap none;
  auto context = std::make_unique<ForkContext>(Paths({u"/bin/true"}), PathString(), none);
  for (int index = 0; index < kStdHandleCount; ++index) context->EnablePipe(index);
  int pid = Fork(*context);
  int input = context->TakePipeFd(kStdInput);
  EXPECT_GE(input, 3);
  EXPECT_EQ(context->TakePipeFd(kStdInput), -1);
  context.reset();  // closes the stdout and stderr read ends
  close(input);
  EXPECT_EQ(WaitPid(pid), 0);
}

TEST_F(ChildForkProcessTest, MergedStderrCreatesNoStderrPipe) {
  ForkContext context(Paths({u"/bin/sh", u"-c", u"echo out; echo err >&2"}), PathString(), PathMap());
  context.EnablePipe(kStdOutput);
  context.EnablePipe(kStdError);
  context.MergeStderr();
  int pid = Fork(context);
  EXPECT_EQ(context.TakePipeFd(kStdError), -1);
  int fd = context.TakePipeFd(kStdOutput);
  std::string output;
  char buffer[256];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(got));
  close(fd);
  EXPECT_EQ(WaitPid(pid), 0);
  EXPECT_EQ(output, "out\nerr\n");
}

// ---- failures of the parent's own calls, and a parent without standard handles ----------------
// Each runs in a child process of its own: the descriptor limit and the closed standard
// handles must not reach the other tests.

// Free descriptor numbers below the returned limit: exactly `free`.
rlim_t LimitLeavingFree(int free) {
  std::set<int> open = OpenDescriptors();
  int found = 0;
  for (int candidate = 0;; ++candidate) {
    if (open.count(candidate) != 0) continue;
    if (found == free) return static_cast<rlim_t>(candidate);
    ++found;
  }
}

// In the child process of a death test: a launch under a descriptor limit that leaves
// `free` numbers, which must fail at `line` and leave nothing behind.
[[noreturn]] void LaunchUnderDescriptorLimit(int free, uint32_t line) {
  // One launch that starts and one that fails, first: the undefined-behaviour checker
  // tests memory through a pipe on the first sight of each polymorphic type, which the
  // limit below would make fail.
  WaitPid(ForkProcess(*std::make_unique<ForkContext>(Paths({u"/bin/true"}), PathString(), PathMap())));
  try {
    ForkProcess(*std::make_unique<ForkContext>(Paths({u"/nonexistent"}), PathString(), PathMap()));
  } catch (const Common::Error&) {
  }
  ForkContext context(Paths({u"/bin/true"}), PathString(), PathMap());
  for (int index = 0; index < kStdHandleCount; ++index) context.EnablePipe(index);
  LoadCatalog();
  std::set<int> before = OpenDescriptors();
  rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit limit = saved;
  limit.rlim_cur = LimitLeavingFree(free);
  setrlimit(RLIMIT_NOFILE, &limit);
  try {
    ForkProcess(context);
  } catch (const Common::Error& error) {
    setrlimit(RLIMIT_NOFILE, &saved);
    Site site = SiteOf(error);
    bool ok = site.Code == Common::CHILD_LAUNCH_FAILED && site.Line == line && site.CauseErrno == EMFILE &&
              site.Function == "ForkProcess" && AsciiParam(error, "libcCall") == "pipe" &&
              OpenDescriptors() == before && NoChildLeft();
    if (!ok) std::fprintf(stderr, "line %u errno %d\n", site.Line, site.CauseErrno);
    _exit(ok ? 0 : 1);
  }
  std::fprintf(stderr, "no failure\n");
  _exit(1);
}

TEST(ChildForkProcessLimitTest, PipeFailuresCloseEverythingAndNameTheirLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    int FreeDescriptors;
    uint32_t Line;
  } cases[] = {{0, 118}, {1, 118}, {2, 131}, {4, 137}, {6, 143}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Line);
    EXPECT_EXIT(LaunchUnderDescriptorLimit(c.FreeDescriptors, c.Line), ::testing::ExitedWithCode(0), "");
  }
}

// The status pipe would take 0 and 1, and the child's redirections would overwrite its
// write end: the failure would then read as a started program.
[[noreturn]] void LaunchMissingProgramWithoutStdinAndStdout() {
  close(0);
  close(1);
  ForkContext context(Paths({u"/nonexistent/program"}), PathString(), PathMap());
  context.DisableInherit(kStdInput);
  context.DisableInherit(kStdOutput);
  try {
    WaitPid(ForkProcess(context));
  } catch (const Common::Error& error) {
    Site site = SiteOf(error);
    _exit(site.Line == 349 && site.CauseErrno == ENOENT && NoChildLeft() ? 0 : 1);
  }
  std::fprintf(stderr, "reported as started\n");
  _exit(1);
}

// What the probe reports when started with /dev/null for input and a pipe for output,
// and its exit status.
std::string ProbeReport(int* status) {
  ForkContext context({PathString(Wide(ProbePath())), PathString(u"report")}, PathString(), PathMap());
  context.DisableInherit(kStdInput);
  context.EnablePipe(kStdOutput);
  int pid = Fork(context);
  int fd = context.TakePipeFd(kStdOutput);
  std::string output;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(got));
  close(fd);
  *status = WaitPid(pid);
  return output;
}

// /dev/null opened as descriptor 0 must stay the child's standard input.
[[noreturn]] void ReportWithoutStdin() {
  close(0);
  int status = -1;
  std::string output = ProbeReport(&status);
  bool ok = status == 0 && output.find("\ntarget0=/dev/null\n") != std::string::npos &&
            output.find("\nkind1=fifo\n") != std::string::npos;
  if (!ok) std::fprintf(stderr, "%s", output.c_str());
  _exit(ok ? 0 : 1);
}

TEST(ChildForkClosedHandlesTest, ParentStartedWithStandardHandlesClosed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LaunchMissingProgramWithoutStdinAndStdout(), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(ReportWithoutStdin(), ::testing::ExitedWithCode(0), "");
}

// ---- the SIGCHLD hold ------------------------------------------------------------------------------

// A caller that ignored SIGCHLD and puts the default back itself while a launch holds it
// keeps its default once the hold ends: its own children stay waitable.
TEST(ChildSigchldHoldTest, DefaultSetByTheCallerDuringAHoldStays) {
  struct Case {
    const char* Name;
    bool BySignal;  // signal(), else sigaction with an empty mask and no flags
  } cases[] = {{"signal", true}, {"sigaction", false}};
  struct sigaction saved {};
  sigaction(SIGCHLD, nullptr, &saved);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto set = [&c](void (*handler)(int)) {
      if (c.BySignal) {
        signal(SIGCHLD, handler);
        return;
      }
      struct sigaction action {};
      action.sa_handler = handler;
      sigaction(SIGCHLD, &action, nullptr);
    };
    set(SIG_IGN);
    {
      DefaultSigchldHold hold;
      set(SIG_DFL);
    }
    struct sigaction after {};
    sigaction(SIGCHLD, nullptr, &after);
    EXPECT_EQ(after.sa_handler, SIG_DFL) << "the hold put the caller's earlier SIG_IGN back";
    pid_t own = fork();
    if (own == 0) _exit(7);
    ASSERT_GT(own, 0);
    EXPECT_EQ(WaitPid(own), 7) << "the kernel reaped the caller's own child";
  }
  sigaction(SIGCHLD, &saved, nullptr);
}

// ---- the signal state the program starts with ------------------------------------------------------

uint64_t SignalBit(int signal) { return uint64_t{1} << (signal - 1); }

// Ignores inherited from whoever started the tests go, so that every ignore is the test's
// own (an emulator may not hand an inherited ignore on across exec).
void ForgetInheritedIgnores() {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int number = 1; number <= 64; ++number) {
    struct sigaction action;
    if (sigaction(number, nullptr, &action) == 0 && (action.sa_flags & SA_SIGINFO) == 0 &&
        action.sa_handler == SIG_IGN)
      sigaction(number, &standard, nullptr);
  }
}

uint64_t ReportedSet(const std::string& output, const std::string& name) {
  size_t at = output.find("\n" + name + "=");
  if (at == std::string::npos) return ~uint64_t{0};
  return std::strtoull(output.c_str() + at + name.size() + 2, nullptr, 16);
}

// What the sanitizer runtimes catch in every program they start (the probe included):
// caught by the program itself, never inherited.
uint64_t CaughtByTheRuntime() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return SignalBit(SIGSEGV) | SignalBit(SIGBUS) | SignalBit(SIGFPE);
#else
  return 0;
#endif
}

// Where the caller's handler leaves its mark: it opens the file, since the child has
// closed every descriptor it could have written to.
char g_handlerMark[4096];

void MarkHandlerRan(int) {
  int fd = open(g_handlerMark, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, "x", 1);
  (void)written;
  close(fd);
}

// In the forked child, before anything of the launch runs there: the caller's SIGWINCH
// comes at once, or is pending when the fork blocked it.
void RaiseWinchInChild() { raise(SIGWINCH); }

enum class CallerBlocksWinch { No, Yes };

enum class CallerIgnoresXfsz { No, BeforeTheLibrary, AfterTheLibrary };

// In the process of a death test, whose signal state is its own: the caller ignores SIGHUP
// as nohup does, catches SIGWINCH, blocks SIGUSR2 (and SIGWINCH, or not), and writes a file
// through the library (which ignores SIGXFSZ for itself). The program must start with the
// caller's own ignores only, nothing caught and nothing blocked, the caller's handler must
// never run in the child, and the caller's mask is its own again after the launch.
[[noreturn]] void LaunchUnderTheCallersSignalState(CallerIgnoresXfsz xfsz, CallerBlocksWinch winch,
                                                   const std::string& directory) {
  ForgetInheritedIgnores();
  uint64_t expected = SignalBit(SIGHUP);
  signal(SIGHUP, SIG_IGN);
  if (xfsz == CallerIgnoresXfsz::BeforeTheLibrary) signal(SIGXFSZ, SIG_IGN);
  posix_dir folder(directory);
  std::unique_ptr<rio_file> written(folder.Create(u"written", true, nullptr));
  if (!written) _exit(4);
  if (xfsz == CallerIgnoresXfsz::AfterTheLibrary) signal(SIGXFSZ, SIG_IGN);
  if (xfsz != CallerIgnoresXfsz::No) expected |= SignalBit(SIGXFSZ);

  std::snprintf(g_handlerMark, sizeof g_handlerMark, "%s/handler-ran", directory.c_str());
  struct sigaction handler {};
  handler.sa_handler = MarkHandlerRan;
  sigaction(SIGWINCH, &handler, nullptr);
  sigset_t blocked;
  sigemptyset(&blocked);
  if (winch == CallerBlocksWinch::Yes) sigaddset(&blocked, SIGWINCH);
  sigaddset(&blocked, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  pthread_atfork(nullptr, nullptr, RaiseWinchInChild);

  int status = -1;
  const std::string output = ProbeReport(&status);
  const bool handlerRan = access(g_handlerMark, F_OK) == 0;
  sigset_t after;
  sigemptyset(&after);
  pthread_sigmask(SIG_BLOCK, nullptr, &after);
  bool maskKept = true;
  for (int number = 1; number < NSIG; ++number)
    maskKept = maskKept && sigismember(&after, number) == sigismember(&blocked, number);
  const uint64_t ignored = ReportedSet(output, "sigign");
  const uint64_t caught = ReportedSet(output, "sigcgt") & ~CaughtByTheRuntime();
  const uint64_t blockedSet = ReportedSet(output, "sigblk");
  bool ok = status == 0 && ignored == expected && caught == 0 && blockedSet == 0 && !handlerRan && maskKept;
  if (!ok)
    std::fprintf(stderr, "status %d, SigIgn %016llx (expected %016llx), SigCgt %016llx, SigBlk %016llx%s%s\n", status,
                 static_cast<unsigned long long>(ignored), static_cast<unsigned long long>(expected),
                 static_cast<unsigned long long>(caught), static_cast<unsigned long long>(blockedSet),
                 handlerRan ? ", the caller's handler ran in the child" : "",
                 maskKept ? "" : ", the caller's mask changed");
  _exit(ok ? 0 : 1);
}

TEST(ChildSignalStateTest, ProgramStartsWithTheCallersSignalStateOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(ProbeIsBuilt()) << ProbePath() << " is missing: build child_process_probe";
  struct Case {
    const char* Name;
    CallerIgnoresXfsz Xfsz;
    CallerBlocksWinch Winch;
  } cases[] = {
      {"SIGXFSZ left to the library", CallerIgnoresXfsz::No, CallerBlocksWinch::Yes},
      {"SIGXFSZ ignored by the caller before the library", CallerIgnoresXfsz::BeforeTheLibrary, CallerBlocksWinch::Yes},
      {"SIGXFSZ ignored by the caller after the library", CallerIgnoresXfsz::AfterTheLibrary, CallerBlocksWinch::Yes},
      // The signal comes between the fork and the child's reset of the handlers.
      {"SIGWINCH not blocked by the caller", CallerIgnoresXfsz::No, CallerBlocksWinch::No},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    EXPECT_EXIT(LaunchUnderTheCallersSignalState(c.Xfsz, c.Winch, scratch.Path()), ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
}  // namespace ChildProcess

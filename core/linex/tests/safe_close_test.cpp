// Tests of the guarded close: the mode read from ZENVALO_SAFE_CLOSE, and each mode's
// reaction to closing what is not open, each in a child process of its own.
#include "core/linex/safe_close.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/tests/safe_assert_child.h"
#include "tools/testing/fixtures.h"

namespace {

struct ModeCase {
  const char* value;  // null: unset
  int mode;
};

TEST(SafeCloseModeTest, ValuesGiveModes) {
  const ModeCase cases[] = {
      {nullptr, kSafeCloseAbort},       {"", kSafeCloseIgnore},
      {"abort", kSafeCloseAbort},       {"break", kSafeCloseBreak},
      {"ABORT", kSafeCloseIgnore},      {"BREAK", kSafeCloseIgnore},
      {"abort break", kSafeCloseBreak}, {"break,abort", kSafeCloseBreak},
      {"xxabortxx", kSafeCloseAbort},   {"ignore", kSafeCloseIgnore},
      {"brea k", kSafeCloseIgnore},
  };
  for (const ModeCase& c : cases)
    EXPECT_EQ(ParseSafeCloseMode(c.value), c.mode) << (c.value ? c.value : "(unset)");
}

// The test program itself runs with the replacement, not with libc's close.
TEST(SafeCloseModeTest, ProgramUsesTheReplacement) {
  void* libc = dlopen("libc.so.6", RTLD_NOW);
  ASSERT_NE(libc, nullptr);
  EXPECT_NE(dlsym(RTLD_DEFAULT, "close"), dlsym(libc, "close"));
  EXPECT_NE(dlsym(RTLD_DEFAULT, "fclose"), dlsym(libc, "fclose"));
  dlclose(libc);
  EXPECT_EQ(SafeCloseMode, ParseSafeCloseMode(getenv("ZENVALO_SAFE_CLOSE")));
}

TEST(SafeCloseTest, SuccessReturnsZeroAndKeepsErrno) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  errno = ENOENT;
  EXPECT_EQ(close(fds[0]), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(RealClose(fds[1]), 0);
  EXPECT_EQ(errno, ENOENT);
}

// Closing from several threads at once (the sanitizer configurations watch the
// descriptors through their own interceptors, which the replacement calls).
TEST(SafeCloseTest, ThreadsOpenAndClose) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        int fd = open("/dev/null", O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "x", 1), 1);
        ASSERT_EQ(close(fd), 0);
        FILE* stream = fopen("/dev/null", "w");
        ASSERT_NE(stream, nullptr);
        fputs("x", stream);
        ASSERT_EQ(fclose(stream), 0);
      }
    });
  for (std::thread& thread : threads) thread.join();
}

struct ChildCase {
  std::optional<std::string> value;  // ZENVALO_SAFE_CLOSE; none: unset
  std::string action;
  int signal;  // 0: the child must exit 0 and print `output`
  std::string output;
};

class SafeCloseChildTest : public ::testing::Test {
 protected:
  Testing::ChildOutcome Run(const ChildCase& c) {
    std::vector<std::string> args{c.action};
    if (c.action == "stream") args.push_back(scratch.Path());
    return Testing::RunHelper(Testing::HelperPath("core/linex/tests", "safe_close_probe"), args,
                              {{"ZENVALO_SAFE_CLOSE", c.value}});
  }

  Testing::TempDir scratch;
};

TEST_F(SafeCloseChildTest, ModesReactToClosingWhatIsNotOpen) {
  const std::optional<std::string> unset;
  const ChildCase cases[] = {
      {unset, "mode", 0, "mode 1\n"},
      {"", "mode", 0, "mode 0\n"},
      {"abort break", "mode", 0, "mode 2\n"},
      {unset, "close", SIGABRT, ""},
      {unset, "fclose", SIGABRT, ""},
      {unset, "stream", SIGABRT, ""},
      {"abort", "close", SIGABRT, ""},
      {"break", "close", SIGTRAP, ""},
      {"break", "fclose", SIGTRAP, ""},
      {"please break, then abort", "close", SIGTRAP, ""},
      {"", "close", 0, "close -1 EBADF\n"},
      {"ABORT", "close", 0, "close -1 EBADF\n"},
      {"BREAK", "fclose", 0, "fclose -1 EBADF\n"},
      {"", "stream", 0, "stream failed\n"},
      // Only EBADF is a programming error: a stream that cannot write out its data is not.
      {unset, "full", 0, "fclose -1 ENOSPC\n"},
      {unset, "good", 0, "close 0 ENOENT\nfclose 0 ENOENT\n"},
      {"break", "good", 0, "close 0 ENOENT\nfclose 0 ENOENT\n"},
      // 51 failures returned while the check is off, then the re-armed check acts.
      {unset, "disabled", SIGABRT, "disabled 51\n"},
      {"break", "disabled", SIGTRAP, "disabled 51\n"},
      {"", "disabled", 0, "disabled 51\nclose -1 EBADF\n"},
  };
  for (const ChildCase& c : cases) {
    SCOPED_TRACE((c.value ? "\"" + *c.value + "\"" : std::string("unset")) + " " + c.action);
    Testing::ChildOutcome outcome = Run(c);
    if (c.signal == 0) {
      EXPECT_TRUE(outcome.Exited);
      EXPECT_EQ(outcome.ExitCode, 0);
    } else {
      EXPECT_EQ(outcome.Signal, c.signal);
    }
    EXPECT_EQ(outcome.Output, c.output);
  }
}

// The thread sanitizer tracks descriptors through its own close: the replacement must
// call it rather than libc's, or races on descriptors go unseen.
TEST_F(SafeCloseChildTest, ThreadSanitizerSeesCloses) {
#if !defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "only the thread sanitizer configuration tracks descriptors";
#else
  Testing::ChildOutcome outcome = Run({std::nullopt, "unordered", 0, ""});
  EXPECT_NE(outcome.Errors.find("ThreadSanitizer: data race"), std::string::npos) << outcome.Errors;
#endif
}

}  // namespace

// Tests of the lock layer's trace lines on standard error: none without VELTRA_LOG,
// failures only for most values, every call for values beginning with F or f. The level
// is read once per process, so each value runs the helper program afresh.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/tests/safe_assert_child.h"

namespace {

struct Facts {
  int a = -1, b = -1, c = -1, d = -1, holder = -1, pid = -1;
};

Facts ParseFacts(const std::string& output) {
  Facts facts;
  std::sscanf(output.c_str(), "a=%d b=%d c=%d d=%d holder=%d pid=%d", &facts.a, &facts.b, &facts.c, &facts.d,
              &facts.holder, &facts.pid);
  if (facts.c == -1) std::sscanf(output.c_str(), "a=%d b=%d pid=%d", &facts.a, &facts.b, &facts.pid);
  return facts;
}

// The lines of standard error without their leading time field; each must carry the
// helper's pid and, since it runs single-threaded here, its pid as thread id.
std::vector<std::string> TraceBodies(const std::string& errors, int pid) {
  std::vector<std::string> bodies;
  std::istringstream in(errors);
  std::string line;
  const std::regex prefix(R"(^[0-9]+:\[([0-9]+):([0-9]+)\] (.*)$)");
  while (std::getline(in, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, prefix)) {
      ADD_FAILURE() << "not a trace line: " << line;
      continue;
    }
    EXPECT_EQ(match[1].str(), std::to_string(pid)) << line;
    EXPECT_EQ(match[2].str(), std::to_string(pid)) << line;
    bodies.push_back(match[3].str());
  }
  return bodies;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lktrXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  Testing::ChildOutcome Run(const char* scenario, std::optional<std::string> value) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    Testing::ChildOutcome outcome = Testing::RunHelper(Testing::HelperPath("core/linex/tests", "filelock_trace_probe"),
                                                       {scenario, dir}, {{"VELTRA_LOG", value}});
    EXPECT_TRUE(outcome.Exited && outcome.ExitCode == 0) << outcome.Errors;
    return outcome;
  }

  static std::string Failure(const char* function, int line, int error, const std::string& name) {
    return std::string(function) + ":Line = " + std::to_string(line) + ", Error = " + std::to_string(error) +
           ", name = " + name;
  }

  std::vector<std::string> ExpectedFailures(int refusal) const {
    const std::string f = dir + "/f", g = dir + "/g", h = dir + "/h", none = "(invalid fd)";
    return {
        Failure("LinuxExRangeLock", 1106, EFAULT, f), Failure("LinuxExRangeLock", 1114, EOPNOTSUPP, f),
        Failure("LinuxExRangeLock", 1122, EINVAL, f), Failure("LinuxExRangeLock", 1130, EINVAL, f),
        Failure("DoLockOp", 1002, EBADF, none),       Failure("UnlockRegion", 541, EINVAL, f),
        Failure("LockRegion", 477, EAGAIN, f),        Failure("ReleaseDescriptor", 978, EBADF, none),
        Failure("LockRegion", 514, EOPNOTSUPP, g),    Failure("LockRegion", 527, EOPNOTSUPP, g),
        Failure("LockRegion", 514, refusal, h),
    };
  }

  std::string dir;
};

TEST_F(TraceTest, NothingWithoutTheVariable) {
  for (const std::optional<std::string>& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
    Testing::ChildOutcome outcome = Run("failures", value);
    EXPECT_EQ(outcome.Errors, "") << (value ? "empty" : "unset");
  }
}

TEST_F(TraceTest, FailuresOnlyForOtherValues) {
  for (const char* value : {"1", "yes", "x", "ull"}) {
    Testing::ChildOutcome outcome = Run("failures", std::string(value));
    Facts facts = ParseFacts(outcome.Output);
    std::vector<std::string> bodies = TraceBodies(outcome.Errors, facts.pid);
    ASSERT_EQ(bodies.size(), 11u) << value << "\n" << outcome.Errors;
    // The system refuses the last lock with EAGAIN or EACCES.
    int refusal = bodies.back().find("Error = " + std::to_string(EACCES)) != std::string::npos ? EACCES : EAGAIN;
    EXPECT_EQ(bodies, ExpectedFailures(refusal)) << value;
  }
}

TEST_F(TraceTest, EveryCallForValuesBeginningWithF) {
  for (const char* value : {"F", "full", "f0"}) {
    Testing::ChildOutcome outcome = Run("calls", std::string(value));
    Facts facts = ParseFacts(outcome.Output);
    const std::string f = dir + "/f";
    auto called = [&](const char* function, int fd) {
      return std::string(function) + ":called with fd = " + std::to_string(fd) + ", name = " + f;
    };
    auto fcntlLine = [](const char* type, int64_t start, int64_t len) {
      return std::string("DumpFlockStruct:calling fcntl for : LockType ") + type + ", whence SEEK_SET, start " +
             std::to_string(start) + ", len " + std::to_string(len);
    };
    auto request = [&](int fd, const char* operation) {
      return std::vector<std::string>{called("LinuxExRangeLock", fd), called("DoLockOp", fd),
                                      called("GetFileObject", fd), called(operation, fd)};
    };
    std::vector<std::string> expected;
    auto add = [&](std::vector<std::string> lines) { expected.insert(expected.end(), lines.begin(), lines.end()); };
    const int a = facts.a, b = facts.b;
    add(request(a, "LockRegion"));
    add({called("SysLockOp", a), fcntlLine("F_WRLCK", 0, 0)});
    add(request(a, "UnlockRegion"));
    add({called("DoUnlockRegion", a), called("SysLockOp", a), fcntlLine("F_UNLCK", 0, 0)});
    add(request(a, "LockRegion"));
    add({called("SysLockOp", a), fcntlLine("F_RDLCK", 0, 100)});
    add(request(b, "LockRegion"));
    add({called("SysLockOp", b), fcntlLine("F_RDLCK", 50, 100)});
    add(request(a, "UnlockRegion"));
    add({called("DoUnlockRegion", a), called("SysLockOp", a), fcntlLine("F_UNLCK", 0, 50)});
    add({called("LinuxExClose", a)});  // parked: b still holds a lock
    add({called("LinuxExClose", b), called("UnlockRegion", b), called("DoUnlockRegion", b), called("SysLockOp", b),
         fcntlLine("F_UNLCK", 50, 100), called("CloseFds", a), called("ReleaseDescriptor", b)});
    EXPECT_EQ(TraceBodies(outcome.Errors, facts.pid), expected) << value;
  }
}

TEST_F(TraceTest, FailuresAtTheFullLevel) {
  Testing::ChildOutcome outcome = Run("failures", std::string("f"));
  Facts facts = ParseFacts(outcome.Output);
  std::vector<std::string> bodies = TraceBodies(outcome.Errors, facts.pid);
  const std::string g = dir + "/g";
  auto contains = [&](const std::string& line) {
    return std::find(bodies.begin(), bodies.end(), line) != bodies.end();
  };
  const std::string c = std::to_string(facts.c);
  EXPECT_TRUE(contains("SysLockOp:Lock LOCK_SHARED not supp name='" + g + "', fd=" + c + ", start=0, len=10, wait=0"))
      << outcome.Errors;
  EXPECT_TRUE(contains("SysLockOp:Lock LOCK_EXCLUSIVE not supp name='" + g + "', fd=" + c + ", start=0, len=10, wait=1"));
  EXPECT_TRUE(contains("DumpFlockStructPid:Lock err, busy lock : LockType F_WRLCK, whence SEEK_SET, start 0, len 10, pid " +
                       std::to_string(facts.holder)));
  // The failure lines appear in the same order among the others.
  std::vector<std::string> failures;
  for (const std::string& body : bodies)
    if (body.find(":Line = ") != std::string::npos) failures.push_back(body);
  ASSERT_EQ(failures.size(), 11u);
  int refusal = failures.back().find("Error = " + std::to_string(EACCES)) != std::string::npos ? EACCES : EAGAIN;
  EXPECT_EQ(failures, ExpectedFailures(refusal));
}

}  // namespace

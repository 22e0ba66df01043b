// Helper of safe_assert_test: makes assertion reports in a process whose
// ZENVALO_SAFE_ASSERT and ZENVALO_SAFE_ASSERT_LOGFILE the test chose. Standard output
// gets the flags, each trace event ("event: ...") and each result ("result N").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/common/safe_assert.h"
#include "core/common/text.h"
#include "core/common/trace.h"

namespace {

void PrintEvent(int32_t level, uint32_t facility, uint32_t code, const char16_t* text) {
  std::printf("event %d %u %u: %s\n", level, facility, code, Common::ToUtf8(text).c_str());
  std::fflush(stdout);
}

const Common::TraceCallbacks kPrinter{PrintEvent, nullptr, nullptr, nullptr};

void PrintResult(int result) {
  std::printf("result %d\n", result);
  std::fflush(stdout);
}

// Registered before the first assertion, so it runs after the exit-time close of the
// log file, like a static destructor that asserts late in exit processing.
void AssertAtExit() { SafeAssert("late", "exit.cpp", 2); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string action = argv[1];
  Common::RegisterTraceCallbacks(&kPrinter);
  if (action == "assert") {
    std::printf("flags %08X\n", GetAssertFlags());
    std::fflush(stdout);
    PrintResult(SafeAssert("x", "f", 3));
    return 0;
  }
  if (action == "twice") {
    PrintResult(SafeAssert("first", "f", 1));
    PrintResult(SafeAssert("second", "f", 2));
    return 0;
  }
  if (action == "close-log") {
    PrintResult(SafeAssert("before", "f", 1));
    CloseAssertLog();
    PrintResult(SafeAssert("after", "f", 2));
    return 0;
  }
  if (action == "exit") {
    std::atexit(AssertAtExit);
    PrintResult(SafeAssert("early", "f", 1));
    return 0;
  }
  if (action == "change-env") {
    PrintResult(SafeAssert("first", "f", 1));
    setenv("ZENVALO_SAFE_ASSERT", "0x24", 1);
    PrintResult(SafeAssert("second", "f", 2));
    return 0;
  }
  if (action == "debugger") {
    std::printf("attached %d\n", IsDebuggerAttached() ? 1 : 0);
    PrintResult(SafeAssert("x", "f", 3));
    return 0;
  }
  return 2;
}

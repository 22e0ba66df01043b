// Assertions: internal consistency checks that log, trace, trap or abort as chosen once
// per process by ZENVALO_SAFE_ASSERT. An assertion never throws.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/locations.h"

// Action bits of the assertion configuration.
inline constexpr uint32_t kAssertBreak = 0x01;
inline constexpr uint32_t kAssertDebug = 0x02;
inline constexpr uint32_t kAssertLog = 0x04;
inline constexpr uint32_t kAssertEvent = 0x08;
inline constexpr uint32_t kAssertMsgbox = 0x10;
inline constexpr uint32_t kAssertAbort = 0x20;
inline constexpr uint32_t kAssertStack = 0x40;
inline constexpr uint32_t kAssertDefaultFlags = kAssertDebug | kAssertLog | kAssertEvent | kAssertStack;
inline constexpr uint32_t kAssertOff = 0xFFFFFFFF;

// Reports "Assertion failed: <expression>, file <file>, line <line>". Returns 0 when
// assertions are off or a debugger trap was taken, 1 otherwise (the caller goes on).
int SafeAssert(const char* expression, const char* file, int line);

// The same for one of the file's listed sites: the report gives the site's line.
inline int SafeAssert(const char* expression, const char* file, Common::Site site) {
  return SafeAssert(expression, file, static_cast<int>(site.Line));
}

// Runs the configured actions for one report; `expression` and `message` may be null.
int ProcessAssertion(const char* expression, const char* file, int line, const char* message);

// The configured action bits (reads the configuration if no assertion has yet).
uint32_t GetAssertFlags();

// The action bits a ZENVALO_SAFE_ASSERT value gives, and whether it asks for the log
// destination to be read from ZENVALO_SAFE_ASSERT_LOGFILE (null value: unset).
struct AssertConfig {
  uint32_t Flags;
  bool ReadLogFile;
};
AssertConfig ParseAssertConfig(const char* value);

// Receives each report and the stack text: level 5, facility 0, code 27.
using AssertEventCallback = void (*)(int32_t level, uint32_t facility, uint32_t code, const char* text);
void SetAssertEventCallback(AssertEventCallback callback);

// Reporters worded like the system library's assertion messages.
void ReportAssertFailure(const char* expression, const char* file, uint32_t line, const char* function);
void ReportUnexpectedError(int errnum, const char* file, uint32_t line, const char* function);

// One formatted line per frame, innermost first; the walk stops when OnFrame says false.
struct StackWalkRequest {
  uint32_t MaxFrames;
  bool (*OnFrame)(uint32_t index, const char* line, void* context);
  void* Context;
};
void WalkStack(const StackWalkRequest& request);

// The line WalkStack gives for one frame text of the form module(function+offset) rest:
// columns of module, demangled function, offset and rest; other texts padded as a whole.
std::string FormatStackFrame(const char* frameText);

bool IsDebuggerAttached();

// Closes the log file chosen by ZENVALO_SAFE_ASSERT_LOGFILE and logs to standard error
// from then on (run at exit; later assertions must not write to a closed stream).
void CloseAssertLog();

// Checks `expression` and reports it as written when it is false, naming the file and
// one of its listed sites.
#define ORMIVANE_ASSERT_AT(expression, file, site) \
  (static_cast<bool>(expression) ? 0 : ::SafeAssert(#expression, (file), (site)))

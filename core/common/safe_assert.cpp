// Assertions: the configuration read once from ZENVALO_SAFE_ASSERT, the actions of one
// report (log, event, stack, trap, abort), the stack walker and the debugger test.
#include "core/common/safe_assert.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/common/text.h"
#include "core/common/trace.h"

namespace {

constexpr size_t kAssertMessageBytes = 540;
constexpr size_t kReportMessageBytes = 4096;
constexpr size_t kStackLineBytes = 4096;
constexpr size_t kWordFormChars = 127;
constexpr uint32_t kAssertStackFrames = 32;
constexpr uint32_t kSkippedFrames = 2;  // WalkStack and ProcessAssertion
constexpr size_t kStatusReadBytes = 1024;
constexpr int32_t kAssertEventLevel = 5;
constexpr uint32_t kAssertEventFacility = 0;
constexpr uint32_t kAssertEventCode = 27;

struct ActionWord {
  const char* Word;
  uint32_t Bit;
};
constexpr ActionWord kActionWords[] = {
    {"break", kAssertBreak}, {"debug", kAssertDebug},   {"log", kAssertLog},     {"event", kAssertEvent},
    {"msgbox", kAssertMsgbox}, {"abort", kAssertAbort}, {"stack", kAssertStack},
};

// Written once under the configuration's static guard, read without a lock afterwards.
uint32_t AssertFlags = kAssertDefaultFlags;
std::atomic<FILE*> LogDestination{nullptr};  // null: standard error
FILE* LogFile = nullptr;                     // the file opened for the log, if any

std::atomic<AssertEventCallback> EventCallback{&Common::AssertEventToTrace};

FILE* Destination() {
  FILE* stream = LogDestination.load(std::memory_order_acquire);
  return stream != nullptr ? stream : stderr;
}

// The product is 32-bit, where strtol saturates at the limits of a 32-bit long; every
// build reads a value exactly as the product does.
long ParseLong32(const char* text, char** end) {
  long long value = std::strtoll(text, end, 16);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<long>(value);
}

bool ParseHexForm(const char* value, AssertConfig& config) {
  const char* rest = value;
  if (std::strstr(value, "0x") != nullptr || std::strstr(value, "0X") != nullptr) rest = value + 2;
  char* end = nullptr;
  long number = ParseLong32(rest, &end);
  if (*end != '\0' || number == 0) return false;
  config.Flags = static_cast<uint32_t>(number);
  config.ReadLogFile = (config.Flags & kAssertLog) != 0;
  return true;
}

uint32_t WordBit(const std::string& word) {
  for (const ActionWord& action : kActionWords)
    if (word == action.Word) return action.Bit;
  return kAssertOff;  // and since later words only OR bits in, assertions stay off
}

AssertConfig ParseWordForm(const char* value) {
  std::string text(value, strnlen(value, kWordFormChars));
  AssertConfig config{0, false};
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos) {
      uint32_t bit = WordBit(text.substr(pos, end - pos));
      config.Flags |= bit;
      if (bit == kAssertLog) config.ReadLogFile = true;
    }
    pos = end + 1;
  }
  return config;
}

void ChooseLogDestination() {
  const char* name = std::getenv("ZENVALO_SAFE_ASSERT_LOGFILE");
  if (name == nullptr) return;
  if (std::strcmp(name, "stdout") == 0) {
    LogDestination.store(stdout, std::memory_order_release);
  } else if (std::strcmp(name, "stderr") == 0) {
    LogDestination.store(stderr, std::memory_order_release);
  } else if (FILE* file = std::fopen(name, "a")) {
    LogFile = file;
    LogDestination.store(file, std::memory_order_release);
  }
}

bool ReadConfiguration() {
  AssertConfig config = ParseAssertConfig(std::getenv("ZENVALO_SAFE_ASSERT"));
  AssertFlags = config.Flags;
  if (config.ReadLogFile) ChooseLogDestination();
  std::atexit(CloseAssertLog);
  return true;
}

void EnsureConfigured() { [[maybe_unused]] static const bool configured = ReadConfiguration(); }

inline void BreakpointTrap() { __asm__ volatile("int3"); }

struct StackLineContext {
  bool Log;
  bool Gather;
  std::string Gathered;
};

bool OnStackLine(uint32_t index, const char* line, void* context) {
  auto* state = static_cast<StackLineContext*>(context);
  if (index < kSkippedFrames) return true;
  if (state->Log) std::fprintf(Destination(), "%s\n", line);
  if (state->Gather) {
    if (!state->Gathered.empty()) state->Gathered += '\n';
    state->Gathered += line;
  }
  return true;
}

// Inlined into ProcessAssertion: the stack lines leave out exactly its frame and the walker's.
__attribute__((always_inline)) inline void ReportStack(uint32_t flags, AssertEventCallback callback) {
  bool event = (flags & kAssertEvent) != 0 && callback != nullptr;
  StackLineContext state{(flags & kAssertLog) != 0, event, {}};
  WalkStack(StackWalkRequest{kAssertStackFrames, OnStackLine, &state});
  if (event) callback(kAssertEventLevel, kAssertEventFacility, kAssertEventCode, state.Gathered.c_str());
}

std::string Demangle(const std::string& name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status),
                                                    &std::free);
  return status == 0 && plain ? std::string(plain.get()) : name;
}

std::string FormatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatLine(const char* format, ...) {
  char line[kStackLineBytes];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return written < 0 ? std::string() : std::string(line);
}

}  // namespace

AssertConfig ParseAssertConfig(const char* value) {
  AssertConfig config{kAssertDefaultFlags, false};
  if (value == nullptr || *value == '\0') return config;
  if (ParseHexForm(value, config)) return config;
  return ParseWordForm(value);
}

uint32_t GetAssertFlags() {
  EnsureConfigured();
  return AssertFlags;
}

void SetAssertEventCallback(AssertEventCallback callback) { EventCallback.store(callback); }

__attribute__((noinline)) int ProcessAssertion(const char* expression, const char* file, int line,
                                               const char* message) {
  (void)file;
  (void)line;
  EnsureConfigured();
  uint32_t flags = AssertFlags;
  if (flags == kAssertOff) return 0;
  AssertEventCallback callback = EventCallback.load();
  if (message != nullptr) {
    if (flags & kAssertLog) std::fprintf(Destination(), "%s\n", message);
    if ((flags & kAssertEvent) && callback != nullptr)
      callback(kAssertEventLevel, kAssertEventFacility, kAssertEventCode, message);
  }
  if ((flags & kAssertStack) && (flags & (kAssertDebug | kAssertLog | kAssertEvent))) ReportStack(flags, callback);
  bool trap = ((flags & kAssertMsgbox) && expression != nullptr) || (flags & kAssertBreak);
  if (trap && IsDebuggerAttached()) {
    BreakpointTrap();
    return 0;
  }
  if (flags & kAssertAbort) std::abort();
  return 1;
}

int SafeAssert(const char* expression, const char* file, int line) {
  char message[kAssertMessageBytes];
  int written = std::snprintf(message, sizeof message, "Assertion failed: %s, file %s, line %d", expression, file, line);
  return ProcessAssertion(expression, file, line, written < 0 ? nullptr : message);
}

void ReportAssertFailure(const char* expression, const char* file, uint32_t line, const char* function) {
  char message[kReportMessageBytes];
  int written = std::snprintf(message, sizeof message, "%s: %s:%u: %s%sAssertion `%s' failed.",
                              Common::GetProgramName().c_str(), file, line, function ? function : "",
                              function ? ": " : "", expression);
  ProcessAssertion(expression, file, static_cast<int>(line), written < 0 ? nullptr : message);
}

void ReportUnexpectedError(int errnum, const char* file, uint32_t line, const char* function) {
  char reason[256];
  const char* text = strerror_r(errnum, reason, sizeof reason);
  char message[kReportMessageBytes];
  int written = std::snprintf(message, sizeof message, "%s: %s:%u: %s%sUnexpected error: %s.",
                              Common::GetProgramName().c_str(), file, line, function ? function : "",
                              function ? ": " : "", text);
  ProcessAssertion(nullptr, file, static_cast<int>(line), written < 0 ? nullptr : message);
}

std::string FormatStackFrame(const char* frameText) {
  std::string frame = frameText;
  size_t open = frame.find('(');
  size_t close = open == std::string::npos ? std::string::npos : frame.find(')', open);
  if (close == std::string::npos) return FormatLine("%-40s", frame.c_str());
  std::string module = frame.substr(0, open);
  std::string inside = frame.substr(open + 1, close - open - 1);
  size_t rest = frame.find_first_not_of(' ', close + 1);
  std::string after = rest == std::string::npos ? std::string() : frame.substr(rest);
  size_t plus = inside.rfind('+');
  if (plus == std::string::npos)
    return FormatLine("%-30s ( %-40s    %-6s) %s", module.c_str(), Demangle(inside).c_str(), "", after.c_str());
  return FormatLine("%-30s ( %-40s  + %-6s) %s", module.c_str(), Demangle(inside.substr(0, plus)).c_str(),
                    inside.substr(plus + 1).c_str(), after.c_str());
}

// Frame 0 is the walker's own. A sanitizer runtime that intercepts backtrace puts its
// frame above it; the frames up to the walker's are found by its return address and left
// out, so the numbering is the same in every build.
__attribute__((noinline)) void WalkStack(const StackWalkRequest& request) {
  const uint32_t kInterceptorFrames = 2;
  const uint32_t capacity = request.MaxFrames + kInterceptorFrames;
  std::unique_ptr<void*[]> addresses(new void*[capacity]);
  int count = backtrace(addresses.get(), static_cast<int>(capacity));
  if (count <= 0) return;
  void* caller = __builtin_return_address(0);
  int first = 0;
  for (int i = 1; i < count && i <= static_cast<int>(kInterceptorFrames); ++i)
    if (addresses[i] == caller) first = i - 1;
  count = std::min(count, first + static_cast<int>(request.MaxFrames));
  std::unique_ptr<char*, decltype(&std::free)> texts(backtrace_symbols(addresses.get(), count), &std::free);
  for (int i = first; i < count; ++i) {
    std::string line;
    if (texts) {
      line = FormatStackFrame(texts.get()[i]);
    } else {
      line = FormatLine("%-40p", addresses[i]);  // no texts at all: the bare address
    }
    if (!request.OnFrame(static_cast<uint32_t>(i - first), line.c_str(), request.Context)) return;
  }
}

bool IsDebuggerAttached() {
  int fd = open("/proc/self/status", O_RDONLY);
  if (fd < 0) return false;
  char status[kStatusReadBytes + 1];
  ssize_t got = read(fd, status, kStatusReadBytes);
  close(fd);
  if (got <= 0) return false;
  status[got] = '\0';
  const char* field = std::strstr(status, "TracerPid:");
  if (field == nullptr) return false;
  return std::atoi(field + std::strlen("TracerPid:")) != 0;
}

// Later assertions (static destructors run after this at exit) go to standard error
// instead of writing to the closed stream.
void CloseAssertLog() {
  FILE* file = LogFile;
  if (file == nullptr) return;
  LogDestination.store(nullptr, std::memory_order_release);
  LogFile = nullptr;
  std::fclose(file);
}

// Tracing: diagnostic messages and errors, each with a level, handed to the trace sinks
// and callback records of a process-wide registry. Nothing is registered by default.
#pragma once

#include <cstdint>

#include "core/common/error.h"

namespace Common {

// Trace levels.
inline constexpr int32_t kTraceDebug = 1;
inline constexpr int32_t kTraceInformation = 2;
inline constexpr int32_t kTraceWarning = 3;
inline constexpr int32_t kTraceError = 4;
inline constexpr int32_t kTraceCritical = 5;

// A message below this level reaches only the sinks that accept all levels.
extern const int32_t TraceThreshold;

// A receiver of trace traffic.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void TraceText(void* context, int32_t level, uint32_t facility, uint32_t code, const char16_t* text) = 0;
  virtual void TraceErrorValue(void* context, int32_t level, const Error& error) = 0;
  // True: the sink also receives traffic below TraceThreshold.
  virtual bool AcceptsAllLevels() { return DefaultAcceptsAllLevels(); }

 protected:
  // The answer of a sink that does not override AcceptsAllLevels: only the threshold decides.
  static constexpr bool DefaultAcceptsAllLevels() { return false; }
};

// Up to four functions; a null one is skipped. The context forms are preferred.
struct TraceCallbacks {
  void (*Text)(int32_t level, uint32_t facility, uint32_t code, const char16_t* text);
  void (*ErrorFn)(int32_t level, const Error& error);
  void (*TextWithContext)(void* context, int32_t level, uint32_t facility, uint32_t code, const char16_t* text);
  void (*ErrorWithContext)(void* context, int32_t level, const Error& error);
};

// Registration: objects are borrowed and visited in the order of registration; the
// caller removes them before they die.
void RegisterTraceSink(TraceSink* sink);
void UnregisterTraceSink(TraceSink* sink);
void RegisterTraceCallbacks(const TraceCallbacks* callbacks);
void UnregisterTraceCallbacks(const TraceCallbacks* callbacks);

void TraceMessage(void* context, int32_t level, uint32_t facility, uint32_t code, const char16_t* text);
void TraceErrorTo(void* context, int32_t level, const Error& error);
void TraceError(int32_t level, const Error& error);

// The assertion event callback: the 8-bit text widened byte-wise, then TraceMessage.
void AssertEventToTrace(int32_t level, uint32_t facility, uint32_t code, const char* text);

}  // namespace Common

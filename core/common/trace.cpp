// Tracing registry and dispatch.
#include "core/common/trace.h"

namespace Common {

const int32_t TraceThreshold = kTraceInformation;

void RegisterTraceSink(TraceSink*) {}
void UnregisterTraceSink(TraceSink*) {}
void RegisterTraceCallbacks(const TraceCallbacks*) {}
void UnregisterTraceCallbacks(const TraceCallbacks*) {}
void TraceMessage(void*, int32_t, uint32_t, uint32_t, const char16_t*) {}
void TraceErrorTo(void*, int32_t, const Error&) {}
void TraceError(int32_t level, const Error& error) { TraceErrorTo(nullptr, level, error); }
void AssertEventToTrace(int32_t, uint32_t, uint32_t, const char*) {}

}  // namespace Common

// Tracing: the process-wide registry of sinks and callback records, and the dispatch of
// messages and errors to them by level.
#include "core/common/trace.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "core/common/mutex.h"

namespace Common {

const int32_t TraceThreshold = kTraceInformation;

namespace {

struct TraceRegistry {
  Mutex Lock;  // recursive: a sink may trace from inside its own operation
  std::vector<TraceSink*> Sinks;
  std::vector<const TraceCallbacks*> Callbacks;
};

// Null until the first registration; never freed, so traffic during exit stays safe.
std::atomic<TraceRegistry*> Registry{nullptr};

TraceRegistry& RegistryForChange() {
  static TraceRegistry* created = [] {
    auto* registry = new TraceRegistry;
    Registry.store(registry, std::memory_order_release);
    return registry;
  }();
  return *created;
}

bool SinkTakes(TraceSink* sink, int32_t level) { return sink->AcceptsAllLevels() || level >= TraceThreshold; }

void CallTextFunctions(const TraceCallbacks* callbacks, void* context, int32_t level, uint32_t facility,
                       uint32_t code, const char16_t* text) {
  if (callbacks->TextWithContext != nullptr) {
    callbacks->TextWithContext(context, level, facility, code, text);
  } else if (callbacks->Text != nullptr) {
    callbacks->Text(level, facility, code, text);
  }
}

template <typename T>
bool Contains(const std::vector<T>& items, T item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

template <typename T>
void Remove(std::vector<T>& items, T item) {
  auto found = std::find(items.begin(), items.end(), item);
  if (found != items.end()) items.erase(found);
}

}  // namespace

void RegisterTraceSink(TraceSink* sink) {
  TraceRegistry& registry = RegistryForChange();
  MutexGuard guard(registry.Lock);
  registry.Sinks.push_back(sink);
}

void UnregisterTraceSink(TraceSink* sink) {
  TraceRegistry& registry = RegistryForChange();
  MutexGuard guard(registry.Lock);
  Remove(registry.Sinks, sink);
}

void RegisterTraceCallbacks(const TraceCallbacks* callbacks) {
  TraceRegistry& registry = RegistryForChange();
  MutexGuard guard(registry.Lock);
  registry.Callbacks.push_back(callbacks);
}

void UnregisterTraceCallbacks(const TraceCallbacks* callbacks) {
  TraceRegistry& registry = RegistryForChange();
  MutexGuard guard(registry.Lock);
  Remove(registry.Callbacks, callbacks);
}

// Receivers are called with the registry locked, so one that another thread removes is
// never called after its removal returns. A receiver may change the registry from inside
// its call: the dispatch walks a copy and passes over what was removed meanwhile.
void TraceMessage(void* context, int32_t level, uint32_t facility, uint32_t code, const char16_t* text) {
  TraceRegistry* registry = Registry.load(std::memory_order_acquire);
  if (registry == nullptr) return;
  MutexGuard guard(registry->Lock);
  const std::vector<TraceSink*> sinks = registry->Sinks;
  for (TraceSink* sink : sinks)
    if (Contains(registry->Sinks, sink) && SinkTakes(sink, level)) sink->TraceText(context, level, facility, code, text);
  if (level < TraceThreshold) return;
  const std::vector<const TraceCallbacks*> records = registry->Callbacks;
  for (const TraceCallbacks* callbacks : records)
    if (Contains(registry->Callbacks, callbacks)) CallTextFunctions(callbacks, context, level, facility, code, text);
}

void TraceErrorTo(void* context, int32_t level, const Error& error) {
  TraceRegistry* registry = Registry.load(std::memory_order_acquire);
  if (registry == nullptr) return;
  MutexGuard guard(registry->Lock);
  const std::vector<TraceSink*> sinks = registry->Sinks;
  for (TraceSink* sink : sinks)
    if (Contains(registry->Sinks, sink) && SinkTakes(sink, level)) sink->TraceErrorValue(context, level, error);
  if (level < TraceThreshold) return;
  const std::vector<const TraceCallbacks*> records = registry->Callbacks;
  for (const TraceCallbacks* callbacks : records) {
    if (!Contains(registry->Callbacks, callbacks)) continue;
    if (callbacks->ErrorWithContext != nullptr) {
      callbacks->ErrorWithContext(context, level, error);
    } else if (callbacks->ErrorFn != nullptr) {
      callbacks->ErrorFn(level, error);
    } else {
      const ErrorRecord* head = error.IsEmpty() ? nullptr : error.GetHead();
      WString text;
      if (head != nullptr) head->Kind->GetText(text, head);
      uint32_t code = head != nullptr ? head->Code : 0;
      CallTextFunctions(callbacks, context, level, HighWord(code), LowWord(code), text.c_str());
    }
  }
}

void TraceError(int32_t level, const Error& error) { TraceErrorTo(nullptr, level, error); }

void AssertEventToTrace(int32_t level, uint32_t facility, uint32_t code, const char* text) {
  std::unique_ptr<char16_t[]> wide(WidenAscii(text));
  TraceMessage(nullptr, level, facility, code, wide.get());
}

}  // namespace Common

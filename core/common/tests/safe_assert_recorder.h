// Test support: records the assertion reports of this process as they reach tracing
// (the default configuration passes each report, then its stack text, to the event hook).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "core/common/trace.h"

namespace Testing {

class AssertRecorder {
 public:
  // Registered outside Guard: tracing calls OnText with its registry locked, then Guard.
  AssertRecorder() {
    {
      std::lock_guard<std::mutex> lock(Guard());
      Texts().clear();
    }
    Common::RegisterTraceCallbacks(&callbacks);
  }
  ~AssertRecorder() { Common::UnregisterTraceCallbacks(&callbacks); }
  AssertRecorder(const AssertRecorder&) = delete;
  AssertRecorder& operator=(const AssertRecorder&) = delete;

  // The report lines ("Assertion failed: ..."), without the stack texts.
  std::vector<std::string> Reports() const {
    std::lock_guard<std::mutex> lock(Guard());
    std::vector<std::string> reports;
    for (const std::string& text : Texts())
      if (text.rfind("Assertion failed: ", 0) == 0) reports.push_back(text);
    return reports;
  }
  // Every text received, stack texts included.
  std::vector<std::string> All() const {
    std::lock_guard<std::mutex> lock(Guard());
    return Texts();
  }

 private:
  static std::mutex& Guard() {
    static std::mutex guard;
    return guard;
  }
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
  static void OnText(int32_t level, uint32_t facility, uint32_t code, const char16_t* text) {
    if (level != 5 || facility != 0 || code != 27) return;
    std::lock_guard<std::mutex> lock(Guard());
    Texts().push_back(text != nullptr ? Common::ToUtf8(text) : std::string());
  }

  Common::TraceCallbacks callbacks{OnText, nullptr, nullptr, nullptr};
};

inline std::string AssertText(const char* expression, const char* file, int line) {
  return std::string("Assertion failed: ") + expression + ", file " + file + ", line " + std::to_string(line);
}

}  // namespace Testing

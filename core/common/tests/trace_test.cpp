// Tests of tracing: dispatch by level to sinks and callback records, the fallbacks of a
// callback record, and the assertion hook.
#include "core/common/trace.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/error.h"
#include "core/common/text.h"

namespace {

constexpr Common::SourceFileId kTestFile{0x1234, 0x5678};

Common::Error MakeTextError(uint32_t code, const char16_t* text) {
  return Common::Error(Common::MakeLocation(kTestFile, "trace_test.cpp", "Test", 1), code, text);
}

// Before anything registers, tracing has nowhere to go and must simply return.
TEST(TraceNoRegistryTest, TrafficWithoutARegistryEndsQuietly) {
  EXPECT_EXIT(
      {
        for (int32_t level = 1; level <= 5; ++level) {
          Common::TraceMessage(nullptr, level, 1, 2, u"message");
          Common::TraceError(level, MakeTextError(0x40011, u"error"));
          Common::AssertEventToTrace(level, 0, 27, "assertion");
        }
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^$");
}

class RecordingSink : public Common::TraceSink {
 public:
  explicit RecordingSink(bool allLevels) : allLevels(allLevels) {}
  void TraceText(void* context, int32_t level, uint32_t facility, uint32_t code, const char16_t* text) override {
    lines.push_back("text " + std::to_string(reinterpret_cast<uintptr_t>(context)) + " " + std::to_string(level) +
                    " " + std::to_string(facility) + " " + std::to_string(code) + " " + Common::ToUtf8(text));
  }
  void TraceErrorValue(void* context, int32_t level, const Common::Error& error) override {
    lines.push_back("error " + std::to_string(reinterpret_cast<uintptr_t>(context)) + " " + std::to_string(level) +
                    " " + std::to_string(error.GetCode()));
  }
  bool AcceptsAllLevels() override { return allLevels; }

  std::vector<std::string> lines;

 private:
  bool allLevels;
};

// A sink that keeps the default answer of AcceptsAllLevels.
class DefaultSink : public Common::TraceSink {
 public:
  void TraceText(void*, int32_t level, uint32_t, uint32_t, const char16_t*) override { levels.push_back(level); }
  void TraceErrorValue(void*, int32_t level, const Common::Error&) override { levels.push_back(-level); }
  std::vector<int32_t> levels;
};

std::vector<std::string> CallbackLines;

std::string Describe(const char* form, int32_t level, uint32_t facility, uint32_t code, const char16_t* text) {
  char head[64];
  std::snprintf(head, sizeof head, "%s %d %04X %04X ", form, level, facility, code);
  return head + Common::ToUtf8(text);
}

void OnText(int32_t level, uint32_t facility, uint32_t code, const char16_t* text) {
  CallbackLines.push_back(Describe("text", level, facility, code, text));
}
void OnTextWithContext(void* context, int32_t level, uint32_t facility, uint32_t code, const char16_t* text) {
  CallbackLines.push_back(Describe("context-text", level, facility, code, text) + " @" +
                          std::to_string(reinterpret_cast<uintptr_t>(context)));
}
void OnError(int32_t level, const Common::Error& error) {
  CallbackLines.push_back("error " + std::to_string(level) + " " + std::to_string(error.GetCode()));
}
void OnErrorWithContext(void* context, int32_t level, const Common::Error& error) {
  CallbackLines.push_back("context-error " + std::to_string(level) + " " + std::to_string(error.GetCode()) + " @" +
                          std::to_string(reinterpret_cast<uintptr_t>(context)));
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { CallbackLines.clear(); }
};

TEST_F(TraceTest, SinksBelowTheThresholdOnlyWhenTheyAcceptAllLevels) {
  RecordingSink all(true);
  RecordingSink some(false);
  DefaultSink plain;
  Common::RegisterTraceSink(&all);
  Common::RegisterTraceSink(&some);
  Common::RegisterTraceSink(&plain);
  void* context = reinterpret_cast<void*>(uintptr_t{9});
  Common::TraceMessage(context, Common::kTraceDebug, 1, 2, u"low");
  Common::TraceMessage(context, Common::kTraceInformation, 3, 4, u"high");
  Common::TraceErrorTo(context, Common::kTraceDebug, MakeTextError(0x40011, u"e1"));
  Common::TraceError(Common::kTraceError, MakeTextError(0x40012, u"e2"));
  Common::UnregisterTraceSink(&all);
  Common::UnregisterTraceSink(&some);
  Common::UnregisterTraceSink(&plain);
  Common::TraceMessage(nullptr, Common::kTraceCritical, 0, 0, u"after removal");

  EXPECT_EQ(all.lines, (std::vector<std::string>{"text 9 1 1 2 low", "text 9 2 3 4 high",
                                                 "error 9 1 " + std::to_string(0x40011),
                                                 "error 0 4 " + std::to_string(0x40012)}));
  EXPECT_EQ(some.lines, (std::vector<std::string>{"text 9 2 3 4 high", "error 0 4 " + std::to_string(0x40012)}));
  EXPECT_EQ(plain.levels, (std::vector<int32_t>{2, -4}));
}

TEST_F(TraceTest, CallbackRecordsPreferTheirContextForms) {
  const Common::TraceCallbacks textOnly{OnText, nullptr, nullptr, nullptr};
  const Common::TraceCallbacks both{OnText, OnError, OnTextWithContext, OnErrorWithContext};
  const Common::TraceCallbacks plainError{OnText, OnError, nullptr, nullptr};
  const Common::TraceCallbacks contextTextOnly{nullptr, nullptr, OnTextWithContext, nullptr};
  const Common::TraceCallbacks none{nullptr, nullptr, nullptr, nullptr};
  for (const Common::TraceCallbacks* record : {&textOnly, &both, &plainError, &contextTextOnly, &none})
    Common::RegisterTraceCallbacks(record);
  void* context = reinterpret_cast<void*>(uintptr_t{5});

  Common::TraceMessage(context, Common::kTraceDebug, 1, 2, u"below");  // no record takes it
  Common::TraceMessage(context, Common::kTraceWarning, 1, 2, u"message");
  Common::TraceErrorTo(context, Common::kTraceError, MakeTextError(0x40011, u"The head text."));
  Common::TraceErrorTo(context, Common::kTraceError, Common::Error());

  for (const Common::TraceCallbacks* record : {&textOnly, &both, &plainError, &contextTextOnly, &none})
    Common::UnregisterTraceCallbacks(record);
  const std::string code = std::to_string(0x40011);
  EXPECT_EQ(CallbackLines, (std::vector<std::string>{
                               "text 3 0001 0002 message",
                               "context-text 3 0001 0002 message @5",
                               "text 3 0001 0002 message",
                               "context-text 3 0001 0002 message @5",
                               // An error offered to text functions: code split in two words, head text.
                               "text 4 0004 0011 The head text.",
                               "context-error 4 " + code + " @5",
                               "error 4 " + code,
                               "context-text 4 0004 0011 The head text. @5",
                               "text 4 0000 0000 ",
                               "context-error 4 0 @5",
                               "error 4 0",
                               "context-text 4 0000 0000  @5",
                           }));
}

TEST_F(TraceTest, AssertionEventsArriveWidenedAtTheirLevel) {
  const Common::TraceCallbacks textOnly{OnText, nullptr, nullptr, nullptr};
  Common::RegisterTraceCallbacks(&textOnly);
  Common::AssertEventToTrace(5, 0, 27, "Assertion failed: \xE9");
  Common::UnregisterTraceCallbacks(&textOnly);
  EXPECT_EQ(CallbackLines, std::vector<std::string>{"text 5 0000 001B Assertion failed: \xC3\xA9"});
}

// A sink may remove itself while it is being called.
class SelfRemovingSink : public Common::TraceSink {
 public:
  void TraceText(void*, int32_t, uint32_t, uint32_t, const char16_t*) override {
    ++calls;
    Common::UnregisterTraceSink(this);
  }
  void TraceErrorValue(void*, int32_t, const Common::Error&) override {}
  int calls = 0;
};

TEST_F(TraceTest, SinkRemovingItselfDuringDispatch) {
  SelfRemovingSink first;
  RecordingSink second(false);
  Common::RegisterTraceSink(&first);
  Common::RegisterTraceSink(&second);
  Common::TraceMessage(nullptr, Common::kTraceWarning, 0, 0, u"one");
  Common::TraceMessage(nullptr, Common::kTraceWarning, 0, 0, u"two");
  Common::UnregisterTraceSink(&second);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.lines.size(), 2u);  // the sink behind the removed one is not passed over
}

}  // namespace

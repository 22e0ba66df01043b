// Assertions configured by ZENVALO_SAFE_ASSERT.
#include "core/common/safe_assert.h"

int SafeAssert(const char*, const char*, int) { return 1; }
int ProcessAssertion(const char*, const char*, int, const char*) { return 1; }
uint32_t GetAssertFlags() { return kAssertDefaultFlags; }
void SetAssertEventCallback(AssertEventCallback) {}
void ReportAssertFailure(const char*, const char*, uint32_t, const char*) {}
void ReportUnexpectedError(int, const char*, uint32_t, const char*) {}
void WalkStack(const StackWalkRequest&) {}
bool IsDebuggerAttached() { return false; }
void CloseAssertLog() {}

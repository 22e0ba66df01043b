// What every fuzz target shares: the set-up the test programs make, and a check that
// turns a broken promise of a reader into a crash that libFuzzer reports with its input.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "core/common/messages.h"
#include "core/resources/language.h"
#include "core/resources/language_testing.h"

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::Fuzzing::CheckFailed(#condition, __FILE__, __LINE__))

namespace Fuzzing {

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

// The language comes from LANG alone (never the machine's /etc/i18n), and the catalog
// that the program carries in its ".zip" section is loaded before the first input, so
// that every input sees the same process.
inline void SetUpProcess() {
  Resources::SetI18nFilePathForTesting("/proc/ormivane-fuzz-no-i18n");
  FUZZ_CHECK(Common::GetMessageText(Common::Message(Common::kFirstMessage)) != nullptr);
}

}  // namespace Fuzzing

// Test seam of language.cpp, built into the test programs only.
#include "core/resources/language_testing.h"

#include "core/resources/language_state.h"

namespace Resources {

void SetI18nFilePathForTesting(const char* path) {
  I18nSetting::g_i18nPath.store(path != nullptr ? path : I18nSetting::kSystemI18nPath);
}

}  // namespace Resources

// Where language.cpp reads the system language setting. Process-wide state, declared here
// only so that the test seam (language_testing.cpp, built into the test programs alone)
// can repoint it; nothing else uses this header. Hidden, so that the program's dynamic
// symbol table does not export it.
#pragma once

#include <atomic>

#pragma GCC visibility push(hidden)

namespace Resources::I18nSetting {

inline constexpr const char* kSystemI18nPath = "/etc/i18n";

extern std::atomic<const char*> g_i18nPath;

}  // namespace Resources::I18nSetting

#pragma GCC visibility pop

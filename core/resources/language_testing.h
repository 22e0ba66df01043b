// Test seam of language.cpp: where the system language setting is read.
#pragma once

namespace Resources {

// Tests point the system setting at a file of their own (null: the system's /etc/i18n).
void SetI18nFilePathForTesting(const char* path);

}  // namespace Resources

// Language choice and localized lookup: the process's ordered list of language tags
// (from /etc/i18n, else LANG), the language listeners, and the opening of a resource
// through that list (a copy under "<tag>/" wins over the plain name).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common/mutex.h"
#include "core/include/file/dir.h"

namespace Resources {

using LanguageListener = void (*)();

// The one process-wide state, built on the first use and fixed until exit.
struct LanguageState {
  LanguageState();
  ~LanguageState();
  LanguageState(const LanguageState&) = delete;
  LanguageState& operator=(const LanguageState&) = delete;

  std::vector<std::string> Candidates;  // never empty, no duplicates, never changed
  // Guards reads of Candidates and Listeners. Lock order: this lock before the mutex of
  // the process-wide resource archive. The catalog loader, a listener, runs under it and
  // reads the catalog under the archive's mutex; so no thread may wait for this lock while
  // it holds that mutex. The archive is handed out only after the first message lookup
  // (which may wait here) has finished, so no other thread holds its mutex before the
  // catalog is loaded and a lookup under it no longer takes this lock.
  Common::Mutex Lock;
  std::vector<LanguageListener> Listeners;
};

inline constexpr uint32_t kLanguageSettingBytes = 32;

// The state, built on the first call.
LanguageState& GetLanguageCandidates();

// The system's setting normalised: at most one entry.
std::vector<std::string> GetSystemLanguages();

// The raw setting into a buffer of kLanguageSettingBytes: /etc/i18n after its first five
// bytes, or the value of LANG.
[[nodiscard]] bool ReadI18nFile(char* buffer);
[[nodiscard]] bool ReadLangVariable(char* buffer);

// The tag of a setting ("de_DE.UTF-8" gives "de", "zh_HK" gives "zh_TW"); "" for null or
// a text shorter than two bytes.
std::string NormalizeLanguageName(const char* text);

// The tags to try for a list of settings: each with its fallback, without duplicates,
// "en" when no entry is non-empty.
std::vector<std::string> ExpandLanguageCandidates(const std::vector<std::string>& settings);

// Registers `listener` unless it is registered already, and then runs it at once, with the
// state's lock held. A listener added while another one runs is placed before it.
void AddLanguageListener(LanguageListener listener);
void RemoveLanguageListener(LanguageListener listener);

// `name` is UTF-8. Every open is the directory's OpenI by name; what it opens belongs to
// the caller, and the directory's error tells why nothing was opened.
si_file* OpenLanguageFile(si_dir* dir, const char* name, const char* tag);
// Tries every candidate, then the plain name; `out` (when given with a size) receives the
// tag of the copy opened, "en" for the plain name, always terminated.
si_file* OpenLocalizedFile(si_dir* dir, const char* name, char* out, uint32_t size);
// A null tag looks through the candidates; a given tag is tried alone.
si_file* OpenLocalized(si_dir* dir, const char* name, const char* tag);
// The whole resource in a new[] buffer, its size in *size; null for a missing or empty
// resource, a failed read or a size that cannot be allocated.
uint8_t* ReadLocalizedFile(si_dir* dir, const char* name, const char* tag, uint32_t* size);

}  // namespace Resources

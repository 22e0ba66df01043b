// Language choice (read once per process), the language listeners, and the lookup of a
// resource through the language tags.
#include "core/resources/language.h"
#include "core/resources/language_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/common/text.h"

namespace Resources {

namespace I18nSetting {

constinit std::atomic<const char*> g_i18nPath{kSystemI18nPath};

}  // namespace I18nSetting

namespace {

// The file starts with the variable's name and '=' ("LANG="), which are skipped.
constexpr off64_t kI18nSkippedBytes = 5;
constexpr const char* kEnglish = "en";

// Changed only under the state's lock: how many listeners are having their first run.
uint32_t ListenerDepth = 0;

struct NormalizationRow {
  const char* Prefix;
  const char* Tag;
};

constexpr NormalizationRow kNormalizations[] = {
    {"zh_TW", "zh_TW"}, {"zh_HK", "zh_TW"}, {"zh_MO", "zh_TW"}, {"zh_Hant", "zh_TW"},
    {"en_UK", "en_GB"}, {"es_MX", "es_MX"}, {"pt_BR", "pt_BR"}, {"en_GB", "en_GB"},
};

struct FallbackRow {
  const char* Tag;
  const char* Fallback;
};

constexpr FallbackRow kFallbacks[] = {{"zh_TW", "zh"}, {"es", "es_ES"}, {"pt_BR", "pt"}};

std::u16string ToWide(const std::string& utf8) {
  Common::WString wide;
  // Lossy on purpose: invalid bytes become replacement characters.
  static_cast<void>(Common::Utf8ToUtf16(wide, utf8.c_str(), Common::kWholeString));
  return wide;
}

si_file* OpenByName(si_dir* dir, const std::string& name) { return dir->OpenI(ToWide(name).c_str(), false); }

}  // namespace

LanguageState::LanguageState() { Candidates = ExpandLanguageCandidates(GetSystemLanguages()); }

LanguageState::~LanguageState() = default;

LanguageState& GetLanguageCandidates() {
  // Building the state reads only the setting: it never looks a message up, so the
  // one-time guard cannot be re-entered.
  static LanguageState state;
  return state;
}

bool ReadI18nFile(char* buffer) {
  int fd = open64(I18nSetting::g_i18nPath.load(), O_RDONLY);
  if (fd < 0) return false;
  if (lseek64(fd, kI18nSkippedBytes, SEEK_CUR) <= 0) {
    close(fd);
    return false;
  }
  ssize_t n = read(fd, buffer, kLanguageSettingBytes - 1);
  close(fd);
  if (n < 2) return false;
  buffer[n] = 0;
  return true;
}

bool ReadLangVariable(char* buffer) {
  const char* value = std::getenv("LANG");
  if (value == nullptr) return false;
  std::strncpy(buffer, value, kLanguageSettingBytes - 1);
  buffer[kLanguageSettingBytes - 1] = 0;
  return true;
}

std::vector<std::string> GetSystemLanguages() {
  char buffer[kLanguageSettingBytes] = {};
  if (ReadI18nFile(buffer) || ReadLangVariable(buffer)) return {NormalizeLanguageName(buffer)};
  return {};
}

std::string NormalizeLanguageName(const char* text) {
  if (text == nullptr) return std::string();
  size_t length = std::strlen(text);
  if (length < 2) return std::string();
  for (const NormalizationRow& row : kNormalizations) {
    if (std::strncmp(text, row.Prefix, std::strlen(row.Prefix)) == 0) return row.Tag;
  }
  return std::string(text, 2);
}

std::vector<std::string> ExpandLanguageCandidates(const std::vector<std::string>& settings) {
  std::vector<std::string> list = settings;
  if (std::none_of(list.begin(), list.end(), [](const std::string& s) { return !s.empty(); })) list = {kEnglish};
  std::vector<std::string> expanded;
  for (const std::string& tag : list) {
    expanded.push_back(tag);
    for (const FallbackRow& row : kFallbacks) {
      if (tag == row.Tag) expanded.push_back(row.Fallback);
    }
  }
  std::vector<std::string> candidates;
  for (const std::string& tag : expanded) {
    if (std::find(candidates.begin(), candidates.end(), tag) == candidates.end()) candidates.push_back(tag);
  }
  return candidates;
}

void AddLanguageListener(LanguageListener listener) {
  LanguageState& state = GetLanguageCandidates();
  Common::MutexGuard guard(state.Lock);
  auto& list = state.Listeners;
  if (std::find(list.begin(), list.end(), listener) != list.end()) return;
  // Before the listeners whose first run is still under way: the catalog loader opens the
  // archive, whose message lookup adds its own listener while the loader runs.
  size_t running = std::min<size_t>(ListenerDepth, list.size());
  list.insert(list.end() - static_cast<std::ptrdiff_t>(running), listener);
  ++ListenerDepth;
  struct DepthRestore {
    ~DepthRestore() { --ListenerDepth; }
  } restore;
  listener();
}

void RemoveLanguageListener(LanguageListener listener) {
  LanguageState& state = GetLanguageCandidates();
  Common::MutexGuard guard(state.Lock);
  auto& list = state.Listeners;
  list.erase(std::remove(list.begin(), list.end(), listener), list.end());
}

si_file* OpenLanguageFile(si_dir* dir, const char* name, const char* tag) {
  if (tag == nullptr || *tag == 0) return nullptr;
  if (std::strcmp(tag, kEnglish) == 0) return OpenByName(dir, name);
  return OpenByName(dir, std::string(tag) + "/" + name);
}

si_file* OpenLocalizedFile(si_dir* dir, const char* name, char* out, uint32_t size) {
  LanguageState& state = GetLanguageCandidates();
  std::vector<std::string> candidates;
  {
    Common::MutexGuard guard(state.Lock);
    candidates = state.Candidates;
  }
  for (const std::string& candidate : candidates) {
    si_file* file = OpenLanguageFile(dir, name, candidate.c_str());
    if (file == nullptr) continue;
    if (out != nullptr && size != 0) {
      size_t n = std::min<size_t>(candidate.size(), size - 1);
      std::memcpy(out, candidate.data(), n);
      out[n] = 0;
    }
    return file;
  }
  if (out != nullptr && size != 0) {
    std::strncpy(out, kEnglish, size);
    out[size - 1] = 0;  // a buffer shorter than the tag still ends terminated
  }
  return OpenByName(dir, name);
}

si_file* OpenLocalized(si_dir* dir, const char* name, const char* tag) {
  if (dir == nullptr || name == nullptr) return nullptr;
  if (tag == nullptr) return OpenLocalizedFile(dir, name, nullptr, 0);
  return OpenLanguageFile(dir, name, tag);
}

uint8_t* ReadLocalizedFile(si_dir* dir, const char* name, const char* tag, uint32_t* size) {
  std::unique_ptr<si_file> file(OpenLocalized(dir, name, tag));
  if (!file) return nullptr;
  auto n = static_cast<uint32_t>(file->Size());
  if (n == 0) return nullptr;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[n]);
  if (!buffer) return nullptr;
  Read(*file, buffer.get(), n);
  if (file->last_error) return nullptr;
  if (size != nullptr) *size = n;
  return buffer.release();
}

}  // namespace Resources

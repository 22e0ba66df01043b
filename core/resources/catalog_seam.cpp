// Stand-in for the resource archive's catalog road: the listener list and a loader that
// a program supplies.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "core/resources/catalog.h"
#include "core/resources/language.h"

namespace Resources {

namespace {
std::recursive_mutex& ListenerMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}
std::vector<LanguageListener>& Listeners() {
  static std::vector<LanguageListener> listeners;
  return listeners;
}
std::atomic<CatalogSource> g_source{nullptr};
}  // namespace

void AddLanguageListener(LanguageListener listener) {
  std::lock_guard lock(ListenerMutex());
  auto& list = Listeners();
  if (std::find(list.begin(), list.end(), listener) != list.end()) return;
  list.push_back(listener);
  listener();
}

void RemoveLanguageListener(LanguageListener listener) {
  std::lock_guard lock(ListenerMutex());
  auto& list = Listeners();
  list.erase(std::remove(list.begin(), list.end(), listener), list.end());
}

void SetCatalogSource(CatalogSource source) { g_source.store(source); }

void LoadMessageCatalog() {
  CatalogSource source = g_source.load();
  if (source != nullptr) source();
}

}  // namespace Resources

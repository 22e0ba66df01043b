// The environment a launched program starts with: the inherited entries without those the
// launch replaces, then the launch's own as "name=value", made before the fork so that
// the child only installs the block.
#include <cstring>

#include "enterprise/common/child_process/fork_process_parts.h"

extern char** environ;

namespace ChildProcess::ForkParts {

MergedEnvironment::MergedEnvironment(const ForkContext& context) {
  const PathMap& entries = context.GetEnvironment();
  if (entries.empty()) return;
  for (const auto& [name, value] : entries) {
    if (!IsValidName(name.GetNative())) continue;  // the child reports it as setenv would
    Entries.push_back(name.GetNative() + "=" + value.GetNative());
  }
  for (char** inherited = environ; inherited != nullptr && *inherited != nullptr; ++inherited) {
    if (!IsReplaced(*inherited, entries)) Pointers.push_back(*inherited);
  }
  for (std::string& entry : Entries) Pointers.push_back(entry.data());
  Pointers.push_back(nullptr);
}

bool MergedEnvironment::IsValidName(const std::string& name) {
  return !name.empty() && name.find('=') == std::string::npos;
}

bool MergedEnvironment::IsReplaced(const char* inherited, const PathMap& entries) {
  const char* equals = std::strchr(inherited, '=');
  size_t length = equals == nullptr ? std::strlen(inherited) : static_cast<size_t>(equals - inherited);
  for (const auto& entry : entries) {
    const std::string& name = entry.first.GetNative();
    if (name.size() == length && std::memcmp(name.data(), inherited, length) == 0) return true;
  }
  return false;
}

}  // namespace ChildProcess::ForkParts

// The network-mount test of the descriptor registry.
#include "core/linex/network_mount.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/common/safe_assert.h"

namespace {

constexpr const char* kAssertFile = "core/linex/network_mount";
constexpr Common::Site kAbsolutePathSite{"IsInNetworkMount", 69};

constexpr size_t kPathBytes = 4096;

std::string ComputePrefix() {
  char resolved[kPathBytes];
  std::string prefix = realpath("/var/run", resolved) != nullptr ? resolved : "/var/run";
  return prefix + "/.mnt_net_";
}

}  // namespace

const char* NetworkMountPrefix() {
  // Kept until exit: a static destructor must not take it from a late caller.
  static const std::string* prefix = new std::string(ComputePrefix());
  return prefix->c_str();
}

bool IsInNetworkMount(const std::string& path) {
  if (!(!path.empty() && path[0] == '/')) SafeAssert("!path.empty() && path[0] == '/'", kAssertFile, kAbsolutePathSite);
  static const size_t length = std::strlen(NetworkMountPrefix());
  if (path.size() < length || path.compare(0, length, NetworkMountPrefix()) != 0) return false;
  return path.find('/', length) != std::string::npos;
}

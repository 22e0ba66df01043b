// The network-mount test: shares mounted inside a ".mnt_net_" directory of the run
// directory keep byte-range locks per descriptor on the server.
#pragma once

#include <string>

// The resolved run directory followed by "/.mnt_net_", computed once.
const char* NetworkMountPrefix();

// True when the absolute `path` lies inside a directory whose path begins with the
// prefix. The path is compared as given, not resolved.
bool IsInNetworkMount(const std::string& path);

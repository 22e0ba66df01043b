// Whether a test program runs under qemu's user-mode emulator, for the tests that must
// bound or shrink what the emulator cannot do.
#pragma once

#include <cstdio>

namespace Testing {

// The emulator reserves the whole 32-bit address space of the program it runs, which no
// native 32-bit process can map (a 64-bit one may: the thread sanitizer's does).
inline bool UnderEmulation() {
  if (sizeof(void*) != 4) return false;
  constexpr long long kNativeLimitKib = 4LL * 1024 * 1024;
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return false;
  long long sizeKib = 0;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmSize: %lld kB", &sizeKib) == 1) break;
  std::fclose(status);
  return sizeKib >= kNativeLimitKib;
}

}  // namespace Testing

// Random bytes from the system's random devices, with a seeded pseudo-random fallback for
// weak requests when the device cannot be used.
#pragma once

#include <cstdint>

namespace Common {

inline constexpr const char* kWeakRandomDevicePath = "/dev/urandom";
inline constexpr const char* kStrongRandomDevicePath = "/dev/random";

// Fills `length` bytes: from /dev/random when `strong`, else from /dev/urandom. A device
// that cannot be opened or read is reported with SafeAssert; a strong request then fails,
// a weak one is completed from the C library's generator.
[[nodiscard]] bool GetRandomBytes(void* buffer, uint32_t length, bool strong);

}  // namespace Common

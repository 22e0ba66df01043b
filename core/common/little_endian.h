// Explicit little-endian loads and stores at any alignment, for every reader and writer of
// the system's byte formats (archive, catalog, serialized errors, backup chunks).
#pragma once

#include <cstdint>

namespace Common {

inline uint16_t LoadLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

inline uint32_t LoadLe32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

inline uint64_t LoadLe64(const uint8_t* at) { return LoadLe32(at) | static_cast<uint64_t>(LoadLe32(at + 4)) << 32; }

inline void StoreLe16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

inline void StoreLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void StoreLe64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace Common

// The byte stream that the test probe emits and the relay tests check: every value, NUL
// included, in a sequence that does not repeat at pipe or piece boundaries.
#pragma once

#include <cstddef>

namespace ChildProcessTesting {

inline unsigned char ProbePatternByte(size_t index) {
  return static_cast<unsigned char>((index * 7 + index / 4093) & 0xFF);
}

}  // namespace ChildProcessTesting

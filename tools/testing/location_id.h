// Test support: the 64-bit location id of an error's head record, high word first, as the
// error display shows it, so that a test can write the expected id as one literal.
#pragma once

#include <cstdint>

#include "core/common/error.h"

namespace Testing {

inline uint64_t LocationId(const Common::Error& error) {
  const Common::ErrorRecord* head = error.GetHead();
  return head == nullptr ? 0 : uint64_t(head->IdHigh) << 32 | head->IdLow;
}

}  // namespace Testing

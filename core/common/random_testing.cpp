// Test seam of random.cpp, built into the test programs only.
#include "core/common/random_testing.h"

#include "core/common/random.h"
#include "core/common/random_state.h"

namespace Common {

void SetRandomDevicePathsForTesting(const char* weak, const char* strong) {
  RandomState::g_weakDevice.Close();
  RandomState::g_strongDevice.Close();
  RandomState::g_weakDevice.Path = weak != nullptr ? weak : kWeakRandomDevicePath;
  RandomState::g_strongDevice.Path = strong != nullptr ? strong : kStrongRandomDevicePath;
}

}  // namespace Common

// Test seam of random.cpp: the paths of the random devices.
#pragma once

namespace Common {

// Closes the devices and makes the next use open these paths instead (null keeps the
// default). The strings must stay alive while they are in use.
void SetRandomDevicePathsForTesting(const char* weak, const char* strong);

}  // namespace Common

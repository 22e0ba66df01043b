// The two process-wide random devices, each opened once on first use and closed at exit.
#include "core/common/random.h"
#include "core/common/random_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "core/common/safe_assert.h"

namespace Common {

namespace RandomState {

// Through the guarded close: a descriptor this code believes open must be open.
void RandomDevice::Close() {
  if (Descriptor >= 0) ::close(Descriptor);
  Descriptor = -1;
  Opened = false;
}

constinit RandomDevice g_weakDevice(kWeakRandomDevicePath);
constinit RandomDevice g_strongDevice(kStrongRandomDevicePath);

}  // namespace RandomState

namespace {

using RandomState::RandomDevice;

// Assertion reports name the file without its extension, as the thread and mutex code do.
constexpr const char* kRandomFile = "core/common/random";
constexpr Site kReadFailedSite{"ReadDevice", 214};
constexpr Site kOpenFailedSite{"GetRandomBytes", 224};

bool g_seeded = false;

// A failed open is not retried: the process keeps to its fallback from then on.
void OpenOnce(RandomDevice& device) {
  if (device.Opened) return;
  device.Opened = true;
  device.Descriptor = ::open64(device.Path, O_RDONLY);
  if (device.Descriptor >= 0) ::fcntl(device.Descriptor, F_SETFD, FD_CLOEXEC);
}

// Reads until `length` bytes arrived; returns how many did. An end of file counts as a
// failure: waiting for more would never end.
uint32_t ReadDevice(int descriptor, uint8_t* out, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::read(descriptor, out + done, length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    SafeAssert("!\"Can't read from random device\"", kRandomFile, kReadFailedSite);
    break;
  }
  return done;
}

void FillPseudoRandom(uint8_t* out, uint32_t length) {
  if (!g_seeded) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    g_seeded = true;
  }
  for (uint32_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(std::rand() & 0xFF);
}

}  // namespace

bool GetRandomBytes(void* buffer, uint32_t length, bool strong) {
  RandomDevice& device = strong ? RandomState::g_strongDevice : RandomState::g_weakDevice;
  auto* out = static_cast<uint8_t*>(buffer);
  OpenOnce(device);
  uint32_t done = 0;
  if (device.Descriptor >= 0) {
    if (length == 0) return true;
    done = ReadDevice(device.Descriptor, out, length);
    if (done == length) return true;
  } else {
    SafeAssert("!\"Can't open random device\"", kRandomFile, kOpenFailedSite);
  }
  if (strong) return false;
  FillPseudoRandom(out + done, length - done);
  return true;
}

}  // namespace Common

// The two random devices of random.cpp. They are process-wide state, declared here only so
// that the test seam (random_testing.cpp, built into the test programs alone) can repoint
// them; nothing else uses this header. Hidden, so that the program's dynamic symbol table
// does not export it.
#pragma once

#pragma GCC visibility push(hidden)

namespace Common::RandomState {

struct RandomDevice {
  constexpr explicit RandomDevice(const char* path) : Path(path) {}
  ~RandomDevice() { Close(); }
  RandomDevice(const RandomDevice&) = delete;
  RandomDevice& operator=(const RandomDevice&) = delete;

  // Forgets the descriptor, so that the next use opens Path again.
  void Close();

  int Descriptor = -1;
  const char* Path;
  bool Opened = false;
};

// Constant-initialised, so usable from any static initialiser.
extern RandomDevice g_weakDevice;
extern RandomDevice g_strongDevice;

}  // namespace Common::RandomState

#pragma GCC visibility pop

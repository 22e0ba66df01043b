// The program's own close and fclose. Defined in the executable, they take the place of
// libc's for every caller in the program, the standard library's streams included; each
// calls libc's function and then treats EBADF (closing what is not open) as a
// programming error, handled as ZENVALO_SAFE_CLOSE chose before main.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/linex/safe_close.h"

int SafeCloseMode = kSafeCloseIgnore;
bool SafeCloseCheckDisabled = false;

namespace {

using CloseFunction = int (*)(int);
using FcloseFunction = int (*)(FILE*);

// Filled once before main; a first call from two threads at once stores the same value.
std::atomic<CloseFunction> RealCloseFunction{nullptr};
std::atomic<FcloseFunction> RealFcloseFunction{nullptr};

// The processor's breakpoint: a debugger stops here, without one SIGTRAP ends the process.
inline void BreakpointTrap() { __asm__ volatile("int3"); }

[[noreturn]] void LookupFailed() {
  if (SafeCloseMode == kSafeCloseBreak) BreakpointTrap();
  std::abort();
}

void* FindLibcFunction(const char* name) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  // The sanitizer runtimes intercept close and fclose to track descriptors and streams;
  // the next definition after ours is their interceptor, which then calls libc's.
  if (void* next = dlsym(RTLD_NEXT, name)) return next;
#endif
  void* libc = dlopen("libc.so.6", RTLD_NOW);
  if (libc == nullptr) return nullptr;
  void* function = dlsym(libc, name);
  if (function == nullptr) dlclose(libc);  // otherwise the handle stays open for the run
  return function;
}

// What a failed close leads to, by mode; returns only when the failure is to be returned.
void OnFailedClose(int result) {
  if (SafeCloseCheckDisabled || result == 0 || errno != EBADF) return;
  if (SafeCloseMode == kSafeCloseBreak) {
    BreakpointTrap();
    return;
  }
  if (SafeCloseMode == kSafeCloseAbort) std::abort();
}

CloseFunction LoadClose() {
  CloseFunction function = RealCloseFunction.load(std::memory_order_acquire);
  if (function == nullptr) {
    GetRealClose();
    function = RealCloseFunction.load(std::memory_order_acquire);
  }
  if (function == nullptr) LookupFailed();
  return function;
}

FcloseFunction LoadFclose() {
  FcloseFunction function = RealFcloseFunction.load(std::memory_order_acquire);
  if (function == nullptr) {
    GetRealFclose();
    function = RealFcloseFunction.load(std::memory_order_acquire);
  }
  if (function == nullptr) LookupFailed();
  return function;
}

// Before main and before any fork: a dlopen in the forked child of a threaded parent can
// deadlock on the loader's lock, so both functions are found here.
__attribute__((constructor(101))) void StartSafeClose() {
  SafeCloseMode = ParseSafeCloseMode(getenv("ZENVALO_SAFE_CLOSE"));
  GetRealClose();
  GetRealFclose();
}

}  // namespace

int ParseSafeCloseMode(const char* value) {
  if (value == nullptr) return kSafeCloseAbort;
  if (std::strstr(value, "break") != nullptr) return kSafeCloseBreak;
  if (std::strstr(value, "abort") != nullptr) return kSafeCloseAbort;
  return kSafeCloseIgnore;
}

void DisableSafeCloseCheck() { SafeCloseCheckDisabled = true; }
void EnableSafeCloseCheck() { SafeCloseCheckDisabled = false; }

void GetRealClose() {
  if (void* function = FindLibcFunction("close"))
    RealCloseFunction.store(reinterpret_cast<CloseFunction>(function), std::memory_order_release);
}

void GetRealFclose() {
  if (void* function = FindLibcFunction("fclose"))
    RealFcloseFunction.store(reinterpret_cast<FcloseFunction>(function), std::memory_order_release);
}

int RealClose(int fd) { return LoadClose()(fd); }
int RealFclose(FILE* stream) { return LoadFclose()(stream); }

extern "C" int close(int fd) {
  int result = LoadClose()(fd);
  OnFailedClose(result);
  return result;
}

// Only EBADF stops the process: a stream can also fail to close while writing out its
// buffer (a full disk), which the caller is told about like any other failure.
extern "C" int fclose(FILE* stream) {
  int result = LoadFclose()(stream);
  OnFailedClose(result);
  return result;
}

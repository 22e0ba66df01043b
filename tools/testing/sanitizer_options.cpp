// Defaults for the sanitizer runtimes of the 32-bit AddressSanitizer build, linked into
// each of its programs (the tests, their probes and the launchers they run).
//
// The 32-bit programs may run under a user-mode emulator where the leak checker's
// stop-the-world step (ptrace) never returns, so every program would hang at exit.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORMIVANE_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ORMIVANE_ADDRESS_SANITIZER 1
#endif

#if defined(ORMIVANE_ADDRESS_SANITIZER)
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

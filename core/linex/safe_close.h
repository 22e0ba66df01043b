// The guarded close: the program's own close and fclose take the place of libc's and
// treat closing something that is not open (EBADF) as a programming error, handled as
// ZENVALO_SAFE_CLOSE chooses: abort (unset), breakpoint trap ("break") or return it.
#pragma once

#include <cstdio>

// Modes of the check, fixed before main.
inline constexpr int kSafeCloseIgnore = 0;
inline constexpr int kSafeCloseAbort = 1;
inline constexpr int kSafeCloseBreak = 2;

// The mode a ZENVALO_SAFE_CLOSE value gives (null: the variable is unset).
int ParseSafeCloseMode(const char* value);

// The mode read at start-up.
extern int SafeCloseMode;
// Set between DisableSafeCloseCheck and EnableSafeCloseCheck.
extern bool SafeCloseCheckDisabled;

// Switch the EBADF check off around a loop that closes descriptors that may not be open
// (the forked child's clean-up); single-threaded use only.
void DisableSafeCloseCheck();
void EnableSafeCloseCheck();

// Look libc's function up and store it (done before main; retried while missing).
void GetRealClose();
void GetRealFclose();

// libc's own functions, without the check, for code that must not stop the process.
// They abort when libc's function cannot be found.
int RealClose(int fd);
int RealFclose(FILE* stream);

// close(int) and fclose(FILE*) themselves keep libc's declarations (<unistd.h>, <cstdio>).

// The program's own close and fclose, interposed over libc's.
#include <unistd.h>

#include "core/linex/safe_close.h"

int SafeCloseMode = kSafeCloseIgnore;
bool SafeCloseCheckDisabled = false;

int ParseSafeCloseMode(const char*) { return kSafeCloseAbort; }
void DisableSafeCloseCheck() { SafeCloseCheckDisabled = true; }
void EnableSafeCloseCheck() { SafeCloseCheckDisabled = false; }
void GetRealClose() {}
void GetRealFclose() {}
int RealClose(int) { return -1; }
int RealFclose(FILE*) { return -1; }

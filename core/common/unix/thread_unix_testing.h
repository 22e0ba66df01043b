// Test seam of thread_unix.cpp: a thread's own mutex and condition, reached from outside.
// Defined in thread_unix_testing.cpp (core_common_thread_testing), which only test
// programs link.
#pragma once

#include "core/common/unix/thread_unix.h"

namespace Common {

// Wakes the waiters of TimedWait without the thread having finished, as a spurious
// wake-up would.
void WakeThreadWaitersForTesting(Thread& thread);
// Take and give back the thread's own mutex, so a test can line up the callers that wait
// for it.
void LockThreadForTesting(Thread& thread);
void UnlockThreadForTesting(Thread& thread);

}  // namespace Common

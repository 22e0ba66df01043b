// Test seam of thread_unix.cpp, built only into the test programs.
#include "core/common/unix/thread_unix_testing.h"

#include "core/common/unix/thread_data.h"

namespace Common {

struct ThreadTesting {
  static ThreadData* DataOf(Thread& thread) { return thread.Data; }
};

void WakeThreadWaitersForTesting(Thread& thread) { pthread_cond_broadcast(&ThreadTesting::DataOf(thread)->Condition); }
void LockThreadForTesting(Thread& thread) { pthread_mutex_lock(&ThreadTesting::DataOf(thread)->Mutex); }
void UnlockThreadForTesting(Thread& thread) { pthread_mutex_unlock(&ThreadTesting::DataOf(thread)->Mutex); }

}  // namespace Common

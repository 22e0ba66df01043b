// Common::Thread over POSIX threads: a block shared by the owner and the running thread,
// freed by whichever lets go of it last.
#include "core/common/unix/thread_unix.h"
#include "core/common/unix/thread_unix_testing.h"

#include <sched.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "core/common/safe_assert.h"

namespace Common {

namespace {
constexpr const char* kThreadFile = "core/common/unix/thread_unix";
constexpr Site kCreateFailedSite{"Thread", 115};
constexpr Site kNotWaitedSite{"~Thread", 126};
constexpr Site kWaitFromSelfSite{"Wait", 163};
constexpr Site kSetPriorityHandleSite{"SetPriority", 263};
constexpr Site kSetPriorityParamSite{"SetPriority", 226};
constexpr Site kGetPriorityHandleSite{"GetPriority", 272};
constexpr Site kGetPriorityParamSite{"GetPriority", 255};
}  // namespace

struct ThreadData {
  pthread_t Handle = 0;  // written by the owner's side only, under Mutex once started
  pthread_mutex_t Mutex;
  pthread_cond_t Condition;
  std::atomic<uint32_t> RefCount{2};
  ThreadFunction Function;
  void* Argument;
  // Atomic because the owner may look at it while the body runs (it then reads the
  // "no exit code" value); its meaning is only settled once the thread was waited for.
  std::atomic<uint32_t> ExitCode{kThreadNoExitCode};
  bool Finished = false;  // under Mutex

  ThreadData(ThreadFunction function, void* argument) : Function(function), Argument(argument) {
    pthread_mutex_init(&Mutex, nullptr);
    pthread_cond_init(&Condition, nullptr);
  }
  ~ThreadData() {
    pthread_cond_destroy(&Condition);
    pthread_mutex_destroy(&Mutex);
  }
};

namespace {

void ReleaseData(ThreadData* data) {
  if (data->RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete data;
}

// Under data->Mutex.
void MarkFinished(ThreadData* data) {
  data->Finished = true;
  pthread_cond_broadcast(&data->Condition);
}

// Every body runs with asynchronous cancellation, and a body may call the operations of
// its own or another thread. A cancel that struck inside pthread_mutex_lock (or while the
// mutex is held) would end the thread in the middle of the lock's code, so the lock is
// taken, held and given back under deferred cancellation; the caller's type returns after.
class DeferredCancel {
 public:
  DeferredCancel() { pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &previous); }
  ~DeferredCancel() { pthread_setcanceltype(previous, nullptr); }
  DeferredCancel(const DeferredCancel&) = delete;
  DeferredCancel& operator=(const DeferredCancel&) = delete;

 private:
  int previous = PTHREAD_CANCEL_DEFERRED;
};

class DataLock {
 public:
  explicit DataLock(ThreadData* data) : mutex(&data->Mutex) { pthread_mutex_lock(mutex); }
  ~DataLock() { pthread_mutex_unlock(mutex); }
  DataLock(const DataLock&) = delete;
  DataLock& operator=(const DataLock&) = delete;

 private:
  pthread_mutex_t* mutex;
};

void* ThreadProc(void* argument) {
  auto* data = static_cast<ThreadData*>(argument);
  // The creator holds the mutex until Handle is stored. Cancellation turns asynchronous
  // only after the mutex is let go: a pending cancel acts at once when the type changes,
  // and must not end the thread while it holds the mutex.
  pthread_mutex_lock(&data->Mutex);
  pthread_mutex_unlock(&data->Mutex);
  pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);

  uint32_t result = data->Function(data->Argument);
  // Back to deferred: a cancel arriving now must not strike inside the locked section.
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  data->ExitCode.store(result, std::memory_order_relaxed);

  pthread_mutex_lock(&data->Mutex);
  MarkFinished(data);
  pthread_mutex_unlock(&data->Mutex);
  ReleaseData(data);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(result));
}

// An absolute deadline `milliseconds` from now, carried into seconds.
timespec DeadlineAfter(uint32_t milliseconds) {
  timeval now;
  gettimeofday(&now, nullptr);
  uint64_t micros = uint64_t{milliseconds % 1000} * 1000 + static_cast<uint64_t>(now.tv_usec);
  timespec deadline;
  deadline.tv_sec = static_cast<time_t>(now.tv_sec + milliseconds / 1000 + micros / 1000000);
  deadline.tv_nsec = static_cast<long>((micros % 1000000) * 1000);
  return deadline;
}

}  // namespace

Thread::Thread(ThreadFunction function, void* argument) : Data(new ThreadData(function, argument)) {
  DataLock lock(Data);
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  // The new thread inherits the full mask, so signals go to the other threads.
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  pthread_t handle;
  int created = pthread_create(&handle, nullptr, ThreadProc, Data);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (created == 0) {
    Data->Handle = handle;
    return;
  }
  ORMIVANE_ASSERT_AT(!"pthread_create failed", kThreadFile, kCreateFailedSite);
  // A thread that never ran counts as finished, so waiting for it ends at once.
  Data->Finished = true;
  Data->RefCount.fetch_sub(1, std::memory_order_acq_rel);
}

Thread::~Thread() {
  {
    DeferredCancel deferred;
    DataLock lock(Data);
    if (Data->Handle != 0) {
      ORMIVANE_ASSERT_AT(!Data->Handle && "Wait() not called for destroying thread.", kThreadFile, kNotWaitedSite);
      pthread_detach(Data->Handle);
      Data->Handle = 0;
    }
  }
  ReleaseData(Data);
}

void Thread::Wait() {
  if (Data->Handle != 0 && pthread_equal(Data->Handle, pthread_self())) {
    ORMIVANE_ASSERT_AT(Data->Handle != pthread_self(), kThreadFile, kWaitFromSelfSite);
    return;  // a thread cannot join itself; the owner still can later
  }
  if (Data->Handle == 0) return;
  pthread_join(Data->Handle, nullptr);
  Data->Handle = 0;
}

bool Thread::TimedWait(uint32_t milliseconds) {
  bool finished;
  {
    DeferredCancel deferred;
    DataLock lock(Data);
    if (!Data->Finished) {
      timespec deadline = DeadlineAfter(milliseconds);
      // A wake-up without the broadcast (spurious, or for another waiter) waits again
      // for what is left until the deadline.
      while (!Data->Finished) {
        int waited = pthread_cond_timedwait(&Data->Condition, &Data->Mutex, &deadline);
        if (waited != 0 && waited != EINTR) break;
      }
    }
    finished = Data->Finished;
  }
  if (!finished) return false;
  Wait();
  return true;
}

void Thread::Terminate() {
  // Before any lock: a thread ending itself while its owner terminates it would otherwise
  // take the owner's cancel inside pthread_mutex_lock. Deferred, that cancel waits, and
  // pthread_exit below ends the thread first. The caller's type returns only once the
  // mutex is given back.
  int previous = PTHREAD_CANCEL_DEFERRED;
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &previous);
  pthread_t handle;
  bool finished;
  {
    DataLock lock(Data);
    finished = Data->Finished;
    handle = Data->Handle;
    if (!finished && pthread_equal(handle, pthread_self())) {
      MarkFinished(Data);
    } else if (!finished) {
      pthread_cancel(handle);
    }
  }
  if (!finished && pthread_equal(handle, pthread_self())) {
    ReleaseData(Data);
    pthread_exit(nullptr);
  }
  if (!finished) {
    // Joined without the mutex: the thread may still need it on its way out.
    pthread_join(handle, nullptr);
    DataLock lock(Data);
    Data->Handle = 0;
    // Only the object's reference is left: a cancelled thread never dropped its own.
    Data->RefCount.store(1, std::memory_order_release);
    MarkFinished(Data);
  }
  pthread_setcanceltype(previous, nullptr);
}

pthread_t Thread::GetHandle() { return Data->Handle; }

void Thread::SetPriority(uint32_t level) {
  ORMIVANE_ASSERT_AT(Data->Handle, kThreadFile, kSetPriorityHandleSite);
  DeferredCancel deferred;
  DataLock lock(Data);
  if (Data->Finished || Data->Handle == 0) return;
  int policy;
  sched_param parameters;
  if (pthread_getschedparam(Data->Handle, &policy, &parameters) != 0) {
    ORMIVANE_ASSERT_AT(false, kThreadFile, kSetPriorityParamSite);
    return;
  }
  int min = sched_get_priority_min(policy);
  int max = sched_get_priority_max(policy);
  switch (level) {
    case kThreadPriorityLowest: parameters.sched_priority = min; break;
    case kThreadPriorityBelowNormal: parameters.sched_priority = (min + max) / 2 - 1; break;
    case kThreadPriorityNormal: parameters.sched_priority = (min + max) / 2; break;
    case kThreadPriorityHighest: parameters.sched_priority = max; break;
    default: break;
  }
  // Refused values (below the policy's range, or without the right) leave it as it was.
  pthread_setschedparam(Data->Handle, policy, &parameters);
}

uint32_t Thread::GetPriority() {
  ORMIVANE_ASSERT_AT(Data->Handle, kThreadFile, kGetPriorityHandleSite);
  DeferredCancel deferred;
  DataLock lock(Data);
  if (Data->Finished || Data->Handle == 0) return kThreadPriorityNormal;
  int policy;
  sched_param parameters;
  if (pthread_getschedparam(Data->Handle, &policy, &parameters) != 0) {
    ORMIVANE_ASSERT_AT(false, kThreadFile, kGetPriorityParamSite);
    return kThreadPriorityNormal;
  }
  int min = sched_get_priority_min(policy);
  int max = sched_get_priority_max(policy);
  int priority = parameters.sched_priority;
  if (priority <= min) return kThreadPriorityLowest;
  if (priority < (min + max) / 2) return kThreadPriorityBelowNormal;
  if (priority >= max) return kThreadPriorityHighest;
  return kThreadPriorityNormal;
}

struct ThreadTesting {
  static ThreadData* DataOf(Thread& thread) { return thread.Data; }
};

void WakeThreadWaitersForTest(Thread& thread) { pthread_cond_broadcast(&ThreadTesting::DataOf(thread)->Condition); }
void LockThreadForTest(Thread& thread) { pthread_mutex_lock(&ThreadTesting::DataOf(thread)->Mutex); }
void UnlockThreadForTest(Thread& thread) { pthread_mutex_unlock(&ThreadTesting::DataOf(thread)->Mutex); }

uint32_t Thread::GetExitCode() { return Data->ExitCode.load(std::memory_order_relaxed); }

}  // namespace Common

// Common::Thread over POSIX threads: a block shared by the owner and the running thread,
// freed by whichever lets go of it last.
#include "core/common/unix/thread_unix.h"
#include "core/common/unix/thread_data.h"

#include <sched.h>
#include <signal.h>
#include <sys/time.h>
#include <unwind.h>

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
// its own or another thread. A cancel that struck inside pthread_mutex_lock, while the
// mutex is held or inside an allocation would end the thread in the middle of that code,
// so the operations do their work with cancellation deferred (or off), and give the
// caller's setting back at their end, where a pending cancel then acts. They switch with
// plain calls in a frame that has nothing to clean up: unwinding passes such a frame,
// whereas in a frame with a destructor to run, or a noexcept one, a cancel ends in
// std::terminate (an asynchronous one lands between the call sites the frame's cleanups
// are listed for). So the work that holds the lock sits in a callee that must stay a
// frame of its own.
int DeferCancel() {
  int previous = PTHREAD_CANCEL_DEFERRED;
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &previous);
  return previous;
}

void RestoreCancel(int previous) { pthread_setcanceltype(previous, nullptr); }

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

// The programs carry their own C++ runtime and unwinder (-static-libstdc++ -static-libgcc),
// but glibc unwinds a cancelled or exiting thread with the shared libgcc_s it loads by
// itself. At each frame with a destructor to run, that unwinder calls the carried
// personality routine, which sets the landing pad's registers with the carried
// _Unwind_SetGR on libgcc_s's context. That copy sizes each register from a table it fills
// only when it starts an unwind of its own, and aborts while the table is empty. One walk
// of the carried unwinder fills it before a thread can be cancelled. Linking libgcc shared
// instead would make the launcher need libgcc_s.so.1 to start at all. Both copies use the
// same context layout: its flag word and version field exist so that unwinders of
// different builds can work on one unwind. Where the runtime is shared (the sanitizer
// builds) the walk is just a walk.
_Unwind_Reason_Code StopAtFirstFrame(_Unwind_Context*, void*) { return _URC_END_OF_STACK; }

void FillCarriedUnwinderTables() {
  static const bool filled = (_Unwind_Backtrace(StopAtFirstFrame, nullptr), true);
  static_cast<void>(filled);
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

// The locked halves of the operations below; see DeferCancel.
// Under data->Mutex: finished, and no other thread about to join it.
bool IsSettled(const ThreadData* data) { return data->Finished && !data->Terminating; }

[[gnu::noinline]] bool WaitUntilFinished(ThreadData* data, uint32_t milliseconds) {
  DataLock lock(data);
  if (!IsSettled(data)) {
    timespec deadline = DeadlineAfter(milliseconds);
    // A wake-up without the broadcast (spurious, or for another waiter) waits again
    // for what is left until the deadline.
    while (!IsSettled(data)) {
      int waited = pthread_cond_timedwait(&data->Condition, &data->Mutex, &deadline);
      if (waited != 0 && waited != EINTR) break;
    }
  }
  return IsSettled(data);
}

enum class TerminateRoad { kNothing, kEndSelf, kJoin, kAwaitOther };

// Decides under the mutex who does what: the thread itself ends at once; otherwise the
// first terminator cancels and joins, and any other one waits until that is done.
[[gnu::noinline]] TerminateRoad ClaimTermination(ThreadData* data, pthread_t* handle) {
  DataLock lock(data);
  *handle = data->Handle;
  if (!data->Finished && data->Handle != 0 && pthread_equal(data->Handle, pthread_self())) {
    MarkFinished(data);
    return TerminateRoad::kEndSelf;
  }
  if (data->Terminating) return TerminateRoad::kAwaitOther;
  if (data->Finished || data->Handle == 0) return TerminateRoad::kNothing;
  data->Terminating = true;
  pthread_cancel(data->Handle);
  return TerminateRoad::kJoin;
}

[[gnu::noinline]] void FinishTermination(ThreadData* data) {
  DataLock lock(data);
  data->Handle = 0;
  // Only the object's reference is left: a cancelled thread never dropped its own.
  data->RefCount.store(1, std::memory_order_release);
  data->Terminating = false;
  MarkFinished(data);
}

[[gnu::noinline]] void AwaitTermination(ThreadData* data) {
  DataLock lock(data);
  while (data->Terminating) pthread_cond_wait(&data->Condition, &data->Mutex);
}

[[gnu::noinline]] void ApplyPriority(ThreadData* data, uint32_t level) {
  DataLock lock(data);
  if (data->Finished || data->Handle == 0) return;
  int policy;
  sched_param parameters;
  if (pthread_getschedparam(data->Handle, &policy, &parameters) != 0) {
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
  pthread_setschedparam(data->Handle, policy, &parameters);
}

[[gnu::noinline]] uint32_t ReadPriority(ThreadData* data) {
  DataLock lock(data);
  if (data->Finished || data->Handle == 0) return kThreadPriorityNormal;
  int policy;
  sched_param parameters;
  if (pthread_getschedparam(data->Handle, &policy, &parameters) != 0) {
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

}  // namespace

Thread::Thread(ThreadFunction function, void* argument) : Data(new ThreadData(function, argument)) {
  FillCarriedUnwinderTables();
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
  // A destructor cannot let a cancel through, so cancellation stays off until the end; a
  // body that may be cancelled asynchronously defers around it (see the header).
  int previous = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
  {
    DataLock lock(Data);
    if (Data->Handle != 0) {
      ORMIVANE_ASSERT_AT(!Data->Handle && "Wait() not called for destroying thread.", kThreadFile, kNotWaitedSite);
      pthread_detach(Data->Handle);
      Data->Handle = 0;
    }
  }
  ReleaseData(Data);
  pthread_setcancelstate(previous, nullptr);
}

void Thread::Wait() {
  int previous = DeferCancel();
  // A cancel acts only inside pthread_join, before the thread is joined: Handle then
  // still names it for whoever waits next.
  if (Data->Handle != 0 && pthread_equal(Data->Handle, pthread_self())) {
    // A thread cannot join itself; the owner still can later.
    ORMIVANE_ASSERT_AT(Data->Handle != pthread_self(), kThreadFile, kWaitFromSelfSite);
  } else if (Data->Handle != 0) {
    pthread_join(Data->Handle, nullptr);
    Data->Handle = 0;
  }
  RestoreCancel(previous);
}

bool Thread::TimedWait(uint32_t milliseconds) {
  int previous = DeferCancel();
  bool finished = WaitUntilFinished(Data, milliseconds);
  if (finished) Wait();
  RestoreCancel(previous);
  return finished;
}

void Thread::Terminate() {
  // Off for the whole road, not just deferred: a thread ending itself while its owner
  // terminates it would otherwise take the owner's cancel inside pthread_mutex_lock, and a
  // terminator cancelled inside its pthread_join would leave the other thread cancelled but
  // never joined nor marked finished. A cancel of the caller acts once its setting returns.
  // Two threads that terminate each other at once therefore wait for each other.
  int previous = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
  pthread_t handle = 0;
  switch (ClaimTermination(Data, &handle)) {
    case TerminateRoad::kEndSelf:
      ReleaseData(Data);
      pthread_exit(nullptr);
    case TerminateRoad::kJoin:
      // Joined without the mutex: the thread may still need it on its way out.
      pthread_join(handle, nullptr);
      FinishTermination(Data);
      break;
    case TerminateRoad::kAwaitOther:
      AwaitTermination(Data);
      break;
    case TerminateRoad::kNothing:
      break;
  }
  pthread_setcancelstate(previous, nullptr);
}

pthread_t Thread::GetHandle() { return Data->Handle; }

void Thread::SetPriority(uint32_t level) {
  int previous = DeferCancel();
  ORMIVANE_ASSERT_AT(Data->Handle, kThreadFile, kSetPriorityHandleSite);
  ApplyPriority(Data, level);
  RestoreCancel(previous);
}

uint32_t Thread::GetPriority() {
  int previous = DeferCancel();
  ORMIVANE_ASSERT_AT(Data->Handle, kThreadFile, kGetPriorityHandleSite);
  uint32_t level = ReadPriority(Data);
  RestoreCancel(previous);
  return level;
}

uint32_t Thread::GetExitCode() { return Data->ExitCode.load(std::memory_order_relaxed); }

}  // namespace Common

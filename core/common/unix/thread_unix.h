// Common::Thread: a joinable thread that runs one function with one argument, with all
// signals blocked and asynchronous cancellation enabled, that can be waited for with or
// without a time limit, terminated, and given one of four priority levels.
#pragma once

#include <pthread.h>

#include <cstdint>

namespace Common {

// The body of a thread: its result becomes the thread's exit code.
using ThreadFunction = uint32_t (*)(void* argument);

// Priority levels, mapped onto the range of the thread's present scheduling policy.
inline constexpr uint32_t kThreadPriorityLowest = 0;
inline constexpr uint32_t kThreadPriorityBelowNormal = 1;
inline constexpr uint32_t kThreadPriorityNormal = 2;
inline constexpr uint32_t kThreadPriorityHighest = 3;

// The exit code until the body has returned.
inline constexpr uint32_t kThreadNoExitCode = 0xFFFFFFFF;

// The operations of a running thread, in their fixed order.
class ThreadAccessor {
 public:
  virtual ~ThreadAccessor() = default;
  // Joins the thread; returns at once when it was already joined.
  virtual void Wait() = 0;
  // True (and the thread joined) when it finished within `milliseconds`, else false.
  virtual bool TimedWait(uint32_t milliseconds) = 0;
  // Ends the thread: from inside, at once; from outside, cancels and joins it.
  virtual void Terminate() = 0;
  // The POSIX handle; 0 when it never started or once joined, cancelled or detached.
  virtual pthread_t GetHandle() = 0;
  virtual void SetPriority(uint32_t level) = 0;
  virtual uint32_t GetPriority() = 0;
  // The body's result; kThreadNoExitCode until it has returned. Read it after Wait.
  virtual uint32_t GetExitCode() = 0;
};

struct ThreadData;

// Created and started at once. The owner calls Wait (or TimedWait until it returns true)
// before destroying the object; destroying a running thread asserts and detaches it.
//
// Terminate from another thread cancels the body asynchronously, wherever it is. That is
// safe only for a body that, whenever it can be terminated, either blocks in a system
// call (read, pause, a condition wait) or runs code that holds no lock, allocates no
// memory and leaves no shared state half changed; a body that needs those must switch to
// deferred cancellation around them. The operations of Common::Thread do so themselves:
// a body may terminate, wait for or query any thread, itself included. A cancel of the
// body then acts inside a wait or once the operation is done; Terminate of another thread
// completes first (so two threads that terminate each other at once wait for each other
// for ever). Creating and destroying a Common::Thread are not among them: a body does that
// with deferred cancellation, since a destructor cannot let a cancel through.
//
// A cancel inside a blocking call unwinds the body's frames and runs their destructors; one
// that lands between the calls of a frame with a destructor to run (or of a noexcept frame)
// skips those destructors or ends in std::terminate. So a body holds no such frame where it
// can be cancelled asynchronously.
class Thread : public ThreadAccessor {
 public:
  Thread(ThreadFunction function, void* argument);
  ~Thread() override;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void Wait() override;
  bool TimedWait(uint32_t milliseconds) override;
  void Terminate() override;
  pthread_t GetHandle() override;
  void SetPriority(uint32_t level) override;
  uint32_t GetPriority() override;
  uint32_t GetExitCode() override;

 private:
  // The seam of thread_unix_testing.h.
  friend struct ThreadTesting;

  ThreadData* Data;
};

}  // namespace Common

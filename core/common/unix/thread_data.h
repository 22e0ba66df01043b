// The block a Common::Thread shares with its running thread: thread_unix.cpp and its
// test seam (thread_unix_testing.cpp) see it, nothing else.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "core/common/unix/thread_unix.h"

namespace Common {

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
  // Under Mutex: a Terminate from another thread has cancelled the thread and joins it;
  // everyone else who would join it waits until it is cleared.
  bool Terminating = false;

  ThreadData(ThreadFunction function, void* argument) : Function(function), Argument(argument) {
    pthread_mutex_init(&Mutex, nullptr);
    pthread_cond_init(&Condition, nullptr);
  }
  ~ThreadData() {
    pthread_cond_destroy(&Condition);
    pthread_mutex_destroy(&Mutex);
  }
};

}  // namespace Common

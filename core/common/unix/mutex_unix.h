// Common::Mutex: the recursive lock that guards the process-wide tables of the core,
// the file system and the resource archive, with its scope guard.
#pragma once

#include <pthread.h>

namespace Common {

// A recursive POSIX mutex: the owner may lock it again and must unlock it as often.
// Unlocking it from a thread that does not hold it is reported with SafeAssert.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

  // The names the standard lock templates expect (std::unique_lock, std::scoped_lock).
  void lock() { Lock(); }
  void unlock() { Unlock(); }

  // For a condition variable that waits on this mutex (hold it exactly once then).
  pthread_mutex_t* NativeHandle() { return &mutex; }

 private:
  pthread_mutex_t mutex;
};

// Holds a Mutex for the guard's scope, so an exception or early return releases it.
class MutexGuard {
 public:
  explicit MutexGuard(Mutex& mutex) : held(mutex) { held.Lock(); }
  ~MutexGuard() { held.Unlock(); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  Mutex& held;
};

}  // namespace Common

// Tests of Common::Mutex: recursion, exclusion between threads, the guard, and the
// report of an unlock by a thread that does not hold it.
#include "core/common/mutex.h"

#include <pthread.h>

#include <cerrno>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/tests/safe_assert_recorder.h"

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() { return "mutex:UnlockWithoutOwning\n"; }
#endif

namespace {

// Whether another thread could take the mutex now.
bool FreeForOthers(Common::Mutex& mutex) {
  bool free = false;
  std::thread other([&] {
    int result = pthread_mutex_trylock(mutex.NativeHandle());
    free = result == 0;
    if (free) pthread_mutex_unlock(mutex.NativeHandle());
  });
  other.join();
  return free;
}

TEST(MutexTest, OwnerLocksAgainAndUnlocksAsOften) {
  Common::Mutex mutex;
  mutex.Lock();
  mutex.Lock();
  mutex.Unlock();
  EXPECT_FALSE(FreeForOthers(mutex));
  mutex.Unlock();
  EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(MutexTest, GuardReleasesOnException) {
  Common::Mutex mutex;
  try {
    Common::MutexGuard guard(mutex);
    Common::MutexGuard again(mutex);
    throw std::runtime_error("unwind");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(MutexTest, ExcludesOtherThreads) {
  Common::Mutex mutex;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        Common::MutexGuard guard(mutex);
        Common::MutexGuard nested(mutex);
        ++counter;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 8000);
}

// The misuse is deliberate here: the thread sanitizer is told not to report it.
__attribute__((noinline)) void UnlockWithoutOwning(Common::Mutex& mutex) { mutex.Unlock(); }

TEST(MutexTest, UnlockByNonOwnerIsReportedAndReturns) {
  Testing::AssertRecorder recorder;
  Common::Mutex mutex;
  mutex.Lock();
  std::thread other([&] { UnlockWithoutOwning(mutex); });
  other.join();
  EXPECT_FALSE(FreeForOthers(mutex));  // still held by its owner
  mutex.Unlock();

  // An unlock of a mutex nobody holds is reported the same way.
  UnlockWithoutOwning(mutex);
  const std::string expected = Testing::AssertText("ret == 0 && \"Probably unlock from non-owner thread!\"",
                                                   "core/common/unix/mutex_unix", 51);
  EXPECT_EQ(recorder.Reports(), (std::vector<std::string>{expected, expected}));
}

}  // namespace

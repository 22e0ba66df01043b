// A guard for the child between fork and exec: this program puts its own malloc, free and
// mutex functions in place of the system's, counts every call that a forked child makes
// before it executes the program, and launches children while other threads allocate
// and lock. A call there could wait forever for a lock that only a thread absent from
// the child would give back, so the count must stay at none.
//
// The sanitizer runtimes intercept the same functions, so only the plain build has the
// counting functions and runs the test.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "enterprise/common/child_process/process_creator_posix.h"
#include "enterprise/common/child_process/tests/child_test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORMIVANE_FORK_GUARD 0
#else
#define ORMIVANE_FORK_GUARD 1
#endif

#if ORMIVANE_FORK_GUARD

namespace {

enum GuardedCall { kMalloc, kCalloc, kRealloc, kFree, kMutexLock, kMutexTryLock, kMutexUnlock, kGuardedCalls };

const char* const kCallNames[kGuardedCalls] = {"malloc", "calloc", "realloc", "free", "pthread_mutex_lock",
                                                "pthread_mutex_trylock", "pthread_mutex_unlock"};

// In memory that the children share with this process: what they called.
struct ChildCalls {
  std::atomic<uint32_t> Count[kGuardedCalls];
};

ChildCalls* g_childCalls = nullptr;
// Set in a child by the fork handler, before fork returns there.
bool g_inChild = false;

inline void Note(GuardedCall call) {
  if (g_inChild && g_childCalls != nullptr) g_childCalls->Count[call].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);

void* malloc(size_t size) {
  Note(kMalloc);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  Note(kCalloc);
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
  Note(kRealloc);
  return __libc_realloc(pointer, size);
}
void free(void* pointer) {
  if (pointer != nullptr) Note(kFree);
  __libc_free(pointer);
}
}  // extern "C"

namespace {

using MutexFunction = int (*)(pthread_mutex_t*);
MutexFunction g_realLock = nullptr;
MutexFunction g_realTryLock = nullptr;
MutexFunction g_realUnlock = nullptr;

// Found before main, while one thread runs: the loader takes locks and allocates.
__attribute__((constructor)) void FindMutexFunctions() {
  g_realLock = reinterpret_cast<MutexFunction>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  g_realTryLock = reinterpret_cast<MutexFunction>(dlsym(RTLD_NEXT, "pthread_mutex_trylock"));
  g_realUnlock = reinterpret_cast<MutexFunction>(dlsym(RTLD_NEXT, "pthread_mutex_unlock"));
}

}  // namespace

extern "C" {
int pthread_mutex_lock(pthread_mutex_t* mutex) {
  Note(kMutexLock);
  return g_realLock(mutex);
}
int pthread_mutex_trylock(pthread_mutex_t* mutex) {
  Note(kMutexTryLock);
  return g_realTryLock(mutex);
}
int pthread_mutex_unlock(pthread_mutex_t* mutex) {
  Note(kMutexUnlock);
  return g_realUnlock(mutex);
}
}  // extern "C"

#endif  // ORMIVANE_FORK_GUARD

namespace ChildProcess {
namespace {

using namespace ChildProcessTesting;

#if ORMIVANE_FORK_GUARD

void ChildStarts() { g_inChild = true; }

// Allocates and locks until told to stop, so that some thread is inside the allocator or
// holds a mutex whenever a child is forked.
void Churn(const std::atomic<bool>& stop, std::mutex& shared) {
  std::vector<std::vector<char>> kept(16);
  for (size_t round = 0; !stop.load(std::memory_order_relaxed); ++round) {
    std::lock_guard<std::mutex> lock(shared);
    kept[round % kept.size()].assign(64 + round % 4096, 'x');
  }
}

#endif  // ORMIVANE_FORK_GUARD

TEST(ChildForkExecGuardTest, NoAllocationOrLockBetweenForkAndExec) {
#if !ORMIVANE_FORK_GUARD
  GTEST_SKIP() << "the sanitizer runtimes intercept malloc and the mutex functions themselves";
#else
  ASSERT_TRUE(ProbeIsBuilt()) << ProbePath() << " is missing: build child_process_probe";
  ASSERT_NE(g_realLock, nullptr);
  LoadCatalog();
  void* shared = mmap(nullptr, sizeof(ChildCalls), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  g_childCalls = new (shared) ChildCalls{};
  ASSERT_EQ(pthread_atfork(nullptr, nullptr, ChildStarts), 0);

  Watchdog watchdog(3 * kPatience, "launches beside threads that allocate and lock");
  std::atomic<bool> stop{false};
  std::mutex churnLock;
  std::vector<std::thread> churners;
  for (int i = 0; i < 3; ++i) churners.emplace_back(Churn, std::cref(stop), std::ref(churnLock));

  TempDir dir;
  const std::u16string probe = Wide(ProbePath());
  // Every road through the child: handles redirected all ways, a directory, environment
  // entries, a program that starts and one that cannot.
  for (int round = 0; round < 20; ++round) {
    auto sink = std::make_shared<MemorySink>();
    Parameters started;
    started.Argv = {probe, u"cat"};
    started.Stdin = InputHandle::Pipe();
    started.Stdout = OutputHandle::Pipe(sink);
    started.MergeStderr = round % 2 == 0;
    started.Stderr = OutputHandle::NullDevice();
    started.WorkingDirectory = dir.WidePath();
    started.Environment = {{u"FORK_GUARD", u"on"}, {u"PATH", u"/nonexistent"}};
    try {
      std::shared_ptr<Control> control = Create(started);
      control->TakeInput().reset();
      EXPECT_EQ(control->Wait(), 0);
    } catch (const Common::Error& error) {
      ADD_FAILURE() << "the launch failed:\n" << DisplayText(error);
    }

    Parameters missing;
    missing.Argv = {dir.WidePath() + u"/missing"};
    missing.Stdout.Type = HandleType::File;
    missing.Stdout.FileName = dir.WidePath() + u"/out";
    bool failed = false;
    try {
      Create(missing);
    } catch (const Common::Error& error) {
      failed = error.GetCode() == Common::CHILD_LAUNCH_FAILED;
    }
    EXPECT_TRUE(failed);
  }

  stop.store(true);
  for (std::thread& churner : churners) churner.join();
  for (int call = 0; call < kGuardedCalls; ++call)
    EXPECT_EQ(g_childCalls->Count[call].load(), 0u) << kCallNames[call] << " called between fork and exec";
  g_childCalls = nullptr;
  munmap(shared, sizeof(ChildCalls));
#endif
}

}  // namespace
}  // namespace ChildProcess

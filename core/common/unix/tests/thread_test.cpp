// Tests of Common::Thread: exit code, waiting with and without a limit, termination from
// inside and outside, the body's signal mask and cancel type, priorities, and the
// reports of misuse.
#include "core/common/thread.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/tests/safe_assert_recorder.h"
#include "core/common/unix/thread_unix_testing.h"

namespace {

constexpr const char* kThreadFile = "core/common/unix/thread_unix";

// A one-way latch the tests open to let a body go on (or the body opens to say where it is).
class Gate {
 public:
  void Open() { open.store(true, std::memory_order_release); }
  bool IsOpen() const { return open.load(std::memory_order_acquire); }
  void Pass() const {
    while (!IsOpen()) sched_yield();
  }

 private:
  std::atomic<bool> open{false};
};

struct GatedBody {
  Gate go;
  uint32_t result = 0;
};

uint32_t WaitForGate(void* argument) {
  auto* body = static_cast<GatedBody*>(argument);
  body->go.Pass();
  return body->result;
}

uint32_t ReturnAtOnce(void*) { return 3; }

// A body that sleeps until it is cancelled (every signal is blocked, so pause never
// returns). It says when it is about to sleep and which kernel task it is.
struct SleepingBody {
  Gate entered;
  std::atomic<long> task{0};
};

uint32_t SleepUntilCancelled(void* argument) {
  auto* body = static_cast<SleepingBody*>(argument);
  body->task.store(syscall(SYS_gettid));
  body->entered.Open();
  for (;;) pause();
}

// Whether the kernel task sleeps (waits in a system call).
bool IsAsleep(long task) {
  std::ifstream stat("/proc/self/task/" + std::to_string(task) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

// Waits until the body's task is asleep in the kernel, so an asynchronous cancel strikes
// the blocking call and not code in the middle of an allocation or an instrumented write.
void WaitUntilAsleep(SleepingBody& body) {
  body.entered.Pass();
  while (!IsAsleep(body.task.load())) sched_yield();
}

TEST(ThreadTest, ExitCodeIsTheBodysResultOnceWaited) {
  GatedBody body;
  body.result = 7;
  Common::Thread thread(WaitForGate, &body);
  EXPECT_NE(thread.GetHandle(), pthread_t{0});
  EXPECT_EQ(thread.GetExitCode(), Common::kThreadNoExitCode);
  EXPECT_FALSE(thread.TimedWait(0));
  body.go.Open();
  thread.Wait();
  EXPECT_EQ(thread.GetExitCode(), 7u);
  EXPECT_EQ(thread.GetHandle(), pthread_t{0});
  thread.Wait();  // joined already: nothing to do
  EXPECT_TRUE(thread.TimedWait(0));
}

TEST(ThreadTest, TimedWaitZeroJoinsAFinishedThread) {
  Common::Thread thread(ReturnAtOnce, nullptr);
  while (!thread.TimedWait(0)) sched_yield();
  EXPECT_EQ(thread.GetHandle(), pthread_t{0});
  EXPECT_EQ(thread.GetExitCode(), 3u);
  thread.Wait();
}

TEST(ThreadTest, TimedWaitReturnsWhenTheBodyEnds) {
  GatedBody body;
  body.result = 11;
  Common::Thread thread(WaitForGate, &body);
  std::thread opener([&] { body.go.Open(); });
  // Long enough never to be reached: the body's end wakes the wait.
  EXPECT_TRUE(thread.TimedWait(600000));
  opener.join();
  EXPECT_EQ(thread.GetExitCode(), 11u);
}

// A wake-up that is not the finishing broadcast must not end the wait early, nor turn
// it into an unbounded join of a thread that is still running.
TEST(ThreadTest, TimedWaitOutlastsWakeUpsThatAreNotTheEnd) {
  SleepingBody body;
  Common::Thread thread(SleepUntilCancelled, &body);
  WaitUntilAsleep(body);
  std::atomic<bool> waiting{true};
  std::thread waker([&] {
    while (waiting.load()) {
      Common::WakeThreadWaitersForTesting(thread);
      sched_yield();
    }
  });
  EXPECT_FALSE(thread.TimedWait(200));
  waiting.store(false);
  waker.join();
  thread.Terminate();
  thread.Wait();
}

TEST(ThreadTest, TerminateFromOutsideEndsASleepingBody) {
  SleepingBody body;
  Common::Thread thread(SleepUntilCancelled, &body);
  WaitUntilAsleep(body);
  EXPECT_FALSE(thread.TimedWait(0));
  thread.Terminate();
  EXPECT_EQ(thread.GetHandle(), pthread_t{0});
  EXPECT_TRUE(thread.TimedWait(0));
  EXPECT_EQ(thread.GetExitCode(), Common::kThreadNoExitCode);
  thread.Wait();
  thread.Terminate();  // finished already: nothing to do
}

// Cancelling a thread that may not have reached its body yet. Under the sanitizers the
// cancel could strike instrumented start-up code, so only the plain build runs it.
TEST(ThreadTest, TerminateRightAfterStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an asynchronous cancel outside a blocking call is unsafe under the sanitizers";
#else
  for (int i = 0; i < 50; ++i) {
    SleepingBody body;
    Common::Thread thread(SleepUntilCancelled, &body);
    thread.Terminate();
    EXPECT_TRUE(thread.TimedWait(0));
    thread.Wait();
  }
#endif
}

struct SelfTerminatingBody {
  std::atomic<Common::Thread*> self{nullptr};
  std::atomic<bool> ranOn{false};
};

uint32_t TerminateSelf(void* argument) {
  auto* body = static_cast<SelfTerminatingBody*>(argument);
  while (body->self.load() == nullptr) sched_yield();
  body->self.load()->Terminate();
  body->ranOn.store(true);
  return 5;
}

TEST(ThreadTest, TerminateFromInsideEndsAtOnce) {
  SelfTerminatingBody body;
  Common::Thread thread(TerminateSelf, &body);
  body.self.store(&thread);
  EXPECT_TRUE(thread.TimedWait(600000));
  EXPECT_FALSE(body.ranOn.load());
  EXPECT_EQ(thread.GetExitCode(), Common::kThreadNoExitCode);
  thread.Wait();
}

// The owner terminates the thread while the body terminates itself, lined up so that the
// owner takes the thread's mutex first and cancels the body while it waits for that mutex.
// The cancel must wait until the body has ended itself: struck inside the lock it would
// end the process.
[[noreturn]] void TerminateFromBothSides() {
  for (int round = 0; round < 3; ++round) {
    SelfTerminatingBody body;
    SleepingBody bodyTask;
    struct Both {
      SelfTerminatingBody* self;
      SleepingBody* task;
    } both{&body, &bodyTask};
    Common::Thread thread(
        [](void* argument) -> uint32_t {
          auto* b = static_cast<Both*>(argument);
          b->task->task.store(syscall(SYS_gettid));
          b->task->entered.Open();
          return TerminateSelf(b->self);
        },
        &both);
    bodyTask.entered.Pass();  // past the start, which takes the mutex too
    Common::LockThreadForTesting(thread);
    SleepingBody ownerTask;
    std::thread owner([&] {
      ownerTask.task.store(syscall(SYS_gettid));
      ownerTask.entered.Open();
      thread.Terminate();
    });
    WaitUntilAsleep(ownerTask);  // first in line for the mutex
    body.self.store(&thread);
    WaitUntilAsleep(bodyTask);  // second, inside its own Terminate
    Common::UnlockThreadForTesting(thread);
    owner.join();
    thread.Wait();
    if (body.ranOn.load()) std::_Exit(3);
  }
  std::_Exit(0);
}

TEST(ThreadTest, TerminatingFromBothSidesAtOnce) {
  EXPECT_EXIT(TerminateFromBothSides(), ::testing::ExitedWithCode(0), "");
}

// A body whose frames hold locals with destructors when it ends: glibc unwinds a cancelled
// or exiting thread, and every destructor on the way must run.
struct UnwoundBody {
  SleepingBody sleeping;
  std::atomic<Common::Thread*> self{nullptr};  // set: the body terminates itself
  std::atomic<int> destroyed{0};
  Gate unwinding;  // opened by the first destructor
  Gate release;    // the first destructor waits for it when `holdInDestructor` is set
  bool holdInDestructor = false;
};

class CountOnExit {
 public:
  explicit CountOnExit(UnwoundBody* body) : body(body) {}
  ~CountOnExit() {
    body->unwinding.Open();
    if (body->holdInDestructor) body->release.Pass();
    body->destroyed.fetch_add(1);
  }
  CountOnExit(const CountOnExit&) = delete;
  CountOnExit& operator=(const CountOnExit&) = delete;

 private:
  UnwoundBody* body;
};

[[gnu::noinline]] uint32_t EndInnerFrame(UnwoundBody* body) {
  CountOnExit inner(body);
  if (Common::Thread* self = body->self.load()) {
    self->Terminate();
    return 1;
  }
  return SleepUntilCancelled(&body->sleeping);
}

uint32_t EndThroughDestructors(void* argument) {
  auto* body = static_cast<UnwoundBody*>(argument);
  CountOnExit outer(body);
  return EndInnerFrame(body) + 1;
}

// Each round is a new thread; the first cancellation of the process and the later ones
// take the same road.
TEST(ThreadTest, TerminateRunsTheDestructorsOfTheBody) {
  for (int round = 0; round < 4; ++round) {
    UnwoundBody fromOutside;
    Common::Thread outside(EndThroughDestructors, &fromOutside);
    WaitUntilAsleep(fromOutside.sleeping);
    outside.Terminate();
    EXPECT_EQ(fromOutside.destroyed.load(), 2) << "round " << round;
    outside.Wait();

    UnwoundBody fromInside;
    Common::Thread inside(
        [](void* argument) -> uint32_t {
          auto* body = static_cast<UnwoundBody*>(argument);
          while (body->self.load() == nullptr) sched_yield();
          return EndThroughDestructors(body);
        },
        &fromInside);
    fromInside.self.store(&inside);
    EXPECT_TRUE(inside.TimedWait(600000));
    EXPECT_EQ(fromInside.destroyed.load(), 2) << "round " << round;
    EXPECT_EQ(inside.GetExitCode(), Common::kThreadNoExitCode);
  }
}

// A body that keeps calling operations of its own thread while its owner terminates it at
// an arbitrary point: wherever the cancel lands, inside those operations or between them,
// the body ends and the process goes on.
struct QueryingBody {
  std::atomic<Common::Thread*> self{nullptr};
  Gate running;
  std::atomic<uint32_t> calls{0};
};

[[maybe_unused]] uint32_t QueryPriorityForever(void* argument) {
  auto* body = static_cast<QueryingBody*>(argument);
  while (body->self.load() == nullptr) sched_yield();
  body->running.Open();
  for (;;) {
    body->self.load()->GetPriority();
    body->calls.fetch_add(1, std::memory_order_relaxed);
  }
}

[[maybe_unused]] uint32_t TimedWaitForever(void* argument) {
  auto* body = static_cast<QueryingBody*>(argument);
  while (body->self.load() == nullptr) sched_yield();
  body->running.Open();
  for (;;) {
    body->self.load()->TimedWait(0);
    body->calls.fetch_add(1, std::memory_order_relaxed);
  }
}

TEST(ThreadTest, TerminateABodyInsideTheThreadsOwnOperations) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an asynchronous cancel outside a blocking call is unsafe under the sanitizers";
#else
  const struct {
    const char* name;
    Common::ThreadFunction body;
  } cases[] = {{"GetPriority", QueryPriorityForever}, {"TimedWait", TimedWaitForever}};
  std::minstd_rand random(26);
  for (const auto& c : cases) {
    for (int round = 0; round < 200; ++round) {
      QueryingBody body;
      Common::Thread thread(c.body, &body);
      body.self.store(&thread);
      body.running.Pass();
      uint32_t until = body.calls.load() + random() % 8;
      for (uint32_t spin = random() % 2000; spin != 0 || body.calls.load() < until; spin = spin ? spin - 1 : 0) {
      }
      thread.Terminate();
      EXPECT_TRUE(thread.TimedWait(0)) << c.name << " round " << round;
      thread.Wait();
    }
  }
#endif
}

// Whether the body had ended (its destructors run) when a Terminate returned.
struct Terminator {
  SleepingBody task;
  std::atomic<bool> done{false};
  std::atomic<bool> sawEnd{false};
};

void RunTerminator(Common::Thread& thread, UnwoundBody& body, Terminator& terminator) {
  terminator.task.task.store(syscall(SYS_gettid));
  terminator.task.entered.Open();
  thread.Terminate();
  terminator.sawEnd.store(body.destroyed.load() == 2);
  terminator.done.store(true);
}

// Until the terminator has returned or waits in the kernel.
void WaitUntilDoneOrAsleep(Terminator& terminator) {
  terminator.task.entered.Pass();
  while (!terminator.done.load() && !IsAsleep(terminator.task.task.load())) sched_yield();
}

// Two threads terminate one body at once; the body ends slowly (its destructor waits),
// so the second arrives while the first still waits for it. Each returns only once the
// body has ended and been joined, and the thread is joined once.
TEST(ThreadTest, TwoThreadsTerminatingOneBodyAtOnce) {
  for (int round = 0; round < 3; ++round) {
    UnwoundBody body;
    body.holdInDestructor = true;
    Common::Thread thread(EndThroughDestructors, &body);
    WaitUntilAsleep(body.sleeping);
    Terminator first;
    Terminator second;
    std::thread firstThread([&] { RunTerminator(thread, body, first); });
    body.unwinding.Pass();  // cancelled: the first now waits for the body to end
    std::thread secondThread([&] { RunTerminator(thread, body, second); });
    WaitUntilDoneOrAsleep(second);
    body.release.Open();
    firstThread.join();
    secondThread.join();
    EXPECT_TRUE(first.sawEnd.load()) << "round " << round;
    EXPECT_TRUE(second.sawEnd.load()) << "round " << round;
    EXPECT_EQ(thread.GetHandle(), pthread_t{0});
    EXPECT_TRUE(thread.TimedWait(0));
    thread.Wait();
  }
}

// A body terminates another thread and is itself terminated by its owner while it waits
// for that thread to end. The other thread must still be joined and marked finished, so
// that its own owner waits for it and destroys it without a report.
TEST(ThreadTest, TerminatorTerminatedWhileItWaits) {
  Testing::AssertRecorder recorder;
  UnwoundBody targetBody;
  targetBody.holdInDestructor = true;
  Common::Thread target(EndThroughDestructors, &targetBody);
  WaitUntilAsleep(targetBody.sleeping);

  struct Middle {
    Common::Thread* target;
    SleepingBody task;
  } middle{&target, {}};
  Common::Thread terminator(
      [](void* argument) -> uint32_t {
        auto* m = static_cast<Middle*>(argument);
        m->task.task.store(syscall(SYS_gettid));
        m->task.entered.Open();
        m->target->Terminate();
        return 0;
      },
      &middle);
  targetBody.unwinding.Pass();  // the target is cancelled: the terminator waits for it
  WaitUntilAsleep(middle.task);

  Terminator owner;
  std::thread ownerThread([&] {
    owner.task.task.store(syscall(SYS_gettid));
    owner.task.entered.Open();
    terminator.Terminate();
    owner.done.store(true);
  });
  WaitUntilDoneOrAsleep(owner);
  targetBody.release.Open();
  ownerThread.join();
  terminator.Wait();
  EXPECT_EQ(targetBody.destroyed.load(), 2);
  EXPECT_EQ(target.GetHandle(), pthread_t{0});
  EXPECT_TRUE(target.TimedWait(0));
  target.Wait();
  EXPECT_EQ(recorder.Reports(), std::vector<std::string>{});
}

struct MaskReport {
  std::vector<int> unblocked;
  int cancelType = -1;
};

// The signals among 1 to 31 and the real-time ones that the mask of the calling thread
// leaves unblocked (SIGKILL and SIGSTOP never count).
std::vector<int> UnblockedSignals() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  std::vector<int> unblocked;
  for (int s = 1; s <= SIGRTMAX; ++s) {
    if (s == SIGKILL || s == SIGSTOP || (s >= 32 && s < SIGRTMIN)) continue;
    if (sigismember(&mask, s) != 1) unblocked.push_back(s);
  }
  return unblocked;
}

uint32_t ReportMaskAndCancelType(void* argument) {
  auto* report = static_cast<MaskReport*>(argument);
  report->unblocked = UnblockedSignals();
  int type = -1;
  pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &type);
  report->cancelType = type;
  return 0;
}

TEST(ThreadTest, BodyRunsWithSignalsBlockedAndAsynchronousCancel) {
  // What a full mask blocks here: an emulator may keep a few real-time signals for itself.
  std::vector<int> unblockable;
  std::thread probe([&] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
    unblockable = UnblockedSignals();
  });
  probe.join();
  EXPECT_LE(unblockable.size(), 2u);

  std::vector<int> before = UnblockedSignals();
  MaskReport report;
  Common::Thread thread(ReportMaskAndCancelType, &report);
  thread.Wait();
  EXPECT_EQ(report.unblocked, unblockable);
  EXPECT_EQ(report.cancelType, PTHREAD_CANCEL_ASYNCHRONOUS);
  EXPECT_EQ(UnblockedSignals(), before);  // the creator's mask is restored
}

TEST(ThreadTest, DestroyingWithoutWaitReportsAndDetaches) {
  Testing::AssertRecorder recorder;
  GatedBody body;
  Gate finished;
  struct Body {
    GatedBody* gated;
    Gate* finished;
  } both{&body, &finished};
  auto* thread = new Common::Thread(
      [](void* argument) -> uint32_t {
        auto* b = static_cast<Body*>(argument);
        b->gated->go.Pass();
        b->finished->Open();
        return 0;
      },
      &both);
  delete thread;
  EXPECT_EQ(recorder.Reports(),
            std::vector<std::string>{Testing::AssertText(
                "!Data->Handle && \"Wait() not called for destroying thread.\"", kThreadFile, 126)});
  body.go.Open();  // the detached thread runs on
  finished.Pass();
}

uint32_t WaitForItself(void* argument) {
  static_cast<std::atomic<Common::Thread*>*>(argument)->load()->Wait();
  return 9;
}

TEST(ThreadTest, WaitFromTheThreadItselfIsReported) {
  Testing::AssertRecorder recorder;
  std::atomic<Common::Thread*> self{nullptr};
  GatedBody start;
  // The body must not look at `self` before it is set.
  struct Body {
    GatedBody* start;
    std::atomic<Common::Thread*>* self;
  } both{&start, &self};
  Common::Thread thread(
      [](void* argument) -> uint32_t {
        auto* b = static_cast<Body*>(argument);
        b->start->go.Pass();
        return WaitForItself(b->self);
      },
      &both);
  self.store(&thread);
  start.go.Open();
  thread.Wait();
  EXPECT_EQ(thread.GetExitCode(), 9u);
  EXPECT_EQ(recorder.Reports(),
            std::vector<std::string>{Testing::AssertText("Data->Handle != pthread_self()", kThreadFile, 163)});
}

TEST(ThreadTest, PrioritiesUnderTheDefaultPolicy) {
  SleepingBody body;
  Common::Thread thread(SleepUntilCancelled, &body);
  WaitUntilAsleep(body);
  int policy;
  sched_param parameters;
  ASSERT_EQ(pthread_getschedparam(thread.GetHandle(), &policy, &parameters), 0);
  if (sched_get_priority_min(policy) != 0 || sched_get_priority_max(policy) != 0) {
    thread.Terminate();
    GTEST_SKIP() << "the default policy here has a priority range";
  }
  for (uint32_t level = 0; level < 4; ++level) {
    thread.SetPriority(level);
    EXPECT_EQ(thread.GetPriority(), 0u) << "level " << level;
  }
  thread.Terminate();
  thread.Wait();
}

TEST(ThreadTest, PrioritiesUnderARealTimePolicy) {
  SleepingBody body;
  Common::Thread thread(SleepUntilCancelled, &body);
  WaitUntilAsleep(body);
  sched_param start{};
  start.sched_priority = 1;
  if (pthread_setschedparam(thread.GetHandle(), SCHED_RR, &start) != 0 || sched_get_priority_min(SCHED_RR) != 1 ||
      sched_get_priority_max(SCHED_RR) != 99) {
    thread.Terminate();
    thread.Wait();
    GTEST_SKIP() << "this machine gives no real-time policy with priorities 1 to 99";
  }
  const struct {
    uint32_t level;
    int priority;
    uint32_t readBack;
  } cases[] = {{0, 1, 0}, {1, 49, 1}, {2, 50, 2}, {3, 99, 3}, {2, 50, 2}, {7, 50, 2}};
  for (const auto& c : cases) {
    thread.SetPriority(c.level);
    int policy;
    sched_param parameters;
    ASSERT_EQ(pthread_getschedparam(thread.GetHandle(), &policy, &parameters), 0);
    EXPECT_EQ(policy, SCHED_RR);
    EXPECT_EQ(parameters.sched_priority, c.priority) << "level " << c.level;
    EXPECT_EQ(thread.GetPriority(), c.readBack) << "level " << c.level;
  }
  thread.Terminate();
  thread.Wait();
}

TEST(ThreadTest, PriorityOfAJoinedThreadIsReported) {
  Testing::AssertRecorder recorder;
  Common::Thread thread(ReturnAtOnce, nullptr);
  thread.Wait();
  thread.SetPriority(Common::kThreadPriorityHighest);
  EXPECT_EQ(thread.GetPriority(), Common::kThreadPriorityNormal);
  EXPECT_EQ(recorder.Reports(), (std::vector<std::string>{Testing::AssertText("Data->Handle", kThreadFile, 263),
                                                          Testing::AssertText("Data->Handle", kThreadFile, 272)}));
}

TEST(ThreadTest, ManyThreadsAtOnce) {
  std::vector<std::thread> owners;
  std::atomic<uint32_t> sum{0};
  for (int t = 0; t < 4; ++t)
    owners.emplace_back([&sum] {
      for (int i = 0; i < 25; ++i) {
        Common::Thread thread(ReturnAtOnce, nullptr);
        if (i % 2 == 0) {
          while (!thread.TimedWait(1)) {
          }
        } else {
          thread.Wait();
        }
        sum += thread.GetExitCode();
      }
    });
  for (std::thread& owner : owners) owner.join();
  EXPECT_EQ(sum.load(), 4u * 25u * 3u);
}

}  // namespace

// Change notification of POSIX directories by polling: a circular list of armed watches,
// one plain POSIX thread that stats one of them per wake-up, and the exit hook that stops
// it. Nothing here uses a kernel notification interface.
#include "core/file/unix/posix_notify.h"
#include "core/file/unix/posix_notify_state.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/common/error_codes.h"
#include "core/common/safe_assert.h"
#include "core/file/unix/posixsp.h"
#include "core/file/unix/posixsp_site.h"

namespace NotificationState {

pthread_mutex_t NotificationMutex = PTHREAD_MUTEX_INITIALIZER;
uint32_t NotificationCount = 0;
bool NotificationIdle = false;

}  // namespace NotificationState

namespace {

using namespace NotificationState;

constexpr Common::Site kThreadStartFailedSite{"EnableNotification", 1229};
constexpr Common::Site kStopCurrentAssertSite{"StopNotification", 210};
constexpr Common::Site kStopCountAssertSite{"StopNotification", 211};
constexpr Common::Site kStopJoinAssertSite{"StopNotification", 221};

// A full cycle over the list takes about this long, but no directory is looked at more
// often than every kMinLookIntervalMs.
constexpr uint64_t kCycleMs = 1000;
constexpr uint64_t kMinLookIntervalMs = 100;

// The rest of the watcher's state, guarded by NotificationMutex like every watch's fields.
pthread_cond_t NotificationWake = PTHREAD_COND_INITIALIZER;
pthread_t NotificationThreadHandle{};
bool NotificationThreadStarted = false;
bool NotificationStop = false;
NotificationWatch* CurrentNotification = nullptr;  // looked at next; null when the list is empty

// Holds the notification mutex; the watcher lets go of it around each callback.
class NotificationLock {
 public:
  NotificationLock() { Lock(); }
  ~NotificationLock() {
    if (held) pthread_mutex_unlock(&NotificationMutex);
  }
  NotificationLock(const NotificationLock&) = delete;
  NotificationLock& operator=(const NotificationLock&) = delete;

  void Lock() {
    pthread_mutex_lock(&NotificationMutex);
    held = true;
  }
  void Unlock() {
    held = false;
    pthread_mutex_unlock(&NotificationMutex);
  }

 private:
  bool held = false;
};

uint64_t GetTimeMs() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

void InsertWatch(NotificationWatch* watch) {
  if (watch->in_list) return;
  watch->in_list = true;
  ++NotificationCount;
  if (CurrentNotification == nullptr) {
    watch->previous = watch;
    watch->next = watch;
    CurrentNotification = watch;
    pthread_cond_signal(&NotificationWake);
    return;
  }
  // Just before the current one: it is looked at last in this cycle.
  NotificationWatch* before = CurrentNotification->previous;
  watch->previous = before;
  watch->next = CurrentNotification;
  before->next = watch;
  CurrentNotification->previous = watch;
}

void RemoveWatch(NotificationWatch* watch) {
  watch->in_list = false;
  --NotificationCount;
  if (watch->next == watch) {
    CurrentNotification = nullptr;
  } else {
    watch->previous->next = watch->next;
    watch->next->previous = watch->previous;
    if (CurrentNotification == watch) CurrentNotification = watch->next;
  }
  watch->previous = nullptr;
  watch->next = nullptr;
}

struct WatchTime {
  uint32_t Seconds;
  uint32_t Nanoseconds;
};

// The directory's own modification time, following links; a failed stat is a time of
// its own, so that a directory that vanishes or appears again counts as a change.
WatchTime ReadWatchTime(const std::string& path) {
  struct stat64 record {};
  if (stat64(path.c_str(), &record) != 0) return {0, kWatchStatFailed};
  return {static_cast<uint32_t>(record.st_mtim.tv_sec), static_cast<uint32_t>(record.st_mtim.tv_nsec)};
}

// Calls the listener with a temporary directory that shares `watch`; the temporary
// holds a watch reference, so the owner may go away during the call, and its
// destruction frees the watch in that case. False when the watcher must stop.
bool Fire(NotificationWatch* watch, NotificationLock& lock) {
  auto changed = std::make_unique<posix_dir>(watch->dir->GetNativePath());
  changed->watch = watch;
  ++watch->reference_count;
  NotificationListener* listener = watch->listener;
  ListenerAddRef(listener);
  lock.Unlock();
  listener->OnDirectoryChanged(changed.get());
  ListenerRelease(listener);
  changed.reset();
  lock.Lock();
  return !NotificationStop;
}

// One look at the current watch, which moves the cycle on whatever happens. A change
// fires once and disarms the watch; the first look only records the time. False when
// the watcher must stop.
bool LookAtNext(NotificationLock& lock) {
  NotificationWatch* watch = CurrentNotification;
  CurrentNotification = watch->next;
  WatchTime now = ReadWatchTime(watch->dir->GetNativePath());
  if (now.Seconds == watch->saved_seconds && now.Nanoseconds == watch->saved_nanoseconds) return true;
  bool first = watch->saved_seconds == 0 && watch->saved_nanoseconds == kWatchUnseen;
  watch->saved_seconds = now.Seconds;
  watch->saved_nanoseconds = now.Nanoseconds;
  if (first) return true;
  if (watch->in_list) RemoveWatch(watch);
  return Fire(watch, lock);
}

// Sleeps until the next look is due. False when the watcher must stop.
bool WaitForNextLook() {
  uint64_t interval = std::max<uint64_t>(kCycleMs / std::max<uint32_t>(NotificationCount, 1), kMinLookIntervalMs);
  uint64_t deadline = GetTimeMs() + interval;
  timespec until{};
  until.tv_sec = static_cast<time_t>(deadline / 1000);
  until.tv_nsec = static_cast<long>((deadline % 1000) * 1000000);
  pthread_cond_timedwait(&NotificationWake, &NotificationMutex, &until);
  return !NotificationStop;
}

void* NotificationThread(void*) {
  NotificationLock lock;
  while (!NotificationStop) {
    // The list is tested again after every wait: watches may all have been removed
    // meanwhile, and then the thread must sleep rather than look at nothing.
    while (CurrentNotification != nullptr) {
      if (!LookAtNext(lock)) return nullptr;
      if (CurrentNotification == nullptr) break;
      if (!WaitForNextLook()) return nullptr;
    }
    NotificationIdle = true;
    pthread_cond_wait(&NotificationWake, &NotificationMutex);
    NotificationIdle = false;
  }
  return nullptr;
}

// At exit. Watches still armed are reported and left as they are.
void StopNotification() {
  pthread_mutex_lock(&NotificationMutex);
  if (!NotificationThreadStarted) {
    pthread_mutex_unlock(&NotificationMutex);
    return;
  }
  if (CurrentNotification != nullptr)
    SafeAssert("CurrentNotification == 0", PosixSites::kSourceFile, kStopCurrentAssertSite);
  if (NotificationCount != 0) SafeAssert("NotificationCount == 0", PosixSites::kSourceFile, kStopCountAssertSite);
  pthread_t thread = NotificationThreadHandle;
  NotificationThreadHandle = pthread_t{};
  NotificationThreadStarted = false;
  NotificationStop = true;
  pthread_cond_signal(&NotificationWake);
  pthread_mutex_unlock(&NotificationMutex);
  int res = pthread_join(thread, nullptr);
  if (res != 0) SafeAssert("!res", PosixSites::kSourceFile, kStopJoinAssertSite);
}

[[maybe_unused]] const int kStopNotificationRegistered = std::atexit(StopNotification);

}  // namespace

void ListenerAddRef(NotificationListener* listener) {
  listener->reference_count.fetch_add(1, std::memory_order_relaxed);
}

void ListenerRelease(NotificationListener* listener) {
  if (listener->reference_count.fetch_sub(1, std::memory_order_acq_rel) == 1) delete listener;
}

void posix_dir::EnableNotification(NotificationListener* listener) {
  // Released once the mutex is let go, so that a listener's destructor may use
  // notification itself.
  NotificationListener* released = nullptr;
  {
    NotificationLock lock;
    if (listener != nullptr) {
      if (watch != nullptr) {
        released = watch->listener;
      } else {
        if (!NotificationThreadStarted) {
          if (pthread_create(&NotificationThreadHandle, nullptr, NotificationThread, nullptr) != 0) {
            lock.Unlock();
            ReplaceLastError(
                *this, Common::MakeError(PosixSites::kSource.At(kThreadStartFailedSite), Common::FILE_OPEN_ERROR));
            return;
          }
          NotificationThreadStarted = true;
        }
        watch = new NotificationWatch{this, nullptr, 0, kWatchUnseen, false, 1, nullptr, nullptr};
      }
      ListenerAddRef(listener);
      watch->listener = listener;
      InsertWatch(watch);
    } else if (watch != nullptr) {
      NotificationWatch* dropped = watch;
      watch = nullptr;
      if (--dropped->reference_count == 0) {
        if (dropped->in_list) RemoveWatch(dropped);
        released = dropped->listener;
        delete dropped;
      }
    }
  }
  if (released != nullptr) ListenerRelease(released);
  ReplaceLastError(*this, Common::NoError);
}

void posix_dir::RearmNotification() {
  NotificationLock lock;
  if (watch != nullptr) InsertWatch(watch);
}

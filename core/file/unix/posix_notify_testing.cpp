// Test seam of posix_notify.cpp, built into the test programs only.
#include "core/file/unix/posix_notify_testing.h"

#include "core/file/unix/posix_notify_state.h"
#include "core/file/unix/posixsp.h"

NotificationSnapshot GetNotificationSnapshotForTesting(const posix_dir& dir) {
  using namespace NotificationState;
  pthread_mutex_lock(&NotificationMutex);
  NotificationSnapshot snapshot;
  snapshot.ArmedWatches = NotificationCount;
  snapshot.ThreadIdle = NotificationIdle;
  if (const NotificationWatch* watch = dir.watch; watch != nullptr) {
    snapshot.HasWatch = true;
    snapshot.InList = watch->in_list;
    snapshot.SavedSeconds = watch->saved_seconds;
    snapshot.SavedNanoseconds = watch->saved_nanoseconds;
    snapshot.WatchReferences = watch->reference_count;
  }
  pthread_mutex_unlock(&NotificationMutex);
  return snapshot;
}

// Test seam of posix_notify.cpp: what the watcher holds, for tests, which must know when a
// look has happened instead of guessing from time.
#pragma once

#include <cstdint>

#include "core/file/unix/posix_notify.h"

// What the watcher holds for one directory object and overall, read under its mutex.
struct NotificationSnapshot {
  bool HasWatch = false;
  bool InList = false;
  uint32_t SavedSeconds = 0;
  uint32_t SavedNanoseconds = 0;
  uint32_t WatchReferences = 0;
  uint32_t ArmedWatches = 0;  // the length of the polling list
  bool ThreadIdle = false;    // the thread sleeps until a watch is armed
};
NotificationSnapshot GetNotificationSnapshotForTesting(const posix_dir& dir);

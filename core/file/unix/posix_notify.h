// Change notification of POSIX directories: one process-wide thread polls the
// modification time of each armed directory and tells its listener once per change.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/include/file/dir.h"

class posix_dir;

// Implemented by callers. The reference count is the first field after the table
// pointer, and the virtual operations are, in order, the callback and the destructor.
// A listener starts with one reference, its creator's; ListenerRelease deletes it.
class NotificationListener {
 public:
  NotificationListener() = default;
  NotificationListener(const NotificationListener&) = delete;
  NotificationListener& operator=(const NotificationListener&) = delete;

  // `dir` is a fresh directory object for the changed path, valid only during the call;
  // it shares the watch of the directory that enabled notification, so its
  // RearmNotification rearms that one. Called on the notification thread with no lock
  // held: the callback may enable, rearm or destroy any directory.
  virtual void OnDirectoryChanged(i_dir* dir) = 0;
  virtual ~NotificationListener() = default;

  std::atomic<uint32_t> reference_count{1};
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the count must stay a plain 32-bit word");

void ListenerAddRef(NotificationListener* listener);
void ListenerRelease(NotificationListener* listener);

// One per directory object with notification enabled. Every field is guarded by the
// notification mutex.
class NotificationWatch {
 public:
  posix_dir* dir;                    // the directory that enabled notification; its path is polled
  NotificationListener* listener;    // holds one reference
  uint32_t saved_seconds;            // st_mtim last seen
  uint32_t saved_nanoseconds;        // or kWatchUnseen, kWatchStatFailed
  bool in_list;                      // armed: in the polling list
  uint32_t reference_count;          // the owning directory, plus each callback in progress
  NotificationWatch* previous;       // links of the circular polling list
  NotificationWatch* next;
};

// Saved nanoseconds before the first look, and after a look whose stat failed.
inline constexpr uint32_t kWatchUnseen = 0xFFFFFFFF;
inline constexpr uint32_t kWatchStatFailed = 0xFFFFFFFE;

// What posix_notify.cpp keeps process-wide and its test seam reads (posix_notify_testing.cpp,
// built into the test programs alone); nothing else uses this header. Hidden, so that the
// program's dynamic symbol table does not export it.
#pragma once

#include <pthread.h>

#include <cstdint>

#pragma GCC visibility push(hidden)

namespace NotificationState {

// Guards the two below, the rest of the watcher's state and every watch's fields.
extern pthread_mutex_t NotificationMutex;
extern uint32_t NotificationCount;  // watches in the list
extern bool NotificationIdle;       // the thread sleeps until a watch is armed

}  // namespace NotificationState

#pragma GCC visibility pop

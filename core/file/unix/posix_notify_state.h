// What posix_notify.cpp keeps process-wide and its test seam reads (posix_notify_testing.cpp,
// built into the test programs alone); nothing else uses this header.
#pragma once

#include <pthread.h>

#include <cstdint>

namespace NotificationState {

// Guards the two below, the rest of the watcher's state and every watch's fields.
extern pthread_mutex_t NotificationMutex;
extern uint32_t NotificationCount;  // watches in the list
extern bool NotificationIdle;       // the thread sleeps until a watch is armed

}  // namespace NotificationState

// The recursive POSIX mutex behind Common::Mutex.
#include "core/common/unix/mutex_unix.h"

#include "core/common/safe_assert.h"

namespace Common {

namespace {
constexpr const char* kMutexFile = "core/common/unix/mutex_unix";
constexpr Site kUnlockSite{"Unlock", 51};
}  // namespace

Mutex::Mutex() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

Mutex::~Mutex() { pthread_mutex_destroy(&mutex); }

void Mutex::Lock() { pthread_mutex_lock(&mutex); }

void Mutex::Unlock() {
  int ret = pthread_mutex_unlock(&mutex);
  ORMIVANE_ASSERT_AT(ret == 0 && "Probably unlock from non-owner thread!", kMutexFile, kUnlockSite);
}

}  // namespace Common

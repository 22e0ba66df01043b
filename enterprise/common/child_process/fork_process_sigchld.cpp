// The SIGCHLD hold: while launches run, a caller's SIGCHLD disposition that would let the
// kernel reap children is replaced by one under which waitpid learns their status.
#include <pthread.h>
#include <signal.h>

#include <cstdint>

#include "enterprise/common/child_process/fork_process.h"

namespace ChildProcess {

namespace {

// The holds of all launches. `g_sigchldInstalled` is what the holds put in place of the
// caller's `g_sigchldOriginal`; `g_sigchldChanged` says it was put there and is not known
// to have been replaced by the caller since.
pthread_mutex_t g_sigchldMutex = PTHREAD_MUTEX_INITIALIZER;
uint32_t g_sigchldHolders = 0;
bool g_sigchldChanged = false;
struct sigaction g_sigchldOriginal;
struct sigaction g_sigchldInstalled;

bool ReapsChildrenItself(const struct sigaction& action) {
  if ((action.sa_flags & SA_NOCLDWAIT) != 0) return true;
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

bool SameDisposition(const struct sigaction& left, const struct sigaction& right) {
  constexpr int kMeaningful = SA_SIGINFO | SA_NOCLDWAIT | SA_NOCLDSTOP | SA_RESTART | SA_NODEFER | SA_RESETHAND |
                              SA_ONSTACK;
  return left.sa_handler == right.sa_handler && (left.sa_flags & kMeaningful) == (right.sa_flags & kMeaningful);
}

}  // namespace

// Every hold looks at the disposition in force, since the caller may change it while
// other holds exist: one that reaps children itself is replaced, and remembered as the
// caller's.
DefaultSigchldHold::DefaultSigchldHold() {
  pthread_mutex_lock(&g_sigchldMutex);
  ++g_sigchldHolders;
  struct sigaction current;
  if (sigaction(SIGCHLD, nullptr, &current) == 0) {
    if (g_sigchldChanged && !SameDisposition(current, g_sigchldInstalled)) g_sigchldChanged = false;
    if (ReapsChildrenItself(current)) {
      struct sigaction waitable = current;
      if ((waitable.sa_flags & SA_SIGINFO) == 0 && waitable.sa_handler == SIG_IGN) waitable.sa_handler = SIG_DFL;
      waitable.sa_flags &= ~SA_NOCLDWAIT;
      if (sigaction(SIGCHLD, &waitable, nullptr) == 0) {
        g_sigchldOriginal = current;
        g_sigchldInstalled = waitable;
        g_sigchldChanged = true;
      }
    }
  }
  Changed = g_sigchldChanged;
  if (Changed) Saved = g_sigchldOriginal;
  pthread_mutex_unlock(&g_sigchldMutex);
}

// The caller's disposition comes back only over the one the holds installed: one that
// the caller set meanwhile stays.
DefaultSigchldHold::~DefaultSigchldHold() {
  pthread_mutex_lock(&g_sigchldMutex);
  if (--g_sigchldHolders == 0 && g_sigchldChanged) {
    struct sigaction current;
    if (sigaction(SIGCHLD, nullptr, &current) == 0 && SameDisposition(current, g_sigchldInstalled))
      sigaction(SIGCHLD, &g_sigchldOriginal, nullptr);
    g_sigchldChanged = false;
  }
  pthread_mutex_unlock(&g_sigchldMutex);
}

}  // namespace ChildProcess

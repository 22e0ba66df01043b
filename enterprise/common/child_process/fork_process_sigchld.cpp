// The SIGCHLD hold: while launches run, a caller's SIGCHLD disposition that would let the
// kernel reap children is replaced by one under which waitpid learns their status.
#include <pthread.h>
#include <signal.h>

#include <cstdint>

#include "core/file/unix/signal_disposition.h"
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

// What the holds put in place of a disposition that reaps children: the caller's handler
// without SA_NOCLDWAIT, or else the library's own marked SIG_DFL, which a SIG_DFL that the
// caller sets meanwhile does not look like.
struct sigaction Waitable(const struct sigaction& current) {
  bool caught = (current.sa_flags & SA_SIGINFO) != 0 || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
  if (!caught) return SignalDisposition::Marked(SIG_DFL);
  struct sigaction waitable = current;
  waitable.sa_flags &= ~SA_NOCLDWAIT;
  return waitable;
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
    if (g_sigchldChanged && !SignalDisposition::Same(current, g_sigchldInstalled)) g_sigchldChanged = false;
    if (ReapsChildrenItself(current) &&
        SignalDisposition::Install(SIGCHLD, Waitable(current), &g_sigchldInstalled, nullptr)) {
      g_sigchldOriginal = current;
      g_sigchldChanged = true;
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
    if (sigaction(SIGCHLD, nullptr, &current) == 0 && SignalDisposition::Same(current, g_sigchldInstalled))
      sigaction(SIGCHLD, &g_sigchldOriginal, nullptr);
    g_sigchldChanged = false;
  }
  pthread_mutex_unlock(&g_sigchldMutex);
}

}  // namespace ChildProcess

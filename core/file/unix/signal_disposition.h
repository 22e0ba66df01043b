// Signal dispositions that the library puts in place of the caller's, and how it tells its
// own from one the caller set since: the SIGXFSZ that opening a file for writing ignores,
// and what a launched program must get back of it.
#pragma once

#include <signal.h>

namespace SignalDisposition {

// Two dispositions act alike and were set alike: same handler, the flags that matter and
// the same mask.
inline bool Same(const struct sigaction& left, const struct sigaction& right) {
  constexpr int kMeaningful =
      SA_SIGINFO | SA_NOCLDWAIT | SA_NOCLDSTOP | SA_RESTART | SA_NODEFER | SA_RESETHAND | SA_ONSTACK;
  if (left.sa_handler != right.sa_handler) return false;
  if ((left.sa_flags & kMeaningful) != (right.sa_flags & kMeaningful)) return false;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&left.sa_mask, signal) != sigismember(&right.sa_mask, signal)) return false;
  }
  return true;
}

// SIG_DFL or SIG_IGN, marked as the library's by flags that only act when a handler runs
// (SA_ONSTACK, SA_NODEFER, SA_RESETHAND): signal() never gives them all, nor does the usual
// sigaction call, so the library tells its own disposition from one that the caller set
// later with the same handler. The flags, not the mask: a sanitizer runtime reports a full
// mask for every SIG_DFL and SIG_IGN.
inline struct sigaction Marked(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_ONSTACK | SA_NODEFER | SA_RESETHAND;
  return action;
}

// Installs `wanted` for `signal`; on success `installed` is what the system then reports,
// for comparing with `Same` later (the system may leave signals out of the mask), and
// `previous` what was there before.
inline bool Install(int signal, const struct sigaction& wanted, struct sigaction* installed,
                    struct sigaction* previous) {
  if (sigaction(signal, &wanted, previous) != 0) return false;
  if (sigaction(signal, nullptr, installed) != 0) *installed = wanted;
  return true;
}

}  // namespace SignalDisposition

// The SIGXFSZ disposition that the library found when it first set SIGXFSZ to be ignored
// (opening a file for writing), while that SIG_IGN of the library is still in force.
// False when the library has not changed SIGXFSZ, or the caller has set it since (a
// SIG_IGN of the caller's own stays the program's too). A launched program gets `found` back, so that it does not inherit an
// ignored SIGXFSZ that nobody asked it for.
bool GetFileSizeSignalFound(struct sigaction* found);

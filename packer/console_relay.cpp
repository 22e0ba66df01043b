// Prompt recognition and answer reading for the console relay.
#include "packer/console_relay.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iostream>
#include <iterator>
#include <locale>
#include <new>

#include "core/common/text.h"

namespace Launcher {

namespace {

constexpr size_t kLongestPromptBytes = std::max(kPasswordPrompt.size(), kCodePrompt.size());
constexpr size_t kTailBytes = kLongestPromptBytes - 1;

// Every occurrence of a prompt has a ':' at the same place as the prompt itself, so one
// pass over the colons of a piece finds both prompts: a piece is read once, not twice.
constexpr size_t kPasswordColon = kPasswordPrompt.find(':');
constexpr size_t kCodeColon = kCodePrompt.find(':');
static_assert(kPasswordColon != std::string_view::npos && kCodeColon != std::string_view::npos);

// Whether `prompt` starts at `colon` - `promptColon` in window and ends after its first
// `seen` bytes, which the previous piece already showed.
bool PromptAt(std::string_view window, size_t colon, size_t seen, std::string_view prompt, size_t promptColon) {
  if (colon < promptColon) return false;
  size_t start = colon - promptColon;
  return window.size() - start >= prompt.size() && start + prompt.size() > seen &&
         window.compare(start, prompt.size(), prompt) == 0;
}

PromptsFound FindPrompts(std::string_view window, size_t seen) {
  PromptsFound found;
  for (size_t colon = window.find(':'); colon != std::string_view::npos; colon = window.find(':', colon + 1)) {
    found.Password = found.Password || PromptAt(window, colon, seen, kPasswordPrompt, kPasswordColon);
    found.Code = found.Code || PromptAt(window, colon, seen, kCodePrompt, kCodeColon);
  }
  return found;
}

// While an answer is read with the echo off, the terminal is the user's: a signal that
// ends the launcher first gives the echo back, and then ends it as it would have, so its
// directory stays as after any such signal; a stop signal gives the modes back, stops the
// launcher for real, and on continuing in the foreground switches the echo off again. The
// handlers run on whichever thread takes the signal (the main thread, or the reading
// thread for SIGTTIN): the modes and the flags below change only under `terminalBusy`,
// taken with every signal blocked, so no handler waits for a holder it interrupted.
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
constexpr int kSignalSlots = NSIG;

bool IsStopSignal(int signal) {
  return std::find(std::begin(kStopSignals), std::end(kStopSignals), signal) != std::end(kStopSignals);
}

// Whether the default action of `signal` ends the process, with or without a core file;
// SIGKILL and SIGSTOP cannot be caught.
bool EndsByDefault(int signal) {
  switch (signal) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
      return false;
    default:
      return true;
  }
}

// What the handlers share; globals rather than locals, since a handler's frame lies
// wherever the signal found the stack, where a sanitizer's bookkeeping need not expect one.
struct TerminalState {
  termios savedModes{};    // as found, put back at the end and before a stop
  termios quietModes{};    // the saved modes without the echo, for the read
  bool reading = false;    // an answer is being read and the handlers are in place
  bool echoIsOff = false;  // the terminal has quietModes, set by the launcher
  bool installed[kSignalSlots] = {};
  struct sigaction previous[kSignalSlots]{};
  struct sigaction standard{};     // SIG_DFL
  struct sigaction stopHandlers[kSignalSlots]{};  // put back once a stop is over
  sigset_t one{};
};
TerminalState terminal;
std::atomic_flag terminalBusy = ATOMIC_FLAG_INIT;  // lock-free, so the handlers may take it

void LockTerminal() {
  while (terminalBusy.test_and_set(std::memory_order_acquire)) sched_yield();
}
void UnlockTerminal() { terminalBusy.clear(std::memory_order_release); }

class TerminalLock {
 public:
  TerminalLock() { LockTerminal(); }
  ~TerminalLock() { UnlockTerminal(); }
  TerminalLock(const TerminalLock&) = delete;
  TerminalLock& operator=(const TerminalLock&) = delete;
};

// A terminal that is not the launcher's controlling one has no foreground to respect. A
// launcher in the background of a job-control shell leaves the foreground job's terminal
// alone: no thread that changes it would be stopped for it (their signals are blocked).
bool InForeground() {
  pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground == -1 || foreground == getpgrp();
}

// The callers hold `terminalBusy`. A launcher that is in the background without having
// been stopped (another process took the terminal's foreground) leaves the modes alone:
// they are the foreground job's now.
void PutSavedModesBack() {
  if (!terminal.echoIsOff) return;
  if (InForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &terminal.savedModes);
  terminal.echoIsOff = false;
}

// The saved modes, not the ones found on continuing: the shell that continues the launcher
// may leave its own line-editing modes on the terminal.
void SwitchEchoOffInForeground() {
  if (!terminal.reading || terminal.echoIsOff || !InForeground()) return;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &terminal.quietModes) == 0) terminal.echoIsOff = true;
}

extern "C" void RestoreTerminalAndEnd(int signal) {
  LockTerminal();
  PutSavedModesBack();
  sigaction(signal, &terminal.standard, nullptr);
  UnlockTerminal();
  // Blocked while this handler runs: delivered, with the default action, once it returns.
  raise(signal);
}

// Stops the whole process inside the handler, with the modes given back, and carries on
// here once it is continued. The SIGCONT handler switches the echo off again too, but the
// thread sanitizer may hold that signal back until the wait returns. The lock is held throughout: every other thread stops too.
// A SIGTTIN or SIGTTOU that finds the launcher in the foreground is stale (another thread
// took one of the same read first, and the launcher has been continued since): the read
// goes on in the foreground, and stopping again would leave the user waiting.
extern "C" void RestoreTerminalAndStop(int signal) {
  const int savedErrno = errno;
  LockTerminal();
  if (signal != SIGTSTP && InForeground()) {
    UnlockTerminal();
    errno = savedErrno;
    return;
  }
  PutSavedModesBack();
  sigaction(signal, &terminal.standard, nullptr);
  sigemptyset(&terminal.one);
  sigaddset(&terminal.one, signal);
  pthread_sigmask(SIG_UNBLOCK, &terminal.one, nullptr);
  raise(signal);
  pthread_sigmask(SIG_BLOCK, &terminal.one, nullptr);
  if (terminal.reading) sigaction(signal, &terminal.stopHandlers[signal], nullptr);
  SwitchEchoOffInForeground();
  UnlockTerminal();
  errno = savedErrno;
}

// After every stop, also one that no handler saw (SIGSTOP): its shell may have put its own
// modes back meanwhile, whatever the launcher set last.
extern "C" void SwitchEchoOffOnContinue(int) {
  const int savedErrno = errno;
  {
    TerminalLock lock;
    if (InForeground()) terminal.echoIsOff = false;
    SwitchEchoOffInForeground();
  }
  errno = savedErrno;
}

// SIGTTIN is taken by the reading thread alone (main blocks it), whose read must go on
// after the stop. The other signals reach the main thread, whose wait goes on by itself
// and must see them interrupt it: the thread sanitizer holds a signal back until the call
// returns.
struct sigaction HandlerAction(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigfillset(&action.sa_mask);
  action.sa_flags = signal == SIGTTIN ? SA_RESTART : 0;
  return action;
}

// A signal the launcher was started with ignored (nohup's SIGHUP) stays ignored, but for
// SIGCONT, which continues the launcher all the same.
void InstallHandler(int signal, void (*handler)(int)) {
  struct sigaction action = HandlerAction(signal, handler);
  terminal.installed[signal] = sigaction(signal, nullptr, &terminal.previous[signal]) == 0 &&
                               (terminal.previous[signal].sa_handler != SIG_IGN || signal == SIGCONT) &&
                               sigaction(signal, &action, nullptr) == 0;
}

void InstallHandlers() {
  terminal.standard = {};
  terminal.standard.sa_handler = SIG_DFL;
  for (int signal : kStopSignals) terminal.stopHandlers[signal] = HandlerAction(signal, RestoreTerminalAndStop);
  for (int signal = 1; signal < kSignalSlots; ++signal) {
    if (IsStopSignal(signal))
      InstallHandler(signal, RestoreTerminalAndStop);
    else if (signal == SIGCONT)
      InstallHandler(signal, SwitchEchoOffOnContinue);
    else if (EndsByDefault(signal))
      InstallHandler(signal, RestoreTerminalAndEnd);  // fails for those the C library keeps
  }
}

void RemoveHandlers() {
  for (int signal = 1; signal < kSignalSlots; ++signal) {
    if (terminal.installed[signal]) sigaction(signal, &terminal.previous[signal], nullptr);
    terminal.installed[signal] = false;
  }
}


// The terminal of standard input with the echo off while this lives, when it is a
// terminal in whose foreground the launcher is. Made on the reading thread, which blocks
// every signal.
class EchoOff {
 public:
  EchoOff() {
    if (!SwitchEchoOff()) return;
    active = true;
    SetTerminalInputSignal(SIG_UNBLOCK);
  }

  // The modes as they were, echo included, before the handlers go.
  ~EchoOff() {
    if (!active) return;
    SetTerminalInputSignal(SIG_BLOCK);
    TerminalLock lock;
    PutSavedModesBack();
    terminal.reading = false;
    RemoveHandlers();
  }

  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  static bool SwitchEchoOff() {
    termios modes{};
    if (tcgetattr(STDIN_FILENO, &modes) != 0) return false;
    TerminalLock lock;
    if (!InForeground()) return false;
    terminal.savedModes = modes;
    terminal.quietModes = modes;
    terminal.quietModes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    terminal.reading = true;
    InstallHandlers();
    terminal.echoIsOff = tcsetattr(STDIN_FILENO, TCSANOW, &terminal.quietModes) == 0;
    return true;
  }

  bool active = false;
};

Answer ReadWordWithoutEcho() {
  Answer answer;
  std::string word;
  {
    EchoOff echoOff;
    answer.Status = ReadAnswerWord(std::cin, word);
  }
  if (answer.Status != AnswerStatus::Read) return answer;
  try {
    answer.Word = Common::ToUtf16(word.c_str());
  } catch (const std::bad_alloc&) {
    answer.Status = AnswerStatus::NoMemory;
  }
  return answer;
}

}  // namespace

PromptsFound PromptScanner::Scan(std::string_view piece) {
  // A prompt that began in an earlier piece lies within the tail and the first bytes of
  // this one: only those are copied, the piece itself is searched where it lies.
  const size_t seen = tail.size();
  tail.append(piece.substr(0, kTailBytes));
  PromptsFound found = FindPrompts(tail, seen);
  PromptsFound inPiece = FindPrompts(piece, 0);
  found.Password = found.Password || inPiece.Password;
  found.Code = found.Code || inPiece.Code;
  // Keeping one byte less than the longest prompt means no whole prompt stays behind.
  if (piece.size() >= kTailBytes)
    tail.assign(piece.substr(piece.size() - kTailBytes));
  else if (tail.size() > kTailBytes)
    tail.erase(0, tail.size() - kTailBytes);
  return found;
}

AnswerStatus ReadAnswerWord(std::istream& in, std::string& word) {
  word.clear();
  try {
    // Skips the white space; false at the end of the input, and ever after it.
    std::istream::sentry started(in);
    if (!started) return AnswerStatus::Read;
    const auto& types = std::use_facet<std::ctype<char>>(in.getloc());
    std::streambuf* input = in.rdbuf();
    for (;;) {
      int next = input->sgetc();
      if (next == std::char_traits<char>::eof()) {
        in.setstate(std::ios_base::eofbit);
        break;
      }
      char c = std::char_traits<char>::to_char_type(next);
      if (types.is(std::ctype_base::space, c)) break;
      if (word.size() == kLongestAnswerBytes) return AnswerStatus::TooLong;
      word.push_back(c);
      input->sbumpc();
    }
  } catch (const std::bad_alloc&) {
    return AnswerStatus::NoMemory;
  }
  return AnswerStatus::Read;
}

Answer ReadPassword() { return ReadWordWithoutEcho(); }

Answer Read2FACode() { return ReadWordWithoutEcho(); }

// Only while the echo is the launcher's business: a read in the background then stops the
// launcher (through its handler) until it is in the foreground again, instead of failing
// and sending an empty answer.
void SetTerminalInputSignal(int how) {
  sigset_t input;
  sigemptyset(&input);
  sigaddset(&input, SIGTTIN);
  pthread_sigmask(how, &input, nullptr);
}

}  // namespace Launcher

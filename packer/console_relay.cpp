// Prompt recognition and answer reading for the console relay.
#include "packer/console_relay.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// While an answer is read with the echo off, a signal that ends the launcher must not
// leave the user's shell without echo: these signals restore the terminal first and then
// end the launcher as they would have, so its directory stays as after any such signal.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kEndingSignalCount = std::size(kEndingSignals);

// The attributes to restore, published to the handlers, which may run on any thread (the
// reading thread blocks every signal) and so read them only once `modesSaved` says so.
termios savedModes{};
std::atomic<bool> modesSaved{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handlers read it");

// No local whose address is taken: the handler's frame lies wherever the signal found
// the stack, where a sanitizer's bookkeeping need not expect one.
extern "C" void RestoreTerminalAndEnd(int signal) {
  if (modesSaved.load(std::memory_order_acquire)) tcsetattr(STDIN_FILENO, TCSANOW, &savedModes);
  ::signal(signal, SIG_DFL);
  // Blocked while this handler runs: delivered, with the default action, once it returns.
  raise(signal);
}

// The terminal of standard input, with the echo off while this lives, when it is a
// terminal the launcher may change: a launcher in the background of a job-control shell
// leaves the foreground job's terminal alone (it would never be stopped for changing it,
// as the reading thread blocks SIGTTOU). A terminal that is not the launcher's
// controlling one has no foreground to respect.
class EchoOff {
 public:
  EchoOff() {
    termios modes{};
    if (tcgetattr(STDIN_FILENO, &modes) != 0) return;
    pid_t foreground = tcgetpgrp(STDIN_FILENO);
    if (foreground != -1 && foreground != getpgrp()) return;
    savedModes = modes;
    modesSaved.store(true, std::memory_order_release);
    InstallHandlers();
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &modes);
    active = true;
  }

  // The attributes as they were, echo included, before the handlers go.
  ~EchoOff() {
    if (!active) return;
    tcsetattr(STDIN_FILENO, TCSANOW, &savedModes);
    RemoveHandlers();
    modesSaved.store(false, std::memory_order_release);
  }

  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  // A signal the launcher was started with ignored (nohup's SIGHUP) stays ignored.
  void InstallHandlers() {
    struct sigaction handler {};
    handler.sa_handler = RestoreTerminalAndEnd;
    sigemptyset(&handler.sa_mask);
    for (size_t i = 0; i < kEndingSignalCount; ++i) {
      installed[i] = sigaction(kEndingSignals[i], nullptr, &previous[i]) == 0 && previous[i].sa_handler != SIG_IGN &&
                     sigaction(kEndingSignals[i], &handler, nullptr) == 0;
    }
  }

  void RemoveHandlers() {
    for (size_t i = 0; i < kEndingSignalCount; ++i)
      if (installed[i]) sigaction(kEndingSignals[i], &previous[i], nullptr);
  }

  bool active = false;
  bool installed[kEndingSignalCount] = {};
  struct sigaction previous[kEndingSignalCount] {};
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

}  // namespace Launcher

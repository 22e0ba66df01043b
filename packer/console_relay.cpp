// Prompt recognition and answer reading for the console relay.
#include "packer/console_relay.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

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

std::u16string ReadWordWithoutEcho() {
  SetConsoleEcho(false);
  std::string word;
  std::cin >> word;
  SetConsoleEcho(true);
  return Common::ToUtf16(word.c_str());
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

std::u16string ReadPassword() { return ReadWordWithoutEcho(); }

std::u16string Read2FACode() { return ReadWordWithoutEcho(); }

void SetConsoleEcho(bool on) {
  termios modes{};
  if (tcgetattr(STDIN_FILENO, &modes) != 0) return;
  if (on)
    modes.c_lflag |= ECHO;
  else
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSANOW, &modes);
}

}  // namespace Launcher

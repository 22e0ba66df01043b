// The console side of the tool's prompts: finding the password and two-factor prompts in
// the tool's output, and reading the user's answers with the terminal's echo off.
#pragma once

#include <string>
#include <string_view>

namespace Launcher {

inline constexpr std::string_view kPasswordPrompt = "Enter password for user: ";
inline constexpr std::string_view kCodePrompt =
    "2FA verification: Enter the 6-digit code displayed on your authenticator app";

// Which prompts a piece of output asks for. When both, the password is answered first.
struct PromptsFound {
  bool Password = false;
  bool Code = false;
};

// Watches the tool's output piece by piece. A prompt counts for the piece in which it
// ends, so one that spans the end of a piece and the start of the next is seen too, and
// no occurrence is counted twice. Each prompt counts at most once per piece.
class PromptScanner {
 public:
  PromptsFound Scan(std::string_view piece);

 private:
  // The last bytes seen, too few to hold a whole prompt.
  std::string tail;
};

// One blank-delimited word of standard input, read with the echo off (empty at the end
// of the input). Both behave alike; each serves one prompt.
std::u16string ReadPassword();
std::u16string Read2FACode();

// Switches the terminal echo of standard input; nothing happens when it is no terminal.
void SetConsoleEcho(bool on);

}  // namespace Launcher

// The console side of the tool's prompts: finding the password and two-factor prompts in
// the tool's output, and reading the user's answers with the terminal's echo off.
#pragma once

#include <cstddef>
#include <istream>
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

// The longest answer taken, in bytes. A terminal hands a reader at most 4095 bytes per
// line and no password or two-factor code comes near that; 64 KiB leaves room for any
// pasted secret while a word without end on standard input cannot exhaust the memory.
inline constexpr size_t kLongestAnswerBytes = 65536;

enum class AnswerStatus {
  Read,      // the word, empty at the end of the input
  TooLong,   // the word went on past kLongestAnswerBytes
  NoMemory,  // an allocation failed
};

struct Answer {
  AnswerStatus Status = AnswerStatus::Read;
  std::u16string Word;
};

// One word of `in` as `in >> word` reads it: white space skipped first, the word ends
// before the next white space, which stays in the input. Never throws; on TooLong or
// NoMemory the word is incomplete and the rest of it stays in the input.
AnswerStatus ReadAnswerWord(std::istream& in, std::string& word);

// One word of standard input, read with the echo off when standard input is a terminal
// whose foreground the launcher is. Both behave alike; each serves one prompt.
Answer ReadPassword();
Answer Read2FACode();

// SIGTTIN blocked (SIG_BLOCK) or taken (SIG_UNBLOCK) by the calling thread. main blocks it
// for the whole run; the thread that reads an answer from the terminal takes it while it
// reads, so the stop a read in the background asks for finds that read and no other call.
void SetTerminalInputSignal(int how);

}  // namespace Launcher

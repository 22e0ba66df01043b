// Splitting a command line into arguments with shell or Windows rules, without a shell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/common/token_enum.h"

namespace Common {

// 1 selects the shell rules, any other value the Windows rules.
using CommandLineSyntax = uint32_t;
inline constexpr CommandLineSyntax kShellSyntax = 1;
inline constexpr CommandLineSyntax kWindowsSyntax = 2;

enum class QuoteState : uint32_t { None = 0, Single = 1, Double = 2 };

enum class ReadKind : uint32_t { Literal = 0, Quote = 1, Separator = 2, End = 3 };

// The tokenizer's cursor over a NUL-terminated text, and the result of its last step.
struct CommandLineReader {
  const char16_t* Text = nullptr;
  size_t Position = 0;
  CommandLineSyntax Syntax = kShellSyntax;
  QuoteState Quote = QuoteState::None;
  // Windows rules: the backslash run ending at RunEnd is followed by a quotation mark.
  bool Escape = false;
  size_t RunEnd = 0;
  ReadKind Kind = ReadKind::End;
  char16_t Character = 0;
};

// One step of the reader; throws CMDLINE_PARSE_ERROR on a backslash that ends the text
// under the shell rules.
void Get(CommandLineReader& reader);

// Splits `text`; throws CMDLINE_PARSE_ERROR on a trailing backslash (shell rules) or an
// unclosed quote.
std::unique_ptr<TokenEnumerator> TokenizeCommandLine(const char16_t* text, CommandLineSyntax syntax);

}  // namespace Common

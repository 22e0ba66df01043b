// The command-line tokenizer: a reader that classifies one character at a time, and the
// loop that builds tokens from its steps.
#include "core/common/cmdline_tokenizer.h"

#include <utility>
#include <vector>

#include "core/common/error.h"

namespace Common {

namespace {

constexpr SourceFile kSource{Locations::CoreCommonCmdlineTokenizer, "core/common/cmdline_tokenizer.cpp"};
constexpr Site kTrailingBackslashSite{"Get", 96};
constexpr Site kUnclosedQuoteSite{"ReadUntilQuote", 377};

constexpr char16_t kQuotation = u'"';
constexpr char16_t kApostrophe = u'\'';
constexpr char16_t kBackslash = u'\\';

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

void Yield(CommandLineReader& reader, ReadKind kind, char16_t c, size_t consumed) {
  reader.Kind = kind;
  reader.Character = c;
  reader.Position += consumed;
}

void GetShell(CommandLineReader& reader) {
  const char16_t* at = reader.Text + reader.Position;
  char16_t c = at[0];
  if (c == 0) return Yield(reader, ReadKind::End, 0, 0);
  switch (reader.Quote) {
    case QuoteState::None:
      if (IsBlank(c)) return Yield(reader, ReadKind::Separator, c, 1);
      if (c == kBackslash) {
        if (at[1] == 0) throw MakeError(kSource.At(kTrailingBackslashSite), CMDLINE_PARSE_ERROR);
        return Yield(reader, ReadKind::Literal, at[1], 2);
      }
      if (c == kQuotation) {
        reader.Quote = QuoteState::Double;
        return Yield(reader, ReadKind::Quote, c, 1);
      }
      if (c == kApostrophe) {
        reader.Quote = QuoteState::Single;
        return Yield(reader, ReadKind::Quote, c, 1);
      }
      break;
    case QuoteState::Double:
      if (c == kQuotation) {
        reader.Quote = QuoteState::None;
        return Yield(reader, ReadKind::Quote, c, 1);
      }
      if (c == kBackslash && (at[1] == kBackslash || at[1] == kQuotation))
        return Yield(reader, ReadKind::Literal, at[1], 2);
      break;
    case QuoteState::Single:
      if (c == kApostrophe) {
        reader.Quote = QuoteState::None;
        return Yield(reader, ReadKind::Quote, c, 1);
      }
      break;
  }
  Yield(reader, ReadKind::Literal, c, 1);
}

// Inside a run of backslashes. A run that precedes a quotation mark gives one backslash
// per two, and an odd last one escapes the mark; any other run is taken literally.
void GetInBackslashRun(CommandLineReader& reader) {
  if (!reader.Escape) return Yield(reader, ReadKind::Literal, kBackslash, 1);
  size_t left = reader.RunEnd - reader.Position;
  if (left >= 2) return Yield(reader, ReadKind::Literal, kBackslash, 2);
  reader.Escape = false;
  Yield(reader, ReadKind::Literal, kQuotation, 2);
}

void GetWindows(CommandLineReader& reader) {
  const char16_t* text = reader.Text;
  char16_t c = text[reader.Position];
  if (c == 0) return Yield(reader, ReadKind::End, 0, 0);
  if (c == kBackslash) {
    if (reader.Position >= reader.RunEnd) {
      size_t end = reader.Position;
      while (text[end] == kBackslash) ++end;
      reader.RunEnd = end;
      reader.Escape = text[end] == kQuotation;
    }
    return GetInBackslashRun(reader);
  }
  if (c == kQuotation) {
    reader.Quote = reader.Quote == QuoteState::None ? QuoteState::Double : QuoteState::None;
    return Yield(reader, ReadKind::Quote, c, 1);
  }
  if (reader.Quote == QuoteState::None && IsBlank(c)) return Yield(reader, ReadKind::Separator, c, 1);
  Yield(reader, ReadKind::Literal, c, 1);
}

// Appends a quoted section up to its closing quote. A quote that opens a new section right
// behind the closing one is kept in the token, so "a""b" reads as a"b. Leaves the reader
// on the step after the section.
void ReadUntilQuote(CommandLineReader& reader, WString& token) {
  for (;;) {
    Get(reader);
    if (reader.Kind == ReadKind::End) throw MakeError(kSource.At(kUnclosedQuoteSite), CMDLINE_PARSE_ERROR);
    if (reader.Kind != ReadKind::Quote) {
      token.push_back(reader.Character);
      continue;
    }
    Get(reader);
    if (reader.Kind != ReadKind::Quote) return;
    token.push_back(reader.Character);
  }
}

}  // namespace

void Get(CommandLineReader& reader) {
  if (reader.Syntax == kShellSyntax)
    GetShell(reader);
  else
    GetWindows(reader);
}

std::unique_ptr<TokenEnumerator> TokenizeCommandLine(const char16_t* text, CommandLineSyntax syntax) {
  CommandLineReader reader;
  reader.Text = text != nullptr ? text : u"";
  reader.Syntax = syntax;
  std::vector<WString> tokens;
  Get(reader);
  for (;;) {
    while (reader.Kind == ReadKind::Separator) Get(reader);
    if (reader.Kind == ReadKind::End) break;
    WString token;
    for (;;) {
      if (reader.Kind == ReadKind::Literal) {
        token.push_back(reader.Character);
        Get(reader);
      } else if (reader.Kind == ReadKind::Quote) {
        ReadUntilQuote(reader, token);
      } else {
        break;
      }
    }
    tokens.push_back(std::move(token));
  }
  return CreateTokenEnumerator(std::move(tokens));
}

}  // namespace Common

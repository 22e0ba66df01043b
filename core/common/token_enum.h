// A list of UTF-16 tokens handed out one at a time: the result of splitting a command line.
#pragma once

#include <memory>
#include <vector>

#include "core/common/text.h"
#include "core/common/non_copyable.h"

namespace Common {

class TokenEnumerator : private Common::NonCopyable {
 public:
  TokenEnumerator() = default;
  virtual ~TokenEnumerator() = default;

  // Whether the current position holds a token.
  virtual bool HasNext() = 0;
  // A copy of the current token; throws NO_MORE_DATA past the last one.
  virtual WString GetToken() = 0;
  // Moves to the next token; throws NO_MORE_DATA past the last one.
  virtual void Next() = 0;
};

// An enumerator over copies of the NUL-terminated strings in [first, last).
std::unique_ptr<TokenEnumerator> CreateTokenEnumerator(const char16_t* const* first, const char16_t* const* last);
// The same over strings the caller has already collected; the enumerator takes them.
std::unique_ptr<TokenEnumerator> CreateTokenEnumerator(std::vector<WString> tokens);

}  // namespace Common

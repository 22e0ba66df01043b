// The token enumerator over a vector of strings.
#include "core/common/token_enum.h"

#include <utility>

#include "core/common/error.h"

namespace Common {

namespace {

constexpr SourceFile kSource{Locations::CoreCommonTokenEnum, "core/common/token_enum.cpp"};
constexpr Site kGetTokenSite{"GetToken", 96};
constexpr Site kNextSite{"Next", 105};

class TokenEnumeratorImpl final : public TokenEnumerator {
 public:
  explicit TokenEnumeratorImpl(std::vector<WString> tokens) : tokens_(std::move(tokens)) {}

  bool HasNext() override { return position_ < tokens_.size(); }

  WString GetToken() override {
    if (!HasNext()) throw MakeError(kSource.At(kGetTokenSite), NO_MORE_DATA);
    return tokens_[position_];
  }

  void Next() override {
    if (!HasNext()) throw MakeError(kSource.At(kNextSite), NO_MORE_DATA);
    ++position_;
  }

 private:
  std::vector<WString> tokens_;
  size_t position_ = 0;
};

}  // namespace

std::unique_ptr<TokenEnumerator> CreateTokenEnumerator(const char16_t* const* first, const char16_t* const* last) {
  std::vector<WString> tokens;
  for (const char16_t* const* p = first; p != last; ++p) tokens.emplace_back(*p);
  return CreateTokenEnumerator(std::move(tokens));
}

std::unique_ptr<TokenEnumerator> CreateTokenEnumerator(std::vector<WString> tokens) {
  return std::make_unique<TokenEnumeratorImpl>(std::move(tokens));
}

}  // namespace Common

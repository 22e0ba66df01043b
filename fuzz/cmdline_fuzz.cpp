// Fuzzing the command-line tokenizer under both syntaxes: any text either splits into
// tokens made of its own characters or fails with the parse error, and the enumerator
// hands out exactly the tokens it holds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/common/cmdline_tokenizer.h"
#include "core/common/error.h"
#include "core/common/error_display.h"
#include "fuzz/fuzz_support.h"

namespace {

// The input's bytes as UTF-16 units (pairs, little-endian); a 0 unit ends the text as it
// would end a C string.
Common::WString ToText(const uint8_t* data, size_t size) {
  Common::WString text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

void Split(const Common::WString& text, Common::CommandLineSyntax syntax) {
  std::unique_ptr<Common::TokenEnumerator> tokens;
  try {
    tokens = Common::TokenizeCommandLine(text.c_str(), syntax);
  } catch (const Common::Error& error) {
    FUZZ_CHECK(error.GetCode() == Common::CMDLINE_PARSE_ERROR);
    Common::FormatError(error);
    return;
  }
  FUZZ_CHECK(tokens != nullptr);
  size_t units = 0;
  size_t count = 0;
  while (tokens->HasNext()) {
    Common::WString token = tokens->GetToken();
    units += token.size();
    // Every character of a token is a character of the text, taken once at most.
    FUZZ_CHECK(units <= text.size());
    FUZZ_CHECK(token.find(u'\0') == Common::WString::npos);
    tokens->Next();
    FUZZ_CHECK(++count <= text.size());
  }
  // Past the end both operations fail with "no more data".
  for (int operation = 0; operation < 2; ++operation) {
    try {
      if (operation == 0)
        tokens->GetToken();
      else
        tokens->Next();
      FUZZ_CHECK(false);
    } catch (const Common::Error& error) {
      FUZZ_CHECK(error.GetCode() == Common::NO_MORE_DATA);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Fuzzing::SetUpProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Common::WString text = ToText(data, size);
  Split(text, Common::kShellSyntax);
  Split(text, Common::kWindowsSyntax);
  return 0;
}

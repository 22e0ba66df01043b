// Fuzzing the message catalog: the loader's check (the entry point that reports instead
// of aborting), then, for a catalog that passes, every slot's text read to its end, its
// placeholders filled, and errors made and shown in the catalog's words.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/common/error.h"
#include "core/common/error_display.h"
#include "core/common/messages.h"
#include "core/resources/catalog.h"
#include "fuzz/fuzz_support.h"

namespace {

// Makes a catalog current for one input and puts the carried one back afterwards.
class CurrentCatalogSwap {
 public:
  explicit CurrentCatalogSwap(const uint8_t* catalog) : saved(Common::CurrentCatalog.exchange(catalog)) {}
  ~CurrentCatalogSwap() { Common::CurrentCatalog.store(saved); }
  CurrentCatalogSwap(const CurrentCatalogSwap&) = delete;
  CurrentCatalogSwap& operator=(const CurrentCatalogSwap&) = delete;

 private:
  const uint8_t* saved;
};

// The text at `at` up to its 0 unit, read byte-wise: a text may lie at an odd position.
// It must end before `end`, the end of the padded copy.
Common::WString ReadText(const uint8_t* at, const uint8_t* end) {
  Common::WString text;
  for (;; at += sizeof(char16_t)) {
    FUZZ_CHECK(end - at >= static_cast<ptrdiff_t>(sizeof(char16_t)));
    char16_t unit;
    std::memcpy(&unit, at, sizeof unit);
    if (unit == 0) return text;
    text.push_back(unit);
  }
}

// Errors of every code, with and without arguments and with an errno cause, as the
// display shows them in this catalog's words.
void FormatErrors() {
  static constexpr uint32_t kCodes[] = {
#define ORMIVANE_FUZZ_CODE(name, value, message) value,
      ORMIVANE_ERROR_CODES(ORMIVANE_FUZZ_CODE)
#undef ORMIVANE_FUZZ_CODE
  };
  Common::FormatError(Common::Error());
  for (uint32_t code : kCodes) {
    Common::SourceLocation site =
        Common::MakeLocation(Common::Locations::CoreCommonError, "fuzz/catalog_fuzz.cpp", "Fuzz", 1);
    Common::Error plain = Common::MakeError(site, code);
    Common::Error filled = Common::MakeError(site, code, {u"/tmp/a b", u"{1}", u""});
    filled.AddCause(plain);
    filled.AddPosixError(ENOENT);
    Common::FormatError(filled);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Fuzzing::SetUpProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  std::unique_ptr<uint8_t[]> catalog(Resources::CopyValidCatalog(data, static_cast<uint32_t>(size)));
  if (!catalog) return 0;
  const uint8_t* begin = catalog.get();
  const uint8_t* end = begin + size + Resources::kCatalogPaddingBytes;
  CurrentCatalogSwap swap(begin);

  const std::vector<Common::WString> args = {u"zero", u"one", u"{0}"};
  for (uint32_t n = Common::kFirstMessage; n <= Common::kLastMessage; ++n) {
    const auto* text = reinterpret_cast<const uint8_t*>(Common::GetMessageText(Common::Message(n)));
    FUZZ_CHECK(text >= begin && text < begin + size);
    FUZZ_CHECK(Common::IsCatalogText(text));
    Common::WString copy = ReadText(text, end);
    Common::WString filled;
    Common::SubstituteParams(filled, copy, args);
  }
  // Texts at odd positions included: the display reads them through byte loads.
  FormatErrors();
  return 0;
}

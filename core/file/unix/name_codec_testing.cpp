// Test seam of name_codec.cpp, built into the test programs only.
#include "core/file/unix/name_codec_testing.h"

#include <unicode/ucnv.h>

#include "core/file/unix/name_codec_state.h"

namespace NameCodec {

UConverter* OpenConverterWithCallbacksForTesting(const char* name) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(name, &status);
  if (U_FAILURE(status) || converter == nullptr) return nullptr;
  if (!State::InstallEscapeCallbacks(converter, status)) {
    ucnv_close(converter);
    return nullptr;
  }
  return converter;
}

void CloseConverterForTesting(UConverter* converter) { ucnv_close(converter); }

bool IsConverterOpenForTesting() { return State::g_nameConverter.load(std::memory_order_acquire) != nullptr; }

}  // namespace NameCodec

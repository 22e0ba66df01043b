// Fuzzing the serialized-error reader: any bytes rebuild to a chain (possibly empty) that
// can be shown and serialized again, and what was rebuilt once comes back unchanged
// through a second round.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/common/error.h"
#include "core/common/error_display.h"
#include "core/common/error_serialize.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Blob {
  std::unique_ptr<uint8_t[]> Bytes;
  uint32_t Size = 0;
};

Blob Serialize(const Common::Error& error) {
  Blob blob;
  blob.Bytes.reset(Common::SerializeError(error, blob.Size));
  FUZZ_CHECK(blob.Bytes != nullptr && blob.Size >= 1);
  return blob;
}

Common::Error Rebuild(const Blob& blob) {
  Common::Error error;
  Common::DeserializeError(error, blob.Bytes.get(), static_cast<int32_t>(blob.Size));
  return error;
}

size_t ChainLength(const Common::Error& error) {
  size_t length = 0;
  for (const Common::ErrorRecord* r = error.IsEmpty() ? nullptr : error.GetHead(); r != nullptr; r = r->Cause) ++length;
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Fuzzing::SetUpProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  Common::Error first;
  Common::DeserializeError(first, data, static_cast<int32_t>(size));
  Common::WString shown = Common::FormatError(first);

  // Whatever the input held, the rebuilt chain is in the form the writer makes: its blob
  // rebuilds to a chain of the same length and the same display, and serializing that
  // gives the same bytes again.
  Blob blob = Serialize(first);
  Common::Error second = Rebuild(blob);
  FUZZ_CHECK(ChainLength(second) == ChainLength(first));
  FUZZ_CHECK(Common::FormatError(second) == shown);
  Blob again = Serialize(second);
  FUZZ_CHECK(again.Size == blob.Size && std::memcmp(again.Bytes.get(), blob.Bytes.get(), blob.Size) == 0);

  // A copy of a rebuilt record is changed on its own (copy on write).
  Common::Error copy = second;
  copy.AddPosixError(5);
  FUZZ_CHECK(Common::FormatError(second) == shown);
  return 0;
}

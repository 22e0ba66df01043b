// Helper program of the ICU data step tests: opens one converter by name in a fresh
// process (ICU caches what it loaded, so each case needs its own) and prints every
// request that reached the archive hook, then the outcome. Linked with the hook wrapped
// (see the tests' CMakeLists), so the requests are seen as ICU makes them.
//
//   icu_step_probe NAME I18N     NAME "-" opens ICU's default converter; I18N is the file
//                                read in place of /etc/i18n
//
// Output: "request PATH SERVED" for each request in order (SERVED 1 or 0), then
// "open STATUS", then, when the converter opened, "euro HEX" (U+20AC converted).
#include <unicode/ucnv.h>
#include <unicode/utypes.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/resources/icu_data.h"
#include "core/resources/language.h"
#include "core/resources/language_testing.h"

namespace {

struct Request {
  std::string Path;
  bool Served;
};

std::vector<Request>& Requests() {
  static std::vector<Request> requests;
  return requests;
}

}  // namespace

// The linker sends every call of Resources::MapIcuDataFile here (--wrap of its mangled
// name), and __real_ to the hook itself.
extern "C" bool __real__ZN9Resources14MapIcuDataFileEPNS_11UDataMemoryEPKc(Resources::UDataMemory* memory,
                                                                            const char* path);
extern "C" bool __wrap__ZN9Resources14MapIcuDataFileEPNS_11UDataMemoryEPKc(Resources::UDataMemory* memory,
                                                                            const char* path) {
  bool served = __real__ZN9Resources14MapIcuDataFileEPNS_11UDataMemoryEPKc(memory, path);
  Requests().push_back({path == nullptr ? "<null>" : path, served});
  return served;
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  // The language candidates come from LANG alone, never from the machine's /etc/i18n.
  Resources::SetI18nFilePathForTesting(argv[2]);
  UErrorCode status = U_ZERO_ERROR;
  const std::string name = argv[1];
  UConverter* converter = ucnv_open(name == "-" ? nullptr : name.c_str(), &status);
  for (const Request& request : Requests()) std::printf("request %s %d\n", request.Path.c_str(), request.Served);
  std::printf("open %s\n", u_errorName(status));
  if (converter != nullptr) {
    const UChar euro[] = {0x20AC};
    char bytes[8] = {};
    UErrorCode converted = U_ZERO_ERROR;
    int32_t length = ucnv_fromUChars(converter, bytes, sizeof bytes, euro, 1, &converted);
    std::printf("euro");
    for (int32_t i = 0; U_SUCCESS(converted) && i < length; ++i)
      std::printf(" %02X", static_cast<unsigned char>(bytes[i]));
    std::printf("%s\n", U_SUCCESS(converted) ? "" : " <failed>");
    ucnv_close(converter);
  }
  return 0;
}

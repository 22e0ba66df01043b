// The main() of the test programs. No catalog is installed here: each program carries the
// generated catalog in its own archive and loads it the way the product does. The system
// language setting is pointed at a file that cannot exist, so that no test depends on the
// machine's /etc/i18n (the language comes from LANG alone).
#include <gmock/gmock.h>

#include "core/resources/language_testing.h"

int main(int argc, char** argv) {
  Resources::SetI18nFilePathForTesting("/proc/ormivane-test-no-i18n");
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}

// The main() of the test programs: the catalog is served before any test looks a text up.
#include <gmock/gmock.h>

#include "tools/testing/test_catalog.h"

int main(int argc, char** argv) {
  Testing::InstallTestCatalog();
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}

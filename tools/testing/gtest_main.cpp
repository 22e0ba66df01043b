// The main() of the test programs. Nothing is installed here: each program carries the
// generated catalog in its own archive and loads it the way the product does.
#include <gmock/gmock.h>

int main(int argc, char** argv) {
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}

// The shared failing operator new that this program links: unarmed, it hands every
// allocation on to the operators it replaced, so AddressSanitizer still checks that
// allocations and releases pair.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>

#include "tools/testing/failing_new.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Out of line, so the compiler cannot see the mismatch it is made to be.
[[gnu::noinline]] void FreeArrayWithFree() {
  char* volatile block = new char[16];
  std::free(block);
}

TEST(FailingNewDeathTest, SanitizerStillSeesNewAndDeleteAsItsOwn) {
  if (!kAddressSanitizer) GTEST_SKIP() << "only AddressSanitizer checks how a block is released";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeArrayWithFree(), "alloc-dealloc-mismatch");
}

// Out of line, so an optimised build keeps the allocation it could otherwise leave out.
[[gnu::noinline]] void AllocateArray() {
  char* volatile block = new char[8];
  delete[] block;
}

TEST(FailingNewTest, FailsTheArmedAllocationOnly) {
  Testing::NewFailure second(Testing::kArrayNew, 2);
  AllocateArray();
  EXPECT_THROW(AllocateArray(), std::bad_alloc);
  AllocateArray();
  EXPECT_TRUE(second.Failed());
  EXPECT_EQ(second.Seen(), 3);
}

}  // namespace

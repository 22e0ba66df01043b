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

TEST(FailingNewTest, FailsTheArmedAllocationOnly) {
  Testing::NewFailure second(Testing::kArrayNew, 2);
  std::unique_ptr<char[]> first(new char[8]);
  EXPECT_THROW(static_cast<void>(std::unique_ptr<char[]>(new char[8])), std::bad_alloc);
  std::unique_ptr<char[]> third(new char[8]);
  EXPECT_TRUE(second.Failed());
  EXPECT_EQ(second.Seen(), 3);
}

}  // namespace

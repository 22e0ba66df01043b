// The scalar operator new of tools/testing/failing_new.h, with the deletes that match it
// (the sanitizer runtimes bring their own nothrow forms, so those are replaced too).
#include "tools/testing/failing_new.h"

#include <cstdlib>
#include <new>

namespace Testing {
std::atomic<bool> FailScalarNew{false};
}  // namespace Testing

// The replacements pair malloc with free themselves; inlined into callers the compiler
// cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (Testing::FailScalarNew.load()) throw std::bad_alloc();
  void* p = std::malloc(size ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (Testing::FailScalarNew.load()) return nullptr;
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

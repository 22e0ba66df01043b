// Test support: a replacement of the scalar operator new that fails on demand. Link
// tools/testing/failing_new.cpp into the one test program that uses it; it replaces the
// operators for the whole program.
#pragma once

#include <atomic>

namespace Testing {

// While set, every scalar new fails: the throwing form with std::bad_alloc, the nothrow
// form with null.
extern std::atomic<bool> FailScalarNew;

}  // namespace Testing

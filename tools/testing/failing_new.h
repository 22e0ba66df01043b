// Test support: operator new and new[] that fail on demand. Link
// tools/testing/failing_new.cpp into the test program that uses it; it replaces the
// operators for the whole program, so while nothing is armed every allocation goes on to
// the operators it replaced (a sanitizer runtime's, which keep their checks of
// new/delete pairs, else malloc) and is only counted.
#pragma once

#include <atomic>
#include <cstddef>

namespace Testing {

// While set, every scalar new (or every array new) fails: the throwing forms with
// std::bad_alloc, the nothrow forms with null.
extern std::atomic<bool> FailScalarNew;
extern std::atomic<bool> FailArrayNew;

// The forms an armed failure watches.
enum NewForms : unsigned { kScalarNew = 1, kArrayNew = 2, kEveryNew = kScalarNew | kArrayNew };

// What follows the armed failure: every later allocation goes on, or every scalar new
// fails from then on (FailScalarNew is set) until the test clears FailScalarNew.
enum AfterFailure : unsigned { kRecover, kFailEveryLaterScalarNew };

// While it lives, counts the allocations of `forms` (only those of `size` bytes, when
// `size` is not 0) and fails the one numbered `failAt` (1: the next one); failAt 0 never
// fails, so a first run can count what a call allocates. One at a time per program.
class NewFailure {
 public:
  NewFailure(NewForms forms, int failAt, std::size_t size = 0, AfterFailure after = kRecover);
  ~NewFailure();
  NewFailure(const NewFailure&) = delete;
  NewFailure& operator=(const NewFailure&) = delete;

  // Watched allocations so far, the failed one included.
  int Seen() const;
  // Whether the armed allocation came and failed.
  bool Failed() const;
};

// Allocations made through these operators and not yet deleted: equal before and after a
// call when the call leaked nothing it allocated.
long LiveAllocations();

}  // namespace Testing

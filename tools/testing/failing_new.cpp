// The operator new and new[] of tools/testing/failing_new.h, with the deletes that match
// them. What is not made to fail goes on to the next definitions in the program's load
// order, so a sanitizer runtime still sees every new and delete as its own and checks
// that they pair; a program without one (the C++ runtime linked statically, its operators
// replaced by these) falls back to malloc and free.
#include "tools/testing/failing_new.h"

#include <dlfcn.h>

#include <cstdlib>
#include <new>
#include <optional>

namespace Testing {

std::atomic<bool> FailScalarNew{false};
std::atomic<bool> FailArrayNew{false};

namespace {

std::atomic<unsigned> g_watchedForms{0};
std::atomic<std::size_t> g_watchedSize{0};
std::atomic<int> g_failAt{0};
std::atomic<int> g_seen{0};
std::atomic<bool> g_failed{false};
std::atomic<AfterFailure> g_after{kRecover};
std::atomic<long> g_live{0};

bool ShouldFail(NewForms form, std::size_t size) {
  if ((form == kScalarNew ? FailScalarNew : FailArrayNew).load()) return true;
  if ((g_watchedForms.load() & form) == 0) return false;
  const std::size_t watched = g_watchedSize.load();
  if (watched != 0 && watched != size) return false;
  if (++g_seen != g_failAt.load()) return false;
  g_failed = true;
  if (g_after.load() == kFailEveryLaterScalarNew) FailScalarNew = true;
  return true;
}

using NewFunction = void* (*)(std::size_t);
using DeleteFunction = void (*)(void*);
using SizedDeleteFunction = void (*)(void*, std::size_t);

// The replaced operators, all of them or none.
struct NextOperators {
  NewFunction ScalarNew = nullptr;
  NewFunction ArrayNew = nullptr;
  DeleteFunction ScalarDelete = nullptr;
  DeleteFunction ArrayDelete = nullptr;
  SizedDeleteFunction SizedScalarDelete = nullptr;
  SizedDeleteFunction SizedArrayDelete = nullptr;
};

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

NextOperators FindNextOperators() {
  // The mangled names spell size_t: unsigned int on 32-bit x86, unsigned long on x86_64.
  constexpr bool kNarrow = sizeof(std::size_t) == 4;
  NextOperators next;
  next.ScalarNew = Next<NewFunction>(kNarrow ? "_Znwj" : "_Znwm");
  next.ArrayNew = Next<NewFunction>(kNarrow ? "_Znaj" : "_Znam");
  next.ScalarDelete = Next<DeleteFunction>("_ZdlPv");
  next.ArrayDelete = Next<DeleteFunction>("_ZdaPv");
  next.SizedScalarDelete = Next<SizedDeleteFunction>(kNarrow ? "_ZdlPvj" : "_ZdlPvm");
  next.SizedArrayDelete = Next<SizedDeleteFunction>(kNarrow ? "_ZdaPvj" : "_ZdaPvm");
  if (next.ScalarNew == nullptr || next.ArrayNew == nullptr || next.ScalarDelete == nullptr ||
      next.ArrayDelete == nullptr || next.SizedScalarDelete == nullptr || next.SizedArrayDelete == nullptr)
    return NextOperators{};
  return next;
}

const NextOperators& GetNext() {
  static const NextOperators next = FindNextOperators();
  return next;
}

void* Allocate(NewForms form, std::size_t size) {
  if (ShouldFail(form, size)) throw std::bad_alloc();
  const NextOperators& next = GetNext();
  void* p = nullptr;
  if (next.ScalarNew != nullptr) {
    p = form == kScalarNew ? next.ScalarNew(size) : next.ArrayNew(size);
  } else {
    p = std::malloc(size ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
  }
  ++g_live;
  return p;
}

void* AllocateOrNull(NewForms form, std::size_t size) noexcept {
  try {
    return Allocate(form, size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Gives back what Allocate handed out, through the delete of the caller's kind: the sized
// one when the caller had the size.
void Release(NewForms form, void* p, std::optional<std::size_t> size = std::nullopt) noexcept {
  if (p == nullptr) return;
  --g_live;
  const NextOperators& next = GetNext();
  if (next.ScalarNew == nullptr)
    std::free(p);
  else if (size)
    (form == kScalarNew ? next.SizedScalarDelete : next.SizedArrayDelete)(p, *size);
  else
    (form == kScalarNew ? next.ScalarDelete : next.ArrayDelete)(p);
}

}  // namespace

NewFailure::NewFailure(NewForms forms, int failAt, std::size_t size, AfterFailure after) {
  g_seen = 0;
  g_failed = false;
  g_after = after;
  g_watchedSize = size;
  g_failAt = failAt;
  g_watchedForms = forms;
}

NewFailure::~NewFailure() {
  g_watchedForms = 0;
  g_failAt = 0;
  g_watchedSize = 0;
}

int NewFailure::Seen() const { return g_seen.load(); }

bool NewFailure::Failed() const { return g_failed.load(); }

long LiveAllocations() { return g_live.load(); }

}  // namespace Testing

// The replacements pair their allocations with the matching release themselves; inlined
// into callers the compiler cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

using Testing::kArrayNew;
using Testing::kScalarNew;

void* operator new(std::size_t size) { return Testing::Allocate(kScalarNew, size); }
void* operator new[](std::size_t size) { return Testing::Allocate(kArrayNew, size); }
// The sanitizer runtimes bring nothrow forms of their own, which would not come here.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Testing::AllocateOrNull(kScalarNew, size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Testing::AllocateOrNull(kArrayNew, size);
}

void operator delete(void* p) noexcept { Testing::Release(kScalarNew, p); }
void operator delete[](void* p) noexcept { Testing::Release(kArrayNew, p); }
void operator delete(void* p, std::size_t size) noexcept { Testing::Release(kScalarNew, p, size); }
void operator delete[](void* p, std::size_t size) noexcept { Testing::Release(kArrayNew, p, size); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Testing::Release(kScalarNew, p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Testing::Release(kArrayNew, p); }

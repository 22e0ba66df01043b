// The POSIX directory when the object it hands out cannot be allocated: the failure
// travels on as std::bad_alloc, and what was opened for that object (a file's descriptor
// and its whole-file lock, a directory handle) is released first.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "core/file/unix/posixsp.h"
#include "core/file/unix/tests/posixsp_support.h"

namespace {
// Allocations of the watched size are counted; the one whose number is armed fails.
std::atomic<std::size_t> g_watchedSize{0};
std::atomic<int> g_seen{0};
std::atomic<int> g_failAt{0};
}  // namespace

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (size != 0 && size == g_watchedSize.load() && ++g_seen == g_failAt.load()) throw std::bad_alloc();
  void* p = std::malloc(size ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// Runs `call` once to count its allocations of `size`, then again with the last of them
// failing: the object handed out is the last thing a call allocates.
template <typename Call>
void FailLastAllocationOf(std::size_t size, Call call) {
  g_seen = 0;
  g_failAt = 0;
  g_watchedSize = size;
  call();
  g_failAt = g_seen.load();
  g_seen = 0;
  EXPECT_THROW(call(), std::bad_alloc);
  g_watchedSize = 0;
}

class PosixOutOfMemoryTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch.WriteFile("f", "content");
    // Warm up once, so that everything allocated once per process already is.
    delete dir.OpenO(u"f", false);
    delete dir.GetIterator();
    before = PosixTest::OpenDescriptorCount();
  }

  PosixTest::ScratchDir scratch;
  posix_dir dir{scratch.Path()};
  int before = 0;
};

TEST_F(PosixOutOfMemoryTest, FileThatCannotBeMadeReleasesItsDescriptorAndLock) {
  FailLastAllocationOf(sizeof(posix_file), [&] { delete dir.OpenO(u"f", false); });
  EXPECT_EQ(PosixTest::OpenDescriptorCount(), before);
  // The whole-file lock went with the descriptor: the file opens exclusively again.
  std::unique_ptr<ro_file> again(dir.OpenO(u"f", false));
  EXPECT_NE(again, nullptr);
  EXPECT_FALSE(dir.last_error);
}

TEST_F(PosixOutOfMemoryTest, IteratorThatCannotBeMadeClosesTheDirectoryHandle) {
  FailLastAllocationOf(sizeof(posix_dir::iterator), [&] { delete dir.GetIterator(); });
  EXPECT_EQ(PosixTest::OpenDescriptorCount(), before);
}

}  // namespace

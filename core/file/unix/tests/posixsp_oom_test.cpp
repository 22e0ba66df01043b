// The POSIX directory when the object it hands out cannot be allocated: the failure
// travels on as std::bad_alloc, and what was opened for that object (a file's descriptor
// and its whole-file lock, a directory handle) is released first.
#include <gtest/gtest.h>

#include <memory>
#include <new>

#include "core/file/unix/posixsp.h"
#include "core/file/unix/tests/posixsp_support.h"
#include "tools/testing/failing_new.h"

namespace {

// Runs `call` once to count its allocations of `size`, then again with the last of them
// failing: the object handed out is the last thing a call allocates.
template <typename Call>
void FailLastAllocationOf(std::size_t size, Call call) {
  int count = 0;
  {
    Testing::NewFailure counting(Testing::kScalarNew, 0, size);
    call();
    count = counting.Seen();
  }
  Testing::NewFailure last(Testing::kScalarNew, count, size);
  EXPECT_THROW(call(), std::bad_alloc);
  EXPECT_TRUE(last.Failed());
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

// Test support: a random-access readable file over bytes in memory, for the readers of
// untrusted archives. Positioning acts even while the file holds an error, as it does
// for the POSIX file; reads keep the held-error rule of the family.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/include/file/file.h"

namespace Testing {

class MemoryRiFile : public ri_file {
 public:
  explicit MemoryRiFile(std::vector<unsigned char> bytes) : data(std::move(bytes)) {}

  // A read that would touch [offset, ...) stores nothing and records FILE_READ_ERROR.
  void FailReadsFrom(uint64_t offset) { failFrom = offset; }
  // Read call number `call` (counting from 1) stores nothing and records FILE_READ_ERROR.
  void FailReadCall(uint32_t call) { failCall = call; }
  uint32_t ReadCalls() const { return readCalls; }

  void Read(void* buffer, uint32_t length, uint32_t* done) override {
    *done = 0;
    ++readCalls;
    if (last_error) return;
    uint64_t available = position < data.size() ? data.size() - position : 0;
    uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(length, available));
    if (readCalls == failCall || (count > 0 && position + count > failFrom)) {
      ReplaceLastError(*this, Common::MakeError(Common::MakeLocation(Common::Locations::CoreFileDir,
                                                                     "tools/testing/memory_ri_file.h", "MemoryRead", 1),
                                                Common::FILE_READ_ERROR));
      return;
    }
    if (count > 0) std::memcpy(buffer, data.data() + position, count);
    position += count;
    *done = count;
  }
  void SetPos(uint64_t to) override { position = to; }
  uint64_t SeekCur(int64_t delta) override { return position += static_cast<uint64_t>(delta); }
  uint64_t SeekEnd(int64_t delta) override { return position = data.size() + static_cast<uint64_t>(delta); }
  void Unlock(uint64_t, uint64_t) override {}
  void LockShared(uint64_t, uint64_t, bool) override {}

 private:
  std::vector<unsigned char> data;
  uint64_t position = 0;
  uint64_t failFrom = std::numeric_limits<uint64_t>::max();
  uint32_t readCalls = 0;
  uint32_t failCall = 0;
};

}  // namespace Testing

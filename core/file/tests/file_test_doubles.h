// Test doubles of the file family shared by the tests of every folder: an in-memory
// rio_file with injectable failures and short counts, and a read-write directory whose
// required operations do nothing, for tests of the interface defaults.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/include/file/dir.h"

namespace FileTesting {

// The error a double raises for an injected failure.
inline Common::Error InjectedError(uint32_t code = Common::FILE_READ_ERROR) {
  return Common::MakeError(
      Common::MakeLocation(Common::Locations::CoreFileDir, "core/file/tests/file_test_doubles.h", "Injected", 1), code);
}

// A file over a byte vector. It keeps the held-error rule of the family: while it holds an
// error every operation returns at once with a zero count or position.
class MemoryFile : public rio_file {
 public:
  MemoryFile() = default;
  explicit MemoryFile(std::vector<uint8_t> bytes) : data(std::move(bytes)) {}
  explicit MemoryFile(const std::string& bytes) : data(bytes.begin(), bytes.end()) {}

  // Each Read stores at most this many bytes (a short count without error).
  void SetReadChunkLimit(uint32_t bytes) { readChunkLimit = bytes; }
  // Reads stop short at `offset`; a Read that starts there stores nothing and records
  // `error` (a bad sector).
  void FailReadsAt(uint64_t offset, Common::Error error) {
    readFailureOffset = offset;
    readFailure = std::move(error);
  }
  // The file cannot grow beyond `bytes`: a write past it stops short without an error.
  void SetCapacity(uint64_t bytes) { capacity = bytes; }
  // The next Write stores nothing and records `error`.
  void FailNextWrite(Common::Error error) { writeFailure = std::move(error); }

  void Read(void* buffer, uint32_t length, uint32_t* done) override {
    *done = 0;
    ++readCalls;
    if (last_error) return;
    if (position >= readFailureOffset) {
      ReplaceLastError(*this, readFailure);
      return;
    }
    uint64_t end = std::min<uint64_t>(data.size(), readFailureOffset);
    uint64_t available = position < end ? end - position : 0;
    uint32_t count = static_cast<uint32_t>(std::min<uint64_t>({length, available, readChunkLimit}));
    if (count > 0) std::memcpy(buffer, data.data() + position, count);
    position += count;
    *done = count;
  }

  void Write(const void* buffer, uint32_t length, uint32_t* done) override {
    *done = 0;
    ++writeCalls;
    if (last_error) return;
    if (writeFailure) {
      ReplaceLastError(*this, writeFailure);
      writeFailure = Common::NoError;
      return;
    }
    uint64_t room = position < capacity ? capacity - position : 0;
    uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(length, room));
    if (position + count > data.size()) data.resize(position + count);
    if (count > 0) std::memcpy(data.data() + position, buffer, count);
    position += count;
    *done = count;
  }

  void Flush() override { ++flushCalls; }

  void SetPos(uint64_t to) override {
    if (last_error) return;
    position = to;
  }
  uint64_t SeekCur(int64_t delta) override {
    if (last_error) return 0;
    position = static_cast<uint64_t>(static_cast<int64_t>(position) + delta);
    return position;
  }
  uint64_t SeekEnd(int64_t delta) override {
    if (last_error) return 0;
    position = static_cast<uint64_t>(static_cast<int64_t>(data.size()) + delta);
    return position;
  }
  void Unlock(uint64_t, uint64_t) override {}
  void LockShared(uint64_t, uint64_t, bool) override {}
  void Truncate(uint64_t size) override {
    if (last_error) return;
    data.resize(size);
  }
  void LockExclusive(uint64_t, uint64_t, bool) override {}

  std::vector<uint8_t> data;
  uint64_t position = 0;
  int readCalls = 0;
  int writeCalls = 0;
  int flushCalls = 0;

 private:
  uint64_t readChunkLimit = std::numeric_limits<uint32_t>::max();
  uint64_t readFailureOffset = std::numeric_limits<uint64_t>::max();
  Common::Error readFailure;
  uint64_t capacity = std::numeric_limits<uint64_t>::max();
  Common::Error writeFailure;
};

// An identifier whose Clone can be made to fail.
class StubIdentifier : public file_identifier {
 public:
  explicit StubIdentifier(bool cloneFails = false) : cloneFails(cloneFails) {}
  file_identifier* Clone() const override { return cloneFails ? nullptr : new StubIdentifier(); }

 private:
  bool cloneFails;
};

// An iterator with only the five required operations.
class StubIterator : public i_dir::iterator {
 public:
  void Next() override {}
  file_identifier* GetIdentifier() override { return new StubIdentifier(); }
  const char16_t* GetName() override { return u"entry"; }
  uint64_t GetSize() override { return 4711; }
  uint32_t GetType() override { return 1; }
};

// A read-write directory that overrides nothing but the required operations, which do
// nothing. OpenDir by name makes a new NullDir unless `openDirFails` is set, in which case
// it records an injected error and returns null.
class NullDir : public rio_dir {
 public:
  rio_dir* OpenDir(const char16_t*) override {
    ++openDirCalls;
    if (openDirFails) {
      ReplaceLastError(*this, InjectedError(Common::FILE_OPEN_ERROR));
      return nullptr;
    }
    ReplaceLastError(*this, Common::NoError);
    return new NullDir();
  }
  rio_dir* OpenDir(const iterator*) override { return nullptr; }
  rio_dir* OpenDir(const file_identifier*) override { return nullptr; }
  rio_dir* GetParentDir(const char16_t**) override { return new NullDir(); }
  ri_file* OpenI(const char16_t*, bool) override { return nullptr; }
  ri_file* OpenI(const iterator*, bool) override { return nullptr; }
  ri_file* OpenI(const file_identifier*, bool) override { return nullptr; }
  iterator* GetIterator() override { return nullptr; }
  iterator* GetIterator(const char16_t*) override { return nullptr; }
  iterator* GetIterator(const file_identifier*) override { return nullptr; }
  iterator* GetSelfIterator() override { return nullptr; }
  uint32_t CompareLocation(i_dir* other) override { return other == this ? 0 : 2; }
  int32_t CompareIdentifiers(const file_identifier*, const file_identifier*) override { return 0; }

  ro_file* OpenO(const char16_t*, bool) override { return nullptr; }
  ro_file* OpenO(const iterator*, bool) override { return nullptr; }
  ro_file* OpenO(const file_identifier*, bool) override { return nullptr; }
  rio_file* OpenIO(const char16_t*, bool) override { return nullptr; }
  rio_file* OpenIO(const iterator*, bool) override { return nullptr; }
  rio_file* OpenIO(const file_identifier*, bool) override { return nullptr; }
  rio_file* Create(const char16_t*, bool, const AccessRights*) override {
    if (createFails) return nullptr;
    return new MemoryFile();
  }
  void Remove(const char16_t*) override {}
  void Rename(const char16_t*, const char16_t*) override {}
  void CreateDir(const char16_t*, const AccessRights*) override {}
  void RemoveDir(const char16_t*) override {}

  bool openDirFails = false;
  bool createFails = false;
  int openDirCalls = 0;
};

}  // namespace FileTesting

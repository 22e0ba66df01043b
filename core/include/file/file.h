// The file object model: every file and directory object holds its last error, and the
// file interfaces (read, write, sized, random access) join through virtual bases so that
// an object has one error whatever interfaces it implements.
#pragma once

#include <cstdint>

#include "core/common/error.h"

// The root of every file and directory object. Operations do not throw: they record their
// outcome in `last_error`, which callers test after each call.
class file_object {
 public:
  file_object() = default;
  file_object(const file_object&) = delete;
  file_object& operator=(const file_object&) = delete;
  virtual ~file_object();

  // `request` is a block that starts with a four-character code read as a little-endian
  // u32. The default answers "not supported" unless the object already holds an error.
  virtual void IOCTL(void* request);

  // Empty (NoError) when the object holds no error.
  Common::Error last_error;
};

class i_file : public virtual file_object {
 public:
  // Sets *done to 0, then to the bytes stored; a short count without error is the end.
  virtual void Read(void* buffer, uint32_t length, uint32_t* done) = 0;
  ~i_file() override;
};

class o_file : public virtual file_object {
 public:
  // A short count without error means no more could be written (a full disk).
  virtual void Write(const void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual void Flush() {}
  ~o_file() override;
};

class sized_file : public virtual file_object {
 public:
  virtual void Rewind() = 0;
  virtual uint64_t Size() = 0;
  ~sized_file() override;
};

class si_file : public i_file, public virtual sized_file {};

class raccess_file : public virtual sized_file {
 public:
  // SetPos(0).
  void Rewind() override;
  // Seeks to the end and back; adds no error of its own.
  uint64_t Size() override;
  virtual void SetPos(uint64_t position) = 0;
  virtual uint64_t SeekCur(int64_t delta) = 0;
  virtual uint64_t SeekEnd(int64_t delta) = 0;
  // A length of 0 covers everything from start on.
  virtual void Unlock(uint64_t start, uint64_t length) = 0;
  ~raccess_file() override;
};

class ri_file : public si_file, public virtual raccess_file {
 public:
  virtual void LockShared(uint64_t start, uint64_t length, bool wait) = 0;
};

class ro_file : public o_file, public virtual raccess_file {
 public:
  virtual void Truncate(uint64_t size) = 0;
  virtual void LockExclusive(uint64_t start, uint64_t length, bool wait) = 0;
};

class rio_file : public ri_file, public ro_file {};

// Returns the object's error and leaves it without one, so that it works again.
Common::Error TakeLastError(file_object& object);

// The object's error shares `error`'s records; the previous chain is released.
void ReplaceLastError(file_object& object, const Common::Error& error);

namespace FileDefaults {
inline constexpr Common::SourceFile kFileHeader{Common::Locations::CoreIncludeFileFile, "core/include/file/file.h"};
inline constexpr Common::Site kReadSite{"Read", 27};
inline constexpr Common::Site kWriteSite{"Write", 41};
}  // namespace FileDefaults

// Reads exactly `length` bytes: a short count without an error of the file's own becomes
// "end of file". An error the file already holds stays as it is.
inline void Read(i_file& file, void* buffer, uint32_t length) {
  uint32_t done = 0;
  file.Read(buffer, length, &done);
  if (file.last_error) return;
  if (done == length) return;
  ReplaceLastError(file,
                   Common::MakeError(FileDefaults::kFileHeader.At(FileDefaults::kReadSite), Common::FILE_END_OF_FILE));
}

// Writes exactly `length` bytes: a short count without an error becomes "disk full".
inline void Write(o_file& file, const void* buffer, uint32_t length) {
  uint32_t done = 0;
  file.Write(buffer, length, &done);
  if (file.last_error) return;
  if (done == length) return;
  ReplaceLastError(file,
                   Common::MakeError(FileDefaults::kFileHeader.At(FileDefaults::kWriteSite), Common::FILE_DISK_FULL));
}

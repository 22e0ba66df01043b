// The ZIP reader: an archive held in any random-access readable file, seen as one flat
// read-only directory whose entries are opened as sequential files.
#pragma once

#include <cstdint>
#include <memory>

#include "core/common/error.h"
#include "core/include/file/dir.h"

struct zip_file_state;

// File offset of the end-of-central-directory record in `source`, 0 when none was found.
// `error` is NoError with a position, else the outcome of the last search tried. A failed
// read has the source's own error, taken out of it, as its cause.
uint64_t LocateCentralDirEnd(ri_file& source, Common::Error& error);

// An archive as a directory. Its construction reads the end record and the whole central
// directory; on any failure the object holds the error (and no central directory).
class zip_file_impl : public virtual si_dir {
 public:
  // Takes `source` over, also when the construction fails.
  explicit zip_file_impl(ri_file* source);
  // A copy shares the archive and starts with the error `other` holds.
  zip_file_impl(const zip_file_impl& other);
  zip_file_impl& operator=(const zip_file_impl&) = delete;
  ~zip_file_impl() override;

  // `range_locks` is ignored: nothing in an archive is locked.
  si_file* OpenI(const char16_t* name, bool range_locks) override;
  si_file* OpenI(const iterator* entry, bool range_locks) override;
  si_file* OpenI(const file_identifier* id, bool range_locks) override;
  // Only "." is supported: the archive has no subdirectories.
  si_dir* OpenDir(const char16_t* name) override;
  si_dir* OpenDir(const iterator* entry) override;
  si_dir* OpenDir(const file_identifier* id) override;
  si_dir* GetParentDir(const char16_t** name) override;
  iterator* GetIterator() override;
  // Name lookup: ASCII letters match either case and a '\' in `name` matches a '/'.
  // A missing name leaves "end of file" on the directory.
  iterator* GetIterator(const char16_t* name) override;
  iterator* GetIterator(const file_identifier* id) override;
  iterator* GetSelfIterator() override;
  // 0 for this very object, 2 for anything else (copies included).
  uint32_t CompareLocation(i_dir* other) override;
  int32_t CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;

 private:
  si_file* OpenEntry(const uint8_t* header);
  // Whether an iterator's or identifier's position is one of this archive's headers: what
  // another archive hands out points into its own central directory, which may be gone.
  bool OwnsEntry(const uint8_t* header, uint32_t remaining) const;

  std::shared_ptr<zip_file_state> state;
};

// Walks the central directory in memory; the name is each name byte widened to one unit.
class zip_iterator : public i_dir::iterator {
 public:
  zip_iterator(std::shared_ptr<zip_file_state> state, const uint8_t* header, uint32_t remaining);
  ~zip_iterator() override;

  void Next() override;
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override;
  uint64_t GetSize() override;
  uint64_t GetAllocatedSize() override;
  uint32_t GetType() override;

  const uint8_t* Header() const { return header; }
  uint32_t Remaining() const { return remaining; }

 private:
  void LoadName();

  std::shared_ptr<zip_file_state> state;  // keeps the central directory alive
  const uint8_t* header;
  uint32_t remaining;
  Common::WString name;
};

// The archive in `source` as a directory owned by the caller, or null when it cannot be
// read (the error is not passed on). `source` belongs to the archive from now on.
si_dir* OpenZipArchive(ri_file* source);

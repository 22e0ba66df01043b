// Fuzzing the archive reader over bytes in memory: the end-record search (ELF section
// road, then the backward search), the central directory, name lookup, and every entry
// opened and read to its end, directly and through the handle wrapper whose errors
// travel as serialized blobs.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "core/common/error_display.h"
#include "core/common/zipopen.h"
#include "core/file/zipfile.h"
#include "core/resources/catalog.h"
#include "fuzz/fuzz_support.h"
#include "tools/testing/memory_ri_file.h"

namespace {

constexpr uint32_t kEndRecordBytes = 22;
// A small archive may declare huge entries, or many entries over one deflate bomb: the
// bytes delivered for one input are bounded, and so are the entries visited.
constexpr uint64_t kMaxDeliveredBytes = 4u << 20;
constexpr uint32_t kMaxEntriesRead = 256;
constexpr uint32_t kMaxNameLookups = 64;
// Piece sizes of the reads, changing from entry to entry.
constexpr uint32_t kReadPieceBytes[] = {1, 7, 512, 4096, 65536};

std::unique_ptr<Testing::MemoryRiFile> MakeSource(const uint8_t* data, size_t size) {
  return std::make_unique<Testing::MemoryRiFile>(std::vector<unsigned char>(data, data + size));
}

// A failure is always reported, and a position found leaves room for the end record.
void CheckLocate(const uint8_t* data, size_t size) {
  std::unique_ptr<Testing::MemoryRiFile> source = MakeSource(data, size);
  Common::Error error;
  uint64_t position = LocateCentralDirEnd(*source, error);
  if (position == 0) {
    FUZZ_CHECK(!error.IsEmpty());
    Common::FormatError(error);
  } else {
    FUZZ_CHECK(error.IsEmpty());
    FUZZ_CHECK(position + kEndRecordBytes <= size);
  }
}

// Reads `file` to its end: no call delivers more than asked, no entry more than its size,
// and an end without an error means the whole entry came (its CRC compared).
void ReadToEnd(si_file& file, uint32_t piece, uint64_t& budget) {
  std::vector<uint8_t> buffer(piece);
  uint64_t size = file.Size();
  uint64_t total = 0;
  for (;;) {
    uint32_t done = 0;
    file.Read(buffer.data(), piece, &done);
    FUZZ_CHECK(done <= piece);
    if (done == 0) break;
    total += done;
    FUZZ_CHECK(total <= size);
    if (total >= budget) {
      budget = 0;
      return;
    }
  }
  budget -= total;
  if (file.last_error)
    Common::FormatError(file.last_error);
  else
    FUZZ_CHECK(total == size);
}

bool HasBackslash(const char16_t* name) {
  for (; *name != 0; ++name)
    if (*name == u'\\') return true;
  return false;
}

void ReadEntries(si_dir& archive, uint64_t& budget) {
  std::unique_ptr<i_dir::iterator> it(archive.GetIterator());
  FUZZ_CHECK(it != nullptr);  // the archive opened, so its central directory is there
  for (uint32_t index = 0; index < kMaxEntriesRead && budget > 0 && !it->last_error; ++index) {
    it->GetSize();
    it->GetAllocatedSize();
    // Every stored name is found again, unless it holds a '\', which never matches.
    const char16_t* name = it->GetName();
    if (index < kMaxNameLookups && !HasBackslash(name)) {
      std::unique_ptr<i_dir::iterator> found(archive.GetIterator(name));
      FUZZ_CHECK(found != nullptr);
    }
    uint32_t piece = kReadPieceBytes[index % std::size(kReadPieceBytes)];
    if (index % 2 == 0) {
      std::unique_ptr<si_file> entry(archive.OpenI(it.get(), true));
      FUZZ_CHECK(entry != nullptr);
      ReadToEnd(*entry, piece, budget);
    } else {
      std::unique_ptr<file_identifier> id(it->GetIdentifier());
      si_file* entry = archive.OpenI(id.get(), true);
      FUZZ_CHECK(entry != nullptr);
      std::unique_ptr<si_file> wrapped(Resources::CreateSIFileWrapper(Resources::ToFileHandle(entry)));
      ReadToEnd(*wrapped, piece, budget);
    }
    it->Next();
  }
}

// A copy made by OpenDir(".") shares the archive: the same first entry, by identifier.
void CheckCopy(si_dir& archive) {
  std::unique_ptr<si_dir> copy(archive.OpenDir(u"."));
  FUZZ_CHECK(copy != nullptr && copy->CompareLocation(&archive) == 2);
  std::unique_ptr<i_dir::iterator> mine(archive.GetIterator());
  std::unique_ptr<i_dir::iterator> theirs(copy->GetIterator());
  FUZZ_CHECK(mine != nullptr && theirs != nullptr);
  std::unique_ptr<file_identifier> a(mine->GetIdentifier());
  std::unique_ptr<file_identifier> b(theirs->GetIdentifier());
  FUZZ_CHECK(archive.CompareIdentifiers(a.get(), b.get()) == 0);
  std::unique_ptr<i_dir::iterator> again(copy->GetIterator(a.get()));
  FUZZ_CHECK(again != nullptr);
}

void WalkArchive(const uint8_t* data, size_t size, uint64_t failReadsFrom) {
  std::unique_ptr<Testing::MemoryRiFile> source = MakeSource(data, size);
  source->FailReadsFrom(failReadsFrom);
  std::unique_ptr<si_dir> archive(OpenZipArchive(source.release()));
  if (!archive) return;
  uint64_t budget = kMaxDeliveredBytes;
  ReadEntries(*archive, budget);
  CheckCopy(*archive);
  // The lookups of the product: a name that may be missing, and the catalog through the
  // language candidates.
  std::unique_ptr<i_dir::iterator> missing(archive->GetIterator(u"no such entry"));
  if (!missing) FUZZ_CHECK(!archive->last_error.IsEmpty());
  std::unique_ptr<si_file> catalog(Resources::OpenLocalized(archive.get(), Resources::kCatalogName, nullptr));
  if (catalog && budget > 0) ReadToEnd(*catalog, 4096, budget);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Fuzzing::SetUpProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckLocate(data, size);
  WalkArchive(data, size, UINT64_MAX);
  // Once more with the source failing from its middle on: every read failure must come
  // back as an error with the source's own as its cause.
  WalkArchive(data, size, size / 2);
  return 0;
}

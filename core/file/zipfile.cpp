// The ZIP reader: finding the end record (through an ELF ".zip" section or a backward
// search), the central directory as a read-only directory, and the entry files that
// inflate from the shared source. Every byte of the source is distrusted.
#include "core/file/zipfile.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/common/mutex.h"
#include "core/common/text.h"
#include "core/common/little_endian.h"

// The state of one open archive, shared by every directory copy, iterator and open entry.
struct zip_file_state {
  explicit zip_file_state(ri_file* owned) : Source(owned) {}

  std::unique_ptr<ri_file> Source;
  uint64_t Base = 0;  // the archive's start inside the source
  uint32_t Count = 0;
  uint32_t CentralDirSize = 0;
  std::unique_ptr<uint8_t[]> CentralDir;  // null when it could not be read
  // Entries share the source and its position: every read of it is made under this lock.
  // Errors are built under it, and their message lookup may take the language lock; the
  // lock order (the language lock first) is told where that lock is declared.
  Common::Mutex Lock;
};

namespace {

using Common::Error;
constexpr Common::SourceFile kSource{Common::Locations::CoreFileZipfile, "core/file/zipfile.cpp"};

constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kEndRecordBytes = 22;
constexpr uint32_t kElfProbeBytes = 64;
constexpr uint32_t kCentralHeaderBytes = 46;
constexpr uint32_t kLocalHeaderBytes = 30;
constexpr uint32_t kSearchWindowBytes = 1024;
constexpr uint32_t kSearchStepBytes = kSearchWindowBytes - 4;  // windows overlap by one word
constexpr uint64_t kSearchMaxBackBytes = 65517;                // reaches 65535 bytes before the end
constexpr uint32_t kInflateInputBytes = 32768;
constexpr int kRawDeflateWindowBits = -15;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kFlagDataDescriptor = 0x0008;

// Little-endian fields of untrusted bytes; the caller has checked that they lie inside.

// End-record fields.
namespace End {
constexpr size_t kDisk = 4, kCentralDirDisk = 6, kEntriesHere = 8, kEntriesTotal = 10, kCentralDirSize = 12,
                 kCentralDirOffset = 16;
}  // namespace End

// Central-directory header fields.
namespace Central {
constexpr size_t kMethod = 10, kCrc = 16, kCompressedSize = 20, kSize = 24, kNameLength = 28, kExtraLength = 30,
                 kCommentLength = 32, kLocalOffset = 42;
uint32_t RecordBytes(const uint8_t* h) {
  return kCentralHeaderBytes + Common::LoadLe16(h + kNameLength) + Common::LoadLe16(h + kExtraLength) + Common::LoadLe16(h + kCommentLength);
}
}  // namespace Central

// The failure with the source's own error moved into its cause, so the source works again.
Error MakeReadFailure(Common::Site site, file_object& source) {
  Error error = Common::MakeError(kSource.At(site), Common::FILE_READ_ERROR);
  error.AddCause(TakeLastError(source));
  return error;
}

bool AddWithoutWrap(uint64_t a, uint64_t b, uint64_t& sum) {
  sum = a + b;
  return sum >= a;
}

// ---- Locating the end record ----

constexpr Common::Site kElfCorruptHeaderSite{"GetElfZipSection", 322};
constexpr Common::Site kElfTableReadSite{"GetElfZipSection", 329};
constexpr Common::Site kElfTableShortSite{"GetElfZipSection", 331};
constexpr Common::Site kElfNamesReadSite{"GetElfZipSection", 338};
constexpr Common::Site kElfNamesShortSite{"GetElfZipSection", 340};
constexpr Common::Site kElfBadNameSite{"GetElfZipSection", 346};
constexpr Common::Site kElfNoZipSectionSite{"GetElfZipSection", 354};
constexpr Common::Site kElfProbeReadSite{"SearchCentralDirInElf", 366};
constexpr Common::Site kElfProbeCorruptSite{"SearchCentralDirInElf", 378};
constexpr Common::Site kElfSectionBoundsSite{"SearchCentralDirInElf", 394};
constexpr Common::Site kElfEndReadSite{"SearchCentralDirInElf", 404};
constexpr Common::Site kElfEndShortSite{"SearchCentralDirInElf", 409};
constexpr Common::Site kElfEndSignatureSite{"SearchCentralDirInElf", 419};
constexpr Common::Site kSearchReadSite{"SearchCentralDir", 460};
constexpr Common::Site kSearchNotFoundSite{"SearchCentralDir", 472};

// Identification and header fields common to both ELF classes.
constexpr size_t kElfClassAt = 4, kElfDataAt = 5, kElfIdentVersionAt = 6, kElfVersionAt = 20;

// Where the fields of one ELF class lie.
struct ElfLayout {
  uint32_t HeaderBytes;       // minimum e_ehsize
  uint32_t SectionFieldBytes; // a section header must hold sh_name, sh_offset and sh_size
  size_t ShOffAt, EhSizeAt, ShEntSizeAt, ShNumAt, ShStrNdxAt;
  size_t SectionOffsetAt, SectionSizeAt;
  bool Wide;
};

constexpr ElfLayout kElf32 = {52, 24, 32, 40, 46, 48, 50, 16, 20, false};
constexpr ElfLayout kElf64 = {64, 40, 40, 52, 58, 60, 62, 24, 32, true};

uint64_t ElfWord(const ElfLayout& layout, const uint8_t* p) { return layout.Wide ? Common::LoadLe64(p) : Common::LoadLe32(p); }

struct ElfSection {
  uint64_t Offset = 0;
  uint64_t Size = 0;
};

// Reads `length` bytes at `offset` of the source into a new buffer, refusing ranges that
// leave the file before anything is allocated. The errors name the caller's lines.
std::unique_ptr<uint8_t[]> ReadElfRange(ri_file& source, uint64_t fileSize, uint64_t offset, uint64_t length,
                                        Common::Site readSite, Common::Site shortSite, Error& error) {
  uint64_t end = 0;
  if (!AddWithoutWrap(offset, length, end) || end > fileSize || length > UINT32_MAX) {
    error = Common::MakeError(kSource.At(shortSite), Common::FILE_CORRUPTED);
    return nullptr;
  }
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[length == 0 ? 1 : length]);
  if (!bytes) {
    error = Common::MakeError(kSource.At(shortSite), Common::FILE_CORRUPTED);
    return nullptr;
  }
  source.SetPos(offset);
  uint32_t done = 0;
  source.Read(bytes.get(), static_cast<uint32_t>(length), &done);
  if (source.last_error) {
    error = MakeReadFailure(readSite, source);
    return nullptr;
  }
  if (done != length) {
    error = Common::MakeError(kSource.At(shortSite), Common::FILE_CORRUPTED);
    return nullptr;
  }
  return bytes;
}

// The ".zip" section through the section headers, or false with `error` set.
bool GetElfZipSection(ri_file& source, const uint8_t* elf, const ElfLayout& layout, ElfSection& zip, Error& error) {
  uint64_t shoff = ElfWord(layout, elf + layout.ShOffAt);
  uint32_t ehsize = Common::LoadLe16(elf + layout.EhSizeAt);
  uint32_t entsize = Common::LoadLe16(elf + layout.ShEntSizeAt);
  uint32_t shnum = Common::LoadLe16(elf + layout.ShNumAt);
  uint32_t shstrndx = Common::LoadLe16(elf + layout.ShStrNdxAt);
  if (Common::LoadLe32(elf + kElfVersionAt) != 1 || ehsize < layout.HeaderBytes || entsize == 0 || shnum == 0 ||
      entsize < layout.SectionFieldBytes || shstrndx >= shnum) {
    error = Common::MakeError(kSource.At(kElfCorruptHeaderSite), Common::FILE_CORRUPTED);
    return false;
  }
  uint64_t fileSize = source.Size();
  uint64_t tableBytes = static_cast<uint64_t>(entsize) * shnum;
  std::unique_ptr<uint8_t[]> table =
      ReadElfRange(source, fileSize, shoff, tableBytes, kElfTableReadSite, kElfTableShortSite, error);
  if (!table) return false;

  const uint8_t* names_header = table.get() + static_cast<size_t>(shstrndx) * entsize;
  uint64_t namesBytes = ElfWord(layout, names_header + layout.SectionSizeAt);
  std::unique_ptr<uint8_t[]> names =
      ReadElfRange(source, fileSize, ElfWord(layout, names_header + layout.SectionOffsetAt), namesBytes,
                   kElfNamesReadSite, kElfNamesShortSite, error);
  if (!names) return false;

  static constexpr char kZipName[] = ".zip";  // compared with its NUL
  for (uint32_t i = 0; i < shnum; ++i) {
    const uint8_t* header = table.get() + static_cast<size_t>(i) * entsize;
    uint32_t nameAt = Common::LoadLe32(header);
    // A name must end inside the table, so that comparing never reads past it.
    if (nameAt >= namesBytes || std::memchr(names.get() + nameAt, 0, namesBytes - nameAt) == nullptr) {
      error = Common::MakeError(kSource.At(kElfBadNameSite), Common::FILE_CORRUPTED);
      return false;
    }
    if (std::strcmp(reinterpret_cast<const char*>(names.get() + nameAt), kZipName) == 0) {
      zip.Offset = ElfWord(layout, header + layout.SectionOffsetAt);
      zip.Size = ElfWord(layout, header + layout.SectionSizeAt);
      error = Common::NoError;
      return true;
    }
  }
  error = Common::MakeError(kSource.At(kElfNoZipSectionSite), Common::FILE_CORRUPTED);
  return false;
}

// The end record that closes the ".zip" section exactly, or 0 with `error` set.
uint64_t SearchCentralDirInElf(ri_file& source, Error& error) {
  uint8_t elf[kElfProbeBytes] = {};
  source.Rewind();
  // The plain Read: a file shorter than the probe is an ordinary ZIP file, and a sticky
  // end-of-file error would make the backward search read nothing.
  uint32_t done = 0;
  source.Read(elf, sizeof elf, &done);
  if (source.last_error) {
    error = MakeReadFailure(kElfProbeReadSite, source);
    return 0;
  }
  static constexpr uint8_t kMagic[] = {0x7F, 'E', 'L', 'F'};
  bool elf32 = elf[kElfClassAt] == 1 && elf[kElfDataAt] == 1;
  bool elf64 = elf[kElfClassAt] == 2;  // read little-endian whatever its data byte says
  if (done < sizeof elf || std::memcmp(elf, kMagic, sizeof kMagic) != 0 || !(elf32 || elf64) ||
      elf[kElfIdentVersionAt] != 1) {
    error = Common::MakeError(kSource.At(kElfProbeCorruptSite), Common::FILE_CORRUPTED);
    return 0;
  }
  ElfSection zip;
  if (!GetElfZipSection(source, elf, elf64 ? kElf64 : kElf32, zip, error)) return 0;

  uint64_t end = 0;
  if (!AddWithoutWrap(zip.Offset, zip.Size, end) || source.Size() < end || end < kEndRecordBytes) {
    error = Common::MakeError(kSource.At(kElfSectionBoundsSite), Common::FILE_CORRUPTED);
    return 0;
  }
  uint8_t record[kEndRecordBytes];
  source.SetPos(end - kEndRecordBytes);
  done = 0;
  source.Read(record, sizeof record, &done);
  if (source.last_error) {
    error = MakeReadFailure(kElfEndReadSite, source);
    return 0;
  }
  if (done < sizeof record) {
    error = Common::MakeError(kSource.At(kElfEndShortSite), Common::FILE_CORRUPTED);
    return 0;
  }
  if (Common::LoadLe32(record) != kEndSignature) {
    error = Common::MakeError(kSource.At(kElfEndSignatureSite), Common::FILE_CORRUPTED);
    return 0;
  }
  error = Common::NoError;
  return end - kEndRecordBytes;
}

// Backward search over at most the last 65535 bytes; the record nearest the end wins.
uint64_t SearchCentralDir(ri_file& source, Error& error) {
  uint64_t size = source.Size();
  uint64_t base = 0, maxBack = 0;
  if (size > 18) {
    base = size - 18;
    maxBack = std::min<uint64_t>(size - 19, kSearchMaxBackBytes);
  }
  std::unique_ptr<uint8_t[]> window(new (std::nothrow) uint8_t[kSearchWindowBytes]);
  if (!window) {
    error = Common::MakeError(kSource.At(kSearchNotFoundSite), Common::FILE_OUT_OF_MEMORY);
    return 0;
  }
  uint64_t back = 4;
  while (back < maxBack) {
    back = std::min<uint64_t>(back + kSearchStepBytes, maxBack);
    uint64_t at = base - back;
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(back, kSearchWindowBytes));
    source.SetPos(at);
    Read(source, window.get(), n);
    if (source.last_error) {
      error = MakeReadFailure(kSearchReadSite, source);
      return 0;
    }
    for (uint32_t i = n - 4 + 1; i-- > 0;) {
      if (Common::LoadLe32(window.get() + i) == kEndSignature) {
        error = Common::NoError;
        return at + i;
      }
    }
  }
  error = Common::MakeError(kSource.At(kSearchNotFoundSite), Common::FILE_CORRUPTED);
  return 0;
}

// ---- Entries ----

constexpr Common::Site kReadCrcSite{"Read", 82};
constexpr Common::Site kReadInflateSourceSite{"Read", 104};
constexpr Common::Site kReadStoredSourceSite{"Read", 129};
constexpr Common::Site kReadNothingSite{"Read", 141};
constexpr Common::Site kRewindSite{"Rewind", 160};
constexpr Common::Site kInflateInitSite{"file_in_zip", 182};
constexpr Common::Site kMethodSite{"ReadLocalHeader", 198};
constexpr Common::Site kLocalReadSite{"ReadLocalHeader", 205};
constexpr Common::Site kLocalMismatchSite{"ReadLocalHeader", 215};

// Local-header fields.
namespace Local {
constexpr size_t kFlags = 6, kMethod = 8, kCrc = 14, kCompressedSize = 18, kSize = 22, kNameLength = 26,
                 kExtraLength = 28;
}  // namespace Local

// One entry, delivered once from its start. Stored data comes straight from the source,
// deflated data through raw inflate; the CRC is compared by the call after the last byte.
class file_in_zip : public si_file {
 public:
  file_in_zip(std::shared_ptr<zip_file_state> shared, const uint8_t* centralHeader);
  ~file_in_zip() override;

  void Read(void* buffer, uint32_t length, uint32_t* done) override;
  void Rewind() override;
  uint64_t Size() override { return size; }

 private:
  void ReadLocalHeader();
  uint32_t ReadStored(uint8_t* buffer, uint32_t length);
  uint32_t ReadDeflated(uint8_t* buffer, uint32_t length);
  void Fail(Common::Site site, uint32_t code) { ReplaceLastError(*this, Common::MakeError(kSource.At(site), code)); }

  std::shared_ptr<zip_file_state> state;
  const uint8_t* header;
  std::unique_ptr<z_stream> stream;  // deflated entries only
  std::unique_ptr<uint8_t[]> input;
  uint64_t localHeaderPosition;
  uint64_t dataPosition = 0;
  uint32_t crc = 0;
  uint32_t compressedLeft = 0;
  uint32_t uncompressedLeft = 0;
  uint64_t size;
};

file_in_zip::file_in_zip(std::shared_ptr<zip_file_state> shared, const uint8_t* centralHeader)
    : state(std::move(shared)),
      header(centralHeader),
      localHeaderPosition(state->Base + Common::LoadLe32(header + Central::kLocalOffset)),
      size(Common::LoadLe32(header + Central::kSize)) {
  {
    Common::MutexGuard guard(state->Lock);
    ReadLocalHeader();
  }
  if (last_error) return;
  if (Common::LoadLe16(header + Central::kMethod) == kMethodDeflated) {
    input.reset(new (std::nothrow) uint8_t[kInflateInputBytes]);
    stream.reset(new (std::nothrow) z_stream{});
    if (!input || !stream || inflateInit2(stream.get(), kRawDeflateWindowBits) != Z_OK) {
      stream.reset();  // never initialised: nothing for inflateEnd
      Fail(kInflateInitSite, Common::FILE_OUT_OF_MEMORY);
      return;
    }
  }
  crc = 0;
  compressedLeft = Common::LoadLe32(header + Central::kCompressedSize);
  uncompressedLeft = Common::LoadLe32(header + Central::kSize);
}

file_in_zip::~file_in_zip() {
  if (stream) inflateEnd(stream.get());
}

void file_in_zip::ReadLocalHeader() {
  uint16_t method = Common::LoadLe16(header + Central::kMethod);
  if (method != kMethodStored && method != kMethodDeflated) {
    Fail(kMethodSite, Common::FILE_NOT_SUPPORTED);
    return;
  }
  ri_file& source = *state->Source;
  uint8_t local[kLocalHeaderBytes];
  source.SetPos(localHeaderPosition);
  ::Read(source, local, sizeof local);
  if (source.last_error) {
    ReplaceLastError(*this, MakeReadFailure(kLocalReadSite, source));
    return;
  }
  bool described = (Common::LoadLe16(local + Local::kFlags) & kFlagDataDescriptor) != 0;
  bool same = Common::LoadLe32(local) == kLocalSignature && Common::LoadLe16(local + Local::kMethod) == method;
  if (same && !described) {
    same = Common::LoadLe32(local + Local::kCrc) == Common::LoadLe32(header + Central::kCrc) &&
           Common::LoadLe32(local + Local::kCompressedSize) == Common::LoadLe32(header + Central::kCompressedSize) &&
           Common::LoadLe32(local + Local::kSize) == Common::LoadLe32(header + Central::kSize);
  }
  if (!same) {
    Fail(kLocalMismatchSite, Common::FILE_CORRUPTED);
    return;
  }
  dataPosition = localHeaderPosition + kLocalHeaderBytes + Common::LoadLe16(local + Local::kNameLength) +
                 Common::LoadLe16(local + Local::kExtraLength);
}

void file_in_zip::Read(void* buffer, uint32_t length, uint32_t* done) {
  Common::MutexGuard guard(state->Lock);
  *done = 0;
  if (length == 0 || last_error) return;
  if (uncompressedLeft == 0) {
    if (crc != Common::LoadLe32(header + Central::kCrc)) Fail(kReadCrcSite, Common::FILE_CORRUPTED);
    return;
  }
  length = std::min(length, uncompressedLeft);
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t produced = stream ? ReadDeflated(out, length) : ReadStored(out, length);
  *done = produced;
  if (produced > 0) {
    crc = static_cast<uint32_t>(crc32(crc, out, produced));
  } else if (!last_error) {
    Fail(kReadNothingSite, Common::FILE_CORRUPTED);
  }
}

uint32_t file_in_zip::ReadStored(uint8_t* buffer, uint32_t length) {
  ri_file& source = *state->Source;
  uint32_t n = std::min(length, compressedLeft);
  uint32_t count = 0;
  source.SetPos(dataPosition);
  source.Read(buffer, n, &count);  // a short count is the end of what the source holds
  if (source.last_error) {
    ReplaceLastError(*this, MakeReadFailure(kReadStoredSourceSite, source));
    return 0;
  }
  count = std::min(count, n);
  dataPosition += count;
  compressedLeft -= count;
  uncompressedLeft -= count;
  return count;
}

uint32_t file_in_zip::ReadDeflated(uint8_t* buffer, uint32_t length) {
  ri_file& source = *state->Source;
  stream->next_out = buffer;
  stream->avail_out = length;
  int result = Z_OK;
  do {
    if (stream->avail_in == 0 && compressedLeft > 0) {
      uint32_t n = std::min(compressedLeft, kInflateInputBytes);
      uint32_t count = 0;
      source.SetPos(dataPosition);
      source.Read(input.get(), n, &count);
      if (source.last_error) {
        ReplaceLastError(*this, MakeReadFailure(kReadInflateSourceSite, source));
      } else {
        count = std::min(count, n);
        compressedLeft -= count;
        dataPosition += count;
        stream->next_in = input.get();
        stream->avail_in = count;
      }
    }
    result = inflate(stream.get(), Z_SYNC_FLUSH);
  } while (result == Z_OK && stream->avail_out > 0);
  uint32_t produced = length - stream->avail_out;
  uncompressedLeft -= produced;
  return produced;
}

void file_in_zip::Rewind() {
  if (last_error) return;
  Fail(kRewindSite, Common::FILE_NOT_SUPPORTED);
}

// ---- Directory ----

constexpr Common::Site kReadEndRecordSite{"zip_file_impl", 235};
constexpr Common::Site kEndRecordCorruptSite{"zip_file_impl", 244};
constexpr Common::Site kReadCentralDirSite{"zip_file_impl", 258};
constexpr Common::Site kOpenDirSite{"OpenDir", 285};
constexpr Common::Site kOpenDirByIteratorSite{"OpenDir", 291};
constexpr Common::Site kOpenDirByIdentifierSite{"OpenDir", 297};
constexpr Common::Site kOpenByIteratorSite{"OpenI", 480};
constexpr Common::Site kOpenByIdentifierSite{"OpenI", 499};
constexpr Common::Site kNoCentralDirSite{"GetIterator", 507};
constexpr Common::Site kNoIdentifierSite{"GetIterator", 541};
constexpr Common::Site kSelfIteratorSite{"GetSelfIterator", 547};
constexpr Common::Site kNextAtEndSite{"Next", 584};
constexpr Common::Site kCentralHeadersSite{"zip_file_impl", 569};

// Names one entry: its central header and the count an iterator had on it.
class zip_identifier : public file_identifier {
 public:
  zip_identifier(const uint8_t* h, uint32_t r) : header(h), remaining(r) {}
  file_identifier* Clone() const override { return new (std::nothrow) zip_identifier(header, remaining); }

  const uint8_t* header;
  uint32_t remaining;
};

// True when every one of `count` headers, with its three variable fields, lies inside the
// central directory, so that walking and reading a header never leave the bytes read.
bool CentralHeadersFit(const uint8_t* bytes, uint32_t size, uint32_t count) {
  uint64_t at = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < kCentralHeaderBytes) return false;
    uint32_t bytesOfRecord = Central::RecordBytes(bytes + at);
    if (size - at < bytesOfRecord) return false;
    at += bytesOfRecord;
  }
  return true;
}

// Request unit `a` against entry unit `b`: ASCII letters fold to upper case, a '\' asked
// for matches a stored '/', and a stored '\' never matches.
bool UnitsMatch(char16_t a, char16_t b) {
  if (a >= u'a' && a <= u'z') {
    a = static_cast<char16_t>(a - 32);
  } else if (a == u'\\') {
    return b == u'/';
  }
  if (b >= u'a' && b <= u'z') {
    b = static_cast<char16_t>(b - 32);
  } else if (b == u'\\') {
    return false;
  }
  return a == b;
}

bool NamesMatch(const char16_t* request, const char16_t* entry) {
  for (size_t i = 0;; ++i) {
    if (!UnitsMatch(request[i], entry[i])) return false;
    if (request[i] == 0) return true;  // both ended together
  }
}

}  // namespace

uint64_t LocateCentralDirEnd(ri_file& source, Common::Error& error) {
  uint64_t position = SearchCentralDirInElf(source, error);
  if (position != 0) return position;
  return SearchCentralDir(source, error);
}

zip_file_impl::zip_file_impl(ri_file* source) : state(std::make_shared<zip_file_state>(source)) {
  ri_file& file = *state->Source;
  uint64_t position = LocateCentralDirEnd(file, last_error);
  if (position == 0) return;

  uint8_t end[kEndRecordBytes];
  file.SetPos(position);
  Read(file, end, sizeof end);
  if (file.last_error) {
    ReplaceLastError(*this, MakeReadFailure(kReadEndRecordSite, file));
    return;
  }
  uint16_t entriesHere = Common::LoadLe16(end + End::kEntriesHere);
  uint16_t total = Common::LoadLe16(end + End::kEntriesTotal);
  uint32_t centralSize = Common::LoadLe32(end + End::kCentralDirSize);
  uint32_t centralOffset = Common::LoadLe32(end + End::kCentralDirOffset);
  uint64_t span = static_cast<uint64_t>(centralSize) + centralOffset;
  if (Common::LoadLe16(end + End::kDisk) != 0 || Common::LoadLe16(end + End::kCentralDirDisk) != 0 || entriesHere != total || total == 0 ||
      span > position) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kEndRecordCorruptSite), Common::FILE_CORRUPTED));
    return;
  }
  state->Count = total;
  state->CentralDirSize = centralSize;
  state->Base = position - span;

  // The central directory is the bytes right before the end record.
  std::unique_ptr<uint8_t[]> central(new (std::nothrow) uint8_t[centralSize == 0 ? 1 : centralSize]);
  if (!central) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kReadCentralDirSite), Common::FILE_OUT_OF_MEMORY));
    return;
  }
  file.SetPos(position - centralSize);
  Read(file, central.get(), centralSize);
  if (file.last_error) {
    ReplaceLastError(*this, MakeReadFailure(kReadCentralDirSite, file));
    return;
  }
  if (!CentralHeadersFit(central.get(), centralSize, total)) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kCentralHeadersSite), Common::FILE_CORRUPTED));
    return;
  }
  state->CentralDir = std::move(central);
  last_error = Common::NoError;
}

zip_file_impl::zip_file_impl(const zip_file_impl& other) : file_object(), si_dir(), state(other.state) {
  ReplaceLastError(*this, other.last_error);
}

zip_file_impl::~zip_file_impl() = default;

si_file* zip_file_impl::OpenEntry(const uint8_t* header) {
  si_file* file = new file_in_zip(state, header);
  last_error = Common::NoError;
  return file;
}

bool zip_file_impl::OwnsEntry(const uint8_t* header, uint32_t remaining) const {
  if (!state->CentralDir || remaining == 0 || remaining > state->Count) return false;
  // Headers are found by walking, never by reading at the pointer given: that may be freed.
  const uint8_t* at = state->CentralDir.get();
  for (uint32_t left = state->Count; left > remaining; --left) at += Central::RecordBytes(at);
  return reinterpret_cast<uintptr_t>(at) == reinterpret_cast<uintptr_t>(header);
}

si_file* zip_file_impl::OpenI(const char16_t* name, bool range_locks) {
  iterator* found = GetIterator(name);
  if (found == nullptr) return nullptr;
  si_file* file = OpenI(found, range_locks);
  delete found;
  return file;
}

si_file* zip_file_impl::OpenI(const iterator* entry, bool) {
  auto* it = dynamic_cast<const zip_iterator*>(entry);
  if (it == nullptr || it->last_error || !OwnsEntry(it->Header(), it->Remaining())) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kOpenByIteratorSite), Common::FILE_OPEN_ERROR));
    return nullptr;
  }
  return OpenEntry(it->Header());
}

si_file* zip_file_impl::OpenI(const file_identifier* id, bool) {
  auto* zid = dynamic_cast<const zip_identifier*>(id);
  if (zid == nullptr || !OwnsEntry(zid->header, zid->remaining)) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kOpenByIdentifierSite), Common::FILE_OPEN_ERROR));
    return nullptr;
  }
  return OpenEntry(zid->header);
}

si_dir* zip_file_impl::OpenDir(const char16_t* name) {
  if (name != nullptr && name[0] == u'.' && name[1] == 0) {
    auto* copy = new zip_file_impl(*this);
    last_error = Common::NoError;
    return copy;
  }
  ReplaceLastError(*this, Common::MakeError(kSource.At(kOpenDirSite), Common::FILE_NOT_SUPPORTED));
  return nullptr;
}

si_dir* zip_file_impl::OpenDir(const iterator*) {
  ReplaceLastError(*this, Common::MakeError(kSource.At(kOpenDirByIteratorSite), Common::FILE_NOT_SUPPORTED));
  return nullptr;
}

si_dir* zip_file_impl::OpenDir(const file_identifier*) {
  ReplaceLastError(*this, Common::MakeError(kSource.At(kOpenDirByIdentifierSite), Common::FILE_NOT_SUPPORTED));
  return nullptr;
}

si_dir* zip_file_impl::GetParentDir(const char16_t**) {
  auto* copy = new zip_file_impl(*this);
  last_error = Common::NoError;
  return copy;
}

i_dir::iterator* zip_file_impl::GetIterator() {
  if (!state->CentralDir) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kNoCentralDirSite), Common::FILE_CORRUPTED));
    return nullptr;
  }
  last_error = Common::NoError;
  return new zip_iterator(state, state->CentralDir.get(), state->Count);
}

i_dir::iterator* zip_file_impl::GetIterator(const char16_t* name) {
  iterator* it = GetIterator();
  if (it == nullptr) return nullptr;
  const char16_t* request = name != nullptr ? name : u"";
  while (!it->last_error) {
    if (NamesMatch(request, it->GetName())) return it;
    it->Next();
  }
  Common::Error end = TakeLastError(*it);
  delete it;
  ReplaceLastError(*this, end);
  return nullptr;
}

i_dir::iterator* zip_file_impl::GetIterator(const file_identifier* id) {
  auto* zid = dynamic_cast<const zip_identifier*>(id);
  if (zid == nullptr || !OwnsEntry(zid->header, zid->remaining)) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kNoIdentifierSite), Common::FILE_NOT_FOUND));
    return nullptr;
  }
  last_error = Common::NoError;
  return new zip_iterator(state, zid->header, zid->remaining);
}

i_dir::iterator* zip_file_impl::GetSelfIterator() {
  ReplaceLastError(*this, Common::MakeError(kSource.At(kSelfIteratorSite), Common::FILE_NOT_SUPPORTED));
  return nullptr;
}

uint32_t zip_file_impl::CompareLocation(i_dir* other) { return other == static_cast<i_dir*>(this) ? 0 : 2; }

int32_t zip_file_impl::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  auto* za = dynamic_cast<const zip_identifier*>(a);
  auto* zb = dynamic_cast<const zip_identifier*>(b);
  if (za == nullptr || zb == nullptr) return 1;
  return za->header == zb->header && za->remaining == zb->remaining ? 0 : 1;
}

zip_iterator::zip_iterator(std::shared_ptr<zip_file_state> shared, const uint8_t* h, uint32_t r)
    : state(std::move(shared)), header(h), remaining(r) {
  LoadName();
}

zip_iterator::~zip_iterator() = default;

void zip_iterator::LoadName() {
  uint16_t length = Common::LoadLe16(header + Central::kNameLength);
  const uint8_t* bytes = header + kCentralHeaderBytes;
  name.assign(bytes, bytes + length);  // one unit per byte: names are not decoded
}

void zip_iterator::Next() {
  if (last_error) return;
  if (remaining <= 1) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kNextAtEndSite), Common::FILE_END_OF_FILE));
    return;
  }
  --remaining;
  header += Central::RecordBytes(header);
  LoadName();
}

file_identifier* zip_iterator::GetIdentifier() { return new zip_identifier(header, remaining); }

const char16_t* zip_iterator::GetName() { return name.c_str(); }

uint64_t zip_iterator::GetSize() { return Common::LoadLe32(header + Central::kSize); }

uint64_t zip_iterator::GetAllocatedSize() { return Common::LoadLe32(header + Central::kCompressedSize); }

uint32_t zip_iterator::GetType() { return 0; }

si_dir* OpenZipArchive(ri_file* source) {
  auto* archive = new zip_file_impl(source);
  if (archive->last_error) {
    delete archive;
    return nullptr;
  }
  return archive;
}

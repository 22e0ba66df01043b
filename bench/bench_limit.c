/* The whole-process limit of a launcher run: what the launcher must do with the carried
 * files and nothing more, in plain C on libc and the launcher's zlib. One cold pass per
 * process: it reads the archive in 32 KiB pieces, inflates each named entry into 64 KiB
 * pieces, checks its CRC-32, writes it with O_CREAT|O_TRUNC into a fresh directory under
 * /tmp, then removes the files and the directory.
 *   bench_limit ARCHIVE ENTRY FILE [ENTRY FILE]...
 * ARCHIVE is a ZIP file as the fixture tool writes it (no comment, no ZIP64). Prints
 * nothing; a failure ends with status 1 and a line on standard error. */
#define _GNU_SOURCE
#define _FILE_OFFSET_BITS 64
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

enum {
  kInputBytes = 32768,
  kPieceBytes = 65536,
  kPathBytes = 4096,
  kEndRecordBytes = 22,
  kCentralHeaderBytes = 46,
  kLocalHeaderBytes = 30,
  kMethodStored = 0,
  kMethodDeflated = 8,
  kRawDeflateWindowBits = -15,
};

static const uint32_t kEndSignature = 0x06054B50;
static const uint32_t kCentralSignature = 0x02014B50;
static const uint32_t kLocalSignature = 0x04034B50;

struct Archive {
  int fd;
  uint8_t* central;
  uint32_t centralBytes;
  uint16_t count;
};

static uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

static uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static int Fail(const char* name, const char* what) {
  fprintf(stderr, "bench_limit: %s: %s\n", name, what);
  return -1;
}

/* Exactly `size` bytes at `at`, or -1. */
static int ReadAt(int fd, void* buffer, size_t size, off_t at) {
  uint8_t* into = buffer;
  while (size > 0) {
    ssize_t n = pread(fd, into, size, at);
    if (n <= 0) return -1;
    into += n;
    size -= (size_t)n;
    at += n;
  }
  return 0;
}

static int WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

static int OpenArchive(const char* path, struct Archive* archive) {
  uint8_t end[kEndRecordBytes];
  struct stat st;
  archive->fd = open(path, O_RDONLY | O_CLOEXEC);
  if (archive->fd < 0 || fstat(archive->fd, &st) != 0 || st.st_size < kEndRecordBytes) return Fail(path, "cannot be read");
  if (ReadAt(archive->fd, end, sizeof end, st.st_size - kEndRecordBytes) != 0 || Le32(end) != kEndSignature)
    return Fail(path, "no end record");
  archive->count = Le16(end + 10);
  archive->centralBytes = Le32(end + 12);
  archive->central = malloc(archive->centralBytes);
  if (archive->central == NULL || ReadAt(archive->fd, archive->central, archive->centralBytes, Le32(end + 16)) != 0)
    return Fail(path, "no central directory");
  return 0;
}

/* The central header of `name`, or NULL. */
static const uint8_t* FindEntry(const struct Archive* archive, const char* name) {
  size_t nameBytes = strlen(name);
  uint32_t at = 0;
  for (uint16_t i = 0; i < archive->count; ++i) {
    const uint8_t* header = archive->central + at;
    if (archive->centralBytes - at < kCentralHeaderBytes || Le32(header) != kCentralSignature) return NULL;
    uint32_t length = kCentralHeaderBytes + Le16(header + 28) + Le16(header + 30) + Le16(header + 32);
    if (archive->centralBytes - at < length) return NULL;
    if (Le16(header + 28) == nameBytes && memcmp(header + kCentralHeaderBytes, name, nameBytes) == 0) return header;
    at += length;
  }
  return NULL;
}

/* Fills `piece` from the deflated data at *at, reading input as inflate asks for it;
 * returns the bytes produced, or -1. */
static long InflatePiece(int fd, z_stream* stream, uint8_t* input, off_t* at, uint32_t* left, uint8_t* piece,
                         int* result) {
  stream->next_out = piece;
  stream->avail_out = kPieceBytes;
  do {
    if (stream->avail_in == 0 && *left > 0) {
      uint32_t n = *left < kInputBytes ? *left : kInputBytes;
      if (ReadAt(fd, input, n, *at) != 0) return -1;
      *at += n;
      *left -= n;
      stream->next_in = input;
      stream->avail_in = n;
    }
    *result = inflate(stream, Z_SYNC_FLUSH);
  } while (*result == Z_OK && stream->avail_out > 0);
  if (*result != Z_OK && *result != Z_STREAM_END) return -1;
  return (long)(kPieceBytes - stream->avail_out);
}

/* One entry into `out`, each piece written as it is produced; size and CRC checked. */
static int Unpack(int fd, const uint8_t* header, const char* name, int out, uint8_t* input, uint8_t* piece) {
  uint8_t local[kLocalHeaderBytes];
  uint16_t method = Le16(header + 10);
  uint32_t left = Le32(header + 20);
  uint32_t size = Le32(header + 24);
  off_t at = Le32(header + 42);
  if (ReadAt(fd, local, sizeof local, at) != 0 || Le32(local) != kLocalSignature) return Fail(name, "no local header");
  at += kLocalHeaderBytes + Le16(local + 26) + Le16(local + 28);
  if (method != kMethodStored && method != kMethodDeflated) return Fail(name, "unknown method");

  z_stream stream;
  memset(&stream, 0, sizeof stream);
  if (method == kMethodDeflated && inflateInit2(&stream, kRawDeflateWindowBits) != Z_OK) return Fail(name, "inflateInit2");
  uLong crc = crc32(0, Z_NULL, 0);
  uint64_t produced = 0;
  int result = Z_OK;
  int status = 0;
  while (status == 0 && produced < size) {
    long n;
    if (method == kMethodStored) {
      n = left < kPieceBytes ? (long)left : kPieceBytes;
      if (n == 0 || ReadAt(fd, piece, (size_t)n, at) != 0) n = -1;
      at += n;
      left -= (uint32_t)n;
    } else {
      n = InflatePiece(fd, &stream, input, &at, &left, piece, &result);
    }
    if (n <= 0) {
      status = Fail(name, "damaged data");
      break;
    }
    crc = crc32(crc, piece, (uInt)n);
    if (WriteAll(out, piece, (size_t)n) != 0) status = Fail(name, "cannot be written");
    produced += (uint64_t)n;
  }
  if (method == kMethodDeflated) inflateEnd(&stream);
  if (status == 0 && (produced != size || crc != Le32(header + 16))) status = Fail(name, "wrong size or CRC");
  return status;
}

/* Removes what the pass wrote: the first `count` files and the directory. */
static int RemoveAll(const char* dir, char** files, int count) {
  char path[kPathBytes];
  int status = 0;
  for (int i = 0; i < count; ++i) {
    snprintf(path, sizeof path, "%s/%s", dir, files[2 * i]);
    if (unlink(path) != 0) status = Fail(path, "cannot be removed");
  }
  if (rmdir(dir) != 0) status = Fail(dir, "cannot be removed");
  return status;
}

int main(int argc, char** argv) {
  if (argc < 4 || argc % 2 != 0) {
    fprintf(stderr, "usage: %s ARCHIVE ENTRY FILE [ENTRY FILE]...\n", argv[0]);
    return 2;
  }
  struct Archive archive;
  uint8_t* input = malloc(kInputBytes);
  uint8_t* piece = malloc(kPieceBytes);
  char dir[] = "/tmp/ormivane-limit-XXXXXX";
  if (input == NULL || piece == NULL || OpenArchive(argv[1], &archive) != 0) return 1;
  if (mkdtemp(dir) == NULL) {
    Fail(dir, "cannot be made");
    return 1;
  }
  char path[kPathBytes];
  int created = 0;
  int status = 0;
  for (int i = 2; status == 0 && i < argc; i += 2) {
    const uint8_t* header = FindEntry(&archive, argv[i]);
    if (header == NULL) {
      status = Fail(argv[i], "not in the archive");
      break;
    }
    snprintf(path, sizeof path, "%s/%s", dir, argv[i + 1]);
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
      status = Fail(path, "cannot be created");
      break;
    }
    ++created;
    status = Unpack(archive.fd, header, argv[i], out, input, piece);
    if (close(out) != 0 && status == 0) status = Fail(path, "cannot be closed");
  }
  if (RemoveAll(dir, argv + 3, created) != 0) status = -1;
  free(input);
  free(piece);
  free(archive.central);
  close(archive.fd);
  return status == 0 ? 0 : 1;
}

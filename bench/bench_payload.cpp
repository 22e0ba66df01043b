// Payload archives in memory, the raw inflate limit, and trees for the clean-up timings.
#include "bench/bench_payload.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace Bench {

namespace {

constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr size_t kEndRecordBytes = 22;
constexpr size_t kCentralHeaderBytes = 46;
constexpr size_t kLocalHeaderBytes = 30;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr int kRawDeflateWindowBits = -15;
constexpr uint32_t kWindowBytes = 65536;
constexpr size_t kTreeWriteBytes = 1 << 20;
constexpr int kTreeWalkDescriptors = 16;

std::runtime_error Corrupt(const std::string& path) { return std::runtime_error(path + ": not a payload archive"); }

// A cursor over the file that refuses to read past its end.
class Reader {
 public:
  Reader(const std::vector<uint8_t>& bytes, const std::string& path) : bytes(bytes), path(path) {}

  const uint8_t* At(uint64_t offset, uint64_t length) const {
    if (offset > bytes.size() || length > bytes.size() - offset) throw Corrupt(path);
    return bytes.data() + offset;
  }
  uint16_t U16(uint64_t offset) const {
    const uint8_t* p = At(offset, 2);
    return static_cast<uint16_t>(p[0] | p[1] << 8);
  }
  uint32_t U32(uint64_t offset) const {
    const uint8_t* p = At(offset, 4);
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
  }

 private:
  const std::vector<uint8_t>& bytes;
  const std::string& path;
};

// Hands each piece of an entry's bytes to a sink as it is produced.
class PieceSink {
 public:
  virtual ~PieceSink() = default;
  virtual void Take(const uint8_t* data, uint32_t size) = 0;
};

class NoSink : public PieceSink {
 public:
  void Take(const uint8_t*, uint32_t) override {}
};

class FileSink : public PieceSink {
 public:
  explicit FileSink(const std::string& path) : path(path) {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
  }
  ~FileSink() override { close(fd); }
  void Take(const uint8_t* data, uint32_t size) override {
    if (write(fd, data, size) != static_cast<ssize_t>(size)) throw std::runtime_error(path + ": short write");
  }

 private:
  std::string path;
  int fd = -1;
};

uint64_t Inflate(const ArchiveEntry& entry, uint8_t* window, uint32_t* crc, PieceSink& sink) {
  z_stream stream{};
  if (inflateInit2(&stream, kRawDeflateWindowBits) != Z_OK) throw std::runtime_error("inflateInit2 failed");
  stream.next_in = const_cast<uint8_t*>(entry.Data);
  stream.avail_in = entry.DataBytes;
  uint64_t produced = 0;
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = window;
    stream.avail_out = kWindowBytes;
    result = inflate(&stream, Z_NO_FLUSH);
    uint32_t n = kWindowBytes - stream.avail_out;
    *crc = static_cast<uint32_t>(crc32(*crc, window, n));
    sink.Take(window, n);
    produced += n;
  }
  inflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error(entry.Name + ": broken deflate stream");
  return produced;
}

uint64_t Copy(const ArchiveEntry& entry, uint8_t* window, uint32_t* crc, PieceSink& sink) {
  for (uint32_t at = 0; at < entry.DataBytes; at += kWindowBytes) {
    uint32_t n = std::min(kWindowBytes, entry.DataBytes - at);
    std::memcpy(window, entry.Data + at, n);
    *crc = static_cast<uint32_t>(crc32(*crc, window, n));
    sink.Take(window, n);
  }
  return entry.DataBytes;
}

uint64_t Produce(const ArchiveEntry& entry, uint8_t* window, PieceSink& sink) {
  uint32_t crc = 0;
  uint64_t produced = entry.Method == kMethodDeflated ? Inflate(entry, window, &crc, sink)
                                                      : Copy(entry, window, &crc, sink);
  if (produced != entry.Size || crc != entry.Crc) throw std::runtime_error(entry.Name + ": wrong size or CRC");
  return produced;
}

int RemoveEntry(const char* path, const struct stat64*, int type, FTW*) {
  return type == FTW_DP ? rmdir(path) : unlink(path);
}

}  // namespace

Archive::Archive(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot be opened");
  Bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  Reader reader(Bytes, path);
  if (Bytes.size() < kEndRecordBytes) throw Corrupt(path);
  uint64_t end = Bytes.size() - kEndRecordBytes;
  if (reader.U32(end) != kEndSignature) throw Corrupt(path);
  uint16_t count = reader.U16(end + 10);
  uint64_t at = reader.U32(end + 16);
  for (uint16_t i = 0; i < count; ++i) {
    if (reader.U32(at) != kCentralSignature) throw Corrupt(path);
    ArchiveEntry entry;
    entry.Method = reader.U16(at + 10);
    entry.Crc = reader.U32(at + 16);
    entry.DataBytes = reader.U32(at + 20);
    entry.Size = reader.U32(at + 24);
    uint16_t nameBytes = reader.U16(at + 28);
    uint64_t local = reader.U32(at + 42);
    const uint8_t* name = reader.At(at + kCentralHeaderBytes, nameBytes);
    entry.Name.assign(reinterpret_cast<const char*>(name), nameBytes);
    at += kCentralHeaderBytes + nameBytes + reader.U16(at + 30) + reader.U16(at + 32);
    if (reader.U32(local) != kLocalSignature) throw Corrupt(path);
    uint64_t data = local + kLocalHeaderBytes + reader.U16(local + 26) + reader.U16(local + 28);
    entry.Data = reader.At(data, entry.DataBytes);
    if (entry.Method != kMethodStored && entry.Method != kMethodDeflated) throw Corrupt(path);
    Entries.push_back(std::move(entry));
  }
}

std::vector<ArchiveEntry> Archive::Select(const std::vector<std::string>& names) const {
  std::vector<ArchiveEntry> chosen;
  for (const std::string& name : names) {
    auto found = std::find_if(Entries.begin(), Entries.end(), [&](const ArchiveEntry& e) { return e.Name == name; });
    if (found == Entries.end()) throw std::runtime_error("the payload archive lacks " + name);
    chosen.push_back(*found);
  }
  return chosen;
}

uint64_t InflateAndCheck(const std::vector<ArchiveEntry>& entries) {
  std::unique_ptr<uint8_t[]> window(new uint8_t[kWindowBytes]);
  NoSink memory;
  uint64_t total = 0;
  for (const ArchiveEntry& entry : entries) total += Produce(entry, window.get(), memory);
  return total;
}

uint64_t InflateIntoFiles(const std::vector<ArchiveEntry>& entries, const std::string& dir,
                          const std::vector<std::string>& fileNames) {
  std::unique_ptr<uint8_t[]> window(new uint8_t[kWindowBytes]);
  uint64_t total = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    FileSink file(dir + "/" + fileNames.at(i));
    total += Produce(entries[i], window.get(), file);
  }
  return total;
}

void MakeTree(const std::string& path, const std::vector<TreeFile>& files) {
  RemoveAnyTree(path);  // what a failed run left
  if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error(path + ": " + std::strerror(errno));
  std::unique_ptr<char[]> data(new char[kTreeWriteBytes]);
  for (size_t i = 0; i < kTreeWriteBytes; ++i) data[i] = static_cast<char>(i * 131 + 7);
  for (const TreeFile& file : files) {
    std::string name = path + "/" + file.Name;
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error(name + ": " + std::strerror(errno));
    for (uint64_t left = file.Size; left > 0;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, kTreeWriteBytes));
      ssize_t written = write(fd, data.get(), n);
      if (written <= 0) {
        close(fd);
        throw std::runtime_error(name + ": " + std::strerror(errno));
      }
      left -= static_cast<uint64_t>(written);
    }
    close(fd);
  }
}

void RemoveFlatTree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) throw std::runtime_error(path + ": " + std::strerror(errno));
  int fd = dirfd(dir);
  // The 64-bit form: a 32-bit readdir fails on the large directory offsets of ext4.
  while (dirent64* entry = readdir64(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    unlinkat(fd, entry->d_name, 0);
  }
  closedir(dir);
  if (rmdir(path.c_str()) != 0) throw std::runtime_error(path + ": " + std::strerror(errno));
}

std::string MakeScratchDir(const std::string& stem) {
  std::string pattern = "/tmp/" + stem + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  return pattern;
}

void RemoveAnyTree(const std::string& path) {
  nftw64(path.c_str(), RemoveEntry, kTreeWalkDescriptors, FTW_DEPTH | FTW_PHYS);
}

}  // namespace Bench

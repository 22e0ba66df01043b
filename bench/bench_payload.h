// What the benchmarks unpack and remove: the deflated entries of a payload archive held
// in memory for the raw inflate limit, and trees of files shaped like an unpacked run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Bench {

struct ArchiveEntry {
  std::string Name;
  uint16_t Method = 0;
  uint32_t Crc = 0;
  uint32_t Size = 0;
  const uint8_t* Data = nullptr;  // the stored or deflated bytes, inside Archive::Bytes
  uint32_t DataBytes = 0;
};

// A whole ZIP file in memory. Throws std::runtime_error when it is not one the fixture
// tool wrote (no comment, no ZIP64, every record inside the file).
struct Archive {
  explicit Archive(const std::string& path);
  // The entries of `names`, in that order; throws when one is missing.
  std::vector<ArchiveEntry> Select(const std::vector<std::string>& names) const;

  std::vector<uint8_t> Bytes;
  std::vector<ArchiveEntry> Entries;
};

// Inflates (raw deflate) or copies every entry into a reused 64 KiB window and checks its
// CRC-32; returns the bytes produced. Throws on a damaged entry.
uint64_t InflateAndCheck(const std::vector<ArchiveEntry>& entries);

// The same, each entry written into a file of directory `dir` (which must exist) under
// the name at its position in `fileNames`: the floor for unpacking into files.
uint64_t InflateIntoFiles(const std::vector<ArchiveEntry>& entries, const std::string& dir,
                          const std::vector<std::string>& fileNames);

// A file of a tree: its name and size.
struct TreeFile {
  std::string Name;
  uint64_t Size = 0;
};

// Creates directory `path` holding `files`, written with real data so that their pages
// are in the cache as an unpacked file's are.
void MakeTree(const std::string& path, const std::vector<TreeFile>& files);

// Removes a flat tree with plain unlink and rmdir calls: the floor for a removal.
void RemoveFlatTree(const std::string& path);

// Makes a fresh directory under /tmp; its path.
std::string MakeScratchDir(const std::string& stem);

// Removes a tree of any shape (the scratch directories at the end).
void RemoveAnyTree(const std::string& path);

}  // namespace Bench

// The two control codes as a sender uses them: "BKUP" into a recording sink, "RSTR" from
// the recorded chunks, and the file-system probes the POSIX backup tests skip on.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/file/backup.h"
#include "core/file/tests/backup_fakes.h"
#include "core/file/unix/posixsp.h"

namespace PosixBackupTest {

using BackupTesting::RecordedChunk;

// "BKUP" for entry `name` of dir (dir itself when name is null); the directory's outcome.
inline Common::Error SendBackup(posix_dir& dir, const char* name, ChunkSink* sink, uint32_t flags = 0,
                                BackupCallback* callback = nullptr) {
  std::unique_ptr<the_identifier> id;
  if (name != nullptr) id = std::make_unique<the_identifier>(Common::ToUtf16(name).c_str(), name, std::strlen(name) + 1);
  BackupRequest block{PosixControl::kBackup, {sink, callback, flags, id.get()}};
  dir.IOCTL(&block);
  return TakeLastError(dir);
}

// "RSTR" of entry `name` of dir from the given chunks.
inline Common::Error SendRestore(posix_dir& dir, const char16_t* name, const std::vector<RecordedChunk>& chunks,
                                 BackupCallback* callback = nullptr, uint32_t flags = 0) {
  BackupTesting::ScriptedSource source;
  for (const RecordedChunk& chunk : chunks) source.Add(static_cast<uint8_t>(chunk.Type), chunk.Payload);
  RestoreRequest block{PosixControl::kRestore, {&source, callback, flags, name}};
  dir.IOCTL(&block);
  return TakeLastError(dir);
}

inline std::vector<RecordedChunk> Chunk(uint32_t type, BackupTesting::Bytes payload) {
  return {RecordedChunk{type, std::move(payload), 0, true}};
}

// An attribute value, or "<none>".
inline std::string GetAttribute(const std::string& path, const char* name) {
  char value[4096];
  ssize_t n = lgetxattr(path.c_str(), name, value, sizeof value);
  if (n < 0) return "<none>";
  return std::string(value, static_cast<size_t>(n));
}

// Whether attributes of the namespace of `name` can be set on files below `dir`.
inline bool AttributesWork(const std::string& dir, const char* name) {
  std::string probe = dir + "/.xattr-probe";
  FILE* f = std::fopen(probe.c_str(), "w");
  if (f == nullptr) return false;
  std::fclose(f);
  bool works = setxattr(probe.c_str(), name, "1", 1, 0) == 0;
  unlink(probe.c_str());
  return works;
}

inline struct stat64 Lstat(const std::string& path) {
  struct stat64 st {};
  lstat64(path.c_str(), &st);
  return st;
}

inline uint64_t MtimeMillis(const struct stat64& st) {
  return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000 + static_cast<uint64_t>(st.st_mtim.tv_nsec) / 1000000;
}

// What a restore or backup must leave as it was, for every entry below a directory (the
// directory itself included): existence, type, mode, owner, size, modification time, the
// content of a regular file, a link's target and the extended attributes. Link counts and
// change times are left out: a hard link replaced at another name lowers the one and
// moves the other.
inline std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  std::map<std::string, std::string> entries;
  std::vector<std::string> pending{root};
  while (!pending.empty()) {
    std::string path = pending.back();
    pending.pop_back();
    struct stat64 st {};
    if (lstat64(path.c_str(), &st) != 0) continue;
    std::ostringstream facts;
    facts << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid << " " << st.st_size << " "
          << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
    if (S_ISREG(st.st_mode)) {
      std::ifstream in(path, std::ios::binary);
      facts << " [" << std::string(std::istreambuf_iterator<char>(in), {}) << "]";
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target);
      facts << " -> " << std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    char names[4096];
    ssize_t listed = llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
      char value[4096];
      ssize_t n = lgetxattr(path.c_str(), names + at, value, sizeof value);
      facts << " " << (names + at) << "=" << std::string(value, n > 0 ? static_cast<size_t>(n) : 0);
    }
    entries[path] = facts.str();
    if (!S_ISDIR(st.st_mode)) continue;
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) pending.push_back(path + "/" + e->d_name);
      closedir(dir);
    }
  }
  return entries;
}

// The names directly in a directory, sorted.
inline std::vector<std::string> Names(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* e = readdir(dir))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace PosixBackupTest

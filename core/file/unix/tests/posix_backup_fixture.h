// The two control codes as a sender uses them: "BKUP" into a recording sink, "RSTR" from
// the recorded chunks, and the file-system probes the POSIX backup tests skip on.
#pragma once

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
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
  BackupRequest block{kBackupControlCode, {sink, callback, flags, id.get()}};
  dir.IOCTL(&block);
  return TakeLastError(dir);
}

// "RSTR" of entry `name` of dir from the given chunks.
inline Common::Error SendRestore(posix_dir& dir, const char16_t* name, const std::vector<RecordedChunk>& chunks,
                                 BackupCallback* callback = nullptr, uint32_t flags = 0) {
  BackupTesting::ScriptedSource source;
  for (const RecordedChunk& chunk : chunks) source.Add(static_cast<uint8_t>(chunk.Type), chunk.Payload);
  RestoreRequest block{kRestoreControlCode, {&source, callback, flags, name}};
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

}  // namespace PosixBackupTest

// The program's resource archive, opened once per process (the ".dat" file beside the
// executable when it opens, else the executable's own ".zip" section), and the handle
// functions through which its entry files reach callers: plain functions that answer
// 1 or 0 and hand errors over as serialized blobs.
#pragma once

#include <cstdint>

#include "core/include/file/dir.h"

namespace Resources {

// Opaque handles: an entry file and a directory, released with ReleaseFile / ReleaseDir.
struct FileHandleTag;
struct DirHandleTag;
using FileHandle = FileHandleTag*;
using DirHandle = DirHandleTag*;

inline FileHandle ToFileHandle(si_file* file) { return reinterpret_cast<FileHandle>(file); }
inline DirHandle ToDirHandle(i_dir* dir) { return reinterpret_cast<DirHandle>(dir); }

// The archive of the program at `path` (UTF-16): "<path without extension>.dat" when that
// opens, else `path` itself; null when neither opens or what opened holds no archive. A
// null path only makes a message lookup (which loads the catalog the first time).
si_dir* OpenArchiveFile(const char16_t* path);

// The process-wide archive (owned by the process), or null; a failed open is tried again
// by the next call.
si_dir* OpenResourceArchive();
// At exit: the archive is released; entry files still open keep its source alive.
void CloseResourceArchive();

// The whole entry `name` (through the language candidates) in a new[] buffer with its
// size, or null. The entry's CRC is not compared.
uint8_t* LoadResource(const char* name, uint32_t* size);

void ReleaseFile(FileHandle file);
// 0 for a null handle or a file that holds an error; else 1 when the call left none.
[[nodiscard]] int GetFileSize(FileHandle file, uint64_t* size);
[[nodiscard]] int RewindFile(FileHandle file);
[[nodiscard]] int ReadFile(FileHandle file, void* buffer, uint32_t length, uint32_t* done);
// The file's error, moved out and serialized (new[] bytes, `*size` of them); null for a
// null handle. An empty error serializes too.
uint8_t* TakeErrorBlob(FileHandle file, uint32_t* size);
void ReleaseDir(DirHandle dir);

}  // namespace Resources

// The POSIX bodies of the directory control codes "BKUP" and "RSTR": the common chunks of
// an entry plus its extended attributes and flag words, and the restore that sets the
// extended attributes of a restored file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/common/error.h"
#include "core/file/backup.h"
#include "core/file/unix/posixsp.h"
#include "core/include/file/dir.h"

// Backs up entry `id` of dir (dir itself when id is null): the common chunks, then
// CHUNK_XATTR (always, possibly empty), then for a regular file or a directory
// CHUNK_UNIX_FLAGS and CHUNK_FLAGS when their words are known and not 0. The data, the
// attributes and the flags are read through one descriptor of the inode the iterator
// listed, opened beneath the directory without following a link; an entry swapped since
// fails the backup. Only a link's or a device node's attributes are read through /proc.
Common::Error PosixBackupFile(i_dir* dir, const file_identifier* id, const BackupRequestBody& request);

// Restores entry `name` of dir (whose path, with its trailing '/', is dir_path) from the
// request's chunks, by descriptor: dir is opened once, and no link or swapped entry on the
// way makes the restore act outside the entry. A regular file is made at a free name, or
// apart and renamed over whatever stands there once whole, so a failed restore leaves what
// stood there; it succeeds only when the name then holds that file. Every failure is
// reported as "Error occurred while recovering." with the failure below it; an entry other
// than a directory that the restore created is removed again.
Common::Error PosixRestoreFile(posix_dir* dir, const char16_t* dir_path, const char16_t* name,
                               const RestoreRequestBody& request);

// lgetxattr of the attribute `name` of `path` itself (a symbolic link is not followed);
// *result gets its return value, -1 on failure.
Common::Error GetXattr(const char* path, const char* name, void* value, size_t size, ssize_t* result);

// The extended attribute record of CHUNK_XATTR: u16 name length (its zero byte included),
// u64 value length (a restore reads its low 32 bits), the name with its zero, the value.
namespace XattrRecordLayout {

inline constexpr uint32_t kNameLengthOffset = 0;
inline constexpr uint32_t kValueLengthOffset = 2;
inline constexpr uint32_t kHeaderBytes = 10;

}  // namespace XattrRecordLayout

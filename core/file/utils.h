// File utilities over the file and directory interfaces: copying a file, creating a
// directory with its missing ancestors, removing a tree, and the flag control requests.
// None of them throws: each returns its outcome, taking the errors out of the objects it
// used, and works with any implementation of the interfaces.
#pragma once

#include <cstdint>

#include "core/common/error.h"
#include "core/include/file/dir.h"
#include "core/include/file/file.h"
#include "core/include/file/posix_control.h"

namespace FileUtils {

// The control codes of the flag requests.
inline constexpr uint32_t kGetUnixFlagsCode = PosixControl::MakeControlCode("GUFL");
inline constexpr uint32_t kSetFileFlagsCode = PosixControl::MakeControlCode("SMUF");
inline constexpr uint32_t kSetFlagsByNameCode = PosixControl::MakeControlCode("SMFN");
inline constexpr uint32_t kGetFlagsByNameCode = PosixControl::MakeControlCode("GMFN");

// "GUFL" (flags out) and "SMUF" (flags in), sent to a file.
struct FileFlagsRequest {
  uint32_t Code;
  uint32_t Flags;
};

// "SMFN" (flags in) and "GMFN" (flags out), sent to a directory about one of its entries.
struct NamedFlagsRequest {
  uint32_t Code;
  const char16_t* Name;
  uint32_t Flags;
};

// Entry types of i_dir::iterator::GetType that the tree removal treats specially.
inline constexpr uint32_t kTypeSymbolicLink = 5;
inline constexpr uint32_t kTypeDirectory = 128;
inline constexpr uint32_t kTypeWholeEntryFirst = 150;  // removed as a whole, not listed
inline constexpr uint32_t kTypeWholeEntryLast = 151;
inline constexpr uint32_t kFirstSpecialType = 128;

}  // namespace FileUtils

// Copies everything src yields into dst in pieces of bufferSize bytes; *copied counts the
// bytes written. A read that does not fill the buffer is taken as the last piece.
Common::Error SimpleCopyFile(i_file* src, o_file* dst, uint64_t* copied, uint32_t bufferSize);
Common::Error SimpleCopyFile(i_file* src, o_file* dst, uint32_t bufferSize);

// Makes sure the directory dir stands for exists, creating missing ancestors first. An
// entry of any type at that path counts as existing.
Common::Error CreateDirWithParents(rio_dir* dir);

// Removes everything below dir and, unless keepTop, dir's directory itself. The walk goes
// on past failures and reports the first. A top that is a symbolic link is never
// followed: the link itself is removed, or left alone with keepTop.
Common::Error RemoveDirTree(rio_dir* dir, bool keepTop);

// The flags word of entry `name` of dir; *flags is not written when the entry cannot be
// opened.
Common::Error GetUnixFlags(i_dir* dir, const char16_t* name, uint32_t* flags);
Common::Error SetFileFlags(file_object* file, uint32_t flags);
Common::Error SetFlagsByName(o_dir* dir, const char16_t* name, uint32_t flags);
Common::Error GetFlagsByName(o_dir* dir, const char16_t* name, uint32_t* flags);

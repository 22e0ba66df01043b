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

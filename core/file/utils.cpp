// File utilities: whole tasks made of the file and directory interfaces' operations.
#include "core/file/utils.h"

#include <list>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr Common::SourceFile kSource{Common::Locations::CoreFileUtils, "core/file/utils.cpp"};
constexpr Common::Site kCopyNoSourceSite{"SimpleCopyFile", 169};
constexpr Common::Site kCopyNoDestinationSite{"SimpleCopyFile", 171};
constexpr Common::Site kCopyNoBufferSite{"SimpleCopyFile", 93};
// Out of memory for the objects and lists of the tree walks.
constexpr Common::Site kCreateDirNoMemorySite{"CreateDirWithParents", 192};
constexpr Common::Site kRemoveTreeNoMemorySite{"RemoveDirTree", 202};

// True for the outcome of a CreateDir that leaves the directory in place: success, or a
// failure whose chain says that something already exists there.
bool DirectoryStands(const Common::Error& error) {
  if (error.IsEmpty()) return true;
  for (const Common::ErrorRecord* record = error.GetHead(); record != nullptr; record = record->Cause)
    if (record->Code == Common::FILE_ALREADY_EXISTS) return true;
  return false;
}

Common::Error CreateSelf(rio_dir& dir) {
  dir.CreateDir(u".", nullptr);
  return TakeLastError(dir);
}

// The tree removal reports its first failure only: later errors stay in their objects.
void KeepFirstError(Common::Error& result, file_object& object) {
  if (result.IsEmpty()) result = TakeLastError(object);
}

bool IsSubdirectoryType(uint32_t type) {
  return type == EntryTypes::kTypeDirectory || type == EntryTypes::kTypeWholeEntryFirst ||
         type == EntryTypes::kTypeWholeEntryLast;
}

// The type of the entry that dir stands on, or false when it cannot be told.
bool GetSelfType(rio_dir& dir, uint32_t& type) {
  std::unique_ptr<i_dir::iterator> self(dir.GetSelfIterator());
  if (!self || self->last_error) return false;
  type = self->GetType();
  return true;
}

// A directory of the tree removal. Every one but the caller's top is owned here, so a
// removal cut short by a lack of memory still deletes every object it opened.
struct PendingDir {
  rio_dir* Dir;
  bool Visited;
  std::unique_ptr<rio_dir> Owned;
};

// Lists one directory: its subdirectories go to the front of pending, the names of the
// entries it removes by name to the front of `names` (so they come out in reverse).
void ListDirectory(rio_dir& dir, std::list<PendingDir>& pending, Common::Error& result) {
  std::unique_ptr<i_dir::iterator> it(dir.GetIterator());
  if (!it) {
    KeepFirstError(result, dir);
    return;
  }
  std::list<Common::WString> names;
  while (!it->last_error) {
    uint32_t type = it->GetType();
    if (IsSubdirectoryType(type)) {
      std::unique_ptr<rio_dir> sub(dir.OpenDir(it.get()));
      if (sub) {
        rio_dir* opened = sub.get();
        pending.push_front(PendingDir{opened, type != EntryTypes::kTypeDirectory, std::move(sub)});
      } else {
        KeepFirstError(result, dir);
      }
    } else if (type < EntryTypes::kFirstDirectoryLikeType) {
      const char16_t* name = it->GetName();
      if (name != nullptr) names.emplace_front(name);
    }
    it->Next();
  }
  it.reset();
  for (const Common::WString& name : names) {
    dir.Remove(name.c_str());
    KeepFirstError(result, dir);
  }
}

// Keeps its first failure in `result`, which the caller reads also when the walk is cut
// short by a lack of memory.
void RemoveTree(rio_dir* dir, bool keepTop, Common::Error& result) {
  uint32_t topType = 0;
  bool topTypeKnown = GetSelfType(*dir, topType);

  // A link is an entry of the parent, not a tree of our own: following it would empty
  // whatever directory it points to.
  if (topTypeKnown && topType == EntryTypes::kTypeSymLink) {
    if (keepTop) return;
    dir->Remove(u".");
    result = TakeLastError(*dir);
    return;
  }

  bool topVisited = !keepTop && topTypeKnown &&
                    (topType == EntryTypes::kTypeWholeEntryFirst || topType == EntryTypes::kTypeWholeEntryLast);
  std::list<PendingDir> pending;
  pending.push_back(PendingDir{dir, topVisited, nullptr});
  while (!pending.empty()) {
    PendingDir& first = pending.front();
    if (!first.Visited) {
      first.Visited = true;
      // `first` stays valid: a list keeps its elements where they are.
      ListDirectory(*first.Dir, pending, result);
      continue;
    }
    PendingDir done = std::move(first);
    pending.pop_front();
    if (pending.empty() && keepTop) break;
    done.Dir->RemoveDir(u".");
    KeepFirstError(result, *done.Dir);
  }
}

// Climbs from dir until a directory stands, then creates the ones below it top-down.
// Every directory object opened on the way is owned by `cur` or `above`.
Common::Error CreateWithAncestors(rio_dir* dir) {
  if (std::unique_ptr<i_dir::iterator> existing{dir->GetSelfIterator()}) return Common::NoError;
  std::unique_ptr<rio_dir> cur(dir->OpenDir(u".."));
  Common::Error error = CreateSelf(*dir);
  if (DirectoryStands(error)) return Common::NoError;

  // The directories above dir whose creation failed, the topmost last.
  std::vector<std::unique_ptr<rio_dir>> above;
  bool reachedStandingDir = false;
  while (cur) {
    rio_dir* below = above.empty() ? dir : above.back().get();
    if (cur->CompareLocation(below) != 1) break;
    const char16_t* path = cur->GetDirPath();
    if (path == nullptr || *path == 0) break;
    error = CreateSelf(*cur);
    if (DirectoryStands(error)) {
      reachedStandingDir = true;
      break;
    }
    std::unique_ptr<rio_dir> parent(cur->OpenDir(u".."));
    above.push_back(std::move(cur));
    cur = std::move(parent);
  }
  if (!reachedStandingDir) return error;
  for (auto it = above.rbegin(); it != above.rend(); ++it) {
    error = CreateSelf(**it);
    if (!DirectoryStands(error)) return error;
  }
  error = CreateSelf(*dir);
  return DirectoryStands(error) ? Common::NoError : error;
}

}  // namespace

Common::Error SimpleCopyFile(i_file* src, o_file* dst, uint64_t* copied, uint32_t bufferSize) {
  *copied = 0;
  if (src == nullptr) return Common::MakeError(kSource.At(kCopyNoSourceSite), Common::FILE_READ_ERROR);
  if (dst == nullptr) return Common::MakeError(kSource.At(kCopyNoDestinationSite), Common::FILE_WRITE_ERROR);
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[bufferSize]);
  if (!buffer) return Common::MakeError(kSource.At(kCopyNoBufferSite), Common::FILE_OUT_OF_MEMORY);
  for (;;) {
    uint32_t n = 0;
    src->Read(buffer.get(), bufferSize, &n);
    if (src->last_error) return TakeLastError(*src);
    if (n == 0) break;
    Write(*dst, buffer.get(), n);
    if (dst->last_error) return TakeLastError(*dst);
    *copied += n;
    // Only a full read is followed by another: a short one is taken as the last piece.
    if (n < bufferSize) break;
  }
  return Common::NoError;
}

Common::Error SimpleCopyFile(i_file* src, o_file* dst, uint32_t bufferSize) {
  uint64_t copied = 0;
  return SimpleCopyFile(src, dst, &copied, bufferSize);
}

// Out of memory ends the climb or the descent; the objects opened go with their owners.
Common::Error CreateDirWithParents(rio_dir* dir) {
  try {
    return CreateWithAncestors(dir);
  } catch (const std::bad_alloc&) {
    return Common::MakeError(kSource.At(kCreateDirNoMemorySite), Common::FILE_OUT_OF_MEMORY);
  }
}

// Out of memory stops the walk; the objects it opened go with its lists.
Common::Error RemoveDirTree(rio_dir* dir, bool keepTop) {
  Common::Error result;
  try {
    RemoveTree(dir, keepTop, result);
  } catch (const std::bad_alloc&) {
    if (result.IsEmpty()) result = Common::MakeError(kSource.At(kRemoveTreeNoMemorySite), Common::FILE_OUT_OF_MEMORY);
  }
  return result;
}

Common::Error GetUnixFlags(i_dir* dir, const char16_t* name, uint32_t* flags) {
  i_file* file = dir->OpenI(name, true);
  if (file == nullptr) return TakeLastError(*dir);
  PosixControl::InodeFlagsRequest request{PosixControl::kGetInodeFlags, 0};
  file->IOCTL(&request);
  *flags = file->last_error ? 0 : request.Flags;
  Common::Error error = TakeLastError(*file);
  delete file;
  return error;
}

Common::Error SetFileFlags(file_object* file, uint32_t flags) {
  PosixControl::InodeFlagsRequest request{PosixControl::kSetFileFlags, flags};
  file->IOCTL(&request);
  return TakeLastError(*file);
}

Common::Error SetFlagsByName(o_dir* dir, const char16_t* name, uint32_t flags) {
  PosixControl::NamedFlagsRequest request{PosixControl::kSetFlagsByName, name, flags};
  dir->IOCTL(&request);
  return TakeLastError(*dir);
}

Common::Error GetFlagsByName(o_dir* dir, const char16_t* name, uint32_t* flags) {
  PosixControl::NamedFlagsRequest request{PosixControl::kGetFlagsByName, name, 0};
  dir->IOCTL(&request);
  *flags = dir->last_error ? 0 : request.Flags;
  return TakeLastError(*dir);
}

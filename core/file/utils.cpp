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
  return type == FileUtils::kTypeDirectory || type == FileUtils::kTypeWholeEntryFirst ||
         type == FileUtils::kTypeWholeEntryLast;
}

// The type of the entry that dir stands on, or false when it cannot be told.
bool GetSelfType(rio_dir& dir, uint32_t& type) {
  std::unique_ptr<i_dir::iterator> self(dir.GetSelfIterator());
  if (!self || self->last_error) return false;
  type = self->GetType();
  return true;
}

struct PendingDir {
  rio_dir* Dir;
  bool Visited;
};

// Lists one directory: its subdirectories go to the front of pending, the names of the
// entries it removes by name to the front of `names` (so they come out in reverse).
void ListDirectory(rio_dir& dir, std::list<PendingDir>& pending, Common::Error& result) {
  i_dir::iterator* it = dir.GetIterator();
  if (it == nullptr) {
    KeepFirstError(result, dir);
    return;
  }
  std::list<Common::WString> names;
  while (!it->last_error) {
    uint32_t type = it->GetType();
    if (IsSubdirectoryType(type)) {
      rio_dir* sub = dir.OpenDir(it);
      if (sub != nullptr)
        pending.push_front(PendingDir{sub, type != FileUtils::kTypeDirectory});
      else
        KeepFirstError(result, dir);
    } else if (type < FileUtils::kFirstSpecialType) {
      const char16_t* name = it->GetName();
      if (name != nullptr) names.emplace_front(name);
    }
    it->Next();
  }
  delete it;
  for (const Common::WString& name : names) {
    dir.Remove(name.c_str());
    KeepFirstError(result, dir);
  }
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

Common::Error CreateDirWithParents(rio_dir* dir) {
  if (i_dir::iterator* existing = dir->GetSelfIterator()) {
    delete existing;
    return Common::NoError;
  }
  rio_dir* cur = dir->OpenDir(u"..");
  Common::Error error = CreateSelf(*dir);
  if (DirectoryStands(error)) {
    delete cur;
    return Common::NoError;
  }

  // Climb until a directory stands, then create the ones below it top-down.
  std::list<rio_dir*> pending{dir};
  bool reachedStandingDir = false;
  while (cur != nullptr) {
    if (cur->CompareLocation(pending.front()) != 1) break;
    const char16_t* path = cur->GetDirPath();
    if (path == nullptr || *path == 0) break;
    error = CreateSelf(*cur);
    if (DirectoryStands(error)) {
      reachedStandingDir = true;
      break;
    }
    pending.push_front(cur);
    cur = cur->OpenDir(u"..");
  }
  if (reachedStandingDir) {
    for (rio_dir* below : pending) {
      error = CreateSelf(*below);
      if (!DirectoryStands(error)) break;
    }
  }

  delete cur;
  for (rio_dir* opened : pending)
    if (opened != dir) delete opened;
  return DirectoryStands(error) ? Common::NoError : error;
}

Common::Error RemoveDirTree(rio_dir* dir, bool keepTop) {
  Common::Error result;
  uint32_t topType = 0;
  bool topTypeKnown = GetSelfType(*dir, topType);

  // A link is an entry of the parent, not a tree of our own: following it would empty
  // whatever directory it points to.
  if (topTypeKnown && topType == FileUtils::kTypeSymbolicLink) {
    if (keepTop) return Common::NoError;
    dir->Remove(u".");
    return TakeLastError(*dir);
  }

  bool topVisited = !keepTop && topTypeKnown &&
                    (topType == FileUtils::kTypeWholeEntryFirst || topType == FileUtils::kTypeWholeEntryLast);
  std::list<PendingDir> pending{PendingDir{dir, topVisited}};
  while (!pending.empty()) {
    PendingDir& first = pending.front();
    if (!first.Visited) {
      first.Visited = true;
      // `first` stays valid: a list keeps its elements where they are.
      ListDirectory(*first.Dir, pending, result);
      continue;
    }
    rio_dir* done = first.Dir;
    pending.pop_front();
    if (pending.empty() && keepTop) break;
    done->RemoveDir(u".");
    KeepFirstError(result, *done);
    if (pending.empty()) break;
    delete done;
  }
  return result;
}

Common::Error GetUnixFlags(i_dir* dir, const char16_t* name, uint32_t* flags) {
  i_file* file = dir->OpenI(name, true);
  if (file == nullptr) return TakeLastError(*dir);
  FileUtils::FileFlagsRequest request{FileUtils::kGetUnixFlagsCode, 0};
  file->IOCTL(&request);
  *flags = file->last_error ? 0 : request.Flags;
  Common::Error error = TakeLastError(*file);
  delete file;
  return error;
}

Common::Error SetFileFlags(file_object* file, uint32_t flags) {
  FileUtils::FileFlagsRequest request{FileUtils::kSetFileFlagsCode, flags};
  file->IOCTL(&request);
  return TakeLastError(*file);
}

Common::Error SetFlagsByName(o_dir* dir, const char16_t* name, uint32_t flags) {
  FileUtils::NamedFlagsRequest request{FileUtils::kSetFlagsByNameCode, name, flags};
  dir->IOCTL(&request);
  return TakeLastError(*dir);
}

Common::Error GetFlagsByName(o_dir* dir, const char16_t* name, uint32_t* flags) {
  FileUtils::NamedFlagsRequest request{FileUtils::kGetFlagsByNameCode, name, 0};
  dir->IOCTL(&request);
  *flags = dir->last_error ? 0 : request.Flags;
  return TakeLastError(*dir);
}

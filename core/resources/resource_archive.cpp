// The process-wide resource archive and the handle functions of its entry files.
//
// First use is re-entrant on one thread: opening the archive makes a message lookup, the
// first lookup runs the catalog loader, and the loader opens the archive again. The inner
// open stores the archive; the outer one then finds it stored. So no once-only guard may
// wrap this road: the handle itself, set once by compare-and-swap, is the guard.
#include "core/resources/resource_archive.h"

#include <atomic>
#include <cstdlib>
#include <memory>

#include "core/common/error_serialize.h"
#include "core/common/messages.h"
#include "core/common/text.h"
#include "core/file/unix/posixsp.h"
#include "core/file/zipfile.h"
#include "core/resources/language.h"

namespace Resources {

namespace {

constexpr uint32_t kOpenErrorMessage = 371;

std::atomic<si_dir*> ResourceArchiveHandle{nullptr};
std::atomic<bool> g_closeRegistered{false};

si_file* FromHandle(FileHandle file) { return reinterpret_cast<si_file*>(file); }

// "<path without its extension>.dat": the extension is cut at the last '.' of the last
// component, unless that '.' is the path's very first unit.
Common::WString DatName(const char16_t* path) {
  Common::WString name(path);
  for (size_t i = name.size(); i-- > 0;) {
    if (name[i] == u'/') break;
    if (name[i] == u'.') {
      if (i != 0) name.resize(i);
      break;
    }
  }
  return name + u".dat";
}

}  // namespace

si_dir* OpenArchiveFile(const char16_t* path) {
  if (path == nullptr) {
    // Only for its side effect: the first lookup of the process loads the catalog.
    Common::GetMessageText(Common::Message(kOpenErrorMessage));
    return nullptr;
  }
  ri_file* file = nullptr;
  {
    std::unique_ptr<rio_dir> current(OpenCurrentDir());
    // range_locks: no whole-file lock is taken on the program file.
    file = current->OpenI(DatName(path).c_str(), true);
    if (file == nullptr) file = current->OpenI(path, true);
  }
  if (file == nullptr) return nullptr;
  // A ".dat" file that opens is the archive, even when it holds none.
  return OpenZipArchive(file);
}

// The first message lookup comes before a stored archive is handed out, even when it is
// stored already: the loader stores it, with the language lock held, before it reads the
// catalog from it, and a thread given the archive in that window could fail a read and
// wait for the language lock (its error's lookup) while holding the archive's mutex that
// the loader waits for. Once the catalog is loaded, the lookup costs one atomic load.
si_dir* OpenResourceArchive() {
  OpenArchiveFile(nullptr);
  if (si_dir* archive = ResourceArchiveHandle.load(std::memory_order_acquire)) return archive;
  si_dir* opened = OpenArchiveFile(Common::GetModulePathW().c_str());
  if (opened == nullptr) return nullptr;
  si_dir* stored = nullptr;
  if (!ResourceArchiveHandle.compare_exchange_strong(stored, opened, std::memory_order_acq_rel)) {
    ReleaseDir(ToDirHandle(opened));
    return stored;
  }
  if (!g_closeRegistered.exchange(true)) std::atexit(CloseResourceArchive);
  return opened;
}

void CloseResourceArchive() { ReleaseDir(ToDirHandle(ResourceArchiveHandle.exchange(nullptr, std::memory_order_acq_rel))); }

uint8_t* LoadResource(const char* name, uint32_t* size) {
  return ReadLocalizedFile(OpenResourceArchive(), name, nullptr, size);
}

void ReleaseFile(FileHandle file) { delete FromHandle(file); }

int GetFileSize(FileHandle handle, uint64_t* size) {
  si_file* file = FromHandle(handle);
  if (file == nullptr || file->last_error) return 0;
  *size = file->Size();
  return file->last_error ? 0 : 1;
}

int RewindFile(FileHandle handle) {
  si_file* file = FromHandle(handle);
  if (file == nullptr || file->last_error) return 0;
  file->Rewind();
  return file->last_error ? 0 : 1;
}

int ReadFile(FileHandle handle, void* buffer, uint32_t length, uint32_t* done) {
  si_file* file = FromHandle(handle);
  if (file == nullptr || file->last_error) return 0;
  file->Read(buffer, length, done);
  return file->last_error ? 0 : 1;
}

uint8_t* TakeErrorBlob(FileHandle handle, uint32_t* size) {
  si_file* file = FromHandle(handle);
  if (file == nullptr) return nullptr;
  return Common::SerializeError(TakeLastError(*file), *size);
}

void ReleaseDir(DirHandle dir) { delete reinterpret_cast<i_dir*>(dir); }

}  // namespace Resources

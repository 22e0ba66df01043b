// Entry access of the resource archive: the file that wraps an entry handle.
#include "core/common/zipopen.h"

#include <memory>
#include <string>

#include "core/common/error_serialize.h"
#include "core/resources/language.h"

namespace Resources {

namespace {

constexpr Common::SourceFile kSource{Common::Locations::CoreCommonZipopen, "core/common/zipopen.cpp"};
constexpr Common::Site kRewindSite{"Rewind", 59};
constexpr Common::Site kSizeSite{"Size", 66};
constexpr Common::Site kReadSite{"Read", 74};

class SIFileWrapper : public si_file {
 public:
  explicit SIFileWrapper(FileHandle owned) : handle(owned) {}
  ~SIFileWrapper() override { ReleaseFile(handle); }
  SIFileWrapper(const SIFileWrapper&) = delete;
  SIFileWrapper& operator=(const SIFileWrapper&) = delete;

  void Read(void* buffer, uint32_t length, uint32_t* done) override {
    *done = 0;
    if (last_error) return;
    uint32_t count = 0;
    if (!ReadFile(handle, buffer, length, &count)) Fail(kReadSite, Common::FILE_READ_ERROR);
    *done = count;
  }

  void Rewind() override {
    if (last_error) return;
    if (!RewindFile(handle)) Fail(kRewindSite, Common::FILE_SEEK_ERROR);
  }

  uint64_t Size() override {
    if (last_error) return 0;
    uint64_t size = 0;
    if (!GetFileSize(handle, &size)) Fail(kSizeSite, Common::FILE_READ_ERROR);
    return size;
  }

 private:
  // The entry's own error, when the handle gives one back, says more than ours.
  void Fail(Common::Site site, uint32_t code) {
    Common::Error error = Common::MakeError(kSource.At(site), code);
    uint32_t size = 0;
    std::unique_ptr<uint8_t[]> blob(TakeErrorBlob(handle, &size));
    if (blob) {
      Common::Error rebuilt;
      Common::DeserializeError(rebuilt, blob.get(), static_cast<int32_t>(size));
      // A failure must never read as success: an empty rebuilt error keeps ours.
      if (!rebuilt.IsEmpty()) error = rebuilt;
    }
    ReplaceLastError(*this, error);
  }

  FileHandle handle;
};

}  // namespace

si_file* CreateSIFileWrapper(FileHandle file) {
  if (file == nullptr) return nullptr;
  return new SIFileWrapper(file);
}

si_file* OpenResourceFile(const char16_t* name) {
  if (name == nullptr) return nullptr;
  std::string narrowed;
  for (const char16_t* unit = name; *unit != 0; ++unit) narrowed.push_back(static_cast<char>(*unit & 0xFF));
  return CreateSIFileWrapper(ToFileHandle(OpenLocalized(OpenResourceArchive(), narrowed.c_str(), nullptr)));
}

}  // namespace Resources

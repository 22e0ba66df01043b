// The file family's common defaults: the "not supported" control request, the sized-file
// defaults of random-access files and the handling of the held error.
#include "core/common/file_object.h"

namespace {

constexpr Common::SourceFile kSource{Common::Locations::CoreCommonFileObject, "core/common/file_object.cpp"};
constexpr Common::Site kIoctlSite{"IOCTL", 28};

}  // namespace

file_object::~file_object() = default;

void file_object::IOCTL(void*) {
  // A file keeps its first error: a later failure must not hide it.
  if (last_error) return;
  ReplaceLastError(*this, Common::MakeError(kSource.At(kIoctlSite), Common::FILE_NOT_SUPPORTED));
}

i_file::~i_file() = default;
o_file::~o_file() = default;
sized_file::~sized_file() = default;
raccess_file::~raccess_file() = default;

void raccess_file::Rewind() { SetPos(0); }

uint64_t raccess_file::Size() {
  uint64_t remember = SeekCur(0);
  uint64_t end = SeekEnd(0);
  SetPos(remember);
  return end;
}

Common::Error TakeLastError(file_object& object) {
  Common::Error taken = std::move(object.last_error);
  object.last_error = Common::NoError;
  return taken;
}

void ReplaceLastError(file_object& object, const Common::Error& error) { object.last_error = error; }

// The error records of the child-process runner: one block holding the common fields, the
// code's catalog text and the parameter texts `cmdline`, `libcCall` and `file`, its three
// kinds, the builders that never throw, and the argument list the records show.
#include <cstring>

#include "enterprise/common/child_process/fork_process_parts.h"

namespace ChildProcess {

using ForkParts::OrOutOfMemory;

namespace {

// Offsets from the record's start of the parameter texts (0: absent). Kept in the last
// bytes of the record, so they are found from Size whatever the text before them.
struct ChildParams {
  uintptr_t Cmdline;
  uintptr_t LibcCall;
  uintptr_t File;
};

size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

size_t WideBytes(const char16_t* text) { return text == nullptr ? 0 : Common::TextBytes(text); }

size_t AsciiBytes(const char* text) { return text == nullptr ? 0 : std::strlen(text) + 1; }

ChildParams ReadParams(const Common::ErrorRecord* record) {
  ChildParams params;
  std::memcpy(&params, reinterpret_cast<const uint8_t*>(record) + record->Size - sizeof params, sizeof params);
  return params;
}

template <typename Char>
const Char* ParamAt(const Common::ErrorRecord* record, uintptr_t offset) {
  if (offset == 0) return nullptr;
  return reinterpret_cast<const Char*>(reinterpret_cast<const uint8_t*>(record) + offset);
}

// One block: common fields, the code's catalog text, the parameter texts, their offsets.
Common::Error BuildRecord(const Common::SourceLocation& location, uint32_t code, const Common::ErrorKind* kind,
                          const char16_t* cmdline, const char* libcCall, const char16_t* file) {
  const size_t cmdlineBytes = WideBytes(cmdline);
  const size_t fileBytes = WideBytes(file);
  const size_t libcCallBytes = AsciiBytes(libcCall);
  const size_t textBytes = AlignUp(cmdlineBytes + fileBytes + libcCallBytes, alignof(ChildParams));
  size_t dataOffset = 0;
  Common::ErrorRecord* record = Common::AllocateTextRecord(location, code, kind, Common::GetCodeText(code),
                                                           textBytes + sizeof(ChildParams), &dataOffset);
  if (record == nullptr) return Common::Error::Adopt(nullptr);
  uint8_t* base = reinterpret_cast<uint8_t*>(record);
  ChildParams params{0, 0, 0};
  size_t position = dataOffset;
  // The UTF-16 texts first: the data starts aligned, and their sizes are even.
  if (cmdline != nullptr) {
    std::memcpy(base + position, cmdline, cmdlineBytes);
    params.Cmdline = position;
    position += cmdlineBytes;
  }
  if (file != nullptr) {
    std::memcpy(base + position, file, fileBytes);
    params.File = position;
    position += fileBytes;
  }
  if (libcCall != nullptr) {
    std::memcpy(base + position, libcCall, libcCallBytes);
    params.LibcCall = position;
  }
  std::memcpy(base + record->Size - sizeof params, &params, sizeof params);
  return Common::Error::Adopt(record);
}

const char* GetLaunchAsciiParam(const Common::ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "libcCall") == 0) return ParamAt<char>(record, ReadParams(record).LibcCall);
  return Common::GetModuleParam(record, name);
}

const char16_t* GetCmdlineWideParam(const Common::ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "cmdline") == 0) return ParamAt<char16_t>(record, ReadParams(record).Cmdline);
  return Common::NoWideParam(record, name);
}

const char16_t* GetLaunchFileWideParam(const Common::ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "file") == 0) return ParamAt<char16_t>(record, ReadParams(record).File);
  return GetCmdlineWideParam(record, name);
}

const char* CmdlineParamNames(const Common::ErrorRecord*) { return "cmdline,$module"; }
const char* LaunchParamNames(const Common::ErrorRecord*) { return "cmdline,libcCall,$module"; }
const char* LaunchFileParamNames(const Common::ErrorRecord*) { return "cmdline,libcCall,file,$module"; }

}  // namespace

Common::WString FormatArgList(const std::vector<PathString>& argv) {
  Common::WString text = u"[";
  for (size_t index = 0; index < argv.size(); ++index) {
    if (index > 0) text += u',';
    text += argv[index].GetWide();
  }
  text += u']';
  return text;
}

const Common::ErrorKind CmdlineErrorKind = {Common::FreeRecord,   Common::CloneRecord,  Common::GetRecordText,
                                            Common::NoNumberParam, Common::GetModuleParam, GetCmdlineWideParam,
                                            CmdlineParamNames};
const Common::ErrorKind LaunchErrorKind = {Common::FreeRecord,   Common::CloneRecord, Common::GetRecordText,
                                           Common::NoNumberParam, GetLaunchAsciiParam, GetCmdlineWideParam,
                                           LaunchParamNames};
const Common::ErrorKind LaunchFileErrorKind = {Common::FreeRecord,   Common::CloneRecord, Common::GetRecordText,
                                               Common::NoNumberParam, GetLaunchAsciiParam, GetLaunchFileWideParam,
                                               LaunchFileParamNames};

Common::Error MakeParseCommandLineError(const Common::SourceLocation& location,
                                        const Common::WString& cmdline) noexcept {
  return OrOutOfMemory([&] {
    return BuildRecord(location, Common::CHILD_CMDLINE_SPLIT_FAILED, &CmdlineErrorKind, cmdline.c_str(), nullptr,
                       nullptr);
  });
}

Common::Error MakeLaunchError(const Common::SourceLocation& location, const std::vector<PathString>& argv,
                              const char* libcCall, int errnum) noexcept {
  return OrOutOfMemory([&] {
    Common::WString cmdline = FormatArgList(argv);
    Common::Error error =
        BuildRecord(location, Common::CHILD_LAUNCH_FAILED, &LaunchErrorKind, cmdline.c_str(), libcCall, nullptr);
    error.AddPosixError(errnum);
    return error;
  });
}

Common::Error MakeLaunchFileError(const Common::SourceLocation& location, const std::vector<PathString>& argv,
                                  const char* libcCall, int errnum, const PathString& file) noexcept {
  return OrOutOfMemory([&] {
    Common::WString cmdline = FormatArgList(argv);
    Common::Error error = BuildRecord(location, Common::CHILD_LAUNCH_FAILED, &LaunchFileErrorKind,
                                      cmdline.c_str(), libcCall, file.WideStr());
    error.AddPosixError(errnum);
    return error;
  });
}

}  // namespace ChildProcess


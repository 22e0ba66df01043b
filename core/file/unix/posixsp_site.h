// Raising sites of the POSIX implementation. Its sources share one source-file identity,
// so every record names the same file whichever of them raised it.
#pragma once

#include <sys/time.h>

#include <cerrno>
#include <cstdint>

#include "core/common/error.h"
#include "core/file/file_error.h"

namespace PosixSites {

inline constexpr const char* kSourceFile = "core/file/unix/posixsp.cpp";

constexpr Common::SourceLocation Site(const char* function, uint32_t line) {
  return Common::MakeLocation(Common::Locations::CoreFileUnixPosixsp, kSourceFile, function, line);
}

// A plain error: the code and its catalog message, no cause, no parameter.
inline Common::Error Plain(const char* function, uint32_t line, uint32_t code) {
  return Common::MakeError(Site(function, line), code);
}

// The errno-mapped file error of a failed system call; call it right after the call.
inline Common::Error FromErrno(const char* function, uint32_t line, uint32_t code, const char* path1 = nullptr,
                               const char* path2 = nullptr) {
  int saved = errno;
  const char16_t* text = Common::GetCodeText(code);
  errno = saved;
  return MakeFileError(Site(function, line), code, text, path1, path2);
}

static_assert(sizeof(time_t) == sizeof(int64_t), "times after January 2038 need a 64-bit time_t");

// Milliseconds since 1970 as a timeval. Floor division keeps the microseconds in
// 0..999999 for times before 1970, which utimes and futimes require.
inline timeval MillisToTimeval(int64_t millis) {
  constexpr int64_t kMillisPerSecond = 1000;
  constexpr int64_t kMicrosPerMilli = 1000;
  int64_t seconds = millis / kMillisPerSecond;
  int64_t rest = millis % kMillisPerSecond;
  if (rest < 0) {
    rest += kMillisPerSecond;
    seconds -= 1;
  }
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds);
  tv.tv_usec = static_cast<suseconds_t>(rest * kMicrosPerMilli);
  return tv;
}

}  // namespace PosixSites

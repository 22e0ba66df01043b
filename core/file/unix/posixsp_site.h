// The source-file identity of the POSIX implementation. Its sources share it, so every
// record names the same file whichever of them raised it; each lists its own sites.
#pragma once

#include <sys/time.h>

#include <cerrno>
#include <cstdint>

#include "core/common/error.h"
#include "core/file/file_error.h"

namespace PosixSites {

inline constexpr Common::SourceFile kSource{Common::Locations::CoreFileUnixPosixsp, "core/file/unix/posixsp.cpp"};
// Assertion reports name the same file.
inline constexpr const char* kSourceFile = kSource.Path;

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

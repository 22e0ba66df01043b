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

// Sites of the open and of the name operations that the restore, working by descriptor,
// raises for the same failures.
inline constexpr Common::Site kOpenSite{"Open", 679};
inline constexpr Common::Site kCreateSite{"Create", 818};
inline constexpr Common::Site kRemoveSite{"Remove", 916};
inline constexpr Common::Site kRenameSite{"Rename", 931};
inline constexpr Common::Site kCreateDirSite{"CreateDir", 952};
inline constexpr Common::Site kOwnerSite{"SetUnixOwner", 1327};
inline constexpr Common::Site kPermissionsLinkSite{"SetUnixPermissions", 1349};
inline constexpr Common::Site kPermissionsSite{"SetUnixPermissions", 1351};
inline constexpr Common::Site kDeviceNodeTypeSite{"CreateDeviceNode", 1422};
inline constexpr Common::Site kDeviceNodeSite{"CreateDeviceNode", 1427};
inline constexpr Common::Site kSymLinkSite{"CreateSymLink", 1474};
inline constexpr Common::Site kEntryTimesLinkSite{"IOCTL", 1544};
inline constexpr Common::Site kEntryTimesSite{"IOCTL", 1546};

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

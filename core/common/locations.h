// Source locations: every raising site passes the constants of its source file and the
// line, so the 64-bit location id names the file and the line. Each source file that
// raises or asserts lists its sites once, as Site constants near its top, and every raise
// and assertion names one of them: a location id never follows the line a call sits on.
#pragma once

#include <cstdint>

namespace Common {

struct SourceFileId {
  uint32_t Base;
  uint32_t High;
};

struct SourceLocation {
  uint32_t IdLow;
  uint32_t IdHigh;
  const char* File;
  const char* Function;
  uint32_t Line;
};

constexpr SourceLocation MakeLocation(SourceFileId file, const char* path, const char* function, uint32_t line) {
  return SourceLocation{file.Base + line, file.High, path, function, line};
}

// One raising or asserting site: the bare name of its function and the line constant
// that fixes its location id.
struct Site {
  const char* Function;
  uint32_t Line;
};

// A raising source file: its pair of constants and its path as the build spells it.
struct SourceFile {
  SourceFileId Id;
  const char* Path;

  constexpr SourceLocation At(Site site) const { return MakeLocation(Id, Path, site.Function, site.Line); }
};

namespace Locations {
inline constexpr SourceFileId CoreCommonError{0x64EDB7BE, 0xBD28FDBD};
inline constexpr SourceFileId CoreCommonCmdlineTokenizer{0x5A2BBD78, 0x126935B7};
inline constexpr SourceFileId CoreCommonTokenEnum{0x61C5C160, 0x37B0AAD5};
inline constexpr SourceFileId CoreCommonFileObject{0xB08C8399, 0xA9BE4C92};
inline constexpr SourceFileId CoreCommonZipopen{0xB3E2BA4A, 0x69D109CA};
inline constexpr SourceFileId CoreIncludeFileDir{0x5B0F1DA2, 0xF2244744};
inline constexpr SourceFileId CoreIncludeFileFile{0x7EF132D5, 0xD18A9C75};
inline constexpr SourceFileId CoreFileDir{0x1EC4A4DF, 0x73F11291};
inline constexpr SourceFileId CoreFileUtils{0x6F605381, 0xA6F06010};
inline constexpr SourceFileId CoreFileZipfile{0x60C17F5C, 0x86137B9D};
inline constexpr SourceFileId CoreFileBackup{0x3D5C4B0C, 0xA90A2901};
inline constexpr SourceFileId CoreFileUnixPosixsp{0x1BFDEE7E, 0x3D9EA26F};
inline constexpr SourceFileId CoreFileUnixPosixBackup{0xB43CF183, 0x0EE4C316};
inline constexpr SourceFileId ChildProcessCreatorPosix{0x77CDA756, 0x4E880B9B};
inline constexpr SourceFileId ChildProcessCommunicationPosix{0x534AF8F1, 0xBCC58F4D};
inline constexpr SourceFileId ChildProcessForkProcess{0x7F0DF5CF, 0x8D08838F};
inline constexpr SourceFileId InstallerTemporaryDirectory{0x5B88214B, 0xADE76843};
inline constexpr SourceFileId InstallerTemporaryResources{0x3661DF8E, 0x57FAB25E};
inline constexpr SourceFileId PackerMain{0x46C3FDD3, 0x5B4590C2};
}  // namespace Locations

}  // namespace Common

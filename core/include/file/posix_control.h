// Request blocks of the control codes that POSIX files and directories answer through
// IOCTL. Each block starts with its four-character code as a little-endian word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace PosixControl {

// The word whose bytes in memory spell the four characters.
constexpr uint32_t MakeControlCode(const char (&code)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24;
}

// The code at the start of a request block, which need not be aligned.
inline uint32_t ReadControlCode(const void* request) {
  uint32_t code;
  std::memcpy(&code, request, sizeof code);
  return code;
}

// File codes.
inline constexpr uint32_t kGetSector = MakeControlCode("GSEC");
inline constexpr uint32_t kUserIoctl = MakeControlCode("UIOC");
inline constexpr uint32_t kSetAppendMode = MakeControlCode("SAMI");
inline constexpr uint32_t kGetInodeFlags = MakeControlCode("GUFL");
inline constexpr uint32_t kSetInodeFlags = MakeControlCode("SUFL");
inline constexpr uint32_t kSetFileTimes = MakeControlCode("SFTM");
inline constexpr uint32_t kDeallocateRange = MakeControlCode("SDAT");

// Directory codes.
inline constexpr uint32_t kSetEntryTimes = MakeControlCode("STME");
inline constexpr uint32_t kGetDevicePath = MakeControlCode("GSYP");
inline constexpr uint32_t kGetFsType = MakeControlCode("GFST");
inline constexpr uint32_t kBackup = MakeControlCode("BKUP");
inline constexpr uint32_t kRestore = MakeControlCode("RSTR");

// Codes the file utilities send that no POSIX object answers: they reach the default
// IOCTL of their object, which does not support them.
inline constexpr uint32_t kSetFileFlags = MakeControlCode("SMUF");
inline constexpr uint32_t kSetFlagsByName = MakeControlCode("SMFN");
inline constexpr uint32_t kGetFlagsByName = MakeControlCode("GMFN");

// The file blocks hold 64-bit fields at 4-byte offsets; packing to 4 keeps those offsets
// the same in the 32-bit product and in a 64-bit build.
#pragma pack(push, 4)

// "GSEC": where the current position lies on the device.
struct GetSectorRequest {
  uint32_t Code;
  uint64_t Sector;         // out: 512-byte sector of the position, all bits set in a hole
  uint32_t SectorsToEnd;   // out: sectors from that one to the end of its block
  uint32_t Reserved;       // out: 0
  uint8_t ReservedByte;    // out: 0
};
inline constexpr uint64_t kSectorInHole = ~uint64_t{0};

// "UIOC": a raw ioctl on the descriptor. The argument may be a pointer, so it is
// pointer-sized.
struct UserIoctlRequest {
  uint32_t Code;
  uint32_t Request;
  uintptr_t Argument;
  int32_t Result;  // out
  int32_t Errno;   // out: set only when Result is not 0
};

// "SAMI": switch the descriptor to append mode.
struct SetAppendModeRequest {
  uint32_t Code;
};

// "GUFL" (out), "SUFL" and "SMUF" (in): the inode flags word.
struct InodeFlagsRequest {
  uint32_t Code;
  uint32_t Flags;
};

// "SFTM": milliseconds since 1970-01-01 UTC, signed.
struct SetFileTimesRequest {
  uint32_t Code;
  int64_t ModificationTime;
  int64_t Unused;
  int64_t AccessTime;
};

// "SDAT": punch a hole, keeping the size.
struct DeallocateRangeRequest {
  uint32_t Code;
  uint64_t Offset;
  uint64_t Length;
};

#pragma pack(pop)

// The directory blocks carry pointers and keep their natural layout.

// "STME": set the times of a named entry (milliseconds since 1970-01-01 UTC, signed).
struct SetEntryTimesRequest {
  uint32_t Code;
  const char16_t* Name;
  int64_t ModificationTime;
  int64_t CreationTime;  // not applied
  int64_t AccessTime;
};

// "GSYP": device numbers of the nearest existing ancestor of the directory.
struct GetDevicePathRequest {
  uint32_t Code;
  uint32_t Unused1;
  uint32_t Unused2;
  const char16_t* Path;  // out: the directory's own path, owned by the directory
  uint32_t Major;        // out
  uint32_t Minor;        // out
};

// "SMFN" (flags in) and "GMFN" (flags out): the flags word of one entry of the directory.
struct NamedFlagsRequest {
  uint32_t Code;
  const char16_t* Name;
  uint32_t Flags;
};

// "GFST": the upper-case name of the file-system type, NUL-terminated.
inline constexpr size_t kFsTypeNameUnits = 10;  // "HUGETLBFS" and its NUL
struct GetFsTypeRequest {
  uint32_t Code;
  char16_t Name[kFsTypeNameUnits];
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(GetSectorRequest, Sector) == 4 && offsetof(GetSectorRequest, SectorsToEnd) == 12 &&
              offsetof(GetSectorRequest, Reserved) == 16 && offsetof(GetSectorRequest, ReservedByte) == 20);
static_assert(offsetof(UserIoctlRequest, Argument) == 8 && offsetof(UserIoctlRequest, Result) == 12 &&
              offsetof(UserIoctlRequest, Errno) == 16);
static_assert(offsetof(SetFileTimesRequest, Unused) == 12 && offsetof(SetFileTimesRequest, AccessTime) == 20);
static_assert(offsetof(DeallocateRangeRequest, Length) == 12);
static_assert(offsetof(SetEntryTimesRequest, ModificationTime) == 8 &&
              offsetof(SetEntryTimesRequest, CreationTime) == 16 && offsetof(SetEntryTimesRequest, AccessTime) == 24);
static_assert(offsetof(GetDevicePathRequest, Path) == 12 && offsetof(GetDevicePathRequest, Major) == 16 &&
              offsetof(GetDevicePathRequest, Minor) == 20);
#endif
static_assert(offsetof(GetFsTypeRequest, Name) == 4);

}  // namespace PosixControl

// Every error code of the system with the catalog message that gives its text.
#pragma once

#include <cstdint>

namespace Common {

inline constexpr uint32_t FACILITY_CORE = 0x0000;
inline constexpr uint32_t FACILITY_FILE = 0x0004;
inline constexpr uint32_t FACILITY_CHILD_PROCESS = 0x025D;
inline constexpr uint32_t FACILITY_INSTALLER = 0x0062;
inline constexpr uint32_t FACILITY_LAUNCHER = 0x0064;

inline constexpr uint32_t kNoMessage = 0;

// name, code, message number (kNoMessage: the record has no catalog text)
#define ORMIVANE_ERROR_CODES(X)                      \
  X(CMDLINE_PARSE_ERROR, 0x0000000A, 23)             \
  X(NO_MORE_DATA, 0x0000000B, 33)                    \
  X(POSIX_ERROR, 0x0000FFF1, kNoMessage)             \
  X(OUT_OF_MEMORY, 0x0000FFF2, kNoMessage)           \
  X(FILE_READ_ERROR, 0x00040001, 375)                \
  X(FILE_END_OF_FILE, 0x00040002, 356)               \
  X(FILE_WRITE_ERROR, 0x00040003, 388)               \
  X(FILE_DISK_FULL, 0x00040004, 353)                 \
  X(FILE_SEEK_ERROR, 0x00040005, 380)                \
  X(FILE_OUT_OF_MEMORY, 0x00040006, 372)             \
  X(FILE_OPEN_ERROR, 0x00040007, 371)                \
  X(FILE_DELETE_ERROR, 0x00040008, 376)              \
  X(FILE_RENAME_ERROR, 0x00040009, 377)              \
  X(FILE_CREATE_ERROR, 0x0004000A, 350)              \
  X(FILE_NOT_READY, 0x0004000B, 369)                 \
  X(FILE_READ_ONLY, 0x0004000C, 374)                 \
  X(FILE_CORRUPTED, 0x0004000D, 349)                 \
  X(FILE_NOT_SUPPORTED, 0x0004000E, 383)             \
  X(FILE_CANCELED, 0x0004000F, 347)                  \
  X(FILE_NOT_FOUND, 0x00040011, 367)                 \
  X(FILE_ALREADY_EXISTS, 0x00040013, 342)            \
  X(FILE_ACCESS_DENIED, 0x00040014, 341)             \
  X(FILE_LOCK_FAILED, 0x00040017, 363)               \
  X(FILE_BACKUP_ERROR, 0x00040019, 344)              \
  X(FILE_RECOVER_ERROR, 0x0004001A, 378)             \
  X(FILE_SECURITY_ERROR, 0x00040023, 379)            \
  X(FILE_PIPE_CLOSED, 0x00040027, 346)               \
  X(CHILD_STD_HANDLE_ERROR, 0x025D0001, kNoMessage)  \
  X(CHILD_LAUNCH_FAILED, 0x025D0002, 13)             \
  X(CHILD_EMPTY_CALLBACK, 0x025D0003, 12)            \
  X(CHILD_COMMUNICATION_ABORTED, 0x025D0004, 11)     \
  X(CHILD_CMDLINE_SPLIT_FAILED, 0x025D0005, 10)      \
  X(INSTALLER_INTERNAL_ERROR, 0x00624E20, 154)       \
  X(LAUNCHER_EXECUTE_FAILED, 0x0064000F, 423)

#define ORMIVANE_DECLARE_CODE(name, code, message) inline constexpr uint32_t name = code;
ORMIVANE_ERROR_CODES(ORMIVANE_DECLARE_CODE)
#undef ORMIVANE_DECLARE_CODE

// The catalog message number of a code, kNoMessage when it has none or is unknown.
constexpr uint32_t MessageOfCode(uint32_t code) {
#define ORMIVANE_CODE_CASE(name, value, message) \
  if (code == value) return message;
  ORMIVANE_ERROR_CODES(ORMIVANE_CODE_CASE)
#undef ORMIVANE_CODE_CASE
  return kNoMessage;
}

// The name of a code ("FILE_NOT_FOUND"), or null.
const char* CodeName(uint32_t code);

}  // namespace Common

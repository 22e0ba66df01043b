// The code table, the catalog's wording and the source-file pairs, written out as literal
// rows so that each one can be checked by eye; the code's own constants are what is tested.
#include <gtest/gtest.h>

#include <string>

#include "core/common/error.h"
#include "core/common/error_codes.h"
#include "core/common/locations.h"
#include "core/common/messages.h"

namespace {

std::string CatalogText(uint32_t number) {
  const char16_t* text = Common::GetMessageText(Common::Message(number));
  return text != nullptr ? Common::ToUtf8(text) : "<null>";
}

std::string RecordText(const Common::Error& error) {
  Common::WString text;
  error.GetHead()->Kind->GetText(text, error.GetHead());
  return Common::ToUtf8(text.c_str());
}

struct CodeRow {
  uint32_t constant;
  uint32_t code;
  const char* name;
  uint32_t message;  // 0: the record has no catalog text
  const char* text;
};

// The 34 codes of the system.
const CodeRow kCodes[] = {
    {Common::CMDLINE_PARSE_ERROR, 0x0000000A, "CMDLINE_PARSE_ERROR", 23, "Failed to parse command line."},
    {Common::NO_MORE_DATA, 0x0000000B, "NO_MORE_DATA", 33, "Failed to get data. No data is available."},
    {Common::POSIX_ERROR, 0x0000FFF1, "POSIX_ERROR", 0, nullptr},
    {Common::OUT_OF_MEMORY, 0x0000FFF2, "OUT_OF_MEMORY", 0, nullptr},
    {Common::FILE_READ_ERROR, 0x00040001, "FILE_READ_ERROR", 375, "Error occurred while reading the file."},
    {Common::FILE_END_OF_FILE, 0x00040002, "FILE_END_OF_FILE", 356, "The end of the file has been reached."},
    {Common::FILE_WRITE_ERROR, 0x00040003, "FILE_WRITE_ERROR", 388, "Error occurred while writing to the file."},
    {Common::FILE_DISK_FULL, 0x00040004, "FILE_DISK_FULL", 353, "The disk is full."},
    {Common::FILE_SEEK_ERROR, 0x00040005, "FILE_SEEK_ERROR", 380, "Error occurred while searching in the file."},
    {Common::FILE_OUT_OF_MEMORY, 0x00040006, "FILE_OUT_OF_MEMORY", 372, "Not enough memory to complete the operation."},
    {Common::FILE_OPEN_ERROR, 0x00040007, "FILE_OPEN_ERROR", 371, "Error occurred while opening the file."},
    {Common::FILE_DELETE_ERROR, 0x00040008, "FILE_DELETE_ERROR", 376, "Error occurred while deleting the file."},
    {Common::FILE_RENAME_ERROR, 0x00040009, "FILE_RENAME_ERROR", 377, "Error occurred while renaming the file."},
    {Common::FILE_CREATE_ERROR, 0x0004000A, "FILE_CREATE_ERROR", 350, "Error occurred while creating the file."},
    {Common::FILE_NOT_READY, 0x0004000B, "FILE_NOT_READY", 369, "The drive is not ready."},
    {Common::FILE_READ_ONLY, 0x0004000C, "FILE_READ_ONLY", 374, "The file is read-only."},
    {Common::FILE_CORRUPTED, 0x0004000D, "FILE_CORRUPTED", 349, "The file is corrupted."},
    {Common::FILE_NOT_SUPPORTED, 0x0004000E, "FILE_NOT_SUPPORTED", 383, "The operation is not supported."},
    {Common::FILE_CANCELED, 0x0004000F, "FILE_CANCELED", 347, "Canceled."},
    {Common::FILE_NOT_FOUND, 0x00040011, "FILE_NOT_FOUND", 367, "The specified file does not exist."},
    {Common::FILE_ALREADY_EXISTS, 0x00040013, "FILE_ALREADY_EXISTS", 342, "The file (folder) already exists."},
    {Common::FILE_ACCESS_DENIED, 0x00040014, "FILE_ACCESS_DENIED", 341, "Access to the file is denied."},
    {Common::FILE_LOCK_FAILED, 0x00040017, "FILE_LOCK_FAILED", 363, "Failed to lock the file."},
    {Common::FILE_BACKUP_ERROR, 0x00040019, "FILE_BACKUP_ERROR", 344, "Error occurred while backing up."},
    {Common::FILE_RECOVER_ERROR, 0x0004001A, "FILE_RECOVER_ERROR", 378, "Error occurred while recovering."},
    {Common::FILE_SECURITY_ERROR, 0x00040023, "FILE_SECURITY_ERROR", 379,
     "Security error occurred while opening the file for writing."},
    {Common::FILE_PIPE_CLOSED, 0x00040027, "FILE_PIPE_CLOSED", 346, "The reading end of a pipe is closed."},
    {Common::CHILD_STD_HANDLE_ERROR, 0x025D0001, "CHILD_STD_HANDLE_ERROR", 0, nullptr},
    {Common::CHILD_LAUNCH_FAILED, 0x025D0002, "CHILD_LAUNCH_FAILED", 13,
     "Cannot launch child process due to platform API error."},
    {Common::CHILD_EMPTY_CALLBACK, 0x025D0003, "CHILD_EMPTY_CALLBACK", 12,
     "Empty callback is given during child process creation."},
    {Common::CHILD_COMMUNICATION_ABORTED, 0x025D0004, "CHILD_COMMUNICATION_ABORTED", 11,
     "Communication with child process has been aborted."},
    {Common::CHILD_CMDLINE_SPLIT_FAILED, 0x025D0005, "CHILD_CMDLINE_SPLIT_FAILED", 10,
     "Failed to split command line on tokens during child process creation."},
    {Common::INSTALLER_INTERNAL_ERROR, 0x00624E20, "INSTALLER_INTERNAL_ERROR", 154, "An internal error."},
    {Common::LAUNCHER_EXECUTE_FAILED, 0x0064000F, "LAUNCHER_EXECUTE_FAILED", 423, "Failed to execute command {0}."},
};

TEST(ErrorCodesTest, EveryCodeWithItsMessageAndText) {
  EXPECT_EQ(std::size(kCodes), 34u);
  const Common::SourceLocation site{1, 2, "f", "g", 3};
  for (const CodeRow& row : kCodes) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.constant, row.code);
    EXPECT_STREQ(Common::CodeName(row.code), row.name);
    EXPECT_EQ(Common::MessageOfCode(row.code), row.message);
    if (row.text != nullptr) {
      EXPECT_EQ(CatalogText(row.message), row.text);
    }
    // A record raised with the code alone carries its row's text, or none.
    Common::Error raised = Common::MakeError(site, row.code);
    ASSERT_FALSE(raised.IsEmpty());
    EXPECT_EQ(raised.GetCode(), row.code);
    EXPECT_EQ(RecordText(raised), row.text != nullptr ? row.text : "");
  }
}

TEST(ErrorCodesTest, FacilitiesAreTheHighWords) {
  EXPECT_EQ(Common::FACILITY_CORE, 0x0000u);
  EXPECT_EQ(Common::FACILITY_FILE, 0x0004u);
  EXPECT_EQ(Common::FACILITY_CHILD_PROCESS, 0x025Du);
  EXPECT_EQ(Common::FACILITY_INSTALLER, 0x0062u);
  EXPECT_EQ(Common::FACILITY_LAUNCHER, 0x0064u);
  EXPECT_EQ(Common::HighWord(0x025D0004), 0x025Du);
  EXPECT_EQ(Common::LowWord(0x025D0004), 0x0004u);
}

// The words of the error display and the other texts the system quotes by number.
TEST(ErrorCodesTest, QuotedCatalogWords) {
  const struct {
    uint32_t message;
    const char* text;
  } kWords[] = {
      {16, "{0} {1} (build {2}){3, choice, 1#\n\n{4}}"},
      {25, "function"},
      {26, "Error"},
      {27, "file"},
      {28, "line"},
      {29, "error"},
      {30, "Success"},
      {38, "channel"},
      {39, "trace level"},
      {40, "critical error"},
      {41, "debug"},
      {42, "error"},
      {43, "information"},
      {44, "warning"},
  };
  for (const auto& word : kWords) EXPECT_EQ(CatalogText(word.message), word.text) << "message " << word.message;
}

struct PairRow {
  Common::SourceFileId constant;
  const char* file;
  uint32_t base;
  uint32_t high;
};

// The 19 source files that raise errors.
const PairRow kPairs[] = {
    {Common::Locations::CoreCommonError, "core/common/error", 0x64EDB7BE, 0xBD28FDBD},
    {Common::Locations::CoreCommonCmdlineTokenizer, "core/common/cmdline_tokenizer", 0x5A2BBD78, 0x126935B7},
    {Common::Locations::CoreCommonTokenEnum, "core/common/token_enum", 0x61C5C160, 0x37B0AAD5},
    {Common::Locations::CoreCommonFileObject, "core/common/file_object", 0xB08C8399, 0xA9BE4C92},
    {Common::Locations::CoreCommonZipopen, "core/common/zipopen", 0xB3E2BA4A, 0x69D109CA},
    {Common::Locations::CoreIncludeFileDir, "core/include/file/dir", 0x5B0F1DA2, 0xF2244744},
    {Common::Locations::CoreIncludeFileFile, "core/include/file/file", 0x7EF132D5, 0xD18A9C75},
    {Common::Locations::CoreFileDir, "core/file/dir", 0x1EC4A4DF, 0x73F11291},
    {Common::Locations::CoreFileUtils, "core/file/utils", 0x6F605381, 0xA6F06010},
    {Common::Locations::CoreFileZipfile, "core/file/zipfile", 0x60C17F5C, 0x86137B9D},
    {Common::Locations::CoreFileBackup, "core/file/backup", 0x3D5C4B0C, 0xA90A2901},
    {Common::Locations::CoreFileUnixPosixsp, "core/file/unix/posixsp", 0x1BFDEE7E, 0x3D9EA26F},
    {Common::Locations::CoreFileUnixPosixBackup, "core/file/unix/posix_backup", 0xB43CF183, 0x0EE4C316},
    {Common::Locations::ChildProcessCreatorPosix, "enterprise/common/child_process/process_creator_posix", 0x77CDA756,
     0x4E880B9B},
    {Common::Locations::ChildProcessCommunicationPosix, "enterprise/common/child_process/communication_posix",
     0x534AF8F1, 0xBCC58F4D},
    {Common::Locations::ChildProcessForkProcess, "enterprise/common/child_process/fork_process", 0x7F0DF5CF,
     0x8D08838F},
    {Common::Locations::InstallerTemporaryDirectory, "enterprise/installer/resource_temp_dir/temporary_directory",
     0x5B88214B, 0xADE76843},
    {Common::Locations::InstallerTemporaryResources, "enterprise/installer/resource_temp_dir/temporary_resources",
     0x3661DF8E, 0x57FAB25E},
    {Common::Locations::PackerMain, "packer/main", 0x46C3FDD3, 0x5B4590C2},
};

TEST(LocationsTest, EverySourceFilePair) {
  EXPECT_EQ(std::size(kPairs), 19u);
  for (const PairRow& row : kPairs) {
    EXPECT_EQ(row.constant.Base, row.base) << row.file;
    EXPECT_EQ(row.constant.High, row.high) << row.file;
  }
}

// The low word is the base plus the line, modulo 2^32; the high word names the file.
TEST(LocationsTest, ASiteAddsItsLineToTheBase) {
  Common::SourceLocation posix = Common::MakeLocation(Common::Locations::CoreCommonError, "e", "AddPosixError", 346);
  EXPECT_EQ(uint64_t(posix.IdHigh) << 32 | posix.IdLow, 0xBD28FDBD64EDB918u);
  Common::SourceLocation wraps = Common::MakeLocation(Common::SourceFileId{0xFFFFFFF0, 7}, "w", "W", 0x20);
  EXPECT_EQ(wraps.IdLow, 0x10u);
  EXPECT_EQ(wraps.IdHigh, 7u);
}

}  // namespace

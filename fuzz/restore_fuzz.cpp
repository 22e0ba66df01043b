// Fuzzing the restore chunk processor through the POSIX directory's "RSTR" code: a
// scripted chunk source and callback, both read from the input, restore one entry into a
// scratch directory. The restore must create nothing but that entry, and a failed
// restore must leave nothing of it but a directory.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/common/error_display.h"
#include "core/file/backup.h"
#include "core/file/unix/posixsp.h"
#include "fuzz/fuzz_support.h"
#include "tools/testing/memory_ri_file.h"

// The input: one control byte, one cancellation byte, then chunks, each a type byte, a
// little-endian u16 length and that many payload bytes (the last chunk takes what is left).
namespace {

constexpr size_t kScriptHeadBytes = 2;
constexpr size_t kChunkHeadBytes = 3;
constexpr uint8_t kWithCallback = 0x01;
constexpr uint8_t kIgnoreTimes = 0x02;
constexpr int kAnswerShift = 2;  // bits 2-3: the answer to the security question
constexpr char16_t kEntryName[] = u"entry";
constexpr char kEntryFile[] = "entry";

std::string g_scratch;  // with its trailing '/'

class ScriptSource : public ChunkSource {
 public:
  ScriptSource(const uint8_t* data, size_t size) : at(data), end(data + size) {}

  i_file* NextChunk(uint8_t* type) override {
    if (end - at < static_cast<ptrdiff_t>(kChunkHeadBytes)) return nullptr;
    *type = at[0];
    size_t length = static_cast<size_t>(at[1] | (at[2] << 8));
    at += kChunkHeadBytes;
    if (length > static_cast<size_t>(end - at)) length = static_cast<size_t>(end - at);
    auto* reader = new Testing::MemoryRiFile(std::vector<unsigned char>(at, at + length));
    at += length;
    return reader;
  }

 private:
  const uint8_t* at;
  const uint8_t* end;
};

class ScriptCallback : public BackupCallback {
 public:
  ScriptCallback(uint32_t answer, uint32_t cancelAt) : answer(answer), cancelAt(cancelAt) {}

  void Progress(uint64_t) override {}
  // Cancelled from the cancelAt-th question on (0: never).
  bool IsCanceled() override { return cancelAt != 0 && ++questions >= cancelAt; }
  uint32_t HandleSecurityError(Common::Error& error, const char16_t* path) override {
    FUZZ_CHECK(!error.IsEmpty() && path != nullptr);
    Common::FormatError(error);
    return answer;
  }

 private:
  uint32_t answer;
  uint32_t cancelAt;
  uint32_t questions = 0;
};

// The names in the scratch directory.
std::vector<std::string> ScratchNames() {
  std::vector<std::string> names;
  DIR* dir = opendir(g_scratch.c_str());
  FUZZ_CHECK(dir != nullptr);
  while (dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  return names;
}

void RemoveScratch() {
  if (g_scratch.empty()) return;
  std::string entry = g_scratch + kEntryFile;
  if (rmdir(entry.c_str()) != 0) unlink(entry.c_str());
  rmdir(g_scratch.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Malformed records assert on the way; reports go to the event hook alone, not to the
  // console with a stack walk for every input.
  setenv("ZENVALO_SAFE_ASSERT", "0x08", 1);
  Fuzzing::SetUpProcess();
  char path[] = "/tmp/ormivane-fuzz-restore.XXXXXX";
  FUZZ_CHECK(mkdtemp(path) != nullptr);
  g_scratch = std::string(path) + "/";
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kScriptHeadBytes) return 0;
  uint8_t control = data[0];
  ScriptCallback callback((control >> kAnswerShift) & 3, data[1]);
  ScriptSource source(data + kScriptHeadBytes, size - kScriptHeadBytes);
  RestoreRequest request{kRestoreControlCode,
                         {&source, (control & kWithCallback) ? &callback : nullptr,
                          (control & kIgnoreTimes) ? kRestoreIgnoreTimes : 0u, kEntryName}};
  Common::Error result;
  {
    posix_dir dir(g_scratch);
    dir.IOCTL(&request);
    result = TakeLastError(dir);
  }
  Common::FormatError(result);

  // Nothing but the entry is created, and a failure leaves at most a directory of it.
  std::vector<std::string> names = ScratchNames();
  FUZZ_CHECK(names.size() <= 1);
  if (names.empty()) return 0;
  FUZZ_CHECK(names[0] == kEntryFile);
  std::string entry = g_scratch + kEntryFile;
  struct stat st {};
  FUZZ_CHECK(lstat(entry.c_str(), &st) == 0);
  if (!result.IsEmpty()) FUZZ_CHECK(S_ISDIR(st.st_mode));
  if (S_ISDIR(st.st_mode))
    FUZZ_CHECK(rmdir(entry.c_str()) == 0);
  else
    FUZZ_CHECK(unlink(entry.c_str()) == 0);
  return 0;
}

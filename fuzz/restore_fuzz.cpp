// Fuzzing the restore chunk processor through the POSIX directory's "RSTR" code: a
// scripted chunk source and callback, both read from the input, restore one entry into a
// scratch directory that also holds planted links to a folder outside it. The restore
// must create nothing but that entry, a failed restore must leave nothing of it but a
// directory and every plant as it was, and the folder outside must never change.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
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
constexpr int kNameShift = 4;    // bits 4-6: the name restored, from kNames
constexpr uint8_t kNameMask = 7;
constexpr char kEntryFile[] = "entry";

// What stands in the scratch directory before every input: links to the outside folder,
// one under a name a restore would take for a directory on its way, and a hard link to a
// file there.
struct Planted {
  const char* Name;
  const char* Target;  // below the outside folder; "" is the folder itself
  bool Hard;
};
constexpr Planted kPlants[] = {
    {"hard", "file", true},
    {"file-link", "file", false},
    {"link", "", false},
    {"sub", "dir", false},
};

// The names an input restores (index 0, the plain entry, is what older inputs restore):
// the plants themselves, and names that lead through them.
constexpr const char16_t* kNames[] = {u"entry", u"hard",    u"file-link", u"link",
                                      u"sub/entry", u"link/file", u"sub",   u"link/dir/entry"};

std::string g_scratch;  // with its trailing '/'
std::string g_outside;  // the folder outside, with its trailing '/'
std::string g_outside_before;

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

// The outside folder as far as a restore could change it: each entry's type, mode,
// owner, size, inode and modification time, the file's content and the names in each
// folder. Access and change times are left out: the check's own reads and the hard
// link planted again move them.
std::string OutsideFacts() {
  std::string facts;
  for (const char* name : {"", "file", "dir"}) {
    std::string path = g_outside + name;
    struct stat st {};
    FUZZ_CHECK(lstat(path.c_str(), &st) == 0);
    char line[256];
    std::snprintf(line, sizeof line, "%s %o %u:%u %lld %llu %lld.%09ld\n", name, st.st_mode, st.st_uid, st.st_gid,
                  static_cast<long long>(st.st_size), static_cast<unsigned long long>(st.st_ino),
                  static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
    facts += line;
    if (S_ISDIR(st.st_mode)) {
      DIR* dir = opendir(path.c_str());
      FUZZ_CHECK(dir != nullptr);
      std::vector<std::string> names;
      while (dirent* e = readdir(dir)) names.push_back(e->d_name);
      closedir(dir);
      std::sort(names.begin(), names.end());
      for (const std::string& entry : names) facts += " " + entry;
      facts += "\n";
    }
  }
  int fd = open((g_outside + "file").c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  char content[64];
  ssize_t n = read(fd, content, sizeof content);
  close(fd);
  FUZZ_CHECK(n >= 0);
  facts.append(content, static_cast<size_t>(n));
  return facts;
}

std::string PlantTarget(const Planted& plant) { return g_outside + plant.Target; }

void Plant(const Planted& plant) {
  std::string at = g_scratch + plant.Name;
  if (plant.Hard)
    FUZZ_CHECK(link(PlantTarget(plant).c_str(), at.c_str()) == 0);
  else
    FUZZ_CHECK(symlink(PlantTarget(plant).c_str(), at.c_str()) == 0);
}

// Whether the plant still stands as it was planted.
bool StandsPlanted(const Planted& plant) {
  std::string at = g_scratch + plant.Name;
  struct stat st {};
  if (lstat(at.c_str(), &st) != 0) return false;
  if (plant.Hard) {
    struct stat target {};
    return stat(PlantTarget(plant).c_str(), &target) == 0 && S_ISREG(st.st_mode) && st.st_ino == target.st_ino &&
           st.st_dev == target.st_dev;
  }
  char link[PATH_MAX];
  ssize_t n = readlink(at.c_str(), link, sizeof link);
  return S_ISLNK(st.st_mode) && n >= 0 && PlantTarget(plant) == std::string(link, static_cast<size_t>(n));
}

// Removes whatever a restore left at a name: a file or a link, or an empty directory.
void RemoveEntry(const std::string& name) {
  std::string at = g_scratch + name;
  if (unlink(at.c_str()) != 0) FUZZ_CHECK(rmdir(at.c_str()) == 0);
}

const Planted* PlantNamed(const std::string& name) {
  for (const Planted& plant : kPlants)
    if (name == plant.Name) return &plant;
  return nullptr;
}

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
  for (const std::string& name : ScratchNames()) {
    std::string entry = g_scratch + name;
    if (rmdir(entry.c_str()) != 0) unlink(entry.c_str());
  }
  rmdir(g_scratch.c_str());
  for (const char* name : {"file", "dir", ""}) {
    std::string entry = g_outside + name;
    if (rmdir(entry.c_str()) != 0) unlink(entry.c_str());
  }
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
  char outside[] = "/tmp/ormivane-fuzz-outside.XXXXXX";
  FUZZ_CHECK(mkdtemp(outside) != nullptr);
  g_outside = std::string(outside) + "/";
  std::atexit(RemoveScratch);
  FUZZ_CHECK(mkdir((g_outside + "dir").c_str(), 0755) == 0);
  int fd = open((g_outside + "file").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, "outside content", 15) == 15);
  close(fd);
  for (const Planted& plant : kPlants) Plant(plant);
  g_outside_before = OutsideFacts();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kScriptHeadBytes) return 0;
  uint8_t control = data[0];
  const char16_t* name = kNames[(control >> kNameShift) & kNameMask];
  ScriptCallback callback((control >> kAnswerShift) & 3, data[1]);
  ScriptSource source(data + kScriptHeadBytes, size - kScriptHeadBytes);
  RestoreRequest request{PosixControl::kRestore,
                         {&source, (control & kWithCallback) ? &callback : nullptr,
                          (control & kIgnoreTimes) ? kRestoreIgnoreTimes : 0u, name}};
  Common::Error result;
  {
    posix_dir dir(g_scratch);
    dir.IOCTL(&request);
    result = TakeLastError(dir);
  }
  Common::FormatError(result);

  // Nothing outside changes, whatever the name leads through.
  FUZZ_CHECK(OutsideFacts() == g_outside_before);
  // Nothing but the entry is created, and a failure leaves at most a directory of it,
  // and every plant as it stood.
  for (const std::string& left : ScratchNames()) {
    const Planted* plant = PlantNamed(left);
    FUZZ_CHECK(plant != nullptr || left == kEntryFile);
    if (plant != nullptr && StandsPlanted(*plant)) continue;
    struct stat st {};
    FUZZ_CHECK(lstat((g_scratch + left).c_str(), &st) == 0);
    if (!result.IsEmpty()) FUZZ_CHECK(S_ISDIR(st.st_mode) && plant == nullptr);
    RemoveEntry(left);
  }
  for (const Planted& plant : kPlants)
    if (!StandsPlanted(plant)) Plant(plant);
  return 0;
}

// Per-file cost of "BKUP" and "RSTR" on many small files: 10,000 files of 200 to 700 bytes
// in three modes and three owners, a user.* attribute on every fourth, each backed up and
// then restored into a fresh directory. bench/compare_backup_restore runs it built from
// two commits, alternated.
//
//   ormivane_backup_restore_bench SCRATCH [ROUNDS] [--stop-after=setup|backup] [--over-existing]
//
// prints one line per round: "backup_us_per_file B restore_us_per_file R", wall-clock
// time, then the same as CPU time of the process ("backup_cpu_us_per_file ..."), which
// other programs running on the machine disturb less. With
// --stop-after the program ends after the set-up or after one backup round, so that a
// system-call count of the runs can be told apart by phase. With --over-existing each file
// is restored over the file an unmeasured restore made there before.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/file/unix/tests/posix_backup_fixture.h"

namespace {

constexpr int kFiles = 10000;
constexpr size_t kSmallestFileBytes = 200;
constexpr size_t kFileBytesSpread = 501;
constexpr mode_t kModes[] = {0644, 0600, 0755};
constexpr uid_t kOwners[] = {0, 1, 2};
constexpr int kAttributeEvery = 4;

using Clock = std::chrono::steady_clock;

double CpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

std::string FileName(int i) { return "f" + std::to_string(i); }

void MakeSourceFiles(const std::string& source) {
  std::filesystem::create_directory(source);
  const bool root = geteuid() == 0;
  int attributesRefused = 0;
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = source + "/" + FileName(i);
    const std::string content(kSmallestFileBytes + static_cast<size_t>(i * 7919) % kFileBytesSpread,
                              static_cast<char>('a' + i % 26));
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr || std::fwrite(content.data(), 1, content.size(), file) != content.size()) std::abort();
    std::fclose(file);
    chmod(path.c_str(), kModes[i % 3]);
    if (root && chown(path.c_str(), kOwners[i % 3], kOwners[i % 3]) != 0) std::abort();
    if (i % kAttributeEvery == 0 && setxattr(path.c_str(), "user.bench", "value", 5, 0) != 0) ++attributesRefused;
  }
  if (attributesRefused > 0) std::fprintf(stderr, "note: the file system refused user.* attributes\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SCRATCH [ROUNDS] [--stop-after=setup|backup]\n", argv[0]);
    return 2;
  }
  const std::string scratch = argv[1];
  int rounds = 1;
  std::string stopAfter;
  bool overExisting = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strncmp(argv[i], "--stop-after=", 13) == 0)
      stopAfter = argv[i] + 13;
    else if (std::strcmp(argv[i], "--over-existing") == 0)
      overExisting = true;
    else
      rounds = std::atoi(argv[i]);
  }

  const std::string source = scratch + "/src";
  const std::string target = scratch + "/dst";
  std::filesystem::remove_all(source);
  std::filesystem::remove_all(target);
  MakeSourceFiles(source);
  if (stopAfter == "setup") return 0;

  std::vector<std::string> names;
  std::vector<std::u16string> wideNames;
  for (int i = 0; i < kFiles; ++i) {
    names.push_back(FileName(i));
    wideNames.push_back(Common::ToUtf16(names.back().c_str()).c_str());
  }
  posix_dir sourceDir(source);
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::vector<BackupTesting::RecordedChunk>> streams(kFiles);
    Clock::time_point start = Clock::now();
    double cpuStart = CpuMicros();
    for (int i = 0; i < kFiles; ++i) {
      BackupTesting::RecordingSink sink;
      if (PosixBackupTest::SendBackup(sourceDir, names[i].c_str(), &sink)) {
        std::fprintf(stderr, "the backup of %s failed\n", names[i].c_str());
        return 1;
      }
      streams[i] = std::move(sink.chunks);
    }
    const double backup = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kFiles;
    const double backupCpu = (CpuMicros() - cpuStart) / kFiles;
    if (stopAfter == "backup") return 0;

    std::filesystem::remove_all(target);
    std::filesystem::create_directory(target);
    posix_dir targetDir(target);
    for (int i = 0; overExisting && i < kFiles; ++i)
      if (PosixBackupTest::SendRestore(targetDir, wideNames[i].c_str(), streams[i])) return 1;
    start = Clock::now();
    cpuStart = CpuMicros();
    for (int i = 0; i < kFiles; ++i) {
      if (PosixBackupTest::SendRestore(targetDir, wideNames[i].c_str(), streams[i])) {
        std::fprintf(stderr, "the restore of %s failed\n", names[i].c_str());
        return 1;
      }
    }
    const double restore = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kFiles;
    const double restoreCpu = (CpuMicros() - cpuStart) / kFiles;
    std::printf("backup_us_per_file %.2f restore_us_per_file %.2f backup_cpu_us_per_file %.2f restore_cpu_us_per_file %.2f\n",
                backup, restore, backupCpu, restoreCpu);
    std::fflush(stdout);
  }
  // The scratch directory is left to the caller, so that no clean-up counts in a phase.
  return 0;
}

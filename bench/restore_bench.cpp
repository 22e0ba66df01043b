// The cost of restoring many small files: one small file is backed up once, and each run
// restores it under 10,000 names into a fresh directory through the "RSTR" control code.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/file/unix/tests/posix_backup_fixture.h"

namespace {

constexpr int kFiles = 10000;
constexpr size_t kFileBytes = 200;

std::vector<BackupTesting::RecordedChunk> BackUpOneSmallFile(const std::string& scratch) {
  const std::string source = scratch + "/src";
  std::filesystem::create_directory(source);
  FILE* file = std::fopen((source + "/small").c_str(), "w");
  const std::string content(kFileBytes, 'x');
  std::fwrite(content.data(), 1, content.size(), file);
  std::fclose(file);
  posix_dir dir(source);
  BackupTesting::RecordingSink sink;
  if (PosixBackupTest::SendBackup(dir, "small", &sink)) std::abort();
  return sink.chunks;
}

void RestoreSmallFiles(benchmark::State& state) {
  char scratch[] = "/tmp/ormivane-restore-bench.XXXXXX";
  if (mkdtemp(scratch) == nullptr) std::abort();
  const std::vector<BackupTesting::RecordedChunk> chunks = BackUpOneSmallFile(scratch);
  std::vector<std::u16string> names;
  for (int i = 0; i < kFiles; ++i) names.push_back(Common::ToUtf16(("f" + std::to_string(i)).c_str()).c_str());
  const std::string target = std::string(scratch) + "/dst";
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(target);
    std::filesystem::create_directory(target);
    posix_dir dir(target);
    state.ResumeTiming();
    for (const std::u16string& name : names)
      if (PosixBackupTest::SendRestore(dir, name.c_str(), chunks)) state.SkipWithError("a restore failed");
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
  std::filesystem::remove_all(scratch);
}

BENCHMARK(RestoreSmallFiles)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

}  // namespace

BENCHMARK_MAIN();

// The launcher's benchmarks: unpacking, whole runs, start-up, output relay and clean-up,
// each run side by side with its limit and with what a user would otherwise use (Google
// Benchmark interleaves the repetitions at random), then one table of medians and ratios.
// bench/run packs the payloads and passes their paths.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_payload.h"
#include "bench/bench_processes.h"
#include "core/common/text.h"
#include "core/file/unix/posixsp.h"
#include "core/file/utils.h"
#include "packer/load_files.h"

namespace {

using Bench::Now;
using Bench::Process;

constexpr double kMegabyte = 1e6;
constexpr double kMillisecond = 1e-3;
constexpr const char* kBanner = "ormivane_tool packed";
constexpr const char* kUnpackedLine = "Files unpacked to ";
constexpr const char* kBodyMarker = "Start executing...\n\n";
constexpr const char* kToolLine = "tool start=";

struct Settings {
  std::string BigLauncher, BigZip, SmallLauncher, SmallZip, Tool;
  std::string Limit;  // the whole-process limit program
  std::string BaselineSmall;  // another build of the small launcher, to compare a change with
  std::string Unzip = "/usr/bin/unzip";
  std::string Cat = "/bin/cat";
  std::string Rm = "/bin/rm";
  std::string Note;
  uint64_t RelayBytes = 200000000;
  uint32_t FloodPieceBytes = 65536;
  uint32_t CatPieceBytes = 131072;
  int Repetitions = 5;
  int StartupRuns = 10;  // per repetition
  bool ListEntries = false;
};

Settings settings;
std::string scratch;

// Every measured value by name, in seconds; the table takes medians of these.
std::map<std::string, std::vector<double>> samples;

void Record(const std::string& name, double seconds) { samples[name].push_back(seconds); }

double Median(const std::string& name) {
  auto found = samples.find(name);
  if (found == samples.end() || found->second.empty()) return 0;
  std::vector<double> values = found->second;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

size_t Count(const std::string& name) {
  auto found = samples.find(name);
  return found == samples.end() ? 0 : found->second.size();
}

// ---- Payloads ----

std::vector<std::string> UnpackNames() { return LoadFiles::UnpackList(); }

struct Payload {
  std::unique_ptr<Bench::Archive> Archive;
  std::vector<Bench::ArchiveEntry> Entries;  // the unpacked ones, in unpack order
  uint64_t Bytes = 0;
  uint64_t DeflatedBytes = 0;
  std::vector<Bench::TreeFile> Tree;  // the files a run leaves in its directory
};

Payload LoadPayload(const std::string& zip) {
  Payload payload;
  payload.Archive = std::make_unique<Bench::Archive>(zip);
  payload.Entries = payload.Archive->Select(UnpackNames());
  LoadFiles::LibraryRenameTable renames;
  for (const Bench::ArchiveEntry& entry : payload.Entries) {
    payload.Bytes += entry.Size;
    payload.DeflatedBytes += entry.DataBytes;
    payload.Tree.push_back({renames.FileNameOf(entry.Name), entry.Size});
  }
  return payload;
}

Payload& BigPayload() {
  static Payload payload = LoadPayload(settings.BigZip);
  return payload;
}

Payload& SmallPayload() {
  static Payload payload = LoadPayload(settings.SmallZip);
  return payload;
}

const Bench::TimedLine* FindLine(const std::vector<Bench::TimedLine>& lines, const std::string& prefix) {
  for (const Bench::TimedLine& line : lines)
    if (line.Text.rfind(prefix, 0) == 0) return &line;
  return nullptr;
}

// The tool's own clock readings: when its main began and when it wrote its line.
struct ToolTimes {
  double Start = 0;
  double End = 0;
};

ToolTimes ParseToolLine(const std::string& text) {
  long long start = 0, end = 0;
  if (std::sscanf(text.c_str(), "tool start=%lld end=%lld", &start, &end) != 2)
    throw std::runtime_error("unexpected tool line: " + text);
  return {static_cast<double>(start) * 1e-9, static_cast<double>(end) * 1e-9};
}

void ExpectStatus(Process& process, const char* what) {
  int status = process.Wait();
  if (status != 0) throw std::runtime_error(std::string(what) + " ended with status " + std::to_string(status));
}

// Writes still pending from an earlier run (each unpacking writes 100 MB) would compete
// with the next one for the processor: they are completed first, outside every timing.
void SettleFileSystem() {
  int fd = open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}

// Runs `body` once per iteration; it returns the seconds to report. A failure ends the
// benchmark with its message instead of the whole program.
template <typename Body>
void Measure(benchmark::State& state, Body body) {
  try {
    for (auto _ : state) {
      SettleFileSystem();
      state.SetIterationTime(body());
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// ---- Unpacking ----

void UnpackRawLimit(benchmark::State& state) {
  Measure(state, [] {
    Payload& payload = BigPayload();
    double start = Now();
    uint64_t produced = Bench::InflateAndCheck(payload.Entries);
    double seconds = Now() - start;
    if (produced != payload.Bytes) throw std::runtime_error("raw inflate produced the wrong size");
    Record("unpack.raw", seconds);
    return seconds;
  });
}

void UnpackIntoFiles(benchmark::State& state) {
  Measure(state, [] {
    Payload& payload = BigPayload();
    std::vector<std::string> names;
    for (const Bench::TreeFile& file : payload.Tree) names.push_back(file.Name);
    std::string into = scratch + "/files";
    Bench::RemoveAnyTree(into);
    if (mkdir(into.c_str(), 0755) != 0) throw std::runtime_error(into + ": cannot be made");
    double start = Now();
    uint64_t produced = Bench::InflateIntoFiles(payload.Entries, into, names);
    double seconds = Now() - start;
    Bench::RemoveAnyTree(into);
    if (produced != payload.Bytes) throw std::runtime_error("raw inflate produced the wrong size");
    Record("unpack.files", seconds);
    return seconds;
  });
}

void UnpackLauncher(benchmark::State& state) {
  Measure(state, [] {
    BigPayload();
    Process launcher({settings.BigLauncher, "quiet"});
    std::vector<Bench::TimedLine> lines = Bench::ReadLines(launcher.Output());
    ExpectStatus(launcher, "the packed launcher");
    const Bench::TimedLine* banner = FindLine(lines, kBanner);
    const Bench::TimedLine* unpacked = FindLine(lines, kUnpackedLine);
    if (!banner || !unpacked) throw std::runtime_error("the launcher printed no unpacking lines");
    double seconds = unpacked->Arrived - launcher.Started();
    Record("unpack.launcher", seconds);
    Record("unpack.launcher.window", unpacked->Arrived - banner->Arrived);
    return seconds;
  });
}

void UnpackUnzip(benchmark::State& state) {
  Measure(state, [] {
    BigPayload();
    std::string into = scratch + "/unzip";
    std::vector<std::string> argv{settings.Unzip, "-o", "-qq", settings.BigZip};
    for (const std::string& name : UnpackNames()) argv.push_back(name);
    argv.push_back("-d");
    argv.push_back(into);
    double seconds = 0;
    {
      Process unzip(argv, -1, -1);
      Bench::ReadLines(unzip.Output());
      ExpectStatus(unzip, "unzip");
      seconds = Now() - unzip.Started();
    }
    Bench::RemoveAnyTree(into);
    Record("unpack.unzip", seconds);
    return seconds;
  });
}

// ---- Whole runs against the whole-process limit ----

const Payload& PayloadOf(int which) { return which == 0 ? SmallPayload() : BigPayload(); }

std::string TreeName(int which) { return which == 0 ? "small" : "big"; }

// The limit program unpacks the entries the launcher unpacks, under the same file names.
double RunLimit(int which) {
  const Payload& payload = PayloadOf(which);
  std::vector<std::string> argv{settings.Limit, which == 0 ? settings.SmallZip : settings.BigZip};
  for (size_t i = 0; i < payload.Entries.size(); ++i) {
    argv.push_back(payload.Entries[i].Name);
    argv.push_back(payload.Tree[i].Name);
  }
  Process limit(argv);
  Bench::ReadLines(limit.Output());
  ExpectStatus(limit, "the whole-process limit");
  return Now() - limit.Started();
}

// A whole run of the launcher with a tool that ends at once: unpacking, start of the
// tool, its line relayed, the wait, clean-up and exit.
double RunLauncher(int which) {
  Process launcher({which == 0 ? settings.SmallLauncher : settings.BigLauncher, "quiet"});
  std::vector<Bench::TimedLine> lines = Bench::ReadLines(launcher.Output());
  ExpectStatus(launcher, "the packed launcher");
  double seconds = Now() - launcher.Started();
  if (!FindLine(lines, kToolLine)) throw std::runtime_error("the launcher relayed no tool line");
  return seconds;
}

// Each iteration is a pair: the limit and the launcher on the same payload, back to back,
// the one that goes first taking turns, so that both meet the machine in the same state.
void WholeRun(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  static int turns[2] = {0, 0};
  Measure(state, [which] {
    PayloadOf(which);
    bool limitFirst = turns[which]++ % 2 == 0;
    double limit = 0, launcher = 0;
    if (limitFirst) {
      limit = RunLimit(which);
      SettleFileSystem();
      launcher = RunLauncher(which);
    } else {
      launcher = RunLauncher(which);
      SettleFileSystem();
      limit = RunLimit(which);
    }
    const std::string tree = TreeName(which);
    Record("whole." + tree + ".limit", limit);
    Record("whole." + tree + ".launcher", launcher);
    Record("whole." + tree + ".share", limit / launcher);
    return limit + launcher;
  });
}

// ---- Start-up ----

void StartupDirect(benchmark::State& state) {
  Measure(state, [] {
    Process tool({settings.Tool, "quiet"});
    std::vector<Bench::TimedLine> lines = Bench::ReadLines(tool.Output());
    ExpectStatus(tool, "the tool");
    double exited = Now();
    const Bench::TimedLine* line = FindLine(lines, kToolLine);
    if (!line) throw std::runtime_error("the tool printed nothing");
    ToolTimes times = ParseToolLine(line->Text);
    Record("start.direct.exec", times.Start - tool.Started());
    Record("start.direct.echo", line->Arrived - times.End);
    Record("start.direct.exit", exited - line->Arrived);
    Record("start.direct.total", exited - tool.Started());
    return exited - tool.Started();
  });
}

void StartupLauncher(benchmark::State& state) {
  Measure(state, [] {
    Process launcher({settings.SmallLauncher, "quiet"});
    std::vector<Bench::TimedLine> lines = Bench::ReadLines(launcher.Output());
    ExpectStatus(launcher, "the packed launcher");
    double exited = Now();
    const Bench::TimedLine* banner = FindLine(lines, kBanner);
    const Bench::TimedLine* unpacked = FindLine(lines, kUnpackedLine);
    const Bench::TimedLine* line = FindLine(lines, kToolLine);
    if (!banner || !unpacked || !line) throw std::runtime_error("the launcher's transcript lacks a line");
    ToolTimes times = ParseToolLine(line->Text);
    Record("start.launcher.banner", banner->Arrived - launcher.Started());
    Record("start.launcher.unpack", unpacked->Arrived - banner->Arrived);
    Record("start.launcher.exec", times.Start - unpacked->Arrived);
    Record("start.launcher.echo", line->Arrived - times.End);
    Record("start.launcher.exit", exited - line->Arrived);
    Record("start.launcher.total", exited - launcher.Started());
    return exited - launcher.Started();
  });
}

// ---- Relay ----

std::vector<std::string> FloodCommand() {
  return {settings.Tool, "flood", std::to_string(settings.RelayBytes), std::to_string(settings.FloodPieceBytes)};
}

double CheckedWindow(const Bench::DrainResult& drained) {
  if (drained.Bytes != settings.RelayBytes)
    throw std::runtime_error("relayed " + std::to_string(drained.Bytes) + " bytes instead of " +
                             std::to_string(settings.RelayBytes));
  return drained.Last - drained.First;
}

double RelayThroughLauncher(const std::string& launcherPath) {
  std::vector<std::string> argv = FloodCommand();
  argv[0] = launcherPath;
  Process launcher(argv);
  Bench::DrainResult drained = Bench::Drain(launcher.Output(), kBodyMarker);
  ExpectStatus(launcher, "the packed launcher");
  return CheckedWindow(drained);
}

void RelayLauncher(benchmark::State& state) {
  Measure(state, [] {
    double seconds = RelayThroughLauncher(settings.SmallLauncher);
    Record("relay.launcher", seconds);
    return seconds;
  });
}

void RelayBaseline(benchmark::State& state) {
  Measure(state, [] {
    double seconds = RelayThroughLauncher(settings.BaselineSmall);
    Record("relay.baseline", seconds);
    return seconds;
  });
}

// The tool's output piped through `copier` into this program.
double RelayThrough(const std::vector<std::string>& copier) {
  Bench::Pipe pipe;
  Process tool(FloodCommand(), -1, pipe.Write);
  pipe.CloseWrite();
  Process copy(copier, pipe.Read);
  pipe.CloseRead();
  Bench::DrainResult drained = Bench::Drain(copy.Output(), "");
  ExpectStatus(copy, copier[0].c_str());
  ExpectStatus(tool, "the tool");
  return CheckedWindow(drained);
}

void RelayCat(benchmark::State& state) {
  Measure(state, [] {
    double seconds = RelayThrough({settings.Cat});
    Record("relay.cat", seconds);
    return seconds;
  });
}

void RelayCopy32(benchmark::State& state) {
  const int piece = static_cast<int>(state.range(0));
  Measure(state, [piece] {
    double seconds = RelayThrough({settings.Tool, "cat", std::to_string(piece)});
    Record("relay.copy." + std::to_string(piece), seconds);
    return seconds;
  });
}

void RelayDirect(benchmark::State& state) {
  Measure(state, [] {
    Process tool(FloodCommand());
    Bench::DrainResult drained = Bench::Drain(tool.Output(), "");
    ExpectStatus(tool, "the tool");
    double seconds = CheckedWindow(drained);
    Record("relay.direct", seconds);
    return seconds;
  });
}

// ---- Clean-up ----

const std::vector<Bench::TreeFile>& TreeOf(int which) { return PayloadOf(which).Tree; }

double RemoveWithLibrary(const std::string& path) {
  std::unique_ptr<rio_dir> current(OpenCurrentDir());
  std::unique_ptr<rio_dir> dir(current->OpenDir(Common::ToUtf16(path.c_str()).c_str()));
  if (!dir) throw std::runtime_error(path + ": cannot be opened as a directory");
  double start = Now();
  Common::Error error = RemoveDirTree(dir.get(), false);
  double seconds = Now() - start;
  if (!error.IsEmpty()) throw std::runtime_error(path + ": RemoveDirTree failed");
  return seconds;
}

double RemoveWithUnlink(const std::string& path) {
  double start = Now();
  Bench::RemoveFlatTree(path);
  return Now() - start;
}

double RemoveWithRm(const std::string& path) {
  Process rm({settings.Rm, "-rf", path});
  Bench::ReadLines(rm.Output());
  ExpectStatus(rm, "rm");
  return Now() - rm.Started();
}

template <double (*Remove)(const std::string&)>
void Cleanup(benchmark::State& state, const char* how) {
  const int which = static_cast<int>(state.range(0));
  Measure(state, [which, how] {
    std::string path = scratch + "/tree";
    Bench::MakeTree(path, TreeOf(which));
    double seconds = Remove(path);
    if (access(path.c_str(), F_OK) == 0) throw std::runtime_error(path + " was not removed");
    Record("clean." + TreeName(which) + "." + how, seconds);
    return seconds;
  });
}

// ---- The table ----

double Rate(uint64_t bytes, const std::string& name) {
  double seconds = Median(name);
  return seconds > 0 ? static_cast<double>(bytes) / kMegabyte / seconds : 0;
}

double Ms(const std::string& name) { return Median(name) / kMillisecond; }

void Row(const char* label, double value, const char* unit, const std::string& ratio = "") {
  std::printf("  %-62s %9.1f %-5s %s\n", label, value, unit, ratio.c_str());
}

std::string Ratio(double value, double base, const char* of) {
  char text[96];
  if (base <= 0) return "";
  std::snprintf(text, sizeof text, "%.2f x %s", value / base, of);
  return text;
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

void PrintUnpack() {
  Payload& big = BigPayload();
  double raw = Rate(big.Bytes, "unpack.raw");
  double launcher = Rate(big.Bytes, "unpack.launcher");
  double files = Rate(big.Bytes, "unpack.files");
  double window = Rate(big.Bytes, "unpack.launcher.window");
  double unzip = Rate(big.Bytes, "unpack.unzip");
  std::printf("\nUnpacking: %zu entries, %.1f MB (%.1f MB deflated), median of %zu runs each\n",
              big.Entries.size(), static_cast<double>(big.Bytes) / kMegabyte,
              static_cast<double>(big.DeflatedBytes) / kMegabyte, Count("unpack.launcher"));
  Row("raw limit: inflate + CRC-32 into memory, this process", raw, "MB/s", "1.00 x raw");
  Row("the same written into files (64 KiB writes), this process", files, "MB/s", Ratio(files, raw, "raw"));
  Row("launcher: start to \"Files unpacked to \"", launcher, "MB/s",
      Ratio(launcher, raw, "raw") + ", " + Ratio(launcher, files, "files"));
  Row("launcher: banner to \"Files unpacked to \" (unpacking alone)", window, "MB/s",
      Ratio(window, raw, "raw") + ", " + Ratio(window, files, "files"));
  Row("unzip -o into a fresh directory (native x86_64 program)", unzip, "MB/s", Ratio(launcher, unzip, "unzip (launcher / unzip)"));
}

void WholeRow(int which) {
  const Payload& payload = PayloadOf(which);
  const std::string tree = TreeName(which);
  char label[96];
  std::snprintf(label, sizeof label, "%s payload: %zu entries, %.2f MB", tree.c_str(), payload.Entries.size(),
                static_cast<double>(payload.Bytes) / kMegabyte);
  double limit = Ms("whole." + tree + ".limit");
  double launcher = Ms("whole." + tree + ".launcher");
  std::printf("  %-38s %10.2f %10.2f %+10.2f %12.2f\n", label, limit, launcher, launcher - limit,
              Median("whole." + tree + ".share"));
}

void PrintWhole() {
  std::printf("\nWhole runs against the whole-process limit: the launcher with a tool that exits at once, each run\n"
              "paired with one of a C program of the same build and zlib that only reads in 32 KiB pieces,\n"
              "inflates, checks, writes in 64 KiB pieces and removes; spawn to exit, median of %zu pairs each, ms;\n"
              "the last column is the median of the pairs' own ratios\n",
              Count("whole.big.share"));
  std::printf("  %-38s %10s %10s %10s %12s\n", "", "C limit", "launcher", "extra", "limit/launcher");
  WholeRow(1);
  WholeRow(0);
}

void PhaseRow(const char* label, const std::string& launcher, const std::string& direct) {
  double l = Ms(launcher);
  if (direct.empty()) {
    std::printf("  %-52s %9.2f %9s %+9.2f\n", label, l, "-", l);
    return;
  }
  double d = Ms(direct);
  std::printf("  %-52s %9.2f %9.2f %+9.2f\n", label, l, d, l - d);
}

void PrintStartup() {
  Payload& small = SmallPayload();
  std::printf("\nStart-up: %zu small entries (%.2f MB), a tool that exits at once; median of %zu runs each, ms\n",
              small.Entries.size(), static_cast<double>(small.Bytes) / kMegabyte, Count("start.launcher.total"));
  std::printf("  %-52s %9s %9s %9s\n", "", "launcher", "direct", "extra");
  PhaseRow("launcher process start to its banner", "start.launcher.banner", "");
  PhaseRow("unpacking (banner to \"Files unpacked to \")", "start.launcher.unpack", "");
  PhaseRow("fork/exec and relay set-up, to the tool's main", "start.launcher.exec", "start.direct.exec");
  PhaseRow("echo of the tool's line (its write to our read)", "start.launcher.echo", "start.direct.echo");
  PhaseRow("tool's end to exit: wait, clean-up, process exit", "start.launcher.exit", "start.direct.exit");
  PhaseRow("total (medians of the whole runs)", "start.launcher.total", "start.direct.total");
  std::printf("  %-52s %9.2f   (RemoveDirTree of the small tree, measured apart)\n", "of the exit: removal of the tree",
              Ms("clean.small.RemoveDirTree"));
}

double RelayRate(const std::string& name) { return Rate(settings.RelayBytes, name); }

void PrintRelay() {
  std::string copy = "relay.copy." + std::to_string(settings.CatPieceBytes);
  double launcher = RelayRate("relay.launcher");
  double cat = RelayRate("relay.cat");
  double copy32 = RelayRate(copy);
  double copy4k = RelayRate("relay.copy.4096");
  std::printf("\nRelay: the tool writes %.0f MB in writes of %u bytes; first to last byte, median of %zu runs each\n",
              static_cast<double>(settings.RelayBytes) / kMegabyte, settings.FloodPieceBytes, Count("relay.launcher"));
  Row("tool -> launcher (relay in 4096-byte pieces) -> this program", launcher, "MB/s");
  if (!settings.BaselineSmall.empty()) {
    double baseline = RelayRate("relay.baseline");
    Row("the same through the baseline launcher (--baseline-small)", baseline, "MB/s",
        Ratio(launcher, baseline, "baseline (this build / baseline)"));
  }
  Row("tool | cat (native x86_64 program) -> this program", cat, "MB/s", Ratio(launcher, cat, "cat"));
  char label[96];
  std::snprintf(label, sizeof label, "tool | copy loop of the tool's build, %u-byte reads", settings.CatPieceBytes);
  Row(label, copy32, "MB/s", Ratio(launcher, copy32, "this copy"));
  Row("tool | copy loop of the tool's build, 4096-byte reads", copy4k, "MB/s", Ratio(launcher, copy4k, "this copy"));
  Row("tool -> this program, no relay", RelayRate("relay.direct"), "MB/s");
}

void CleanupRow(int which) {
  const std::string tree = TreeName(which);
  double library = Ms("clean." + tree + ".RemoveDirTree");
  double unlink = Ms("clean." + tree + ".unlink");
  double rm = Ms("clean." + tree + ".rm");
  uint64_t bytes = 0;
  for (const Bench::TreeFile& file : TreeOf(which)) bytes += file.Size;
  char label[96];
  std::snprintf(label, sizeof label, "%s tree: %zu files, %.2f MB", tree.c_str(), TreeOf(which).size(),
                static_cast<double>(bytes) / kMegabyte);
  std::printf("  %-34s %12.2f %14.2f %12.2f   %s\n", label, library, unlink, rm,
              Ratio(library, unlink, "the unlink loop").c_str());
}

void PrintCleanup() {
  std::printf("\nClean-up of the unpacked tree, median of %zu runs each, ms\n", Count("clean.big.RemoveDirTree"));
  std::printf("  %-34s %12s %14s %12s\n", "", "RemoveDirTree", "unlink loop", "rm -rf");
  std::printf("  %-34s %12s %14s %12s\n", "", "(launcher's)", "(this process)", "(native)");
  CleanupRow(1);
  CleanupRow(0);
}

void PrintGoals() {
  Payload& big = BigPayload();
  double unpack = Rate(big.Bytes, "unpack.launcher") / Rate(big.Bytes, "unpack.raw");
  double beyond = (Median("start.launcher.total") - Median("start.direct.total") - Median("start.launcher.unpack")) /
                  kMillisecond;
  double relayCat = RelayRate("relay.launcher") / RelayRate("relay.cat");
  double relay32 = RelayRate("relay.launcher") / RelayRate("relay.copy." + std::to_string(settings.CatPieceBytes));
  std::printf("\nGoals\n");
  std::printf("  %-62s %6.0f %%   %s\n", "unpacking, share of the raw inflate + CRC limit (>= 80 %)", unpack * 100,
              Verdict(unpack >= 0.8));
  for (int which : {1, 0}) {
    double share = Median("whole." + TreeName(which) + ".share");
    std::string label = "whole run, share of the C limit, " + TreeName(which) + " payload (>= 95 %)";
    std::printf("  %-62s %6.0f %%   %s\n", label.c_str(), share * 100, Verdict(share >= 0.95));
  }
  // The limit runs no tool; the launcher must, and the tool's own run is beyond its reach.
  double limitSmall = Median("whole.small.limit");
  double reach = limitSmall / (limitSmall + Median("start.direct.total"));
  std::printf("  %-62s %6.0f %%\n", "  (ceiling of the small payload: C limit / (C limit + tool run alone))", reach * 100);
  std::printf("  %-62s %6.2f ms  %s\n", "start-up overhead beyond unpacking (< 5 ms)", beyond, Verdict(beyond < 5));
  std::printf("  %-62s %6.0f %%   %s\n", "relay, share of tool | cat (>= 50 %)", relayCat * 100, Verdict(relayCat >= 0.5));
  std::printf("  %-62s %6.0f %%   %s\n", "relay, share of tool | copy loop of the same build (>= 50 %)", relay32 * 100,
              Verdict(relay32 >= 0.5));
  // What any relay in 4096-byte pieces can reach here: a bare read/write loop of that size.
  double ceiling = RelayRate("relay.copy.4096") / RelayRate("relay.cat");
  double ofCeiling = RelayRate("relay.launcher") / RelayRate("relay.copy.4096");
  std::printf("  %-62s %6.0f %%\n", "  (ceiling of 4096-byte pieces: bare 4096-byte copy loop / cat)", ceiling * 100);
  std::printf("  %-62s %6.0f %%\n", "  (relay, share of that bare 4096-byte copy loop)", ofCeiling * 100);
}

void PrintTable() {
  std::printf("\n==== Launcher benchmarks: %s ====\n", sizeof(void*) == 4 ? "i686 build" : "x86_64 build");
  if (!settings.Note.empty()) std::printf("%s\n", settings.Note.c_str());
  std::printf("MB = 10^6 bytes; every figure is the median of runs interleaved at random with the others.\n");
  PrintUnpack();
  PrintWhole();
  PrintStartup();
  PrintRelay();
  PrintCleanup();
  PrintGoals();
}

// ---- Set-up ----

class QuietReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.error_occurred) {
        std::fprintf(stderr, "%s: %s\n", run.benchmark_name().c_str(), run.error_message.c_str());
        failed = true;
      }
  }
  bool failed = false;
};

bool TakeFlag(const char* arg, const char* name, std::string* value) {
  size_t length = std::strlen(name);
  if (std::strncmp(arg, name, length) != 0 || arg[length] != '=') return false;
  *value = arg + length + 1;
  return true;
}

// Takes this program's own flags out of argv, leaving Google Benchmark's.
void ParseSettings(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    std::string v;
    const char* a = argv[i];
    if (TakeFlag(a, "--big", &v)) settings.BigLauncher = v;
    else if (TakeFlag(a, "--big-zip", &v)) settings.BigZip = v;
    else if (TakeFlag(a, "--small", &v)) settings.SmallLauncher = v;
    else if (TakeFlag(a, "--small-zip", &v)) settings.SmallZip = v;
    else if (TakeFlag(a, "--tool", &v)) settings.Tool = v;
    else if (TakeFlag(a, "--limit", &v)) settings.Limit = v;
    else if (TakeFlag(a, "--baseline-small", &v)) settings.BaselineSmall = v;
    else if (TakeFlag(a, "--unzip", &v)) settings.Unzip = v;
    else if (TakeFlag(a, "--cat", &v)) settings.Cat = v;
    else if (TakeFlag(a, "--rm", &v)) settings.Rm = v;
    else if (TakeFlag(a, "--note", &v)) settings.Note = v;
    else if (TakeFlag(a, "--relay-bytes", &v)) settings.RelayBytes = std::strtoull(v.c_str(), nullptr, 10);
    else if (TakeFlag(a, "--flood-piece", &v)) settings.FloodPieceBytes = static_cast<uint32_t>(std::stoul(v));
    else if (TakeFlag(a, "--repetitions", &v)) settings.Repetitions = std::stoi(v);
    else if (TakeFlag(a, "--startup-runs", &v)) settings.StartupRuns = std::stoi(v);
    else if (std::strcmp(a, "--list-entries") == 0) settings.ListEntries = true;
    else argv[kept++] = argv[i];
  }
  *argc = kept;
}

void ListEntries() {
  LoadFiles::LibraryRenameTable renames;
  for (const std::string& name : UnpackNames()) std::printf("%s %s\n", name.c_str(), renames.FileNameOf(name).c_str());
}

void Register() {
  const int reps = settings.Repetitions;
  auto add = [&](const char* name, auto fn, int iterations) {
    return benchmark::RegisterBenchmark(name, fn)
        ->UseManualTime()
        ->Iterations(iterations)
        ->Repetitions(reps)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  };
  add("unpack/raw_limit", UnpackRawLimit, 1);
  add("unpack/into_files", UnpackIntoFiles, 1);
  add("unpack/launcher", UnpackLauncher, 1);
  add("unpack/unzip", UnpackUnzip, 1);
  add("whole/big", WholeRun, 1)->Arg(1);
  add("whole/small", WholeRun, settings.StartupRuns)->Arg(0);
  add("startup/direct", StartupDirect, settings.StartupRuns);
  add("startup/launcher", StartupLauncher, settings.StartupRuns);
  add("relay/launcher", RelayLauncher, 1);
  if (!settings.BaselineSmall.empty()) add("relay/baseline", RelayBaseline, 1);
  add("relay/cat", RelayCat, 1);
  add("relay/copy", RelayCopy32, 1)->Arg(settings.CatPieceBytes)->Arg(4096);
  add("relay/direct", RelayDirect, 1);
  add("cleanup/RemoveDirTree", [](benchmark::State& s) { Cleanup<RemoveWithLibrary>(s, "RemoveDirTree"); }, 1)
      ->Arg(0)
      ->Arg(1);
  add("cleanup/unlink", [](benchmark::State& s) { Cleanup<RemoveWithUnlink>(s, "unlink"); }, 1)->Arg(0)->Arg(1);
  add("cleanup/rm", [](benchmark::State& s) { Cleanup<RemoveWithRm>(s, "rm"); }, 1)->Arg(0)->Arg(1);
}

}  // namespace

int main(int argc, char** argv) {
  ParseSettings(&argc, argv);
  if (settings.ListEntries) {
    ListEntries();
    return 0;
  }
  if (settings.BigLauncher.empty() || settings.BigZip.empty() || settings.SmallLauncher.empty() ||
      settings.SmallZip.empty() || settings.Tool.empty() || settings.Limit.empty()) {
    std::fprintf(stderr, "usage: %s --big=L --big-zip=Z --small=L --small-zip=Z --tool=T --limit=P [options]\n"
                         "       (bench/run packs the payloads and passes them)\n", argv[0]);
    return 2;
  }
  // Repetitions of different benchmarks take turns, so that a slow spell of this shared
  // machine falls on all of them alike.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
  try {
    scratch = Bench::MakeScratchDir("ormivane-bench");
    Register();
    QuietReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintTable();
    Bench::RemoveAnyTree(scratch);
    return reporter.failed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    if (!scratch.empty()) Bench::RemoveAnyTree(scratch);
    return 1;
  }
}

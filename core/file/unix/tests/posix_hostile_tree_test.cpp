// Restore and backup, run as root in a directory another user owns, while that user plants
// links, hard links, FIFOs and device nodes at the entry's name or in place of its
// directory, or swaps them in while the operation runs. Whatever the operation answers,
// nothing outside the directory changes and no stream holds a byte of a file outside.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "core/common/error_display.h"
#include "core/file/unix/tests/posix_backup_fixture.h"
#include "core/file/unix/tests/posixsp_support.h"

namespace {

// Not null: the path of an entry that the next symbolic link made is replaced by, renamed
// over it the moment it exists, as the fastest swapper would.
std::atomic<const char*> replaceNextLinkWith{nullptr};

}  // namespace

// Every symbolic link the tests' code makes goes through here.
extern "C" int symlinkat(const char* target, int directory, const char* name) noexcept {
  const int made = static_cast<int>(syscall(SYS_symlinkat, target, directory, name));
  if (made == 0)
    if (const char* replacement = replaceNextLinkWith.exchange(nullptr)) renameat(AT_FDCWD, replacement, directory, name);
  return made;
}

namespace {

using BackupTesting::RecordedChunk;
using PosixBackupTest::Lstat;
using PosixBackupTest::SendBackup;
using PosixBackupTest::SendRestore;

// The other user: owns the directory the operations work in, and nothing else of value.
constexpr uid_t kHostile = PosixTest::kNobody;
// Every file outside holds it, so a stream that carries any of their bytes shows it.
constexpr char kMarker[] = "<<outside-bytes-5e1f>>";
constexpr const char* kMarkerAttribute = "user.outside";
// Outside entries carry this modification time, which no operation here would set.
constexpr time_t kOutsideTimeSeconds = 1000000000;

// Each race ends at whichever bound comes first: its swaps, its operations, or its time,
// which is stretched for a slow build until the operations ran a few times.
constexpr double kRaceSeconds = 0.6;
constexpr double kMaxRaceSeconds = 2.0;
constexpr uint32_t kMinRuns = 50;
constexpr uint32_t kMaxSwaps = 200000;
constexpr uint32_t kMaxRuns = 2000;
constexpr long kReleasePauseNanos = 1000000;
constexpr long kReleaseGraceNanos = 100000000;

constexpr int kDropFailed = 126;
// Outside entries of the kinds a restore makes by name hold this mode, which no stream here
// carries.
constexpr mode_t kOutsideNodeMode = 0640;

std::string Describe(const Common::Error& error) { return Common::ToUtf8(Common::FormatError(error).c_str()); }

// Starts `body` in a child as the other user; only system calls run there.
pid_t StartAsHostile(const std::function<int()>& body) {
  // The child must not print what the parent has buffered.
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (setgroups(0, nullptr) != 0 || setresgid(kHostile, kHostile, kHostile) != 0 ||
      setresuid(kHostile, kHostile, kHostile) != 0)
    _exit(kDropFailed);
  _exit(body());
}

int WaitFor(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The child's answer: 0, or the errno of the call that failed.
int RunAsHostile(const std::function<int()>& body) { return WaitFor(StartAsHostile(body)); }

int ErrnoUnless(bool ok) { return ok ? 0 : errno; }

bool HoldsMarker(const std::vector<RecordedChunk>& chunks) {
  const std::string marker(kMarker);
  for (const RecordedChunk& chunk : chunks)
    if (std::search(chunk.Payload.begin(), chunk.Payload.end(), marker.begin(), marker.end()) != chunk.Payload.end())
      return true;
  return false;
}

// The owner in a stream's entry record, kNoOwner without one.
constexpr uint32_t kNoOwner = 0xFFFFFFFF;
uint32_t EntryOwner(const std::vector<RecordedChunk>& chunks) {
  constexpr size_t kUidOffset = 8;
  for (const RecordedChunk& chunk : chunks)
    if (chunk.Type == CHUNK_ENTRY && chunk.Payload.size() >= kUidOffset + 4) {
      uint32_t uid = 0;
      for (size_t i = 0; i < 4; ++i) uid |= static_cast<uint32_t>(chunk.Payload[kUidOffset + i]) << (8 * i);
      return uid;
    }
  return kNoOwner;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// What the other user plants, before the operation or swapped in during it.
enum class PlantKind { SymLink, HardLink, Fifo, Device };

struct Plant {
  const char* Name;
  PlantKind Kind;
  const char* Target;  // what a link points to or names; the fixture's outside entries
  bool AsRoot;         // what the system lets only root make
  bool Intermediate;   // in place of the entry's directory rather than at its name
};

int MakePlant(PlantKind kind, const char* target, const char* at) {
  switch (kind) {
    case PlantKind::SymLink: return ErrnoUnless(symlink(target, at) == 0);
    case PlantKind::HardLink: return ErrnoUnless(link(target, at) == 0);
    case PlantKind::Fifo: return ErrnoUnless(mkfifo(at, 0666) == 0);
    case PlantKind::Device: return ErrnoUnless(mknod(at, S_IFCHR | 0666, makedev(1, 3)) == 0);
  }
  return EINVAL;
}

// Entries that root backs up from its own folder and restores into the other user's.
struct Entry {
  std::string Name;
  mode_t Type;
  std::vector<RecordedChunk> Chunks;
};

constexpr char kRestoredContent[] = "restored content";

// Shared with a swapping child: it counts, the test stops it.
struct RaceCounters {
  std::atomic<uint32_t> Started{0};
  std::atomic<uint32_t> Swaps{0};
  std::atomic<uint32_t> Runs{0};   // operations the test has made
  std::atomic<uint32_t> Hangs{0};  // times a reader held the swapped-in FIFO open
  std::atomic<uint32_t> SwappingDone{0};
  std::atomic<uint32_t> Stop{0};
};

// One swapper: exchanges the entry with the planted alternative in a loop.
struct SwapPlan {
  const char* Entry;
  const char* Alternative;
  PlantKind Kind;
  const char* Target;
  const char* FifoHandle;  // a second name of a planted FIFO, to release a reader it holds
  bool Replant;            // the operation destroys what it finds: plant the alternative again
  // Not null: the name swapped is whichever in `Directory` starts with it (the restore's
  // temporary file), found as the other user would, by reading the directory.
  const char* TemporaryPrefix;
  const char* Directory;
};

// The first name in the directory that starts with `prefix`, into `name`; false when none.
bool FindByPrefix(int directory, const char* prefix, char* name, size_t size) {
  alignas(struct dirent64) char buffer[4096];
  const size_t prefixLength = strlen(prefix);
  if (lseek(directory, 0, SEEK_SET) != 0) return false;
  for (;;) {
    long got = syscall(SYS_getdents64, directory, buffer, sizeof buffer);
    if (got <= 0) return false;
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      if (strncmp(entry->d_name, prefix, prefixLength) == 0 && strlen(entry->d_name) < size) {
        strcpy(name, entry->d_name);
        return true;
      }
      at += entry->d_reclen;
    }
  }
}

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool IsPlanted(const SwapPlan& plan, const char* path, const struct stat64& target) {
  struct stat64 st;
  if (lstat64(path, &st) != 0) return false;
  switch (plan.Kind) {
    case PlantKind::SymLink: return S_ISLNK(st.st_mode);
    case PlantKind::HardLink: return st.st_dev == target.st_dev && st.st_ino == target.st_ino;
    case PlantKind::Fifo: return S_ISFIFO(st.st_mode);
    case PlantKind::Device: return S_ISCHR(st.st_mode);
  }
  return false;
}

int PlantAlternative(const SwapPlan& plan) {
  if (int failed = MakePlant(plan.Kind, plan.Target, plan.Alternative)) return failed;
  if (plan.FifoHandle == nullptr) return 0;
  unlink(plan.FifoHandle);
  return ErrnoUnless(link(plan.Alternative, plan.FifoHandle) == 0);
}

// A reader waiting on the planted FIFO lets a writer open it: open and close, so the
// reader sees the end of its data and the operation goes on. Only once the swapping is
// over, when no operation is started any more: a reader found then was held by the FIFO,
// not passing through it without waiting.
void ReleaseReaders(const SwapPlan& plan, RaceCounters& counters) {
  if (plan.FifoHandle == nullptr) return;
  int fd = open(plan.FifoHandle, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  counters.Hangs.fetch_add(1);
  close(fd);
}

// The child's loop. After its bounds it puts a FIFO back where it came from and keeps
// releasing readers until the test stops it, so no operation is left waiting.
int Swap(const SwapPlan& plan, RaceCounters& counters) {
  struct stat64 target {};
  if (plan.Kind == PlantKind::HardLink && lstat64(plan.Target, &target) != 0) return errno;
  if (int failed = PlantAlternative(plan)) return failed;
  int directory = -1;
  if (plan.TemporaryPrefix != nullptr && (directory = open(plan.Directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0)
    return errno;
  counters.Started.store(1);
  const double start = Now();
  auto inTime = [&] {
    const double elapsed = Now() - start;
    return elapsed < kRaceSeconds || (elapsed < kMaxRaceSeconds && counters.Runs.load() < kMinRuns);
  };
  char temporary[NAME_MAX + 1];
  while (counters.Stop.load() == 0 && counters.Swaps.load() < kMaxSwaps && inTime()) {
    if (plan.Replant && !IsPlanted(plan, plan.Alternative, target)) {
      if (unlink(plan.Alternative) != 0) rmdir(plan.Alternative);
      PlantAlternative(plan);
    }
    const bool swapped =
        plan.TemporaryPrefix == nullptr
            ? renameat2(AT_FDCWD, plan.Entry, AT_FDCWD, plan.Alternative, RENAME_EXCHANGE) == 0
            : FindByPrefix(directory, plan.TemporaryPrefix, temporary, sizeof temporary) &&
                  renameat2(directory, temporary, AT_FDCWD, plan.Alternative, RENAME_EXCHANGE) == 0;
    if (swapped) counters.Swaps.fetch_add(1);
  }
  if (plan.Kind == PlantKind::Fifo && IsPlanted(plan, plan.Entry, target))
    renameat2(AT_FDCWD, plan.Entry, AT_FDCWD, plan.Alternative, RENAME_EXCHANGE);
  counters.SwappingDone.store(1);
  // The operation under way when the swapping ended finishes first, unless a FIFO holds it.
  const timespec grace{0, kReleaseGraceNanos};
  nanosleep(&grace, nullptr);
  const timespec pause{0, kReleasePauseNanos};
  while (counters.Stop.load() == 0) {
    ReleaseReaders(plan, counters);
    nanosleep(&pause, nullptr);
  }
  return 0;
}

// A link to `target` at `path` that is not the other user's: only a restore that adopted
// the user's plant gives one the owner of its stream.
bool IsUsersLinkGivenAway(const std::string& path, const char* target) {
  if (target == nullptr) return false;
  // Owner and text of one link, whatever is swapped in at the name meanwhile.
  const int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat64 st;
  char text[PATH_MAX];
  const bool link = fstat64(fd, &st) == 0 && S_ISLNK(st.st_mode);
  const ssize_t length = link ? readlinkat(fd, "", text, sizeof text) : -1;
  close(fd);
  return length >= 0 && st.st_uid != kHostile && std::string(text, static_cast<size_t>(length)) == target;
}

// One race: a restore or a backup of `Operand` in a loop while the other user swaps.
struct Race {
  const char* Name;
  bool Backup;
  const char* Operand;
  const char* Entry;      // the name swapped: the operand or its directory
  const char* Restored;   // the entry of the sources a restore restores
  PlantKind Kind;
  const char* Target;
  bool Replant;
  bool ClearBefore;       // a restore that fails over what stands there: remove it first
  bool SwapsTemporary;    // the restore's temporary file is swapped, not the entry
  std::function<void()> Prepare;
  const std::vector<RecordedChunk>* Stream = nullptr;  // restored instead of the entry's own
};

// scratch/outside: what must stay as it was; scratch/src: root's entries, backed up once;
// scratch/work: the other user's directory, where every operation works.
class HostileTree : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "planting as another user under a root restore needs root";
    ASSERT_EQ(chmod(scratch.Path().c_str(), 0755), 0);
    BuildSources();
    Reset();
  }

  std::string Outside(const std::string& name) const { return scratch.At("outside/" + name); }
  std::string Work(const std::string& name) const { return scratch.At("work/" + name); }

  // The outside entries the plants point at.
  const char* Secret() const { return secret.c_str(); }
  const char* Owned() const { return owned.c_str(); }
  const char* OutsideDir() const { return outside_dir.c_str(); }

  // At the entry's name, or in place of its directory "sub".
  std::vector<Plant> Plants() const {
    return {
        {"symbolic link to root's file outside", PlantKind::SymLink, Secret(), false, false},
        {"symbolic link to a directory outside", PlantKind::SymLink, OutsideDir(), false, false},
        {"hard link to the user's own file outside", PlantKind::HardLink, Owned(), false, false},
        {"hard link to root's file outside", PlantKind::HardLink, Secret(), true, false},
        {"FIFO", PlantKind::Fifo, nullptr, false, false},
        {"device node (a copy of /dev/null)", PlantKind::Device, nullptr, true, false},
        {"symbolic link in place of the directory", PlantKind::SymLink, OutsideDir(), false, true},
    };
  }

  // False when the system refuses the plant (a device node where mknod is not allowed).
  bool PlantAt(const Plant& plant, const std::string& at) {
    const char* path = at.c_str();
    int failed = plant.AsRoot ? MakePlant(plant.Kind, plant.Target, path)
                              : RunAsHostile([&] { return MakePlant(plant.Kind, plant.Target, path); });
    if (failed != 0 && plant.Kind == PlantKind::Device) {
      std::printf("[  SKIPPED ] row \"%s\": mknod refused: %s\n", plant.Name, strerror(failed));
      return false;
    }
    EXPECT_EQ(failed, 0) << plant.Name << ": " << strerror(failed);
    return failed == 0;
  }

  Common::Error Restore(const std::string& name, const std::vector<RecordedChunk>& chunks) {
    posix_dir work(scratch.At("work"));
    return SendRestore(work, Common::ToUtf16(name.c_str()).c_str(), chunks);
  }

  Common::Error BackUp(const std::string& name, std::vector<RecordedChunk>* chunks) {
    BackupTesting::RecordingSink sink;
    posix_dir work(scratch.At("work"));
    Common::Error error = SendBackup(work, name.c_str(), &sink);
    *chunks = std::move(sink.chunks);
    return error;
  }

  void ExpectOutsideUnchanged() const {
    const auto now = PosixBackupTest::SnapshotTree(scratch.At("outside"));
    for (const auto& [path, facts] : outside_before) {
      auto found = now.find(path);
      if (found == now.end())
        ADD_FAILURE() << path << " is gone";
      else
        EXPECT_EQ(found->second, facts) << path << " changed";
    }
    for (const auto& [path, facts] : now)
      if (outside_before.count(path) == 0) ADD_FAILURE() << path << " appeared: " << facts;
  }

  // Back to an empty directory of the other user's and the outside as it was built, so
  // that a case that changed it does not fail the cases after it.
  void Reset() {
    for (const char* tree : {"work", "outside"}) nftw(scratch.At(tree).c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    BuildOutside();
    outside_before = PosixBackupTest::SnapshotTree(scratch.At("outside"));
    scratch.MakeDir("work", 0755);
    ASSERT_EQ(chown(scratch.At("work").c_str(), kHostile, kHostile), 0);
  }

  // A file of the other user's in the work directory, for the backups to list.
  void MakeHostileFile(const std::string& name) {
    const std::string path = Work(name);
    const char* at = path.c_str();
    ASSERT_EQ(RunAsHostile([&] {
                int fd = open(at, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                if (fd < 0) return errno;
                bool ok = write(fd, "plain", 5) == 5;
                close(fd);
                return ErrnoUnless(ok);
              }),
              0);
  }

  void MakeHostileDir(const std::string& name) {
    const std::string path = Work(name);
    const char* at = path.c_str();
    ASSERT_EQ(RunAsHostile([&] { return ErrnoUnless(mkdir(at, 0755) == 0); }), 0);
  }

  // One race, its failures reported as the test's; the directories are left to Reset.
  void RunRace(const Race& race, RaceCounters* counters) {
    race.Prepare();
    const Entry* restored = nullptr;
    for (const Entry& entry : entries)
      if (race.Restored != nullptr && entry.Name == race.Restored) restored = &entry;
    ASSERT_TRUE(race.Backup || restored != nullptr);
    const std::string entryPath = Work(race.Entry);
    const std::string alternative = Work(std::string(race.Entry) + "-planted");
    const std::string handle = Work("fifo-handle");
    const std::string temporaryPrefix = std::string(".") + race.Entry + ".";
    const std::string work = scratch.At("work");
    const SwapPlan plan{entryPath.c_str(),
                        alternative.c_str(),
                        race.Kind,
                        race.Target,
                        race.Kind == PlantKind::Fifo ? handle.c_str() : nullptr,
                        race.Replant,
                        race.SwapsTemporary ? temporaryPrefix.c_str() : nullptr,
                        work.c_str()};
    new (counters) RaceCounters();
    pid_t swapper = StartAsHostile([&] { return Swap(plan, *counters); });
    ASSERT_GT(swapper, 0);
    const timespec pause{0, kReleasePauseNanos};
    while (counters->Started.load() == 0 && waitpid(swapper, nullptr, WNOHANG) == 0) nanosleep(&pause, nullptr);
    ASSERT_EQ(counters->Started.load(), 1u) << "the swapper could not plant";

    uint32_t runs = 0, failed = 0, leaked = 0, wrong = 0, adopted = 0;
    while (counters->SwappingDone.load() == 0 && runs < kMaxRuns) {
      if (race.ClearBefore && unlink(entryPath.c_str()) != 0) rmdir(entryPath.c_str());
      Common::Error error;
      if (race.Backup) {
        std::vector<RecordedChunk> chunks;
        error = BackUp(race.Operand, &chunks);
        // A second name of root's file, listed as such, is backed up as what it is; the
        // bytes of root's file under the user's file listed are not.
        if (HoldsMarker(chunks) && (race.Kind != PlantKind::HardLink || EntryOwner(chunks) == kHostile)) ++leaked;
      } else {
        error = Restore(race.Operand, race.Stream != nullptr ? *race.Stream : restored->Chunks);
        // A restore that reports success put its entry at the name, not the user's.
        if (!error && race.SwapsTemporary && scratch.ReadFile("work/" + std::string(race.Operand)) != kRestoredContent)
          ++wrong;
        // The user's own link is never adopted: it would become the stream's owner's.
        if (race.Kind == PlantKind::SymLink)
          for (const std::string& name : {entryPath, alternative})
            if (IsUsersLinkGivenAway(name, race.Target)) ++adopted;
      }
      counters->Runs.store(++runs);
      if (error) ++failed;
  }
  counters->Stop.store(1);
  EXPECT_EQ(WaitFor(swapper), 0);
  std::printf("[   RACE   ] %s: %u swaps, %u %s, %u failed, %u streams with outside bytes, %u releases of a reader held by a FIFO\n",
              race.Name, counters->Swaps.load(), runs, race.Backup ? "backups" : "restores", failed, leaked,
              counters->Hangs.load());
  ExpectOutsideUnchanged();
  EXPECT_EQ(leaked, 0u);
  EXPECT_EQ(wrong, 0u) << "restores reported success while the name held another file";
  EXPECT_EQ(adopted, 0u) << "the user's link was given the stream's owner";
  EXPECT_EQ(counters->Hangs.load(), 0u);
  }

  // Root's FIFO, link and (where mknod is allowed) device node outside, in a mode and at a
  // time no restore here gives: the targets of same-kind hard links.
  void PlantOutsideOfEveryKind() {
    ASSERT_EQ(mkfifo(Outside("fifo").c_str(), kOutsideNodeMode), 0);
    ASSERT_EQ(symlink("somewhere", Outside("link").c_str()), 0);
    const bool device = mknod(Outside("node").c_str(), S_IFCHR | kOutsideNodeMode, makedev(1, 3)) == 0;
    for (const char* name : {"fifo", "link", "node", "."})
      if (device || std::strcmp(name, "node") != 0) SetOutsideTime(name);
    outside_before = PosixBackupTest::SnapshotTree(scratch.At("outside"));
  }

  PosixTest::ScratchDir scratch;
  std::vector<Entry> entries;

 private:
  void WriteOutside(const std::string& name, uid_t owner) {
    scratch.WriteFile("outside/" + name, std::string(kMarker) + " " + name, 0600);
    ASSERT_EQ(chown(Outside(name).c_str(), owner, owner), 0);
    // Where the file system takes no user attributes, the content alone carries the marker.
    lsetxattr(Outside(name).c_str(), kMarkerAttribute, kMarker, sizeof kMarker - 1, 0);
  }

  void SetOutsideTime(const std::string& name) {
    const timespec times[2] = {{kOutsideTimeSeconds, 0}, {kOutsideTimeSeconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Outside(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  void BuildOutside() {
    scratch.MakeDir("outside");
    scratch.MakeDir("outside/dir");
    WriteOutside("secret", 0);
    WriteOutside("owned", kHostile);
    WriteOutside("dir/x", 0);
    for (const char* name : {"secret", "owned", "dir/x", "dir", "."}) SetOutsideTime(name);
  }

  void BuildSources() {
    scratch.MakeDir("src", 0700);
    scratch.WriteFile("src/file", kRestoredContent, 04755);
    scratch.MakeDir("src/dir", 0700);
    ASSERT_EQ(mkfifo(scratch.At("src/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("elsewhere", scratch.At("src/link").c_str()), 0);
    const bool device = mknod(scratch.At("src/node").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    posix_dir src(scratch.At("src"));
    const std::pair<const char*, mode_t> kinds[] = {
        {"file", S_IFREG}, {"dir", S_IFDIR}, {"fifo", S_IFIFO}, {"link", S_IFLNK}, {"node", S_IFCHR}};
    for (const auto& [name, type] : kinds) {
      if (type == S_IFCHR && !device) continue;
      BackupTesting::RecordingSink sink;
      Common::Error error = SendBackup(src, name, &sink);
      ASSERT_TRUE(error.IsEmpty()) << Describe(error);
      entries.push_back(Entry{name, type, std::move(sink.chunks)});
    }
  }

  std::map<std::string, std::string> outside_before;
  // Fixed for the fixture's life: the plants keep pointers to them.
  const std::string secret = Outside("secret");
  const std::string owned = Outside("owned");
  const std::string outside_dir = Outside("dir");
};

// Every kind of entry restored over every plant: a failure is allowed, a change outside is
// not, and a success leaves the restored entry at the name and nothing else behind.
TEST_F(HostileTree, RestoreOverPlantsActsOnlyOnTheEntry) {
  for (const Entry& entry : entries) {
    for (const Plant& plant : Plants()) {
      SCOPED_TRACE(entry.Name + " over " + plant.Name);
      const std::string name = plant.Intermediate ? "sub/" + entry.Name : entry.Name;
      if (!PlantAt(plant, Work(plant.Intermediate ? "sub" : entry.Name))) continue;
      Common::Error error = Restore(name, entry.Chunks);
      ExpectOutsideUnchanged();
      if (error.IsEmpty() && !plant.Intermediate) {
        struct stat64 st = Lstat(Work(name));
        EXPECT_EQ(st.st_mode & S_IFMT, entry.Type) << "the restore succeeded, but the plant stands at the name";
        if (entry.Type == S_IFREG) {
          EXPECT_EQ(scratch.ReadFile("work/" + name), kRestoredContent);
        }
      }
      for (const std::string& left : PosixBackupTest::Names(scratch.At("work")))
        EXPECT_TRUE(left == entry.Name || left == "sub") << left << " left in the directory";
      Reset();
    }
  }
}

// Every plant backed up: whatever the backup answers, nothing outside changes and the stream
// holds no byte of root's files outside. A hard link is the very file it names: its bytes
// are the entry's, so those rows check only that nothing changes.
TEST_F(HostileTree, BackupOfPlantsReadsNothingOutside) {
  {
    // The name below a directory reaches its entry when nothing is planted.
    MakeHostileDir("sub");
    MakeHostileFile("sub/x");
    std::vector<RecordedChunk> chunks;
    Common::Error error = BackUp("sub/x", &chunks);
    ASSERT_TRUE(error.IsEmpty()) << Describe(error);
    const RecordedChunk* data = nullptr;
    for (const RecordedChunk& chunk : chunks)
      if (chunk.Type == CHUNK_DATA) data = &chunk;
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data->Payload.begin(), data->Payload.end()), "plain");
    Reset();
  }
  for (const Plant& plant : Plants()) {
    SCOPED_TRACE(plant.Name);
    if (!PlantAt(plant, Work(plant.Intermediate ? "sub" : "x"))) continue;
    std::vector<RecordedChunk> chunks;
    Common::Error error = BackUp(plant.Intermediate ? "sub/x" : "x", &chunks);
    ExpectOutsideUnchanged();
    if (plant.Kind != PlantKind::HardLink) {
      EXPECT_FALSE(HoldsMarker(chunks)) << Describe(error);
    }
    Reset();
  }
}

// The other user exchanges the entry with a prepared link or FIFO in a loop, bounded in
// swaps and time, while root restores or backs up the entry again and again. Failures are
// allowed; a change outside, a stream with outside bytes or a backup held by a FIFO is not.
TEST_F(HostileTree, SwapsDuringRestoreAndBackupActOnlyOnTheEntry) {
  auto* counters = static_cast<RaceCounters*>(
      mmap(nullptr, sizeof(RaceCounters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(counters, MAP_FAILED);
  const Race races[] = {
      {"restore of a file, swapped with a hard link to the user's file", false, "x", "x", "file",
       PlantKind::HardLink, Owned(), true, false, false, [] {}},
      {"restore of a file, swapped with a link to root's file", false, "x", "x", "file", PlantKind::SymLink, Secret(),
       true, false, false, [] {}},
      {"restore of a file, its temporary file swapped with a hard link to the user's file", false, "x", "x", "file",
       PlantKind::HardLink, Owned(), true, false, true, [] {}},
      {"restore of a directory, swapped with a hard link to the user's file", false, "x", "x", "dir",
       PlantKind::HardLink, Owned(), true, true, false, [] {}},
      {"restore of a FIFO, swapped with a hard link to the user's file", false, "x", "x", "fifo",
       PlantKind::HardLink, Owned(), true, true, false, [] {}},
      {"restore of a link, swapped with the user's own link", false, "x", "x", "link", PlantKind::SymLink, Secret(),
       true, true, false, [] {}},
      {"restore below a directory swapped with a link to a directory outside", false, "sub/x", "sub", "file",
       PlantKind::SymLink, OutsideDir(), false, false, false, [&] { MakeHostileDir("sub"); }},
      {"backup of a file, swapped with a link to root's file", true, "x", "x", nullptr, PlantKind::SymLink, Secret(),
       false, false, false, [&] { MakeHostileFile("x"); }},
      {"backup of a file, swapped with a FIFO", true, "x", "x", nullptr, PlantKind::Fifo, nullptr, false, false, false,
       [&] { MakeHostileFile("x"); }},
      {"backup below a directory swapped with a link to a directory outside", true, "sub/x", "sub", nullptr,
       PlantKind::SymLink, OutsideDir(), false, false, false,
       [&] {
         MakeHostileDir("sub");
         MakeHostileFile("sub/x");
       }},
  };
  for (const Race& race : races) {
    SCOPED_TRACE(race.Name);
    RunRace(race, counters);
    Reset();
  }
  munmap(counters, sizeof(RaceCounters));
}

// The stream of an entry with its owner and group made the other user's: a restore that
// adopted a swapped-in inode would give it that owner.
std::vector<RecordedChunk> OwnedByTheOtherUser(std::vector<RecordedChunk> chunks) {
  constexpr size_t kUidOffset = 8;
  constexpr size_t kGidOffset = 12;
  for (RecordedChunk& chunk : chunks) {
    if (chunk.Type != CHUNK_ENTRY || chunk.Payload.size() < kGidOffset + 4) continue;
    for (size_t offset : {kUidOffset, kGidOffset})
      for (size_t i = 0; i < 4; ++i) chunk.Payload[offset + i] = static_cast<uint8_t>(kHostile >> (8 * i));
  }
  return chunks;
}

// In place of the link the restore made, at once: the other user's own link (one link, of
// the kind made), or a second name of root's link outside (root's, of the kind made). Neither
// is the restore's to adopt; each keeps its owner, and what is outside stays as it was.
TEST_F(HostileTree, ALinkInPlaceOfTheLinkMadeIsNotAdopted) {
  const Entry* made = nullptr;
  for (const Entry& entry : entries)
    if (entry.Name == "link") made = &entry;
  ASSERT_NE(made, nullptr);
  const std::vector<RecordedChunk> stream = OwnedByTheOtherUser(made->Chunks);
  struct Row {
    const char* Name;
    bool Outside;
    const std::vector<RecordedChunk>* Stream;
  };
  const Row rows[] = {{"the user's own link", false, &made->Chunks},
                      {"a second name of root's link outside", true, &stream}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    PlantOutsideOfEveryKind();
    const std::string planted = Work("planted");
    if (row.Outside) {
      ASSERT_EQ(link(Outside("link").c_str(), planted.c_str()), 0);
    } else {
      ASSERT_EQ(symlink(Secret(), planted.c_str()), 0);
      ASSERT_EQ(lchown(planted.c_str(), kHostile, kHostile), 0);
    }
    const struct stat64 before = Lstat(planted);
    replaceNextLinkWith.store(planted.c_str());
    Common::Error error = Restore("x", *row.Stream);
    EXPECT_EQ(replaceNextLinkWith.exchange(nullptr), nullptr) << "no link was made";
    EXPECT_EQ(error.GetCode(), Common::FILE_RECOVER_ERROR) << Describe(error);
    const struct stat64 after = Lstat(Work("x"));
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    ExpectOutsideUnchanged();
    Reset();
  }
}

std::string ReadSetting(const char* path) {
  std::string value;
  if (FILE* file = std::fopen(path, "re")) {
    char line[32];
    if (std::fgets(line, sizeof line, file) != nullptr) value = line;
    std::fclose(file);
  }
  return value;
}

bool WriteSetting(const char* path, const std::string& value) {
  FILE* file = std::fopen(path, "we");
  if (file == nullptr) return false;
  bool written = std::fputs(value.c_str(), file) >= 0;
  return std::fclose(file) == 0 && written;
}

constexpr const char* kProtectedHardlinks = "/proc/sys/fs/protected_hardlinks";
constexpr int kSameKindRacesSeconds = 40;

// Where the system lets a user link what they do not own (fs.protected_hardlinks=0), the
// other user swaps a hard link to root's FIFO, device node or link outside in for the entry
// the restore just made, of the same kind: the restore must not give it the stream's owner,
// mode and times. The setting is the whole system's: it is changed only for a child bounded
// in time and put back whatever the child does.
TEST_F(HostileTree, SameKindHardLinksSwappedInAreNotAdopted) {
  const std::string before = ReadSetting(kProtectedHardlinks);
  if (before.empty() || !WriteSetting(kProtectedHardlinks, "0"))
    GTEST_SKIP() << "fs.protected_hardlinks cannot be changed here";
  struct PutBack {
    const std::string& value;
    ~PutBack() { WriteSetting(kProtectedHardlinks, value); }
  } putBack{before};
  auto* counters = static_cast<RaceCounters*>(
      mmap(nullptr, sizeof(RaceCounters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(counters, MAP_FAILED);
  struct Row {
    const char* Name;
    const char* Restored;
  };
  const Row rows[] = {{"restore of a FIFO, swapped with a hard link to root's FIFO outside", "fifo"},
                      {"restore of a device node, swapped with a hard link to root's device node outside", "node"},
                      {"restore of a link, swapped with a hard link to root's link outside", "link"}};
  const int status = PosixTest::RunInChildWithin(
      [&] {
        for (const Row& row : rows) {
          SCOPED_TRACE(row.Name);
          const Entry* entry = nullptr;
          for (const Entry& candidate : entries)
            if (candidate.Name == row.Restored) entry = &candidate;
          PlantOutsideOfEveryKind();
          const std::string target = Outside(row.Restored);
          struct stat64 planted;
          if (entry == nullptr || lstat64(target.c_str(), &planted) != 0) {
            std::printf("[  SKIPPED ] row \"%s\": no such entry can be made here\n", row.Name);
            continue;
          }
          const std::vector<RecordedChunk> stream = OwnedByTheOtherUser(entry->Chunks);
          const Race race{row.Name,      false, "x",  "x",  row.Restored, PlantKind::HardLink, target.c_str(),
                          true,          true,  false, [] {}, &stream};
          RunRace(race, counters);
          Reset();
        }
        // Of the same kind as the file listed, only its identity tells root's file apart.
        const Race backup{"backup of a file, swapped with a hard link to root's file outside",
                          true, "x", "x", nullptr, PlantKind::HardLink, Secret(), false, false, false,
                          [&] { MakeHostileFile("x"); }};
        RunRace(backup, counters);
        return testing::Test::HasFailure() ? PosixTest::kChildAssertionsFailed : 0;
      },
      kSameKindRacesSeconds);
  munmap(counters, sizeof(RaceCounters));
  EXPECT_EQ(status, 0);
}

}  // namespace

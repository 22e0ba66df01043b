// A randomized stress test of the lock layer: threads share descriptors of one file and
// lock, unlock, wait and close them, checked against a model of their own. The model
// only holds what a thread knows it holds, so every conflict in it is a real fault; at
// quiet points the layer's table is checked against the model and the system's lock
// state (read by a forked probe) against the table.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <list>
#include <mutex>
#include <new>
#include <random>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/linex/descriptor_registry.h"
#include "core/linex/filelock.h"
#include "core/linex/tests/lock_fixture.h"
#include "core/linex/tests/lock_probe.h"

namespace {

using namespace Testing;
using FileLock::kMaxOffset;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultOperations = 1000;
#else
constexpr int kDefaultOperations = 2500;
#endif
constexpr int kDefaultThreads = 6;
constexpr int kDefaultProcesses = 3;
constexpr unsigned kDefaultSeed = 1000;
constexpr int kSlots = 4;
constexpr int kCells = 16;       // the file's first kCells * kCellBytes bytes, then one cell to the end
constexpr int64_t kCellBytes = 8;
constexpr int kCheckpoints = 5;

// A longer soak runs without rebuilding: FILELOCK_STRESS_SEED, FILELOCK_STRESS_THREADS
// (per process), FILELOCK_STRESS_OPERATIONS (per thread) and FILELOCK_STRESS_PROCESSES
// (of the variant with several processes) replace the defaults.
long FromEnvironment(const char* name, long fallback, long minimum) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == 0) return fallback;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return *end == 0 && value >= minimum ? value : fallback;
}

struct Settings {
  unsigned Seed = static_cast<unsigned>(FromEnvironment("FILELOCK_STRESS_SEED", kDefaultSeed, 0));
  int Threads = static_cast<int>(FromEnvironment("FILELOCK_STRESS_THREADS", kDefaultThreads, 1));
  int Operations = static_cast<int>(FromEnvironment("FILELOCK_STRESS_OPERATIONS", kDefaultOperations, 1));
  int Processes = static_cast<int>(FromEnvironment("FILELOCK_STRESS_PROCESSES", kDefaultProcesses, 1));
};

// Who holds which cell, in memory that every process of the test shares, under a
// process-shared mutex; the first fault any process finds is kept here too.
struct SharedCells {
  pthread_mutex_t Mutex;
  int SharedCount[kCells + 1];
  int ExclusiveCount[kCells + 1];
  int Faults;
  char FirstFault[512];
};

class SharedCellsMapping {
 public:
  SharedCellsMapping() {
    void* memory = mmap(nullptr, sizeof(SharedCells), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    cells = new (memory) SharedCells{};
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&cells->Mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~SharedCellsMapping() {
    if (cells == nullptr) return;
    pthread_mutex_destroy(&cells->Mutex);
    munmap(cells, sizeof(SharedCells));
  }
  SharedCellsMapping(const SharedCellsMapping&) = delete;
  SharedCellsMapping& operator=(const SharedCellsMapping&) = delete;

  SharedCells* cells = nullptr;
};

class CellsGuard {
 public:
  explicit CellsGuard(SharedCells& cells) : mutex(&cells.Mutex) { pthread_mutex_lock(mutex); }
  ~CellsGuard() { pthread_mutex_unlock(mutex); }
  CellsGuard(const CellsGuard&) = delete;
  CellsGuard& operator=(const CellsGuard&) = delete;

 private:
  pthread_mutex_t* mutex;
};

struct Hold {
  int Owner;
  int Slot;
  uint64_t Generation;
  int Fd;
  int64_t Start;
  int64_t Len;  // kMaxOffset - Start: to the end
  bool Exclusive;
};

// Cells [first, last) that a region covers; the last cell stands for everything beyond.
std::pair<int, int> CellsOf(int64_t start, int64_t len) {
  int first = static_cast<int>(start / kCellBytes);
  if (len >= kMaxOffset - start) return {first, kCells + 1};
  return {first, static_cast<int>((start + len) / kCellBytes)};
}

class StressTest : public LockFileTest {
 protected:
  struct Slot {
    int Fd = -1;
    uint64_t Generation = 0;
    std::shared_mutex Use;  // shared: a request that must not meet a close; exclusive: the close
  };

  void SetUp() override {
    LockFileTest::SetUp();
    ASSERT_NE(mapping.cells, nullptr);
    std::cout << "seed " << settings.Seed << ", " << settings.Threads << " threads of " << settings.Operations
              << " operations" << std::endl;
  }

  const Settings settings;

  // ---- the model ----
  // The process's own: its descriptors and its holds. The cells are shared by all.
  std::mutex modelMutex;
  Slot slots[kSlots];
  std::list<Hold> holds;
  SharedCellsMapping mapping;
  SharedCells& cells = *mapping.cells;
  // Several processes: a waiting request may also be refused with EDEADLK, since the
  // system sees only processes waiting for each other, not that the holders are threads
  // that never wait.
  bool crossProcess = false;

  // ---- pausing for checkpoints ----
  std::mutex pauseMutex;
  std::condition_variable pauseChanged;
  bool pauseRequested = false;
  int paused = 0;

  std::atomic<int> operationsDone{0};
  std::atomic<int> finished{0};
  std::atomic<int> faults{0};
  std::mutex faultMutex;
  std::string firstFault;

  void Fault(const std::string& what) {
    {
      std::lock_guard<std::mutex> lock(faultMutex);
      if (faults++ == 0) firstFault = what;
    }
    CellsGuard guard(cells);
    if (cells.Faults++ == 0) std::snprintf(cells.FirstFault, sizeof cells.FirstFault, "%s", what.c_str());
  }

  // Adds a granted hold, checking it against what others are known to hold.
  void Record(const Hold& hold) {
    auto [first, last] = CellsOf(hold.Start, hold.Len);
    std::string conflict;
    {
      CellsGuard guard(cells);
      for (int cell = first; cell < last; ++cell) {
        if (conflict.empty() && (cells.ExclusiveCount[cell] > 0 || (hold.Exclusive && cells.SharedCount[cell] > 0))) {
          std::ostringstream text;
          text << "conflicting grant: process " << getpid() << " fd " << hold.Fd << " [" << hold.Start << ", +"
               << hold.Len << ") " << (hold.Exclusive ? "exclusive" : "shared") << " over cell " << cell;
          conflict = text.str();
        }
        ++(hold.Exclusive ? cells.ExclusiveCount : cells.SharedCount)[cell];
      }
    }
    if (!conflict.empty()) Fault(conflict);
    holds.push_back(hold);
  }

  void Forget(std::list<Hold>::iterator it) {
    auto [first, last] = CellsOf(it->Start, it->Len);
    {
      CellsGuard guard(cells);
      for (int cell = first; cell < last; ++cell) --(it->Exclusive ? cells.ExclusiveCount : cells.SharedCount)[cell];
    }
    holds.erase(it);
  }

  void PausePoint() {
    std::unique_lock<std::mutex> lock(pauseMutex);
    if (!pauseRequested) return;
    ++paused;
    pauseChanged.notify_all();
    pauseChanged.wait(lock, [&] { return !pauseRequested; });
    --paused;
  }

  // ---- the operations of a worker ----

  void LockOperation(int self, std::mt19937& random) {
    const int slot = static_cast<int>(random() % kSlots);
    const int64_t start = static_cast<int64_t>(random() % kCells) * kCellBytes;
    int64_t len = static_cast<int64_t>(1 + random() % 4) * kCellBytes;
    const bool toEnd = random() % 10 == 0;
    if (toEnd) len = 0;
    if (!toEnd && start + len > kCells * kCellBytes) len = kCells * kCellBytes - start;
    const bool exclusive = random() % 3 == 0;
    bool holdsAny;
    {
      std::lock_guard<std::mutex> lock(modelMutex);
      holdsAny = false;
      for (const Hold& h : holds) holdsAny = holdsAny || h.Owner == self;
    }
    // Only a thread that holds nothing waits, so threads never wait for each other in a
    // circle.
    const bool wait = !holdsAny && random() % 2 == 0;

    std::shared_lock<std::shared_mutex> use(slots[slot].Use, std::defer_lock);
    if (!wait) use.lock();
    int fd;
    uint64_t generation;
    {
      std::lock_guard<std::mutex> lock(modelMutex);
      fd = slots[slot].Fd;
      generation = slots[slot].Generation;
    }
    if (fd < 0) return;
    LockResult result = RangeLock(fd, exclusive ? F_WRLCK : F_RDLCK, start, len, wait);
    int reopenedSlot = -1;
    {
      std::lock_guard<std::mutex> lock(modelMutex);
      const bool closedMeanwhile = slots[slot].Generation != generation;
      if (result.Code == 0 && !closedMeanwhile) {
        Record(Hold{self, slot, generation, fd, start, toEnd ? kMaxOffset - start : len, exclusive});
        return;
      }
      if (result.Code == 0) {
        // The descriptor was given back meanwhile: the lock went with it, unless the
        // request reached the layer after its number had been opened again, when it
        // belongs to the new descriptor, which nobody knows to unlock. Giving that one
        // back too frees it.
        reopenedSlot = SlotReopenedAs(fd);
      } else {
        const bool expected = wait ? (result.Errno == EBADF && closedMeanwhile) ||
                                         (crossProcess && result.Errno == EDEADLK)
                                   : result.Errno == EAGAIN;
        if (!expected) Fault("lock failed with errno " + std::to_string(result.Errno) + (wait ? " (waiting)" : ""));
      }
    }
    if (reopenedSlot >= 0) CloseSlot(reopenedSlot);
  }

  // The slot that now holds descriptor `fd`, or -1. A slot between its close and its
  // new open (Fd -1) may be about to get that very number: its open is waited for.
  // Called with the model's mutex held; it lets go of it while it waits.
  int SlotReopenedAs(int fd) {
    for (;;) {
      bool reopening = false;
      for (int other = 0; other < kSlots; ++other) {
        if (slots[other].Fd == fd) return other;
        reopening = reopening || slots[other].Fd == -1;
      }
      if (!reopening || faults > 0) return -1;
      modelMutex.unlock();
      sched_yield();
      modelMutex.lock();
    }
  }

  void UnlockOperation(int self, std::mt19937& random, bool all) {
    for (;;) {
      int slot;
      {
        std::lock_guard<std::mutex> lock(modelMutex);
        std::vector<std::list<Hold>::iterator> mine;
        for (auto it = holds.begin(); it != holds.end(); ++it)
          if (it->Owner == self) mine.push_back(it);
        if (mine.empty()) return;
        slot = mine[random() % mine.size()]->Slot;
      }
      std::shared_lock<std::shared_mutex> use(slots[slot].Use);
      Hold hold;
      {
        std::lock_guard<std::mutex> lock(modelMutex);
        auto it = holds.begin();
        while (it != holds.end() && !(it->Owner == self && it->Slot == slot)) ++it;
        if (it == holds.end()) continue;  // a close of the slot took it meanwhile
        hold = *it;
        Forget(it);  // out of the model before the layer lets it go
      }
      LockResult result = Unlock(hold.Fd, hold.Start, hold.Len);
      if (result.Code != 0) Fault("unlock failed with errno " + std::to_string(result.Errno));
      if (!all) return;
    }
  }

  void CloseOperation(std::mt19937& random) { CloseSlot(static_cast<int>(random() % kSlots)); }

  // Gives a slot's descriptor back, with whatever locks it holds, and opens the file again.
  void CloseSlot(int slot) {
    std::unique_lock<std::shared_mutex> use(slots[slot].Use, std::defer_lock);
    while (!use.try_lock()) sched_yield();
    int fd;
    {
      std::lock_guard<std::mutex> lock(modelMutex);
      fd = slots[slot].Fd;
      ++slots[slot].Generation;
      slots[slot].Fd = -1;
      for (auto it = holds.begin(); it != holds.end();) {
        auto next = std::next(it);
        if (it->Slot == slot) Forget(it);
        it = next;
      }
    }
    if (fd >= 0 && LinuxExClose(fd) != 0) Fault("close failed with errno " + std::to_string(errno));
    int fresh = GetDescriptor(path.c_str(), O_RDWR, 0);
    if (fresh < 0) Fault("open failed with errno " + std::to_string(errno));
    std::lock_guard<std::mutex> lock(modelMutex);
    slots[slot].Fd = fresh;
  }

  void Worker(int self, unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < settings.Operations && faults == 0; ++i) {
      PausePoint();
      const unsigned choice = random() % 100;
      if (choice < 50) {
        LockOperation(self, random);
      } else if (choice < 92) {
        UnlockOperation(self, random, false);
      } else {
        CloseOperation(random);
      }
      ++operationsDone;
    }
    UnlockOperation(self, random, true);
    ++finished;
  }

  // A waiting request of one process can still find its pending entry gone when its system
  // call returns (issue 26, a road not yet found). Until that is mended its report is
  // printed, not counted, so every other assertion still fails the test.
  static std::vector<std::string> KnownOpenFaultsDropped(std::vector<std::string> reports) {
    constexpr const char* kPendingEntryLost = "file core/linex/filelock, line 418";
    std::vector<std::string> counted;
    for (std::string& report : reports) {
      if (report.find(kPendingEntryLost) != std::string::npos) {
        std::fprintf(stderr, "known open fault, not counted: %s\n", report.c_str());
        continue;
      }
      counted.push_back(std::move(report));
    }
    return counted;
  }

  // The work of one process of the variant with several. Its exit code says whether it
  // found a fault (a failed assertion of the layer included); what the fault was is in
  // the shared cells.
  [[noreturn]] void RunChildProcess(int process) {
    for (Slot& slot : slots) {
      slot.Fd = GetDescriptor(path.c_str(), O_RDWR, 0);
      if (slot.Fd < 0) Fault("open failed with errno " + std::to_string(errno));
    }
    std::vector<std::thread> workers;
    const unsigned seed = settings.Seed + 1000u * static_cast<unsigned>(process + 1);
    for (int t = 0; t < settings.Threads; ++t) workers.emplace_back([this, t, seed] { Worker(t, seed + t); });
    for (std::thread& worker : workers) worker.join();
    if (!holds.empty()) Fault("holds left after the workers ended");
    for (Slot& slot : slots)
      if (slot.Fd >= 0 && LinuxExClose(slot.Fd) != 0) Fault("close failed with errno " + std::to_string(errno));
    if (!LayerIsEmpty()) Fault("descriptors or files left registered");
    // The layer's consistency checks only report and carry on: what they caught here
    // would go with this process.
    std::vector<std::string> reports = KnownOpenFaultsDropped(asserts->Reports());
    if (!reports.empty())
      Fault("process " + std::to_string(getpid()) + ": " + std::to_string(reports.size()) + " assertions, the first: " +
            reports.front());
    std::_Exit(faults == 0 ? 0 : 1);
  }

  // ---- checkpoints ----

  // (The model's mutex is never held while the layer's are taken.)
  std::shared_ptr<FileLock::FileObject> TheFileObject() {
    int fd = -1;
    {
      std::lock_guard<std::mutex> lock(modelMutex);
      for (const Slot& slot : slots)
        if (slot.Fd >= 0) fd = slot.Fd;
    }
    return fd < 0 ? nullptr : FileLock::FindFileObject(fd);
  }

  // Every thread is either paused or queued in the layer, and nothing is in flight.
  bool Quiet(FileLock::FileObject& object) {
    std::lock_guard<std::mutex> pause(pauseMutex);
    for (const auto& [region, state] : object.Regions)
      if (state.Pending) return false;
    return paused + static_cast<int>(object.Waiters.size()) + finished == settings.Threads;
  }

  void Checkpoint() {
    {
      std::lock_guard<std::mutex> lock(pauseMutex);
      pauseRequested = true;
    }
    std::shared_ptr<FileLock::FileObject> object;
    for (;;) {
      object = TheFileObject();
      if (!object) {  // every slot between its close and its new open
        sched_yield();
        continue;
      }
      FileLock::FileObject::Guard guard(*object);
      if (Quiet(*object)) break;
      guard.Unlock();
      object.reset();
      sched_yield();
    }
    {
      FileLock::FileObject::Guard guard(*object);
      std::lock_guard<std::mutex> lock(modelMutex);
      CheckTableAgainstModel(*object);
      CheckSystemAgainstTable(*object);
    }
    {
      std::lock_guard<std::mutex> lock(pauseMutex);
      pauseRequested = false;
    }
    pauseChanged.notify_all();
  }

  void CheckTableAgainstModel(FileLock::FileObject& object) {
    for (auto a = object.Regions.begin(); a != object.Regions.end(); ++a) {
      for (auto b = std::next(a); b != object.Regions.end(); ++b) {
        if (a->first.Overlaps(b->first) && (a->second.Type == FileLock::LOCK_EXCLUSIVE || b->second.Type == FileLock::LOCK_EXCLUSIVE))
          ADD_FAILURE() << "exclusive region overlaps another: fd " << a->first.OwnerFd << " [" << a->first.Start
                        << ") and fd " << b->first.OwnerFd << " [" << b->first.Start << ")";
      }
    }
    for (const Hold& hold : holds) {
      auto it = object.Regions.find(FileLock::FileRegion(hold.Start, hold.Len, hold.Fd));
      if (it == object.Regions.end()) {
        ADD_FAILURE() << "a hold the table lacks: fd " << hold.Fd << " at " << hold.Start;
        continue;
      }
      EXPECT_EQ(it->second.Type, hold.Exclusive ? FileLock::LOCK_EXCLUSIVE : FileLock::LOCK_SHARED);
      size_t same = 0;
      for (const Hold& other : holds)
        same += other.Fd == hold.Fd && other.Start == hold.Start && other.Len == hold.Len;
      EXPECT_GE(it->second.LockCount, same);
    }
  }

  // The system holds exactly the union of the table's regions, with their types.
  void CheckSystemAgainstTable(FileLock::FileObject& object) {
    std::vector<ProbeRange> cells;
    for (int cell = 0; cell < kCells; ++cell) cells.push_back({cell * kCellBytes, kCellBytes});
    cells.push_back({kCells * kCellBytes, 0});
    std::vector<short> expected(cells.size(), F_UNLCK);
    for (const auto& [region, state] : object.Regions) {
      auto [first, last] = CellsOf(region.Start, region.Len);
      for (int cell = first; cell < last; ++cell)
        if (expected[cell] != F_WRLCK) expected[cell] = state.Type == FileLock::LOCK_EXCLUSIVE ? F_WRLCK : F_RDLCK;
    }
    std::vector<OsLock> seen = ProbeOsLocks(path, cells);
    for (size_t cell = 0; cell < cells.size(); ++cell) EXPECT_EQ(seen[cell].Type, expected[cell]) << "cell " << cell;
  }
};

TEST_F(StressTest, ThreadsOnSharedDescriptors) {
  for (Slot& slot : slots) slot.Fd = Open(O_RDWR);
  std::vector<std::thread> workers;
  for (int t = 0; t < settings.Threads; ++t) workers.emplace_back([this, t] { Worker(t, settings.Seed + t); });

  const int total = settings.Threads * settings.Operations;
  for (int k = 1; k <= kCheckpoints && faults == 0; ++k) {
    while (operationsDone < total * k / (kCheckpoints + 1) && finished < settings.Threads && faults == 0)
      sched_yield();
    if (finished == settings.Threads) break;
    Checkpoint();
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(faults, 0) << firstFault;
  EXPECT_TRUE(holds.empty());

  std::shared_ptr<FileLock::FileObject> object = TheFileObject();
  ASSERT_NE(object, nullptr);
  {
    FileLock::FileObject::Guard guard(*object);
    EXPECT_TRUE(object->Waiters.empty());
    CheckSystemAgainstTable(*object);
  }
  object.reset();
  for (Slot& slot : slots) EXPECT_EQ(LinuxExClose(slot.Fd), 0);
  std::vector<ProbeRange> everything = {{0, 0}};
  EXPECT_EQ(ProbeOsLocks(path, everything)[0].Type, F_UNLCK);
  // The fixture checks that no descriptor is left registered, parked or open.
}

// Several processes, each with several threads on descriptors of its own, on one file: the
// layer arbitrates between the threads of a process and the system between processes, and
// the model in shared memory sees every grant of all of them.
TEST_F(StressTest, ProcessesWithThreadsOnOneFile) {
  std::cout << settings.Processes << " processes" << std::endl;
  crossProcess = true;
  std::vector<pid_t> children;
  for (int p = 0; p < settings.Processes; ++p) {
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) RunChildProcess(p);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << pid << " status " << status;
  }
  {
    CellsGuard guard(cells);
    EXPECT_EQ(cells.Faults, 0) << cells.FirstFault;
    for (int cell = 0; cell <= kCells; ++cell) {
      EXPECT_EQ(cells.SharedCount[cell], 0) << "cell " << cell;
      EXPECT_EQ(cells.ExclusiveCount[cell], 0) << "cell " << cell;
    }
  }
  std::vector<ProbeRange> everything = {{0, 0}};
  EXPECT_EQ(ProbeOsLocks(path, everything)[0].Type, F_UNLCK);
}

}  // namespace

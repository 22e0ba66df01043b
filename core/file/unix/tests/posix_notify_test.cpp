// Change notification of posix_dir: the first look, one firing per change until rearmed,
// a directory that vanishes and comes back, a replaced listener, an owner destroyed in its
// own callback, the watcher going idle when its last watch goes, and the report at exit.
// The watcher polls about once a second, so every wait below is for an event the
// watcher's state shows, with a generous limit, never a measured time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/common/error_codes.h"
#include "core/common/safe_assert.h"
#include "core/common/text.h"
#include "core/file/unix/posix_notify.h"
#include "core/file/unix/posix_notify_testing.h"
#include "core/file/unix/posixsp.h"
#include "core/file/unix/posixsp_site.h"
#include "core/file/unix/tests/posixsp_support.h"
#include "tools/testing/fixtures.h"

namespace {

using PosixTest::ScratchDir;

constexpr auto kGenerousWait = std::chrono::seconds(90);
constexpr auto kRecheck = std::chrono::milliseconds(20);

// Counts its calls and keeps the path of each directory it was given; `action` runs on
// the notification thread before the call is counted.
class RecordingListener : public NotificationListener {
 public:
  explicit RecordingListener(std::function<void(i_dir*)> action = {}) : action(std::move(action)) {}

  void OnDirectoryChanged(i_dir* dir) override {
    {
      std::lock_guard<std::mutex> guard(mutex);
      paths.push_back(dir->GetDirPath() != nullptr ? Common::ToUtf8(dir->GetDirPath()) : "(null)");
    }
    if (action) action(dir);
    calls.fetch_add(1);
  }

  int Calls() const { return calls.load(); }
  uint32_t References() const { return reference_count.load(); }
  std::vector<std::string> Paths() {
    std::lock_guard<std::mutex> guard(mutex);
    return paths;
  }

 private:
  std::function<void(i_dir*)> action;
  std::atomic<int> calls{0};
  std::mutex mutex;
  std::vector<std::string> paths;
};

// The test's own reference to a listener, released at the end of the scope.
struct ListenerReleaser {
  void operator()(RecordingListener* listener) const { ListenerRelease(listener); }
};
using ListenerRef = std::unique_ptr<RecordingListener, ListenerReleaser>;

ListenerRef MakeListener(std::function<void(i_dir*)> action = {}) {
  return ListenerRef(new RecordingListener(std::move(action)));
}

bool WaitFor(const std::function<bool()>& done) {
  auto limit = std::chrono::steady_clock::now() + kGenerousWait;
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(kRecheck);
  }
  return true;
}

// The watcher has looked at the directory at least once.
bool Observed(const posix_dir& dir) {
  NotificationSnapshot s = GetNotificationSnapshotForTesting(dir);
  return s.HasWatch && s.SavedNanoseconds != kWatchUnseen;
}

// A change the watcher cannot miss: a modification time of our choosing, distinct from
// every earlier one.
void Touch(const std::string& path) {
  static std::atomic<long> next{1000000000};
  timespec times[2] = {{0, UTIME_OMIT}, {next.fetch_add(1), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path << ": " << std::strerror(errno);
}

// A directory that the watcher keeps looking at, and whose firings prove that it has
// gone round its list: between two looks at one watch every other armed watch is
// looked at, so after two firings of the pacer each armed watch has seen every change
// made before the call.
class Pacer {
 public:
  explicit Pacer(const ScratchDir& scratch) : path(scratch.At("pacer")) {
    scratch.MakeDir("pacer");
    // Rearmed through the directory the callback receives, which shares the watch.
    listener = MakeListener([](i_dir* changed) { changed->RearmNotification(); });
    dir = std::make_unique<posix_dir>(path);
    dir->EnableNotification(listener.get());
  }

  bool Ready() const { return Observed(*dir); }

  ::testing::AssertionResult GoRound() {
    for (int round = 0; round < 2; ++round) {
      int before = listener->Calls();
      Touch(path);
      if (!WaitFor([&] { return listener->Calls() > before; })) return ::testing::AssertionFailure() << "pacer idle";
    }
    return ::testing::AssertionSuccess();
  }

 private:
  std::string path;
  ListenerRef listener;
  std::unique_ptr<posix_dir> dir;
};

TEST(PosixNotify, FirstLookRecordsAndAChangeFiresOnceUntilRearmed) {
  ScratchDir scratch;
  scratch.MakeDir("watched");
  ListenerRef seen = MakeListener();
  Pacer pacer(scratch);
  auto watched = std::make_unique<posix_dir>(scratch.At("watched"));

  watched->EnableNotification(seen.get());
  EXPECT_FALSE(watched->last_error);
  EXPECT_EQ(seen->References(), 2u);
  ASSERT_TRUE(WaitFor([&] { return Observed(*watched) && pacer.Ready(); }));
  ASSERT_TRUE(pacer.GoRound());
  EXPECT_EQ(seen->Calls(), 0) << "the first look fired";

  Touch(scratch.At("watched"));
  ASSERT_TRUE(WaitFor([&] { return seen->Calls() == 1; }));
  EXPECT_EQ(seen->Paths(), std::vector<std::string>{scratch.At("watched") + "/"});
  EXPECT_FALSE(GetNotificationSnapshotForTesting(*watched).InList);

  // Not rearmed: a second change stays unreported.
  Touch(scratch.At("watched"));
  ASSERT_TRUE(pacer.GoRound());
  EXPECT_EQ(seen->Calls(), 1);

  // The time saved at the firing is the reference, so the change made meanwhile fires.
  watched->RearmNotification();
  ASSERT_TRUE(WaitFor([&] { return seen->Calls() == 2; }));

  watched->EnableNotification(nullptr);
  EXPECT_FALSE(watched->last_error);
  EXPECT_FALSE(GetNotificationSnapshotForTesting(*watched).HasWatch);
  EXPECT_EQ(seen->References(), 1u);
}

TEST(PosixNotify, VanishedAndRecreatedDirectoryFiresOnceEach) {
  ScratchDir scratch;
  scratch.MakeDir("comes-and-goes");
  std::string path = scratch.At("comes-and-goes");
  ListenerRef seen = MakeListener();
  Pacer pacer(scratch);
  auto watched = std::make_unique<posix_dir>(path);
  watched->EnableNotification(seen.get());
  ASSERT_TRUE(WaitFor([&] { return Observed(*watched) && pacer.Ready(); }));

  ASSERT_EQ(rmdir(path.c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return seen->Calls() == 1; }));
  EXPECT_EQ(GetNotificationSnapshotForTesting(*watched).SavedNanoseconds, kWatchStatFailed);

  // Still missing after the rearm: the failed look equals the saved one.
  watched->RearmNotification();
  ASSERT_TRUE(pacer.GoRound());
  EXPECT_EQ(seen->Calls(), 1);

  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  ASSERT_TRUE(WaitFor([&] { return seen->Calls() == 2; }));
  EXPECT_NE(GetNotificationSnapshotForTesting(*watched).SavedNanoseconds, kWatchStatFailed);
}

TEST(PosixNotify, ReplacedListenerTakesOverWithTheSavedTime) {
  ScratchDir scratch;
  scratch.MakeDir("watched");
  ListenerRef first = MakeListener();
  ListenerRef second = MakeListener();
  auto watched = std::make_unique<posix_dir>(scratch.At("watched"));
  watched->EnableNotification(first.get());
  ASSERT_TRUE(WaitFor([&] { return Observed(*watched); }));
  NotificationSnapshot before = GetNotificationSnapshotForTesting(*watched);

  watched->EnableNotification(second.get());
  watched->EnableNotification(second.get());  // the same one again: still one watch reference
  EXPECT_FALSE(watched->last_error);
  EXPECT_EQ(first->References(), 1u);
  EXPECT_EQ(second->References(), 2u);
  NotificationSnapshot after = GetNotificationSnapshotForTesting(*watched);
  EXPECT_TRUE(after.InList);
  EXPECT_EQ(after.SavedSeconds, before.SavedSeconds);
  EXPECT_EQ(after.SavedNanoseconds, before.SavedNanoseconds);
  EXPECT_EQ(after.WatchReferences, 1u);

  Touch(scratch.At("watched"));
  ASSERT_TRUE(WaitFor([&] { return second->Calls() == 1; }));
  EXPECT_EQ(first->Calls(), 0);

  // A null listener on a directory without a watch only reports success.
  posix_dir plain(scratch.Path());
  plain.last_error = Common::MakeError(PosixSites::kSource.At({"Marker", 1}), Common::FILE_READ_ERROR);
  plain.EnableNotification(nullptr);
  EXPECT_FALSE(plain.last_error);
}

TEST(PosixNotify, OwnerDestroyedInsideItsCallbackLeavesNoWatch) {
  ScratchDir scratch;
  scratch.MakeDir("watched");
  std::atomic<posix_dir*> owner{new posix_dir(scratch.At("watched"))};
  // Rearms first, so the watch is back in the list when its owner goes.
  ListenerRef seen = MakeListener([&owner](i_dir* changed) {
    changed->RearmNotification();
    delete owner.exchange(nullptr);
  });
  struct OwnerCleanup {
    std::atomic<posix_dir*>& owner;
    ~OwnerCleanup() { delete owner.exchange(nullptr); }
  } cleanup{owner};
  owner.load()->EnableNotification(seen.get());
  ASSERT_TRUE(WaitFor([&] { return Observed(*owner.load()); }));
  ASSERT_EQ(seen->Calls(), 0);

  Touch(scratch.At("watched"));
  // The watch's reference goes with the watch, once the callback has returned.
  ASSERT_TRUE(WaitFor([&] { return seen->Calls() == 1 && seen->References() == 1; }));
  EXPECT_EQ(owner.load(), nullptr);
  posix_dir other(scratch.Path());
  EXPECT_EQ(GetNotificationSnapshotForTesting(other).ArmedWatches, 0u);
}

TEST(PosixNotify, WatcherSleepsWhenTheLastWatchGoesDuringItsWait) {
  ScratchDir scratch;
  scratch.MakeDir("first");
  scratch.MakeDir("second");
  ListenerRef seen = MakeListener();
  auto first = std::make_unique<posix_dir>(scratch.At("first"));
  first->EnableNotification(seen.get());
  // Once the look is recorded the watcher is in its timed wait.
  ASSERT_TRUE(WaitFor([&] { return Observed(*first); }));
  first->EnableNotification(nullptr);
  EXPECT_TRUE(WaitFor([&] { return GetNotificationSnapshotForTesting(*first).ThreadIdle; }));

  // Woken by the next watch, it works as before.
  auto second = std::make_unique<posix_dir>(scratch.At("second"));
  second->EnableNotification(seen.get());
  ASSERT_TRUE(WaitFor([&] { return Observed(*second); }));
  Touch(scratch.At("second"));
  ASSERT_TRUE(WaitFor([&] { return seen->Calls() == 1; }));
}

// The child of ArmedWatchAtExitIsReported: leaves a watch armed and lets the process end.
constexpr char kExitDirVariable[] = "ORMIVANE_NOTIFY_EXIT_DIR";
constexpr char kExitReportVariable[] = "ORMIVANE_NOTIFY_EXIT_REPORT";
posix_dir* g_leftArmed = nullptr;

void AppendReport(int32_t, uint32_t, uint32_t, const char* text) {
  const char* path = std::getenv(kExitReportVariable);
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  std::string line = std::string(text) + "\n";
  ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
  close(fd);
}

TEST(PosixNotifyChild, DISABLED_LeaveWatchArmed) {
  const char* dir = std::getenv(kExitDirVariable);
  if (dir == nullptr || std::getenv(kExitReportVariable) == nullptr)
    GTEST_SKIP() << "runs only as the child of PosixNotify.ArmedWatchAtExitIsReported";
  SetAssertEventCallback(AppendReport);
  g_leftArmed = new posix_dir(dir);
  g_leftArmed->EnableNotification(MakeListener().release());
  ASSERT_FALSE(g_leftArmed->last_error);
}

TEST(PosixNotify, ArmedWatchAtExitIsReported) {
  ScratchDir scratch;
  std::string report = scratch.At("report.txt");
  setenv(kExitDirVariable, scratch.Path().c_str(), 1);
  setenv(kExitReportVariable, report.c_str(), 1);
  int status = Testing::RunProgram({Common::GetModulePath(), "--gtest_also_run_disabled_tests",
                                    "--gtest_filter=PosixNotifyChild.DISABLED_LeaveWatchArmed"});
  unsetenv(kExitDirVariable);
  unsetenv(kExitReportVariable);
  // The exit hook reports and still lets the process end.
  EXPECT_EQ(status, 0);
  std::string text = scratch.ReadFile("report.txt");
  EXPECT_NE(text.find("Assertion failed: CurrentNotification == 0, file core/file/unix/posixsp.cpp, line 210"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Assertion failed: NotificationCount == 0, file core/file/unix/posixsp.cpp, line 211"),
            std::string::npos)
      << text;
}

}  // namespace

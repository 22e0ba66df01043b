// Helper program of the archive tests: makes one first use of the resource archive or of
// the message catalog in a fresh process and prints what it found. Tests copy it into a
// temporary directory with the archive (a ".zip" section or a ".dat" beside it) they want.
//
//   resource_probe [--i18n PATH] lookup N        text of message N
//   resource_probe [--i18n PATH] archive-first   opens the archive before any lookup
//   resource_probe [--i18n PATH] threads         first use from several threads at once
//   resource_probe [--i18n PATH] entry NAME      an archive entry through OpenResourceFile
//   resource_probe [--i18n PATH] candidates      the language candidates, comma-separated
//   resource_probe [--i18n PATH] lock-order NAME the first lookup on one thread while
//                                                another opens entry NAME of the archive
//                                                and reads it (made to fail) in the window
//                                                where the loader has stored the archive
//                                                and not yet read it
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/common/messages.h"
#include "core/common/text.h"
#include "core/common/zipopen.h"
#include "core/resources/language.h"
#include "core/resources/language_testing.h"
#include "core/resources/resource_archive.h"

extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso);
extern "C" void* __dso_handle;

namespace {

// The lock-order mode lines two threads up through the registration of the archive's exit
// handler, which the loader makes right after it stored the archive and before it reads
// the catalog from it (with the language lock held).
std::atomic<bool> g_pauseAtArchiveStore{false};
std::atomic<bool> g_archiveStored{false};
std::atomic<long> g_readerTask{0};
std::atomic<bool> g_readerStarted{false};

bool IsAsleep(long task) {
  std::string path = "/proc/self/task/" + std::to_string(task) + "/stat";
  std::ifstream stat(path);
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

}  // namespace

extern "C" int atexit(void (*function)(void)) {
  if (function == Resources::CloseResourceArchive && g_pauseAtArchiveStore.exchange(false)) {
    g_archiveStored.store(true);
    // Until the reader waits for a lock (the language lock, whichever road it took).
    while (!g_readerStarted.load()) sched_yield();
    while (!IsAsleep(g_readerTask.load())) sched_yield();
  }
  return __cxa_atexit(reinterpret_cast<void (*)(void*)>(function), nullptr, &__dso_handle);
}

namespace {

std::string Text(uint32_t number) {
  const char16_t* text = Common::GetMessageText(Common::Message(number));
  return text == nullptr ? "<null>" : Common::ToUtf8(text);
}

int Lookup(const char* number) {
  std::printf("%s\n", Text(static_cast<uint32_t>(std::atoi(number))).c_str());
  return 0;
}

int ArchiveFirst() {
  si_dir* archive = Resources::OpenResourceArchive();
  bool loaded = Common::CurrentCatalog.load() != nullptr;
  si_dir* again = Resources::OpenResourceArchive();
  std::printf("archive=%d catalog=%d same=%d text=%s\n", archive != nullptr, loaded, archive == again,
              Text(375).c_str());
  return 0;
}

int Threads() {
  constexpr int kThreads = 4;
  si_dir* seen[kThreads] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([&seen, i] { seen[i] = Resources::OpenResourceArchive(); });
  for (std::thread& t : threads) t.join();
  bool same = seen[0] != nullptr;
  for (si_dir* dir : seen) same = same && dir == seen[0];
  std::printf("same=%d text=%s\n", same, Text(375).c_str());
  return 0;
}

int Entry(const char* name) {
  std::unique_ptr<si_file> file(Resources::OpenResourceFile(Common::ToUtf16(name).c_str()));
  if (!file) {
    std::printf("<missing>\n");
    return 0;
  }
  std::string data;
  char buffer[4096];
  for (;;) {
    uint32_t done = 0;
    file->Read(buffer, sizeof buffer, &done);
    if (done == 0) break;
    data.append(buffer, done);
  }
  std::printf("%s%s\n", data.c_str(), file->last_error ? " <error>" : "");
  return 0;
}

// Prints the reader's error and the lookup's text. A lock-order cycle between the two
// threads would hang here; the alarm ends such a run.
int LockOrder(const char* name) {
  alarm(60);
  g_pauseAtArchiveStore.store(true);
  std::string readerError;
  std::thread reader([&] {
    while (!g_archiveStored.load()) sched_yield();
    g_readerTask.store(syscall(SYS_gettid));
    g_readerStarted.store(true);
    si_dir* archive = Resources::OpenResourceArchive();
    std::unique_ptr<si_file> file(archive == nullptr ? nullptr : archive->OpenI(Common::ToUtf16(name).c_str(), false));
    if (!file) {
      readerError = "<missing>";
      return;
    }
    char buffer[4096];
    uint32_t done = 1;
    while (done != 0) file->Read(buffer, sizeof buffer, &done);
    Common::Error error = TakeLastError(*file);
    for (Common::ErrorRecord* record = error.GetHead(); record != nullptr; record = record->Cause) {
      Common::WString text;
      record->Kind->GetText(text, record);
      readerError += (readerError.empty() ? "" : " / ") + Common::ToUtf8(text.c_str());
    }
  });
  std::string text = Text(375);
  reader.join();
  std::printf("reader=%s lookup=%s\n", readerError.c_str(), text.c_str());
  return 0;
}

int Candidates() {
  std::string list;
  for (const std::string& tag : Resources::GetLanguageCandidates().Candidates) list += (list.empty() ? "" : ",") + tag;
  std::printf("%s\n", list.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int at = 1;
  if (at + 1 < argc && std::strcmp(argv[at], "--i18n") == 0) {
    Resources::SetI18nFilePathForTesting(argv[at + 1]);
    at += 2;
  }
  if (at >= argc) return 2;
  std::string mode = argv[at];
  const char* arg = at + 1 < argc ? argv[at + 1] : "";
  if (mode == "lookup") return Lookup(arg);
  if (mode == "archive-first") return ArchiveFirst();
  if (mode == "threads") return Threads();
  if (mode == "entry") return Entry(arg);
  if (mode == "candidates") return Candidates();
  if (mode == "lock-order") return LockOrder(arg);
  return 2;
}

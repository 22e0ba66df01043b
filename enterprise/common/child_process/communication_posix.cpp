// The output relays and the input writer of a running child.
#include "enterprise/common/child_process/communication_posix.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>
#include <new>

#include "core/common/trace.h"

namespace ChildProcess {

namespace {

constexpr Common::SourceFile kSource{Common::Locations::ChildProcessCommunicationPosix,
                                     "enterprise/common/child_process/communication_posix.cpp"};

constexpr Common::Site kBlockPipeSignalSite{"Write", 58};
constexpr Common::Site kPipeClosedSite{"Write", 67};
constexpr Common::Site kWriteFailedSite{"Write", 69};
constexpr Common::Site kRestoreMaskSite{"Write", 76};
constexpr Common::Site kReadFailedSite{"Communicate", 100};
constexpr Common::Site kFlushFailedSite{"Communicate", 121};
constexpr Common::Site kTargetFailedSite{"Communicate", 127};

void TraceRelayFailure(const Common::Error& error) { Common::TraceError(Common::kTraceError, error); }

bool IsPipeSignalPending() {
  sigset_t pending;
  sigemptyset(&pending);
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// Takes the SIGPIPE that a write into a closed pipe raised for this thread, so that
// restoring a mask without SIGPIPE does not deliver it (and end the process).
void DiscardPipeSignal() {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  struct timespec immediately = {0, 0};
  while (sigtimedwait(&pipeOnly, nullptr, &immediately) == -1 && errno == EINTR) {
  }
}

}  // namespace

// ---- RelayTargetLock ---------------------------------------------------------------------
//
// One mutex per target object, keyed by its address and counted by its users, rather than
// a fixed table of mutexes chosen by a hash of the address: the lock is held across the
// target's own Write, which may block for long (the console answering a prompt waits for
// the launcher), and a shared slot would make the relays of unrelated targets wait for it,
// or deadlock where one target waits for output that another relay has yet to pass on.

struct RelayTargetLock::Entry {
  std::mutex Mutex;
  size_t Users = 0;
};

struct RelayTargetLock::Registry {
  std::mutex Mutex;
  std::map<const o_file*, Entry> Entries;
};

RelayTargetLock::Registry& RelayTargetLock::TheRegistry() {
  // Never destroyed: a relay held by a static object may end after the static destructors.
  static Registry* registry = new Registry;
  return *registry;
}

RelayTargetLock::RelayTargetLock(const o_file* target) : Target(target) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.Mutex);
  Shared = &registry.Entries.try_emplace(target).first->second;
  ++Shared->Users;
}

RelayTargetLock::~RelayTargetLock() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.Mutex);
  // No user left means nobody holds the mutex either.
  if (--Shared->Users == 0) registry.Entries.erase(Target);
}

void RelayTargetLock::lock() { Shared->Mutex.lock(); }
void RelayTargetLock::unlock() { Shared->Mutex.unlock(); }

// ---- OutputCommunicationLogic ----------------------------------------------------------

OutputCommunicationLogic::~OutputCommunicationLogic() {
  if (Fd != -1) close(Fd);
}

void OutputCommunicationLogic::Communicate() {
  uint8_t buffer[kRelayPieceBytes];
  for (;;) {
    bool end = false;
    ssize_t got = read(Fd, buffer, sizeof buffer);
    const int readErrno = errno;
    if (got < 0) {
      Common::Error error = Common::MakeError(kSource.At(kReadFailedSite), Common::CHILD_COMMUNICATION_ABORTED);
      error.AddPosixError(readErrno);
      TraceRelayFailure(error);
      end = true;
    } else if (got == 0) {
      end = true;
    }
    Common::Error failed;
    {
      std::lock_guard<RelayTargetLock> turn(TargetLock);
      uint32_t count = 0;
      if (got > 0) Target->Write(buffer, static_cast<uint32_t>(got), &count);
      if (Target->last_error) failed = TakeLastError(*Target);
    }
    if (failed) {
      Common::Error error = Common::MakeError(kSource.At(kTargetFailedSite), Common::CHILD_COMMUNICATION_ABORTED);
      error.AddCause(failed);
      TraceRelayFailure(error);
      if (!end) Drain();
      return;
    }
    if (end) break;
  }
  Common::Error taken;
  {
    std::lock_guard<RelayTargetLock> turn(TargetLock);
    Target->Flush();
    if (Target->last_error) taken = TakeLastError(*Target);
  }
  if (!taken || taken.GetCode() == Common::FILE_NOT_SUPPORTED) return;
  Common::Error error = Common::MakeError(kSource.At(kFlushFailedSite), Common::CHILD_COMMUNICATION_ABORTED);
  error.AddCause(taken);
  TraceRelayFailure(error);
}

// After the target failed, the rest of the output is read and dropped: a child left
// writing into a full pipe would block, and the wait for it with it.
void OutputCommunicationLogic::Drain() {
  uint8_t buffer[kRelayPieceBytes];
  while (read(Fd, buffer, sizeof buffer) > 0) {
  }
}

// ---- CommunicationLogic ------------------------------------------------------------------

CommunicationLogic::~CommunicationLogic() {
  if (StdoutThread) StdoutThread->Wait();
  if (StderrThread) {
    StderrThread->Wait();
    StderrThread.reset();
  }
  StdoutThread.reset();
  StderrRelay.reset();
  StdoutRelay.reset();
}

void CommunicationLogic::SetOutput(int fd, const std::shared_ptr<o_file>& target) {
  StdoutRelay = std::make_unique<OutputCommunicationLogic>(fd, target);
}

void CommunicationLogic::SetError(int fd, const std::shared_ptr<o_file>& target) {
  StderrRelay = std::make_unique<OutputCommunicationLogic>(fd, target);
}

void CommunicationLogic::Start() {
  // A relay already running when memory runs out keeps its thread, so that the destructor
  // joins it; the one left without a thread makes AllRelaysStarted false.
  try {
    if (StdoutRelay) StdoutThread = std::make_unique<Common::Thread>(StdoutThreadProc, this);
    if (StderrRelay) StderrThread = std::make_unique<Common::Thread>(StderrThreadProc, this);
  } catch (const std::bad_alloc&) {
  }
}

bool CommunicationLogic::AllRelaysStarted() {
  if (StdoutRelay && (!StdoutThread || StdoutThread->GetHandle() == 0)) return false;
  if (StderrRelay && (!StderrThread || StderrThread->GetHandle() == 0)) return false;
  return true;
}

uint32_t CommunicationLogic::StdoutThreadProc(void* logic) {
  static_cast<CommunicationLogic*>(logic)->StdoutRelay->Communicate();
  return 0;
}

uint32_t CommunicationLogic::StderrThreadProc(void* logic) {
  static_cast<CommunicationLogic*>(logic)->StderrRelay->Communicate();
  return 0;
}

// ---- InputCommunicationLogic ---------------------------------------------------------------

InputCommunicationLogic::~InputCommunicationLogic() {
  if (Fd != -1) close(Fd);
}

void InputCommunicationLogic::Write(const void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (last_error) return;

  sigset_t pipeOnly;
  sigset_t previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  int status = pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  if (status != 0) {
    Common::Error error = Common::MakeError(kSource.At(kBlockPipeSignalSite), Common::CHILD_COMMUNICATION_ABORTED);
    ReplaceLastError(*this, error.AddPosixError(status));
    return;
  }
  const bool wasPending = IsPipeSignalPending();

  ssize_t written = write(Fd, buffer, length);
  const int writeErrno = errno;
  if (written < 0 && writeErrno == EPIPE) {
    ReplaceLastError(*this, Common::MakeError(kSource.At(kPipeClosedSite), Common::FILE_PIPE_CLOSED));
    if (!wasPending) DiscardPipeSignal();
  } else if (written < 0) {
    Common::Error error = Common::MakeError(kSource.At(kWriteFailedSite), Common::CHILD_COMMUNICATION_ABORTED);
    ReplaceLastError(*this, error.AddPosixError(writeErrno));
  } else {
    *done = static_cast<uint32_t>(written);
  }

  status = pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (status != 0 && !last_error) {
    Common::Error error = Common::MakeError(kSource.At(kRestoreMaskSite), Common::CHILD_COMMUNICATION_ABORTED);
    ReplaceLastError(*this, error.AddPosixError(status));
  }
}

}  // namespace ChildProcess

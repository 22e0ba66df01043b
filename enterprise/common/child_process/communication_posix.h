// Data between the parent and a running child: the relays that drain the child's output
// pipes into file objects on threads of their own, and the writer of its standard input.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "core/common/thread.h"
#include "core/common/non_copyable.h"
#include "core/include/file/file.h"

namespace ChildProcess {

// Bytes read from an output pipe at a time; each piece goes to the target at once.
inline constexpr uint32_t kRelayPieceBytes = 4096;

// The relay of one output pipe. It owns the read end and shares the target.
class OutputCommunicationLogic : private Common::NonCopyable {
 public:
  OutputCommunicationLogic(int fd, const std::shared_ptr<o_file>& target) : Fd(fd), Target(target) {}
  virtual ~OutputCommunicationLogic();

  // The relay loop: until end of file, a failed read or a failing target. Never throws;
  // failures are traced at the error level.
  void Communicate();

  const std::shared_ptr<o_file>& GetTarget() const { return Target; }
  // Given when the other relay writes to the same target: `last_error` is a plain field
  // the target cannot guard, so each relay's write or flush, its look at the target's
  // error and the taking of it happen under this lock.
  void ShareTarget(std::mutex* lock) { TargetLock = lock; }

 private:
  void Drain();
  std::unique_lock<std::mutex> LockTarget();

  int Fd;
  std::shared_ptr<o_file> Target;
  std::mutex* TargetLock = nullptr;
};

// Everything that relays a child's output: up to two relays and their threads.
class CommunicationLogic : private Common::NonCopyable {
 public:
  CommunicationLogic() = default;
  // Joins the threads, then closes the pipes: blocks while a relay still runs.
  virtual ~CommunicationLogic();

  void SetOutput(int fd, const std::shared_ptr<o_file>& target);
  void SetError(int fd, const std::shared_ptr<o_file>& target);
  // One thread per relay that has been set.
  void Start();
  // False when a relay's thread could not be started (nobody would read that pipe).
  [[nodiscard]] bool AllRelaysStarted();

  static uint32_t StdoutThreadProc(void* logic);
  static uint32_t StderrThreadProc(void* logic);

 private:
  std::unique_ptr<OutputCommunicationLogic> StdoutRelay;
  std::unique_ptr<OutputCommunicationLogic> StderrRelay;
  std::unique_ptr<Common::Thread> StdoutThread;
  std::unique_ptr<Common::Thread> StderrThread;
  // Serializes the two relays when they share one target.
  std::mutex SharedTargetLock;
};

// The writer of the child's standard input: one write call per Write, with SIGPIPE
// blocked around it, so a child that closed its input gives "The reading end of a pipe
// is closed." and no signal. It owns the descriptor; deleting it closes the pipe.
class InputCommunicationLogic : public o_file {
 public:
  explicit InputCommunicationLogic(int fd) : Fd(fd) {}
  ~InputCommunicationLogic() override;

  void Write(const void* buffer, uint32_t length, uint32_t* done) override;

 private:
  int Fd;
};

}  // namespace ChildProcess

// Data between the parent and a running child: the relays that drain the child's output
// pipes into file objects on threads of their own, and the writer of its standard input.
#pragma once

#include <cstdint>
#include <memory>

#include "core/common/thread.h"
#include "core/common/non_copyable.h"
#include "core/include/file/file.h"

namespace ChildProcess {

// Bytes read from an output pipe at a time; each piece goes to the target at once.
inline constexpr uint32_t kRelayPieceBytes = 4096;

// The lock of one relay target, one per target object in the whole process. A target's
// `last_error` is a plain field that the target cannot guard, and one target may receive
// the output of several launches at once (two children writing into one log), so every
// relay makes its write or flush, its look at the target's error and the taking of it in
// one hold of this lock. Anyone else who uses a relay target while relays run holds it the
// same way around their own call and the taking of its error. Not recursive.
class RelayTargetLock : private Common::NonCopyable {
 public:
  // Registers one more user of the lock of `target`; throws std::bad_alloc.
  explicit RelayTargetLock(const o_file* target);
  // The last user of a target's lock removes it.
  ~RelayTargetLock();

  void lock();
  void unlock();

 private:
  struct Entry;
  struct Registry;
  static Registry& TheRegistry();

  const o_file* Target;
  Entry* Shared;
};

// The relay of one output pipe. It owns the read end and shares the target.
class OutputCommunicationLogic : private Common::NonCopyable {
 public:
  // Throws std::bad_alloc when the target's lock cannot be registered.
  OutputCommunicationLogic(int fd, const std::shared_ptr<o_file>& target)
      : Fd(fd), Target(target), TargetLock(target.get()) {}
  virtual ~OutputCommunicationLogic();

  // The relay loop: until end of file, a failed read or a failing target. Never throws;
  // failures are traced at the error level.
  void Communicate();

 private:
  void Drain();

  int Fd;
  std::shared_ptr<o_file> Target;
  // Declared after Target: it is given up first, so no other object can take the target's
  // address while its lock is registered.
  RelayTargetLock TargetLock;
};

// Everything that relays a child's output: up to two relays and their threads.
class CommunicationLogic : private Common::NonCopyable {
 public:
  CommunicationLogic() = default;
  // Joins the threads, then closes the pipes: blocks while a relay still runs.
  virtual ~CommunicationLogic();

  void SetOutput(int fd, const std::shared_ptr<o_file>& target);
  void SetError(int fd, const std::shared_ptr<o_file>& target);
  // One thread per relay that has been set. Never throws: a thread that cannot be made for
  // lack of memory counts as not started, as one the system refuses does.
  void Start();
  // False when a relay's thread could not be started (nobody would read that pipe). The
  // relays that did start run until their pipes end; the owner ends the child for that.
  [[nodiscard]] bool AllRelaysStarted();

  static uint32_t StdoutThreadProc(void* logic);
  static uint32_t StderrThreadProc(void* logic);

 private:
  std::unique_ptr<OutputCommunicationLogic> StdoutRelay;
  std::unique_ptr<OutputCommunicationLogic> StderrRelay;
  std::unique_ptr<Common::Thread> StdoutThread;
  std::unique_ptr<Common::Thread> StderrThread;
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

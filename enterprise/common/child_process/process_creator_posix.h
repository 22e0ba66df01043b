// Starting a child process: its launch parameters (what to run, where, with which extra
// environment entries, and what becomes of each standard handle) and the control of the
// started child (its id, waiting, killing, and the writer of its standard input).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/common/text.h"
#include "core/common/non_copyable.h"
#include "core/include/file/file.h"

namespace ChildProcess {

// What becomes of one standard handle of the child.
enum class HandleType : uint32_t {
  Inherit = 0,     // the parent's descriptor, untouched
  NullDevice = 1,  // "/dev/null"
  File = 2,        // the named file: read for input; created or truncated for output
  Pipe = 3,        // a pipe whose other end the parent keeps
};

struct InputHandle {
  HandleType Type = HandleType::Inherit;
  Common::WString FileName;  // for File only

  static InputHandle Pipe() { return InputHandle{HandleType::Pipe, u""}; }
};

struct OutputHandle {
  HandleType Type = HandleType::Inherit;
  Common::WString FileName;  // for File only
  // For Pipe: receives everything the child writes to the handle, on a relay thread.
  std::shared_ptr<o_file> Target;

  static OutputHandle NullDevice() { return OutputHandle{HandleType::NullDevice, u"", nullptr}; }
  static OutputHandle Pipe(const std::shared_ptr<o_file>& target) {
    return OutputHandle{HandleType::Pipe, u"", target};
  }
};

struct Parameters {
  // The argument vector, program first. When empty, CommandLine is split by shell rules.
  std::vector<Common::WString> Argv;
  Common::WString CommandLine;
  // Runs "/bin/bash -c" with Argv, or with CommandLine as one argument.
  bool UseShell = false;
  // Empty: the child keeps the parent's directory.
  Common::WString WorkingDirectory;
  InputHandle Stdin;
  OutputHandle Stdout;
  OutputHandle Stderr;
  // Standard error becomes a copy of standard output, wherever that goes; Stderr is unused.
  bool MergeStderr = false;
  // Set on top of the inherited environment, replacing entries of the same name.
  std::map<Common::WString, Common::WString> Environment;
};

// A started child. Callers serialize their use of one Control, except that Kill and
// GetProcessId may come from another thread while Wait runs. Releasing the last
// reference closes the input pipe still held and waits for the child.
class Control : private Common::NonCopyable {
 public:
  virtual ~Control() = default;

  // -1 before the start and after Wait.
  virtual int GetProcessId() = 0;
  // Reaps the child, then joins the output relays, so all output has been delivered.
  // The exit status (0 to 255), or -1 when the child did not exit normally or was
  // already waited for. Never throws.
  virtual int Wait() = 0;
  // kill with SIGKILL: 0 or -1; -1 without a child, also once Wait has reaped it (its id
  // may belong to another process by then). Wait reaps it.
  virtual int Kill() = 0;
  // The writer of the child's standard input, handed out once; null when the input is
  // not a pipe or was taken already.
  virtual std::unique_ptr<o_file> TakeInput() = 0;

 protected:
  Control() = default;
};

// Starts the program and returns once the child has executed it. Throws Common::Error:
// a bad command line or handle before anything is created, or the failure of a pipe, the
// fork or one of the child's set-up steps (the child has then been reaped).
std::shared_ptr<Control> Create(const Parameters& parameters);

}  // namespace ChildProcess

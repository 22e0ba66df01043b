// Support of the launcher's end-to-end tests: packing the bare launcher with a payload
// of the test's choosing, running it with a given standard input, directory, umask and
// environment, and reading its transcript.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <string>
#include <vector>

namespace LauncherTest {

// One archive entry: its name and its data, either a file or a text.
struct Entry {
  std::string Name;
  std::string File;  // empty: Text is the data
  std::string Text;
  int Method = 0;           // 0 stored, 8 deflated
  std::string ExtraFields;  // more JSON fields of the fixture tool's entry spec
};

// The entries of the probe launcher, for variants of it (packer/tests/probe_payload.list
// is the same payload): the tool, the runtime
// libraries (a sanitizer runtime of the probe may load them), ten ".dll" entries that
// are stand-in texts (nothing loads them), the catalog and "resource.xml".
std::vector<Entry> ProbePayload();

// The JSON spec of the fixture tool for an archive of `entries`.
std::string ArchiveSpec(const std::vector<Entry>& entries);

// A copy of the bare launcher at `out`, carrying the archive of `entries`.
bool PackLauncher(const std::string& out, const std::vector<Entry>& entries, const std::string& scratchDir);

struct RunOptions {
  std::string Stdin;             // written to the launcher's standard input, then closed
  size_t StdinWordBytes = 0;     // then a word of that many bytes and a newline
  // The memory the launcher and its tool may map, 0 for no limit. Under user-mode
  // emulation it bounds the emulated program's address space, not the emulator's.
  size_t AddressSpaceBytes = 0;
  std::string WorkingDirectory;  // empty: the test's own
  int Umask = 022;
  std::vector<std::string> Environment;  // "NAME=VALUE" sets, "NAME" alone unsets
  std::vector<int> Closed;               // standard descriptors the launcher starts without
  bool IgnoreSigchld = false;            // the launcher starts with SIGCHLD ignored
};

struct RunResult {
  int Status = -1;  // the exit status, -1 when it did not exit
  int Signal = 0;   // the signal that ended it, 0 when none
  std::string Stdout;
  std::string Stderr;
  std::vector<std::string> Lines;  // Stdout split at line ends

  // The directory the run unpacked into ("" when it printed none).
  std::string UnpackDir() const;
};

RunResult RunLauncher(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// How a launcher started on a pseudo-terminal stands to it.
enum class TerminalRole {
  Detached,    // the terminal is not the launcher's controlling one
  Foreground,  // it leads the terminal's session and is its foreground job
  Background,  // a job of the terminal's session while its leader is the foreground
  // The foreground job of a stand-in shell that leads the session: stopped by what is
  // typed, continued in the foreground or the background, as Stop and Continue say.
  Job,
};

struct TerminalOptions {
  TerminalRole Role = TerminalRole::Detached;
  bool StartWithEchoOff = false;  // the terminal's echo is off before the launcher starts
};

// The status of a background launcher that job control stopped for reading its terminal
// (it was then killed).
inline constexpr int kStoppedForTerminal = 124;

// A launcher whose standard input is a pseudo-terminal, as when a user runs it from a
// terminal; its standard output is a pipe that the test reads, its standard error is
// discarded.
class TerminalRun {
 public:
  TerminalRun(const std::string& program, const std::vector<std::string>& args, const TerminalOptions& options = {});
  ~TerminalRun();
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  bool Started() const { return pid > 0; }
  // Whether the terminal echoes what is typed, as the launcher left it.
  bool EchoOn() const;
  // All of the terminal's modes (zeroed when they cannot be read), and setting them as a
  // shell does while the launcher is stopped.
  termios Modes() const;
  bool SetModes(const termios& modes);
  // A Job: the signal that stopped it, 0 when it ended instead or did not stop within
  // `millis` (a minute unless told).
  int WaitForStop(int millis = 60000);
  // A stopped Job goes on, in the terminal's foreground (fg) or in the background (bg).
  void Continue(bool foreground);
  // A Job's shell takes the terminal's foreground from the running job, without stopping
  // it, as another job given the terminal would; true once it has.
  bool TakeTerminal();
  // The terminal's foreground process group: a Job's launcher while it has the terminal.
  pid_t ForegroundGroup() const;
  // The process the test started: the launcher, or for a background run the session
  // leader whose job it is.
  pid_t Pid() const { return pid; }
  // Waits until the launcher has switched the echo off. False when it ended first, or did
  // not do so within a minute (a guard against a hang, not a measure of speed).
  bool WaitForEchoOff();
  // Reads the launcher's standard output until `text` has appeared; false at its end.
  bool ReadUntil(const std::string& text);
  // Types on the terminal.
  void Type(const std::string& text);
  // Reads the rest of the output and waits for the launcher: its exit status, -1 when it
  // did not exit.
  int Finish();
  // Whether the process has ended (it is then reaped), without waiting.
  bool Ended();
  // After Finish: the signal that ended the process, 0 when it exited.
  int EndSignal() const;
  // Fills the launcher's output pipe with '#' bytes until it holds no more, so that the
  // launcher's next output waits until the test reads on.
  bool FillOutput();
  // What the terminal sent back of what was typed: its echo.
  std::string Echoed();
  const std::string& Stdout() const { return stdoutText; }

 private:
  // One read of the output; false at its end.
  bool ReadMore();

  int master = -1;
  int terminal = -1;  // the test's own descriptor of the launcher's terminal
  int out = -1;
  int shellCommands = -1;  // to a Job's shell: 'f' or 'b'
  int shellEvents = -1;    // from it: the signal of each stop, one byte
  pid_t pid = -1;
  bool reaped = false;
  int status = 0;
  std::string stdoutText;
};

// The same modes, field by field, speeds included.
bool SameModes(const termios& left, const termios& right);

bool PathExists(const std::string& path);
// For runs that end without cleaning up (abort): removes what the run left behind.
void RemoveTree(const std::string& path);

// The paths the build gives the tests.
std::string BareLauncher();
std::string ProbeTool();
// The bare launcher packed with the probe payload by the build.
std::string ProbeLauncher();
std::string PackedProduct();

}  // namespace LauncherTest

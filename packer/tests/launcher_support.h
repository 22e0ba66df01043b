// Support of the launcher's end-to-end tests: packing the bare launcher with a payload
// of the test's choosing, running it with a given standard input, directory, umask and
// environment, and reading its transcript.
#pragma once

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
  std::string WorkingDirectory;  // empty: the test's own
  int Umask = 022;
  std::vector<std::string> Environment;  // "NAME=VALUE" sets, "NAME" alone unsets
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

// Support of the launcher's end-to-end tests.
#include "packer/tests/launcher_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "tools/testing/emulation.h"
#include "tools/testing/fixtures.h"

namespace LauncherTest {

namespace {

// JSON text of a string: quotes, backslashes and control bytes escaped.
std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the launcher closed its input: the rest is not needed
    done += static_cast<size_t>(n);
  }
}

// The emulator's own mappings (its code buffer above all) on top of the emulated space.
constexpr rlim_t kEmulatorBytes = rlim_t{512} << 20;

void LimitAddressSpace(size_t bytes, bool emulated) {
  if (bytes == 0) return;
  rlim_t limit = bytes;
  if (emulated) {
    setenv("QEMU_RESERVED_VA", std::to_string(bytes).c_str(), 1);
    limit += kEmulatorBytes;
  }
  struct rlimit space = {limit, limit};
  if (setrlimit(RLIMIT_AS, &space) != 0) _exit(126);
}

// A word of `bytes` bytes and a newline, written piece by piece: a word longer than the
// test's memory is never held.
void WriteWord(int fd, size_t bytes) {
  const std::string piece(65536, 'w');
  while (bytes > 0) {
    size_t n = std::min(bytes, piece.size());
    ssize_t done = write(fd, piece.data(), n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    bytes -= static_cast<size_t>(done);
  }
  WriteAll(fd, "\n");
}

[[noreturn]] void ExecLauncher(const std::string& program, const std::vector<std::string>& args,
                               const RunOptions& options, int in, int out, int err, bool emulated = false) {
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  for (int fd : options.Closed) close(fd);
  // Every other descriptor of ours is close-on-exec.
  if (!options.WorkingDirectory.empty() && chdir(options.WorkingDirectory.c_str()) != 0) _exit(126);
  umask(static_cast<mode_t>(options.Umask));
  if (options.IgnoreSigchld) signal(SIGCHLD, SIG_IGN);
  // Runs that are expected to abort leave no core files behind.
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  LimitAddressSpace(options.AddressSpaceBytes, emulated);
  for (const std::string& change : options.Environment) {
    size_t equals = change.find('=');
    if (equals == std::string::npos)
      unsetenv(change.c_str());
    else
      setenv(change.substr(0, equals).c_str(), change.c_str() + equals + 1, 1);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Reads both pipes until both are at their end.
void Collect(int out, int err, std::string& stdoutText, std::string& stderrText) {
  struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  std::string* sinks[2] = {&stdoutText, &stderrText};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
        continue;
      }
      sinks[i]->append(buffer, static_cast<size_t>(n));
    }
  }
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace

std::vector<Entry> ProbePayload() {
  std::vector<Entry> entries = {
      {"ormivane_tool.exe", ProbeTool(), "", 8, ""},
      {"libstdc++.so.6", ORMIVANE_RUNTIME_LIBSTDCXX, "", 0, ""},
      {"libgcc_s.so.1", ORMIVANE_RUNTIME_LIBGCC, "", 0, ""},
      {"libssp.so.0", ORMIVANE_SSP_STANDIN, "", 0, ""},
  };
  for (const char* name : {"arvo.dll", "brint.dll", "celto.dll", "dunmar.dll", "elsk.dll", "fenno.dll", "gorra.dll",
                           "libhesk.dll", "istra.dll", "libunwind.dll"})
    entries.push_back({name, "", "Stands in for a library of the tool in the end-to-end tests; nothing loads it.\n", 0, ""});
  entries.push_back({"ormivane_packed.msg", Testing::CatalogPath(), "", 8, ""});
  entries.push_back({"resource.xml", "", "<resources/>\n", 0, ""});
  return entries;
}

std::string ArchiveSpec(const std::vector<Entry>& entries) {
  std::string spec = "{\"entries\": [";
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (i > 0) spec += ", ";
    spec += "{\"name\": " + Quote(e.Name) + ", ";
    spec += e.File.empty() ? "\"text\": " + Quote(e.Text) : "\"file\": " + Quote(e.File);
    spec += ", \"method\": " + std::to_string(e.Method);
    if (!e.ExtraFields.empty()) spec += ", " + e.ExtraFields;
    spec += "}";
  }
  return spec + "]}";
}

bool PackLauncher(const std::string& out, const std::vector<Entry>& entries, const std::string& scratchDir) {
  std::string spec = scratchDir + "/payload.json";
  std::string archive = scratchDir + "/payload.zip";
  std::string json = ArchiveSpec(entries);
  if (!Testing::WriteFileBytes(spec, std::vector<unsigned char>(json.begin(), json.end()))) return false;
  return Testing::MakeZip(archive, "@" + spec) && Testing::EmbedArchive(BareLauncher(), archive, out);
}

std::string RunResult::UnpackDir() const {
  static const std::string kPrefix = "Unpack files to ";
  for (const std::string& line : Lines)
    if (line.rfind(kPrefix, 0) == 0) return line.substr(kPrefix.size());
  return "";
}

RunResult RunLauncher(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  RunResult result;
  const bool emulated = options.AddressSpaceBytes != 0 && Testing::UnderEmulation();
  int in[2], out[2], err[2];
  // Close-on-exec, so that launchers run at the same time never hold each other's pipes.
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) ExecLauncher(program, args, options, in[0], out[1], err[1], emulated);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (pid > 0) {
    // A launcher that is done with its input must not stop the test with SIGPIPE.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    WriteAll(in[1], options.Stdin);
    if (options.StdinWordBytes > 0) WriteWord(in[1], options.StdinWordBytes);
    sigaction(SIGPIPE, &previous, nullptr);
  }
  close(in[1]);
  if (pid > 0) Collect(out[0], err[0], result.Stdout, result.Stderr);
  close(out[0]);
  close(err[0]);
  if (pid < 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  if (WIFEXITED(status)) result.Status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.Signal = WTERMSIG(status);
  result.Lines = SplitLines(result.Stdout);
  return result;
}

namespace {

// In the forked child: makes `terminal` the controlling terminal of a new session, which
// makes this process its foreground job.
void LeadTerminalSession(int terminal) {
  if (setsid() < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(126);
}

// In the forked session leader: runs the launcher as a background job and ends as it
// did. A launcher that job control stops is killed, since nobody would continue it.
[[noreturn]] void RunInBackground(const std::string& program, const std::vector<std::string>& args, int terminal,
                                  int out, int null) {
  pid_t job = fork();
  if (job == 0) {
    if (setpgid(0, 0) != 0) _exit(126);
    ExecLauncher(program, args, RunOptions{}, terminal, out, null);
  }
  if (job < 0) _exit(126);
  int status = 0;
  for (;;) {
    if (waitpid(job, &status, WUNTRACED) < 0) {
      if (errno == EINTR) continue;
      _exit(126);
    }
    if (!WIFSTOPPED(status)) break;
    kill(job, SIGKILL);
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) _exit(kStoppedForTerminal);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// In the forked session leader, as a job-control shell: runs the launcher as its
// foreground job, takes the terminal back when the job stops and reports the stop on
// `events`, continues it as `commands` say ('f' in the foreground, 'b' in the
// background) or takes the terminal from it while it runs ('t'), and ends as the job did. It leaves the terminal's modes alone.
[[noreturn]] void RunAsShell(const std::string& program, const std::vector<std::string>& args, int terminal, int out,
                             int null, int commands, int events) {
  int go[2];
  if (pipe2(go, O_CLOEXEC) != 0) _exit(126);
  pid_t job = fork();
  if (job == 0) {
    char ready;
    if (setpgid(0, 0) != 0 || read(go[0], &ready, 1) != 1) _exit(126);
    ExecLauncher(program, args, RunOptions{}, terminal, out, null);
  }
  if (job < 0) _exit(126);
  // A shell in the background takes its terminal back without being stopped for it.
  signal(SIGTTOU, SIG_IGN);
  setpgid(job, job);
  if (tcsetpgrp(terminal, job) != 0 || write(go[1], "g", 1) != 1) _exit(126);
  for (;;) {
    int status = 0;
    pid_t changed = waitpid(job, &status, WUNTRACED | WNOHANG);
    if (changed < 0 && errno != EINTR) _exit(126);
    if (changed == job && WIFSTOPPED(status)) {
      tcsetpgrp(terminal, getpgrp());
      char stopSignal = static_cast<char>(WSTOPSIG(status));
      if (write(events, &stopSignal, 1) != 1) _exit(126);
    } else if (changed == job) {
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    struct pollfd command = {commands, POLLIN, 0};
    if (poll(&command, 1, 10) != 1) continue;
    char what;
    if (read(commands, &what, 1) != 1) {
      kill(-job, SIGKILL);  // the test is gone
      waitpid(job, nullptr, 0);
      _exit(126);
    }
    if (what == 't') {
      tcsetpgrp(terminal, getpgrp());
      continue;
    }
    if (what == 'f') tcsetpgrp(terminal, job);
    kill(-job, SIGCONT);
  }
}

}  // namespace

TerminalRun::TerminalRun(const std::string& program, const std::vector<std::string>& args,
                         const TerminalOptions& options) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
  const char* name = ptsname(master);
  if (name == nullptr) return;
  terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  int pipeEnds[2];
  if (terminal < 0 || pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  if (options.StartWithEchoOff) {
    termios modes{};
    if (tcgetattr(terminal, &modes) != 0) return;
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(terminal, TCSANOW, &modes) != 0) return;
  }
  int commands[2] = {-1, -1}, events[2] = {-1, -1};
  if (options.Role == TerminalRole::Job && (pipe2(commands, O_CLOEXEC) != 0 || pipe2(events, O_CLOEXEC) != 0)) return;
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid = null < 0 ? -1 : fork();
  if (pid == 0) {
    if (options.Role != TerminalRole::Detached) LeadTerminalSession(terminal);
    if (options.Role == TerminalRole::Background) RunInBackground(program, args, terminal, pipeEnds[1], null);
    if (options.Role == TerminalRole::Job)
      RunAsShell(program, args, terminal, pipeEnds[1], null, commands[0], events[1]);
    ExecLauncher(program, args, RunOptions{}, terminal, pipeEnds[1], null);
  }
  if (null >= 0) close(null);
  close(pipeEnds[1]);
  out = pipeEnds[0];
  for (int end : {commands[0], events[1]})
    if (end >= 0) close(end);
  shellCommands = commands[1];
  shellEvents = events[0];
}

TerminalRun::~TerminalRun() {
  // A Job's shell kills its job when the test is gone: the job may be stopped.
  if (shellCommands >= 0) {
    close(shellCommands);
    shellCommands = -1;
    for (int i = 0; i < 5000 && pid > 0 && !Ended(); ++i) usleep(1000);
  }
  if (pid > 0 && !reaped) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : {master, terminal, out, shellCommands, shellEvents})
    if (fd >= 0) close(fd);
}

bool TerminalRun::EchoOn() const {
  termios modes{};
  return tcgetattr(terminal, &modes) == 0 && (modes.c_lflag & ECHO) != 0;
}

termios TerminalRun::Modes() const {
  termios modes{};
  if (tcgetattr(terminal, &modes) != 0) modes = termios{};
  return modes;
}

bool TerminalRun::SetModes(const termios& modes) { return tcsetattr(terminal, TCSANOW, &modes) == 0; }

int TerminalRun::WaitForStop(int millis) {
  struct pollfd event = {shellEvents, POLLIN, 0};
  int ready;
  while ((ready = poll(&event, 1, millis)) < 0 && errno == EINTR) {
  }
  char stopSignal = 0;
  if (ready != 1 || read(shellEvents, &stopSignal, 1) != 1) return 0;
  return static_cast<unsigned char>(stopSignal);
}

void TerminalRun::Continue(bool foreground) { WriteAll(shellCommands, foreground ? "f" : "b"); }

bool TerminalRun::TakeTerminal() {
  const pid_t job = ForegroundGroup();
  WriteAll(shellCommands, "t");
  constexpr int kTries = 60000;
  constexpr useconds_t kTryMicros = 1000;
  for (int i = 0; i < kTries; ++i) {
    const pid_t now = ForegroundGroup();
    if (now != job && now > 0) return true;
    usleep(kTryMicros);
  }
  return false;
}

pid_t TerminalRun::ForegroundGroup() const { return tcgetpgrp(master); }

bool TerminalRun::WaitForEchoOff() {
  constexpr int kTries = 60000;
  constexpr useconds_t kTryMicros = 1000;
  for (int i = 0; i < kTries; ++i) {
    if (!EchoOn()) return true;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
      return false;
    }
    usleep(kTryMicros);
  }
  return false;
}

bool TerminalRun::ReadMore() {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(out, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    stdoutText.append(buffer, static_cast<size_t>(n));
    return true;
  }
}

bool TerminalRun::ReadUntil(const std::string& text) {
  while (stdoutText.find(text) == std::string::npos)
    if (!ReadMore()) return false;
  return true;
}

void TerminalRun::Type(const std::string& text) { WriteAll(master, text); }

int TerminalRun::Finish() {
  while (ReadMore()) {
  }
  while (!reaped && waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  reaped = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool TerminalRun::Ended() {
  if (!reaped && waitpid(pid, &status, WNOHANG) == pid) reaped = true;
  return reaped;
}

int TerminalRun::EndSignal() const { return reaped && WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

bool TerminalRun::FillOutput() {
  // A description of its own: the launcher's end must stay blocking.
  std::string self = "/proc/self/fd/" + std::to_string(out);
  int filler = open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (filler < 0) return false;
  const std::string piece(4096, '#');
  for (size_t size = piece.size(); size > 0;) {
    ssize_t n = write(filler, piece.data(), size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      size /= 2;  // a smaller piece may still find room
      continue;
    }
    if (n <= 0) break;
  }
  close(filler);
  return true;
}

std::string TerminalRun::Echoed() {
  std::string echoed;
  int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  char buffer[256];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) echoed.append(buffer, static_cast<size_t>(n));
  fcntl(master, F_SETFL, flags);
  return echoed;
}

bool SameModes(const termios& left, const termios& right) {
  return left.c_iflag == right.c_iflag && left.c_oflag == right.c_oflag && left.c_cflag == right.c_cflag &&
         left.c_lflag == right.c_lflag && left.c_line == right.c_line &&
         std::memcmp(left.c_cc, right.c_cc, sizeof left.c_cc) == 0 && cfgetispeed(&left) == cfgetispeed(&right) &&
         cfgetospeed(&left) == cfgetospeed(&right);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

std::string BareLauncher() { return ORMIVANE_BARE_LAUNCHER; }
std::string ProbeTool() { return ORMIVANE_PROBE_TOOL; }
std::string ProbeLauncher() { return ORMIVANE_PROBE_LAUNCHER; }
std::string PackedProduct() { return ORMIVANE_PACKED_PRODUCT; }

}  // namespace LauncherTest

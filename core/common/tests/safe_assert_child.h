// Test support: runs a helper program of the build in a child process with a chosen
// environment, capturing what it writes to standard output and standard error.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace Testing {

struct ChildOutcome {
  bool Exited = false;  // ended by exit, with ExitCode; otherwise ended by Signal
  int ExitCode = -1;
  int Signal = 0;
  std::string Output;  // standard output
  std::string Errors;  // standard error (an emulator may add its own lines here)
};

// A variable to set (a value) or to remove (no value) in the child's environment.
using EnvSetting = std::pair<std::string, std::optional<std::string>>;

// The path of a helper program built into `folder` of the build tree.
inline std::string HelperPath(const std::string& folder, const std::string& name) {
  return std::string(ORMIVANE_TEST_BINARY_DIR) + "/" + folder + "/" + name;
}

inline ChildOutcome RunHelper(const std::string& path, const std::vector<std::string>& args,
                              const std::vector<EnvSetting>& settings) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    bool replaced = false;
    for (const EnvSetting& setting : settings)
      if (text.compare(0, setting.first.size() + 1, setting.first + "=") == 0) replaced = true;
    if (!replaced) env.push_back(text);
  }
  for (const EnvSetting& setting : settings)
    if (setting.second) env.push_back(setting.first + "=" + *setting.second);

  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& text : env) envp.push_back(text.data());
  envp.push_back(nullptr);

  ChildOutcome outcome;
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return outcome;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return outcome;
  }
  pid_t pid = fork();
  if (pid == 0) {
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // the aborting cases leave no core files behind
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(126);
  }
  close(out[1]);
  close(err[1]);
  pollfd polls[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&outcome.Output, &outcome.Errors};
  int openPipes = 2;
  while (openPipes > 0) {
    if (poll(polls, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (polls[i].fd < 0 || polls[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = read(polls[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(polls[i].fd);
        polls[i].fd = -1;
        --openPipes;
        continue;
      }
      sinks[i]->append(buffer, static_cast<size_t>(got));
    }
  }
  if (pid < 0) return outcome;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.Exited = WIFEXITED(status);
  outcome.ExitCode = outcome.Exited ? WEXITSTATUS(status) : -1;
  outcome.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return outcome;
}

}  // namespace Testing

// Running the programs the benchmarks compare: spawned with posix_spawn, their standard
// output read through a pipe, and the moment each line or piece arrives taken on the
// monotonic clock, which the tool, the launcher and this program share.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Bench {

// Seconds on CLOCK_MONOTONIC.
double Now();

// A started program. Its standard input is /dev/null unless given, its standard error
// /dev/null, its standard output `stdoutFd` or, when that is -1, a pipe read by Output.
class Process {
 public:
  Process(const std::vector<std::string>& argv, int stdinFd = -1, int stdoutFd = -1);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  double Started() const { return started; }
  int Output() const { return output; }
  // Waits for the exit and returns the exit status (-1 when ended by a signal); throws
  // when the program could not be run.
  int Wait();

 private:
  int Reap();  // the raw wait status

  pid_t pid = -1;
  int output = -1;
  double started = 0;
};

// One line of a program's output with the time the piece holding its end arrived.
struct TimedLine {
  std::string Text;
  double Arrived = 0;
};

// Reads the output to its end; every line with its arrival time.
std::vector<TimedLine> ReadLines(int fd);

// Reads the output to its end without keeping it. Returns the bytes that follow the
// first occurrence of `after` (all of them when it is empty) and the arrival times of
// the first and the last of those bytes.
struct DrainResult {
  uint64_t Bytes = 0;
  double First = 0;
  double Last = 0;
};
DrainResult Drain(int fd, const std::string& after);

// A pipe whose ends are closed on exec unless handed to a program.
struct Pipe {
  Pipe();
  ~Pipe();
  void CloseRead();
  void CloseWrite();
  int Read = -1;
  int Write = -1;
};

// Runs a program to its end with output discarded; throws unless it ends with status 0.
void RunQuietly(const std::vector<std::string>& argv);

}  // namespace Bench

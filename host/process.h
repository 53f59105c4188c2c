// Runs a helper program (tmux, git) with an argument vector, never through a
// shell, and captures its output. Safe to call from many threads at once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tesselo::host {

struct ProgramResult {
  bool started = false;   // false when the program could not be found or run
  bool timedOut = false;  // killed after the time limit
  int status = -1;        // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// argv[0] is looked up in PATH unless it holds a slash. The child gets no
// standard input and the host's environment.
ProgramResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// A child started with pipes on its standard streams; -1 for a stream left
// on /dev/null. Every descriptor is close-on-exec in the host.
struct StartedProgram {
  pid_t pid = -1;  // -1 when the program could not be found or started
  int in = -1, out = -1, err = -1;
};
StartedProgram startProgram(const std::vector<std::string>& argv, bool withInput);

}  // namespace tesselo::host

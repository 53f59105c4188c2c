// Runs a helper program (tmux, git) with an argument vector, never through a
// shell, and captures its output. Safe to call from many threads at once.
#pragma once

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
ProgramResult runProgram(const std::vector<std::string>& argv, std::chrono::seconds limit);

}  // namespace tesselo::host

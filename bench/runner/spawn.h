// Starting the programs under measurement: argument list, extra environment,
// standard input from a file or a pipe, standard output to /dev/null or a pipe.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Command {
  Command() = default;
  explicit Command(std::vector<std::string> args) : argv(std::move(args)) {}

  std::vector<std::string> argv;
  // Set (a value) or removed (nothing) on top of the runner's environment.
  std::map<std::string, std::optional<std::string>> env;
  std::string stdinFile;  // empty: /dev/null
};

struct Child {
  pid_t pid = -1;
  int input = -1;   // write end of the child's standard input, when piped
  int output = -1;  // read end of the child's standard output, when piped
};

// Starts the command; pipes replace /dev/null and stdinFile when asked for.
std::optional<Child> start(const Command& command, bool pipeInput, bool pipeOutput);

// Waits for the child; its exit status, or 128 + signal.
int finish(pid_t pid);

// One run from start to exit, output discarded: microseconds, or nothing
// when the program failed (a failed run must never pass for a fast one).
std::optional<double> timeRun(const Command& command);

}  // namespace bench

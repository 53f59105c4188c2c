// Runs a built program the way a user, script or agent host would, and
// captures everything it shows: standard output, standard error, exit status.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tesselo::test {

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal number when killed
};

struct ProcessOptions {
  // Changes to the test's own environment: a value sets, nullopt unsets.
  std::map<std::string, std::optional<std::string>> env;
  // Bytes written to standard input, which is then closed.
  std::string input;
  std::string cwd;
};

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// Starts the program with the environment changes and its standard streams on
// /dev/null, and returns at once: for tests that stop or kill it part-way.
// The caller waits for it.
pid_t startProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::optional<std::string>>& env);

// Absolute paths of the built programs.
std::string cliPath();
std::string mcpPath();
std::string buildDir();

}  // namespace tesselo::test

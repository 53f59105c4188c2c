// Runs a built program the way a user, script or agent host would, and
// captures everything it shows: standard output, standard error, exit status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
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
  std::map<std::string, std::optional<std::string>> env = {};
  // Bytes written to standard input, which is then closed.
  std::string input = {};
  std::string cwd = {};
  // Another user (and group) to run as: lets a test run as root see what
  // file permissions do to an ordinary user.
  struct User {
    uid_t uid;
    gid_t gid;
  };
  std::optional<User> user = {};
};

// A program kept running while a test talks to it: lines in, lines out,
// then an orderly finish that collects the rest.
class ChildProcess {
 public:
  // The default limit of each step below: a guard against a hanging test.
  static constexpr std::chrono::milliseconds aMinute{60000};
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const ProcessOptions& options = {});
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Writes to its standard input; false when the child stopped reading or
  // took no more within the limit.
  bool write(const std::string& bytes, std::chrono::milliseconds limit = aMinute);
  // Closes the test's end of the child's standard output.
  void closeOutput();
  // The next line of standard output without its line feed; nothing at the
  // end of output or when none came within the limit (a guard against a
  // hanging test, not a measurement).
  std::optional<std::string> readLine(std::chrono::milliseconds limit = aMinute);
  // Writes the options' input, closes standard input unless told otherwise,
  // reads both outputs to their end and waits for the exit. `out` holds what
  // readLine had not taken. A child still running after the limit is killed
  // (status 128 + 9).
  ProcessResult finish(bool closeInputFirst = true, std::chrono::milliseconds limit = aMinute);

 private:
  using Clock = std::chrono::steady_clock;
  bool pump(Clock::time_point deadline, const std::function<bool()>& done);

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string pending_, errors_, input_;
  bool inputRefused_ = false;
};

// The program run to its end with the options' input.
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

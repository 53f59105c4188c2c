// A private tmux server and a tesselo-host serving it, both under one temp
// folder, for the end-to-end tests; torn down after every test.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "support/json.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo::test {

std::string hostPath();
std::string tmuxPath();

// One request line to a socket, the raw answer bytes up to the first line
// feed (or all, when the peer closes first).
std::string rawExchange(const std::string& socket, const std::string& bytes);

// A connection to the socket with nothing sent; -1 when connect fails.
int connectTo(const std::string& socket);

// Fills fds with connections the host holds at once, checked by one more
// being turned away (the host must run with exactly fds.size() slots). A
// connection that arrives while the host still counts an earlier one whose
// thread is ending is turned away itself; such ones are made anew.
bool holdConnections(const std::string& socket, std::vector<int>& fds);

// A run's exit status and errors, to compare in one go.
inline std::string said(const ProcessResult& run) {
  return std::to_string(run.status) + " " + run.err;
}

// Retries until the check passes, for at most `limit`.
bool eventually(const std::function<bool()>& check,
                std::chrono::milliseconds limit = std::chrono::seconds(15));

class HostWorld {
 public:
  HostWorld();
  ~HostWorld();
  HostWorld(const HostWorld&) = delete;
  HostWorld& operator=(const HostWorld&) = delete;

  // Starts the host with these extra arguments, through the launcher when
  // one is given (which then hands the socket over); true once it answers.
  bool startHost(std::vector<std::string> extra = {"--allow-send"},
                 std::vector<std::string> launcher = {});
  // Signals the host and waits; the exit status.
  int stopHost(int signal = SIGTERM);
  // Descriptors the host holds open now.
  size_t hostDescriptors() const;
  std::string hostLog() const { return readFile(dir.file("host.log")); }

  ProcessResult tmux(const std::vector<std::string>& args) const;
  ProcessResult cli(const std::vector<std::string>& args, const std::string& input = {},
                    const std::map<std::string, std::optional<std::string>>& env = {}) const;
  // A client run started now and answered later, once it has had time to
  // reach the host (and park, for a wait).
  std::future<ProcessResult> later(
      std::vector<std::string> args,
      std::map<std::string, std::optional<std::string>> extra = {}) const;
  // The answer parsed (null when it is not JSON).
  Json request(const Json& request) const;

  // The "list" answer, and the full ids in it.
  Json list() const { return request({{"method", "list"}}); }
  std::vector<std::string> paneIds() const;
  // The screen text of a pane, through "read".
  std::string screen(const std::string& pane, int lines = 40) const;
  // Types a command line into a pane through "send", once its shell is up.
  void type(const std::string& pane, const std::string& line) const;
  // Types the command line, if any, then waits until the screen shows a line
  // equal to each of `lines`.
  bool shows(const std::string& pane, std::initializer_list<std::string> lines,
             const std::optional<std::string>& command = std::nullopt) const;

  TempDir dir;
  std::string socket;
  std::string tmuxSocket;
  std::string home;
  // The environment every child gets: no TMUX, a private HOME, /bin/sh.
  std::map<std::string, std::optional<std::string>> env;

 private:
  pid_t hostPid_ = -1;
};

}  // namespace tesselo::test

// tesselo-mcp under load, as an agent host drives it: thousands of tool calls
// with hundreds in flight, each answered once, whole, with its own result.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/json.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

extern char** environ;

namespace tesselo {
namespace {

using test::FakeApp;
using test::Reply;

// The server as a child with its standard input and output on pipes we
// drive by hand, so that requests go out only while answers come back.
class McpChild {
 public:
  explicit McpChild(const std::string& socket) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("TESSELO_SOCKET=", 0) != 0) env.push_back(*e);
    env.push_back("TESSELO_SOCKET=" + socket);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = test::mcpPath();
    char* argv[] = {program.data(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      execve(program.c_str(), argv, envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    errors_ = err[0];
    fcntl(input_, F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);
  }
  ~McpChild() {
    for (int fd : {input_, output_, errors_})
      if (fd >= 0) close(fd);
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  int input() const { return input_; }
  int output() const { return output_; }
  void closeInput() {
    close(input_);
    input_ = -1;
  }
  // Reads standard error to its end and waits for the exit status.
  int finish(std::string& err) {
    char buffer[4096];
    for (ssize_t n; (n = read(errors_, buffer, sizeof buffer)) > 0;) err.append(buffer, n);
    int status = 0;
    waitpid(pid_, &status, 0);
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  bool waited_ = false;
  int input_ = -1, output_ = -1, errors_ = -1;
};

// The id of call i: numbers and strings alike must come back unchanged.
Json idOf(int i) {
  return i % 2 ? Json(i) : Json("call-" + std::to_string(i));
}

std::string callLine(int i) {
  Json call = {
      {"jsonrpc", "2.0"},
      {"id", idOf(i)},
      {"method", "tools/call"},
      {"params", {{"name", "tesselo_read"}, {"arguments", {{"panel", "p" + std::to_string(i)}}}}}};
  return call.dump() + "\n";
}

// The screen the fake application shows for a pane; every answer carries
// its own, so an answer given to the wrong call shows.
std::string screenOf(const std::string& panel) {
  return "screen of " + panel + " \xe2\x9c\x93";
}

// Holds the first calls at the application until that many are there at
// once: shows that the server really runs them side by side.
class Gate {
 public:
  explicit Gate(size_t size) : size_(size) {}
  void pass() {
    std::unique_lock lock(mutex_);
    if (arrived_ >= size_) return;
    if (++arrived_ == size_) {
      opened_ = true;
      all_.notify_all();
      return;
    }
    // Bounded, so that a server that cannot hold that many calls fails the
    // count below instead of hanging the suite.
    all_.wait_for(lock, std::chrono::seconds(20), [&] { return opened_; });
  }
  bool opened() {
    std::lock_guard lock(mutex_);
    return opened_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_;
  size_t size_;
  size_t arrived_ = 0;
  bool opened_ = false;
};

TEST(McpStress, TenThousandCallsWithTwoHundredFiftySixInFlightEachAnsweredOnce) {
  constexpr int calls = 10000;
  constexpr size_t window = 256;
  test::TempDir dir;
  FakeApp app(dir.file("control.sock"));
  Gate gate(window);
  app.answerWith([&gate](const Json& request) {
    gate.pass();
    const std::string* panel = stringMember(request, "panel");
    return test::jsonReply({{"text", screenOf(panel ? *panel : "")}});
  });

  McpChild server(app.path());
  std::map<std::string, int> pending;  // id as sent -> call number
  std::set<int> answered;
  int sent = 0;
  size_t lines = 0;
  std::string partial, unsentLine;
  size_t unsentOffset = 0;
  bool outputOpen = true;
  while (outputOpen && (answered.size() < calls)) {
    if (unsentLine.empty() && sent < calls && pending.size() < window) {
      unsentLine = callLine(sent);
      unsentOffset = 0;
      pending[idOf(sent).dump()] = sent;
      ++sent;
    }
    pollfd fds[2] = {{server.output(), POLLIN, 0},
                     {server.input(), static_cast<short>(unsentLine.empty() ? 0 : POLLOUT), 0}};
    ASSERT_GT(poll(fds, 2, 30000), 0)
        << "the server went quiet with " << pending.size() << " calls in flight";
    if (fds[1].revents & POLLOUT) {
      ssize_t n =
          write(server.input(), unsentLine.data() + unsentOffset, unsentLine.size() - unsentOffset);
      ASSERT_GT(n, 0);
      unsentOffset += static_cast<size_t>(n);
      if (unsentOffset == unsentLine.size()) unsentLine.clear();
    }
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char buffer[65536];
      ssize_t n = read(server.output(), buffer, sizeof buffer);
      if (n <= 0) {
        outputOpen = false;
        continue;
      }
      partial.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
        ++lines;
        std::optional<Json> answer = parseJson(std::string_view(partial).substr(0, end));
        ASSERT_TRUE(answer && answer->is_object())
            << "not a whole JSON line: " << partial.substr(0, end);
        auto call = pending.find(answer->value("id", Json()).dump());
        ASSERT_NE(call, pending.end()) << "answer to no pending call: " << answer->dump();
        int number = call->second;
        pending.erase(call);
        EXPECT_TRUE(answered.insert(number).second) << "answered twice: " << number;
        Json expected = {
            {"content",
             Json::array({{{"type", "text"}, {"text", screenOf("p" + std::to_string(number))}}})},
            {"isError", false}};
        EXPECT_EQ(answer->value("result", Json()), expected) << answer->dump();
        EXPECT_EQ(answer->value("jsonrpc", Json()), "2.0");
      }
    }
  }
  EXPECT_EQ(answered.size(), static_cast<size_t>(calls));
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(lines, static_cast<size_t>(calls));
  EXPECT_TRUE(gate.opened()) << "the first " << window << " calls never met at the application";
  EXPECT_EQ(app.connections(), calls);

  // Nothing more after the last answer, and an orderly end.
  server.closeInput();
  char rest[4096];
  ssize_t more;
  std::string trailing = partial;
  while ((more = read(server.output(), rest, sizeof rest)) > 0) trailing.append(rest, more);
  EXPECT_EQ(trailing, "");
  std::string err;
  EXPECT_EQ(server.finish(err), 0);
  EXPECT_EQ(err, "");
  std::printf("%d calls, %zu answers, at most %zu in flight\n", sent, answered.size(), window);
}

}  // namespace
}  // namespace tesselo

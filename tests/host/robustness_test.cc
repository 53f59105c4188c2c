// What a host must survive and refuse: bad requests, idle and surplus
// clients, a second host, stale files, other users, unapproved sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "support/fd_io.h"
#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

const std::string malformed =
    R"({"error":"malformed request: expected one JSON object with a string \"method\", on one line"})";

// Requests that are not one, too large or too slow get a clear answer each,
// and the host serves on.
TEST(HostRobustness, BadRequestsAreAnsweredAndTheHostServesOn) {
  HostWorld world;
  ASSERT_TRUE(world.startHost({"--allow-send", "--idle-timeout", "0.5"}));
  const std::string tooLarge = R"x({"error":"request too large (more than 1048576 bytes)"})x";
  struct Case {
    std::string bytes;
    std::string answer;
  } cases[] = {
      {"not json\n", malformed},
      {"[1,2]\n", malformed},
      {"{}\n", malformed},
      {"{\"method\":5}\n", malformed},
      {"\n", malformed},
      {"{\"method\":\"list\"\n", malformed},
      {"{\"method\":\"list\",\"x\":\"\xff\"}\n", malformed},
      {"{\"method\":\"list\"} trailing\n", malformed},
      {"{\"method\":\"fly\"}\n", R"({"error":"unknown method \"fly\""})"},
      {"{\"method\":\"notify\"}\r\n", R"({"clients":0})"},
      {"{\"method\":\"notify\"}\n{\"method\":\"fly\"}\n", R"({"clients":0})"},
      {R"({"method":"send","text":")" + std::string(2 << 20, 'a') + "\"}\n", tooLarge},
      {"{\"method\":", R"({"error":"no request arrived in time"})"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(rawExchange(world.socket, c.bytes), c.answer) << c.bytes.substr(0, 40);
  // Through the real client as well, which writes its whole request first:
  // eleven words of 100000 bytes (no argument may exceed 128 KiB).
  std::string pane = world.paneIds().at(0);
  std::vector<std::string> args{"send", "--panel", pane};
  args.insert(args.end(), 11, std::string(100000, 'b'));
  ProcessResult sent = world.cli(args);
  EXPECT_EQ(sent.status, 1);
  EXPECT_EQ(sent.err, "tesselo: request too large (more than 1048576 bytes)\n");
  EXPECT_EQ(world.screen(pane).find("bbbb"), std::string::npos);
  EXPECT_EQ(world.paneIds().size(), 1u);
}

// The socket's whole life: made private in folders made for it, kept from a
// second host, removed on stop, replaced when stale, never when not a socket.
TEST(HostRobustness, TheSocketIsPrivateOwnedByOneHostAndRemovedOnStop) {
  HostWorld world;
  std::string folder = world.dir.file("new/nested");
  world.socket = folder + "/control.sock";
  ASSERT_TRUE(world.startHost());
  struct stat info;
  ASSERT_EQ(stat(world.socket.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  for (const std::string& created : {folder, world.dir.file("new")}) {
    ASSERT_EQ(stat(created.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << created;
  }
  auto secondHost = [&] {
    return runProcess(hostPath(), {"--socket", world.socket, "--tmux-socket", world.tmuxSocket},
                      {world.env, {}, {}, {}});
  };
  ProcessResult second = secondHost();
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err, "tesselo-host: another server already answers at " + world.socket + "\n");
  EXPECT_EQ(world.list()["terminals"].size(), 1u);
  EXPECT_EQ(world.stopHost(), 0);
  EXPECT_NE(stat(world.socket.c_str(), &info), 0);
  EXPECT_NE(world.hostLog().find("tesselo-host: stopped\n"), std::string::npos);

  // A socket nobody listens on any more, as a crashed host leaves it.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, world.socket.c_str(), world.socket.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  ASSERT_TRUE(world.startHost());
  EXPECT_EQ(world.stopHost(), 0);

  // A folder that cannot be made is said as such.
  std::string file = world.dir.file("a-file");
  writeFile(file, "x");
  ProcessResult unmade = runProcess(
      hostPath(), {"--socket", file + "/under/control.sock", "--tmux-socket", world.tmuxSocket},
      {world.env, {}, {}, {}});
  EXPECT_EQ(unmade.status, 1);
  EXPECT_EQ(unmade.err, "tesselo-host: cannot create " + file + "/under: Not a directory\n");

  writeFile(world.socket, "precious");
  ProcessResult refused = secondHost();
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "tesselo-host: refusing to replace " + world.socket + ": it is not a socket\n");
  EXPECT_EQ(readFile(world.socket), "precious");
}

TEST(HostRobustness, UsageErrorsAreReported) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--socket"}, "--socket needs a path"},
      {{"--idle-timeout", "soon"}, "--idle-timeout needs a number of seconds between 0 and 86400"},
      {{"--idle-timeout", "-1"}, "--idle-timeout needs a number of seconds between 0 and 86400"},
      {{"--max-connections", "0"}, "--max-connections needs a number between 1 and 10000"},
      {{"--max-connections", "2x"}, "--max-connections needs a number between 1 and 10000"},
      {{"--socket", "/s", "--tmux-socket"}, "--tmux-socket needs a path"},
      {{"extra"}, "unknown option extra"},
  };
  for (const Case& c : cases) {
    ProcessResult run = runProcess(hostPath(), c.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.substr(0, run.err.find('\n')), "tesselo-host: " + c.message);
  }
}

TEST(HostRobustness, OtherUsersAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  HostWorld world;
  ASSERT_TRUE(world.startHost());
  // Open the way on purpose, as a careless umask or chmod might: the uid
  // check must still stop the stranger.
  chmod(world.dir.path().c_str(), 0755);
  chmod(world.socket.c_str(), 0666);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    std::string answer = rawExchange(world.socket, "{\"method\":\"list\"}\n");
    writeAll(out[1], answer);
    _exit(0);
  }
  close(out[1]);
  std::string answer;
  readToEnd(out[0], answer);
  close(out[0]);
  int status;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(answer,
            R"({"error":"permission denied: tesselo-host serves only the user who started it"})");
}

// A tmux client on a pseudo-terminal, as a user at a terminal would have.
class AttachedClient {
 public:
  explicit AttachedClient(const HostWorld& world) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      for (const auto& [name, value] : world.env)
        value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
      // The user's terminal has a type; the host's world does not.
      setenv("TERM", "xterm", 1);
      execl(tmuxPath().c_str(), "tmux", "-S", world.tmuxSocket.c_str(), "attach", "-t", "main",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // Whatever tmux draws is kept, and read away so that it never stalls on
    // a full terminal.
    drainer_ = std::thread([this] {
      char buffer[4096];
      ssize_t n;
      while ((n = read(master_, buffer, sizeof buffer)) > 0) {
        std::lock_guard lock(mutex_);
        drawn_.append(buffer, static_cast<size_t>(n));
      }
    });
  }
  ~AttachedClient() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    // The drainer's read ends once the client has gone.
    drainer_.join();
    close(master_);
  }
  // Whether tmux drew each text, in any order, since the last look.
  bool drew(std::initializer_list<std::string> texts) {
    return eventually([&] {
      std::lock_guard lock(mutex_);
      size_t end = 0;
      for (const std::string& text : texts) {
        size_t found = drawn_.find(text);
        if (found == std::string::npos) return false;
        end = std::max(end, found + text.size());
      }
      drawn_.erase(0, end);
      return true;
    });
  }
  void press(const std::string& keys) { writeAll(master_, keys); }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::mutex mutex_;
  std::string drawn_;
  std::thread drainer_;
};

class HostApproval : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(world.startHost({}));
    pane = world.paneIds().at(0);
  }
  bool clientAttached() {
    // Listed before it is attached, a client is nobody the host can ask.
    return eventually([&] {
      return world.tmux({"list-clients", "-F", "#{client_flags}"}).out.find("attached") !=
             std::string::npos;
    });
  }
  ProcessResult sendAnswered(AttachedClient& client, const std::string& word,
                             const std::string& key) {
    // A client that has only just attached may not be listed to the host's
    // own connection yet; the question then goes to nobody and is asked anew.
    for (int attempt = 0;; ++attempt) {
      auto sent = std::async(std::launch::async, [&] {
        return world.cli({"send", "--panel", pane, "echo", word});
      });
      if (client.drew({"Allow Tesselo to type into your panes?"})) {
        // The question is drawn a moment before the prompt takes keys.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        client.press(key);
      }
      ProcessResult result = sent.get();
      if (attempt == 2 || result.err.find("no tmux client") == std::string::npos) return result;
    }
  }
  HostWorld world;
  std::string pane;
};

TEST_F(HostApproval, TheUserIsAskedOnceAndNoRefusesYesAllowsThisAndLaterSends) {
  // Refused for a pane of the host's latest listing, and after a restart,
  // for one the host has not listed yet.
  for (int run = 0; run < 2; ++run) {
    ProcessResult unasked = world.cli({"send", "--panel", pane, "echo", "no"});
    EXPECT_EQ(unasked.status, 1) << run;
    EXPECT_EQ(unasked.err,
              "tesselo: typing into panes needs the user's approval, but no tmux client is "
              "attached to ask it; attach to tmux, or start tesselo-host with --allow-send\n");
    world.stopHost();
    ASSERT_TRUE(world.startHost({}));
  }
  // The host's own connection to tmux is made before the user's client
  // attaches, as in a session that has been running.
  ASSERT_EQ(world.paneIds().size(), 1u);

  AttachedClient client(world);
  ASSERT_TRUE(clientAttached());
  ProcessResult refused = sendAnswered(client, "refused", "n");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "tesselo: the user did not allow typing into panes\n");

  ProcessResult allowed = sendAnswered(client, "allowed-1", "y");
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_TRUE(world.screenShowsLine(pane, "allowed-1")) << world.screen(pane);
  EXPECT_EQ(world.screen(pane).find("refused"), std::string::npos);
  // Asked once per run: the next send goes straight through.
  EXPECT_EQ(world.cli({"send", "--panel", pane, "echo", "allowed-2"}).status, 0);
  EXPECT_TRUE(world.screenShowsLine(pane, "allowed-2"));
  // The attached user is the one client notify reaches: a message and a bell.
  EXPECT_EQ(world.request({{"method", "notify"}}), Json({{"clients", 1}}));
  // The bell goes to the terminal at once, the message with tmux's next
  // redraw: either may come first.
  EXPECT_TRUE(client.drew({"an agent asks for your attention", "\a"}));
}

}  // namespace
}  // namespace tesselo::test

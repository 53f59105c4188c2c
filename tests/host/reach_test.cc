// Reaching the host the ways users will: started by the service manager on
// the first connection (socket activation), and from another machine through
// an OpenSSH forward of the socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <thread>

#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

const char* const activate = "/usr/bin/systemd-socket-activate";
const char* const sshd = "/usr/sbin/sshd";

// list, send, read, and a wait that a hook event ends, against a socket.
void servesTheMainJob(HostWorld& world, const std::string& socket) {
  std::map<std::string, std::optional<std::string>> at{{"TESSELO_SOCKET", socket}};
  ProcessResult listed = world.cli({"list"}, {}, at);
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::string pane = listed.out.substr(listed.out.find("\n  ") + 3, 8);
  EXPECT_EQ(world.cli({"send", "--panel", pane, "echo", "reached-$((40+2))"}, {}, at).status, 0);
  EXPECT_TRUE(eventually([&] {
    return world.cli({"read", "--panel", pane}, {}, at).out.find("\nreached-42\n") !=
           std::string::npos;
  }));
  auto waited = std::async(std::launch::async, [&] {
    return world.cli({"wait", "--panel", pane, "--until", "working", "--timeout", "30"}, {}, at);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  at["TESSELO_PANE_ID"] = pane;
  world.cli({"claude-hook"}, R"({"hook_event_name":"UserPromptSubmit"})", at);
  ProcessResult result = waited.get();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "working\n");
}

TEST(HostReach, StartedOnTheFirstConnectionWithTheSocketHandedOver) {
  if (access(activate, X_OK) != 0) GTEST_SKIP() << "systemd-socket-activate is not installed";
  HostWorld world;
  ASSERT_TRUE(world.startHost({"--allow-send"}, {activate, "-l", world.socket})) << world.hostLog();
  servesTheMainJob(world, world.socket);
  EXPECT_NE(world.hostLog().find("tesselo-host: listening at " + world.socket), std::string::npos)
      << world.hostLog();
  // The socket is the service manager's: it stays when the host stops.
  EXPECT_EQ(world.stopHost(), 0);
  struct stat info;
  EXPECT_EQ(stat(world.socket.c_str(), &info), 0);

  // Anything else than a listening unix stream socket is refused.
  const std::string refusal =
      "tesselo-host: descriptor 3, handed over by the service manager, is not a listening unix "
      "stream socket\n";
  std::string plain = world.dir.file("plain");
  writeFile(plain, "x");
  ProcessResult file = runProcess(
      "/bin/sh",
      {"-c", "exec 3<\"$1\"; LISTEN_PID=$$ LISTEN_FDS=1 exec \"$2\"", "sh", plain, hostPath()});
  EXPECT_EQ(file.status, 1);
  EXPECT_EQ(file.err, refusal);
  // A datagram socket, handed over on the first datagram.
  std::string dgram = world.dir.file("dgram.sock");
  auto handedDatagram = std::async(std::launch::async, [&] {
    return runProcess("/usr/bin/timeout", {"10", activate, "-d", "-l", dgram, hostPath()},
                      {world.env, {}, {}, {}});
  });
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, dgram.c_str(), dgram.size());
  eventually([&] {
    return sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) == 1;
  });
  close(fd);
  ProcessResult refused = handedDatagram.get();
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(refusal), std::string::npos) << refused.err;
}

// An sshd of the test's own on a free loopback port, with throw-away keys,
// forwarding a local socket to the host's: `ssh -L local:remote`.
class SshForward {
 public:
  explicit SshForward(const HostWorld& world) : dir_(world.dir.file("ssh")) {
    mkdir(dir_.c_str(), 0700);
    for (const char* key : {"host", "user"})
      runProcess("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", dir_ + "/" + key});
    writeFile(dir_ + "/authorized", readFile(dir_ + "/user.pub"));
    // sshd wants its privilege separation folder even when it never uses it.
    mkdir("/run/sshd", 0755);
    for (int port = 22000 + getpid() % 2000; !running() && port < 24000; port += 97) {
      port_ = std::to_string(port);
      writeFile(dir_ + "/config",
                "ListenAddress 127.0.0.1\nPort " + port_ + "\nHostKey " + dir_ +
                    "/host\nAuthorizedKeysFile " + dir_ + "/authorized\nPidFile " + dir_ +
                    "/pid\nStrictModes no\nUsePAM no\nPermitRootLogin yes\n"
                    "AllowStreamLocalForwarding yes\nStreamLocalBindUnlink yes\n");
      sshd_ = startProcess(sshd, {"-D", "-e", "-f", dir_ + "/config"}, world.env);
      eventually([&] { return readFile(dir_ + "/pid").size() > 0 || !running(); },
                 std::chrono::seconds(5));
    }
  }
  ~SshForward() {
    if (forward_ > 0) kill(forward_, SIGTERM), waitpid(forward_, nullptr, 0);
    if (sshd_ > 0) kill(sshd_, SIGTERM), waitpid(sshd_, nullptr, 0);
  }
  bool running() const { return sshd_ > 0 && waitpid(sshd_, nullptr, WNOHANG) == 0; }
  // The local socket that reaches `remote` over the forward.
  bool forward(const std::string& local, const std::string& remote,
               const std::map<std::string, std::optional<std::string>>& env) {
    forward_ =
        startProcess("/usr/bin/ssh",
                     {"-N", "-i", dir_ + "/user", "-p", port_, "-o", "BatchMode=yes", "-o",
                      "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-o",
                      "StreamLocalBindUnlink=yes", "-L", local + ":" + remote, "root@127.0.0.1"},
                     env);
    return eventually([&] { return connectTo(local) >= 0; }, std::chrono::seconds(15));
  }

 private:
  std::string dir_, port_;
  pid_t sshd_ = -1, forward_ = -1;
};

TEST(HostReach, FromAnotherMachineThroughAnSshForward) {
  if (access(sshd, X_OK) != 0 || access("/usr/bin/ssh", X_OK) != 0)
    GTEST_SKIP() << "OpenSSH (openssh-server) is not installed";
  if (geteuid() != 0) GTEST_SKIP() << "the test's sshd logs in as root";
  HostWorld world;
  ASSERT_TRUE(world.startHost());
  SshForward ssh(world);
  ASSERT_TRUE(ssh.running()) << "sshd did not start";
  std::string local = world.dir.file("forwarded.sock");
  ASSERT_TRUE(ssh.forward(local, world.socket, world.env)) << "no forward at " << local;
  servesTheMainJob(world, local);
}

}  // namespace
}  // namespace tesselo::test

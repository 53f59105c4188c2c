// Reaching the host the ways users will: started by the service manager on
// the first connection (socket activation), and from another machine through
// an OpenSSH forward of the socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

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
  auto waited = world.later({"wait", "--panel", pane, "--until", "working", "--timeout", "30"}, at);
  at["TESSELO_PANE_ID"] = pane;
  world.cli({"claude-hook"}, R"({"hook_event_name":"UserPromptSubmit"})", at);
  EXPECT_EQ(waited.get().out, "working\n");
}

TEST(HostReach, StartedOnTheFirstConnectionWithTheSocketHandedOver) {
  const char* const activate = "/usr/bin/systemd-socket-activate";
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
  writeFile(world.dir.file("plain"), "x");
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  listen(tcp, 1);
  for (int fd : {open(world.dir.file("plain").c_str(), O_RDONLY), socket(AF_UNIX, SOCK_DGRAM, 0),
                 socket(AF_UNIX, SOCK_STREAM, 0), tcp}) {
    std::string script = "exec 3<&" + std::to_string(fd) + "; LISTEN_PID=$$ LISTEN_FDS=1 exec $0";
    ProcessResult handed = runProcess("/bin/bash", {"-c", script, hostPath()}, {.env = world.env});
    close(fd);
    EXPECT_EQ(said(handed),
              "1 tesselo-host: descriptor 3, handed over by the service manager, is not a "
              "listening unix stream socket\n");
  }
}

TEST(HostReach, FromAnotherMachineThroughAnSshForward) {
  const std::string sshd = "/usr/sbin/sshd", ssh = "/usr/bin/ssh";
  if (access(sshd.c_str(), X_OK) != 0 || access(ssh.c_str(), X_OK) != 0)
    GTEST_SKIP() << "OpenSSH (openssh-server) is not installed";
  if (geteuid() != 0) GTEST_SKIP() << "the test's sshd logs in as root";
  HostWorld world;
  ASSERT_TRUE(world.startHost());
  // An sshd of the test's own, which ssh runs itself and talks to over a
  // pipe, with throw-away keys.
  std::string dir = world.dir.file("ssh");
  mkdir(dir.c_str(), 0700);
  for (const char* key : {"host", "user"})
    runProcess("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", dir + "/" + key});
  // sshd wants its privilege separation folder even when it never uses it.
  mkdir("/run/sshd", 0755);
  writeFile(dir + "/config", "HostKey " + dir + "/host\nAuthorizedKeysFile " + dir +
                                 "/user.pub\nStrictModes no\nUsePAM no\nPermitRootLogin yes\n"
                                 "AllowStreamLocalForwarding yes\n");
  // `ssh -L local:remote`: the local socket reaches the host's.
  std::string local = world.dir.file("forwarded.sock");
  pid_t forward = startProcess(
      ssh,
      {"-N", "-i", dir + "/user", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no", "-o",
       "UserKnownHostsFile=/dev/null", "-o", "ProxyCommand=" + sshd + " -i -f '" + dir + "/config'",
       "-L", local + ":" + world.socket, "root@localhost"},
      world.env);
  std::shared_ptr<void> stop(nullptr, [&](void*) {
    kill(forward, SIGTERM);
    waitpid(forward, nullptr, 0);
  });
  // The probe's connection is closed at once: the host counts every one.
  EXPECT_TRUE(eventually([&] {
    int fd = connectTo(local);
    return fd >= 0 && close(fd) == 0;
  })) << "no forward at "
      << local;
  servesTheMainJob(world, local);
}

}  // namespace
}  // namespace tesselo::test

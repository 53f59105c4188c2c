// tmux going wrong under a running host: killed with requests and waits in
// flight, replaced by a new server, hung, absent; and pane content shaped
// like the control protocol itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

// Screen lines, names and folders shaped like control-mode lines come back
// as they are, and the stream stays in step for every later request. Hung,
// a server then costs a request its time limit, not the host; killed, it
// fails what is in flight at once, and a new one is served on.
TEST(HostTmuxFaults, ForgedProtocolLinesThenAHungKilledAndNewServer) {
  HostWorld world;
  ASSERT_TRUE(world.startHost());
  std::string pane = world.paneIds().at(0);
  std::string folder = world.dir.file("a\n%end 1 2 1\n%exit");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  world.tmux({"rename-window", "-t", "main", "%end\n%error %begin"});
  // Room for the terminators of the next hundred commands, this second
  // and the next.
  world.tmux({"resize-window", "-t", "main", "-y", "220"});
  world.tmux({"select-pane", "-t", "main", "-T", "%begin 1 1 1"});
  // The terminators of the next commands that tmux will run, learned from a
  // control client of the pane's own.
  std::string probe = "printf 'display -p x\\n' | tmux -S '" + world.tmuxSocket +
                      "' -C attach -f ignore-size,no-output | sed -n "
                      "'s/^%begin \\(.*\\) 1$/\\1/p'";
  world.type(pane, "cd \"$(printf 'a\\n%%end 1 2 1\\n%%exit')\"; set -- $(" + probe +
                       "); for i in $(seq 1 100); do echo \"%end $1 $(($2 + i)) 1\"; "
                       "echo \"%end $(($1 + 1)) $(($2 + i)) 1\"; done; "
                       "echo '%exit'; echo done-forging");
  // Waited for with tmux's own client, so as few commands as possible run
  // before the host's requests.
  ASSERT_TRUE(eventually([&] {
    return world.tmux({"capture-pane", "-p", "-t", "main"}).out.find("\ndone-forging") !=
           std::string::npos;
  }));
  for (int round = 0; round < 12; ++round) {
    Json listed = world.list();
    ASSERT_EQ(listed["terminals"].size(), 1u) << listed;
    EXPECT_EQ(listed["terminals"][0]["title"], "%end\\n%error %begin");
    EXPECT_EQ(listed["terminals"][0]["panels"][0]["title"], "%begin 1 1 1");
    std::string screen = world.screen(pane, 220);
    EXPECT_NE(screen.find(" 1\n%exit\ndone-forging"), std::string::npos) << screen;
  }
  EXPECT_TRUE(world.shows(pane, {"done-forging"}, "pwd | od -c | head -2"));

  pid_t server = std::stoi(world.tmux({"display-message", "-p", "#{pid}"}).out);
  ASSERT_EQ(kill(server, SIGSTOP), 0);
  EXPECT_EQ(world.cli({"list"}).err, "tesselo: tmux: tmux did not answer\n");
  // Requests that need no tmux are answered meanwhile.
  EXPECT_EQ(world.request({{"method", "fly"}})["error"], "unknown method \"fly\"");
  ASSERT_EQ(kill(server, SIGCONT), 0);
  EXPECT_TRUE(eventually([&] { return world.paneIds().size() == 1u; }));
  world.request({{"method", "agent-event"}, {"event", "UserPromptSubmit"}, {"panel", pane}});
  auto waited = world.later({"wait", "--panel", pane, "--until", "idle", "--timeout", "60"});
  // Stopped, the server holds the next request; killed, it can answer none.
  ASSERT_EQ(kill(server, SIGSTOP), 0);
  auto listed = world.later({"list"});
  ASSERT_EQ(kill(server, SIGKILL), 0);
  EXPECT_EQ(said(listed.get()), "1 tesselo: tmux: lost the connection to the tmux server\n");
  EXPECT_EQ(said(waited.get()), "1 tesselo: pane closed while waiting: " + pane + "\n");
  // No server: nothing to list, and the host serves on.
  EXPECT_EQ(world.list(), Json({{"terminals", Json::array()}}));

  // The new server numbers its panes afresh: the old pane's tmux id now names
  // another pane, which must not be read or typed into under the old id.
  world.tmux({"-f", "/dev/null", "new-session", "-d", "-s", "again", "-x", "80", "-y", "20"});
  for (const char* method : {"read", "send"}) {
    Json answer = world.request({{"method", method}, {"panel", pane}, {"text", "echo wrong\n"}});
    EXPECT_EQ(answer["error"], "unknown pane " + pane) << method;
  }
  Json again = world.list();
  ASSERT_EQ(again["terminals"].size(), 1u) << again;
  EXPECT_EQ(again["terminals"][0]["space"], "again");
  std::string fresh = again["terminals"][0]["panels"][0]["id"];
  EXPECT_NE(fresh, pane);
  EXPECT_EQ(world.screen(fresh).find("wrong"), std::string::npos);
  // A pane that closes is unknown at once, also to a cached lookup.
  std::string closing = world.cli({"split"}).out.substr(0, 16);
  EXPECT_TRUE(world.request({{"method", "read"}, {"panel", closing}}).contains("text"));
  world.tmux({"kill-pane", "-t", "again.1"});
  EXPECT_EQ(world.request({{"method", "read"}, {"panel", closing}})["error"],
            "unknown pane " + closing);
  // The host outlives the session its own connection sits in.
  world.tmux({"new-session", "-d", "-s", "other"});
  ASSERT_EQ(world.tmux({"kill-session", "-t", "=again"}).status, 0);
  Json left;
  EXPECT_TRUE(eventually([&] {
    left = world.list();
    return left.contains("terminals") && left["terminals"].size() == 1u;
  })) << left;
  EXPECT_EQ(left["terminals"][0]["space"], "other");
  EXPECT_EQ(world.cli({"split"}).status, 0);
}

TEST(HostTmuxFaults, MissingTmuxGitOrServerGiveTheUsualAnswersAndTheHostStartsTmux) {
  HostWorld world;
  world.env["PATH"] = world.dir.path();
  ASSERT_TRUE(world.startHost());
  EXPECT_EQ(world.cli({"list"}).err, "tesselo: tmux: cannot run tmux: is it installed?\n");
  world.stopHost();
  // tmux alone on the PATH: git's absence is said as such.
  ASSERT_EQ(symlink(tmuxPath().c_str(), world.dir.file("tmux").c_str()), 0);
  ASSERT_TRUE(world.startHost());
  EXPECT_EQ(world.cli({"new", "--cwd", world.home, "--worktree"}).err,
            "tesselo: cannot run git: is it installed?\n");
  world.stopHost();
  world.env.erase("PATH");
  world.tmux({"kill-server"});
  // Started from inside a pane, the host must not hand that pane's id on.
  world.env["TESSELO_PANE_ID"] = "0123456789abcdef";
  ASSERT_TRUE(world.startHost());
  world.env["TESSELO_PANE_ID"] = std::nullopt;
  EXPECT_EQ(world.list(), Json({{"terminals", Json::array()}}));
  // Each of these runs a tmux process; none may cost the host a descriptor.
  size_t open = world.hostDescriptors();
  for (int i = 0; i < 20; ++i) world.list();
  EXPECT_TRUE(eventually([&] { return world.hostDescriptors() <= open; }, std::chrono::seconds(3)))
      << open << " then " << world.hostDescriptors();

  // The host starts tmux for a new terminal. Panes opened with tmux's own
  // keys carry no id rather than a wrong one, and the helper tells them
  // theirs.
  ASSERT_EQ(said(world.cli({"new", "--space", "fresh"})), "0 ");
  // A pane of tmux's own making: what it was given, then what the helper says.
  std::string file = world.dir.file("id");
  std::string line = "echo \"[$TESSELO_PANE_ID]\" >'" + file + "'; '" + hostPath() +
                     "' --pane-id >>'" + file + "'; exec sh";
  ASSERT_EQ(world.tmux({"split-window", "-t", "=fresh:", line}).status, 0);
  ASSERT_TRUE(eventually([&] { return readFile(file).size() >= 3 + 17; })) << readFile(file);
  ASSERT_EQ(readFile(file).substr(0, 3), "[]\n") << readFile(file);
  // The helper and the host agree: the pane answers to that id.
  std::string id = readFile(file).substr(3, 16);
  EXPECT_TRUE(world.shows(id, {"via-host"}, "echo via-host"));
}

}  // namespace
}  // namespace tesselo::test

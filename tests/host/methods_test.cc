// Every pane method through the real tesselo binary, against real tmux.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

bool isHex(const std::string& text, size_t length) {
  return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

class HostMethods : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(world.startHost()) << world.hostLog(); }
  HostWorld world;
};

// Ids are stable across lists and host restarts; the client shows them cut
// to eight characters.
TEST_F(HostMethods, ListAndNotifyAnswerWithStableIdsAndWholeText) {
  Json answer = world.list();
  ASSERT_EQ(answer["terminals"].size(), 1u) << answer;
  const Json& terminal = answer["terminals"][0];
  EXPECT_TRUE(isHex(terminal["id"], 16)) << terminal;
  EXPECT_EQ(terminal["space"], "main");
  EXPECT_FALSE(terminal.contains("state"));
  ASSERT_EQ(terminal["panels"].size(), 1u);
  const Json& pane = terminal["panels"][0];
  EXPECT_TRUE(isHex(pane["id"], 16)) << pane;
  EXPECT_EQ(pane["process"], "sh");
  EXPECT_FALSE(pane.contains("agent"));

  ProcessResult shown = world.cli({"list"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  std::string expected = terminal["id"].get<std::string>().substr(0, 8) + "  " +
                         terminal["title"].get<std::string>() + "\n  " +
                         pane["id"].get<std::string>().substr(0, 8) + "  sh\n";
  EXPECT_EQ(shown.out, expected);

  ProcessResult notified = world.cli({"notify"});
  EXPECT_EQ(notified.status, 0) << notified.err;
  EXPECT_EQ(notified.out, "");
  EXPECT_EQ(world.request({{"method", "notify"}}), Json({{"clients", 0}}));

  std::vector<std::string> before{pane["id"]};
  EXPECT_EQ(world.paneIds(), before);
  EXPECT_EQ(world.stopHost(), 0);
  ASSERT_TRUE(world.startHost());
  EXPECT_EQ(world.paneIds(), before);

  // Without any locale in the host's environment, text outside ASCII comes
  // back whole: on the screen, in window names and in pane titles. tmux keeps
  // a control character in a name as the escape "\037" and refuses it in a
  // title.
  std::string id = before[0];
  ASSERT_EQ(world.tmux({"rename-window", "-t", "main", "wé─\x1fx"}).status, 0);
  ASSERT_EQ(world.tmux({"select-pane", "-t", "main", "-T", "tïtle ┌┐"}).status, 0);
  ASSERT_EQ(world.tmux({"select-pane", "-t", "main", "-T", "bad\x1f"}).status, 0);
  Json renamed = world.list()["terminals"][0];
  EXPECT_EQ(renamed["title"], "wé─\\037x");
  EXPECT_EQ(renamed["panels"][0]["title"], "tïtle ┌┐");
  EXPECT_EQ(renamed["panels"][0]["id"], id);

  world.type(id, "printf '%s\\n' 'héllo ─│┌┐ wörld'");
  EXPECT_TRUE(world.screenShowsLine(id, "héllo ─│┌┐ wörld")) << world.screen(id);
  ProcessResult read = world.cli({"read", "--panel", id, "--lines", "2"});
  EXPECT_EQ(read.out.substr(0, read.out.find('\n')), "héllo ─│┌┐ wörld") << read.out;
}

// One pane through a session of sends: out of copy mode, with and without
// Enter, semicolons tmux would take as separators, and long Unicode texts.
TEST_F(HostMethods, SendTypesIntoThePaneAndReadReturnsItsScreen) {
  std::string pane = world.paneIds().at(0);
  ASSERT_EQ(world.tmux({"copy-mode", "-t", "main"}).status, 0);
  ASSERT_EQ(world.tmux({"display-message", "-p", "-t", "main", "#{pane_in_mode}"}).out, "1\n");
  ProcessResult sent = world.cli({"send", "--panel", pane.substr(0, 8), "echo", "hello-$((6*7))"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out, "");
  // The echo's output, not just the typed line: Enter was pressed.
  ASSERT_TRUE(world.screenShowsLine(pane, "hello-42")) << world.screen(pane);

  ProcessResult read = world.cli({"read", "--panel", pane.substr(0, 8), "--lines", "2"});
  EXPECT_EQ(read.status, 0) << read.err;
  // The bottom two written lines: the output and the next prompt.
  std::regex twoLines("hello-42\n[$#] ?\n");
  EXPECT_TRUE(std::regex_match(read.out, twoLines)) << read.out;
  // An agent's tool call reads the same screen through tesselo-mcp.
  std::string call =
      R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"tesselo_read","arguments":{"panel":")" +
      pane.substr(0, 8) + R"("}}})";
  ProcessResult served = runProcess(mcpPath(), {}, {world.env, call + "\n", {}, {}});
  EXPECT_NE(served.out.find(R"(hello-42\n)"), std::string::npos) << served.out;
  EXPECT_NE(served.out.find("\"isError\":false"), std::string::npos) << served.out;

  sent = world.cli({"send", "--panel", pane, "--raw", "echo", "'semi;;'", "\\;"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  ASSERT_TRUE(eventually([&] {
    return world.screen(pane).find("echo 'semi;;' \\;") != std::string::npos;
  })) << world.screen(pane);
  EXPECT_EQ(world.screen(pane).find("\nsemi"), std::string::npos);
  world.type(pane, "");
  ASSERT_TRUE(world.screenShowsLine(pane, "semi;; ;")) << world.screen(pane);

  // A final line feed is the Enter key (a carriage return), not a typed
  // line feed: a program reading the raw keys, as Claude Code does, sees it.
  world.type(pane, "stty raw -echo; echo raw-now; head -c 2 | od -An -c; stty sane");
  ASSERT_TRUE(world.screenShowsLine(pane, "raw-now")) << world.screen(pane);
  world.request({{"method", "send"}, {"panel", pane}, {"text", "x\n"}});
  ASSERT_TRUE(eventually([&] { return world.screen(pane).find("x  \\r") != std::string::npos; }))
      << world.screen(pane);
  // Several lines, as a terminal takes at most 4095 characters per line.
  std::string line = std::string(3000, 'x') + "é€\n";
  std::string text =
      "cat <<'EOF' | wc -c | awk '{print \"bytes=\" $1}'\n" + line + line + line + "EOF\n";
  sent = world.cli({"send", "--panel", pane, "--raw", text});
  EXPECT_EQ(sent.status, 0) << sent.err;
  // wc counts bytes: nothing was lost or cut inside a character. The count is
  // looked for within a line, since text typed ahead of the shell's
  // continuation prompts can leave a "> " in front of it.
  std::string counted = "bytes=" + std::to_string(3 * line.size());
  ASSERT_TRUE(eventually([&] { return world.screen(pane).find(counted) != std::string::npos; }))
      << world.screen(pane);
}

TEST_F(HostMethods, ReadAddressesPanesByPrefixOrFullIdOnly) {
  std::string pane = world.paneIds().at(0);
  struct Case {
    std::string query;
    bool found;
  } cases[] = {
      {pane, true},
      {pane.substr(0, 8), true},
      {pane.substr(0, 12), true},
      {pane.substr(0, 7), false},
      {pane + "0", false},
      {"zzzzzzzz", false},
  };
  ProcessResult zero = world.cli({"read", "--lines", "0"});
  EXPECT_EQ(zero.status, 1);
  EXPECT_EQ(zero.err, "tesselo: \"lines\" must be at least 1\n");
  for (const Case& c : cases) {
    ProcessResult read = world.cli({"read", "--panel", c.query});
    if (c.found) {
      EXPECT_EQ(read.status, 0) << c.query << ": " << read.err;
    } else {
      EXPECT_EQ(read.status, 1) << c.query;
      EXPECT_EQ(read.err, "tesselo: unknown pane " + c.query + "\n");
      EXPECT_EQ(read.out, "");
    }
  }
}

TEST_F(HostMethods, SplitAddsPanesThatKnowTheirOwnIdToANamedTerminalOnly) {
  for (const char* flag : {"", "--down"}) {
    std::vector<std::string> args{"split"};
    if (*flag) args.push_back(flag);
    ProcessResult split = world.cli(args);
    ASSERT_EQ(split.status, 0) << split.err;
    std::string id = split.out.substr(0, split.out.size() - 1);
    ASSERT_TRUE(isHex(id, 16)) << split.out;
    auto ids = world.paneIds();
    EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end());
    world.type(id, "echo \"pane=$TESSELO_PANE_ID\"; echo \"socket=$TESSELO_SOCKET\"");
    EXPECT_TRUE(world.screenShowsLine(id, "pane=" + id)) << world.screen(id);
    EXPECT_TRUE(world.screenShowsLine(id, "socket=" + world.socket)) << world.screen(id);
  }
  std::string terminal = world.firstTerminalId();
  ProcessResult split = world.cli({"split", "--terminal", terminal.substr(0, 8)});
  EXPECT_EQ(split.status, 0) << split.err;
  ProcessResult unknown = world.cli({"split", "--terminal", "0123456789"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "tesselo: unknown terminal 0123456789\n");
  Json bad = world.request({{"method", "split"}, {"direction", "up"}});
  EXPECT_EQ(bad["error"], "\"direction\" must be \"right\" or \"down\"");
  EXPECT_EQ(world.list()["terminals"][0]["panels"].size(), 4u);
  auto layout = world.tmux({"display-message", "-p", "-t", "main:0", "#{window_panes}"});
  EXPECT_EQ(layout.out, "4\n");
}

TEST_F(HostMethods, NewOpensATerminalInItsSpaceAndFolder) {
  // Without a space it joins the focused one, and runs its command.
  ProcessResult started = world.cli({"new", "--command", "echo started-$((1+1)); exec sh"});
  ASSERT_EQ(started.status, 0) << started.err;
  std::string first = started.out.substr(0, started.out.size() - 1);
  EXPECT_TRUE(world.screenShowsLine(first, "started-2")) << world.screen(first);
  auto windows = world.tmux({"list-windows", "-t", "=main", "-F", "#{window_id}"});
  EXPECT_EQ(std::count(windows.out.begin(), windows.out.end(), '\n'), 2);

  std::string folder = world.dir.file("work dir");
  mkdir(folder.c_str(), 0700);
  for (int round = 0; round < 2; ++round) {
    ProcessResult created = world.cli({"new", "--space", "work", "--cwd", folder});
    ASSERT_EQ(created.status, 0) << created.err;
    std::string pane = created.out.substr(0, created.out.size() - 1);
    ASSERT_TRUE(isHex(pane, 16)) << created.out;
    world.type(pane, "pwd");
    EXPECT_TRUE(world.screenShowsLine(pane, folder)) << world.screen(pane);
  }
  // The space was created once, then reused.
  auto sessions = world.tmux({"list-windows", "-t", "=work", "-F", "#{session_name}"});
  EXPECT_EQ(sessions.out, "work\nwork\n");
  // A name tmux rewrites is found again under its rewritten form.
  for (int round = 0; round < 2; ++round)
    EXPECT_EQ(world.request({{"method", "new"}, {"space", "v1.2:x"}})["space"], "v1_2_x");
  EXPECT_EQ(world.tmux({"list-windows", "-t", "=v1_2_x", "-F", "w"}).out, "w\nw\n");
  EXPECT_EQ(world.request({{"method", "new"}, {"space", ""}})["error"],
            "\"space\" must not be empty");
  int inWork = 0;
  Json listed = world.list();
  for (const auto& terminal : listed["terminals"]) inWork += terminal["space"] == "work";
  EXPECT_EQ(inWork, 2);

  struct Case {
    std::vector<std::string> args;
    std::string error;
  } refused[] = {
      {{"new", "--cwd", "relative/dir"},
       "tesselo: \"cwd\" must be an absolute path: relative/dir\n"},
      {{"new", "--cwd", world.dir.file("missing")},
       "tesselo: no such folder: " + world.dir.file("missing") + "\n"},
      {{"new", "--cwd", world.home, "--worktree"},
       "tesselo: not in a git repository: " + world.home + "\n"},
  };
  size_t panes = world.paneIds().size();
  for (const Case& c : refused) {
    ProcessResult created = world.cli(c.args);
    EXPECT_EQ(created.status, 1);
    EXPECT_EQ(created.err, c.error);
  }
  EXPECT_EQ(world.paneIds().size(), panes);
}

class HostWorktree : public HostMethods {
 protected:
  ProcessResult git(const std::vector<std::string>& args) {
    auto env = world.env;
    env["GIT_AUTHOR_NAME"] = env["GIT_COMMITTER_NAME"] = "Test";
    env["GIT_AUTHOR_EMAIL"] = env["GIT_COMMITTER_EMAIL"] = "test@example.com";
    env["GIT_CONFIG_NOSYSTEM"] = "1";
    std::vector<std::string> all{"-C", repo};
    all.insert(all.end(), args.begin(), args.end());
    return runProcess("/usr/bin/git", all, {env, {}, {}, {}});
  }
  std::string repo = world.dir.file("project");
};

TEST_F(HostWorktree, NewWithWorktreeOpensAFreshBranchBesideTheRepository) {
  mkdir(repo.c_str(), 0700);
  ASSERT_EQ(git({"init", "-q"}).status, 0);
  // With no commit yet there is nothing to branch from: git's reason is shown.
  ProcessResult empty = world.cli({"new", "--cwd", repo, "--worktree"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind("tesselo: git worktree add failed: ", 0), 0u) << empty.err;
  EXPECT_EQ(world.paneIds().size(), 1u);

  writeFile(repo + "/README", "hello\n");
  ASSERT_EQ(git({"add", "README"}).status, 0);
  ASSERT_EQ(git({"commit", "-qm", "first"}).status, 0);
  ProcessResult created = world.cli({"new", "--cwd", repo, "--worktree"});
  ASSERT_EQ(created.status, 0) << created.err;
  std::smatch m;
  std::regex shape("(tesselo-[0-9a-f]{6})\t(.*)\n([0-9a-f]{16})\n");
  ASSERT_TRUE(std::regex_match(created.out, m, shape)) << created.out;
  std::string branch = m[1], folder = m[2], pane = m[3];
  EXPECT_EQ(folder, world.dir.file("project-" + branch));
  EXPECT_EQ(readFile(folder + "/README"), "hello\n");
  EXPECT_NE(git({"worktree", "list"}).out.find(folder), std::string::npos);
  EXPECT_EQ(git({"rev-parse", "--verify", "--quiet", "refs/heads/" + branch}).status, 0);
  world.type(pane, "pwd; git branch --show-current");
  EXPECT_TRUE(world.screenShowsLine(pane, folder)) << world.screen(pane);
  EXPECT_TRUE(world.screenShowsLine(pane, branch)) << world.screen(pane);

  // A second worktree gets its own branch and folder, also when the
  // repository is named with a trailing slash.
  ProcessResult again = world.cli({"new", "--cwd", repo + "/", "--worktree"});
  ASSERT_EQ(again.status, 0) << again.err;
  ASSERT_TRUE(std::regex_match(again.out, m, shape)) << again.out;
  EXPECT_NE(m[1], branch);
  EXPECT_EQ(m[2], world.dir.file("project-" + m[1].str()));
}

// Panes opened with tmux's own keys carry no id rather than a wrong one (the
// host started from inside a pane must not hand that pane's id on), and the
// helper tells them theirs.
TEST(HostStartsTmux, PanesOpenedWithTmuxKeysGetTheirIdFromTheHelper) {
  HostWorld world;
  world.tmux({"kill-server"});
  world.env["TESSELO_PANE_ID"] = "0123456789abcdef";
  ASSERT_TRUE(world.startHost());
  world.env["TESSELO_PANE_ID"] = std::nullopt;
  ProcessResult created = world.cli({"new", "--space", "fresh"});
  ASSERT_EQ(created.status, 0) << created.err;
  auto split = world.tmux({"split-window", "-t", "=fresh:", "-P", "-F", "#{pane_id}"});
  ASSERT_EQ(split.status, 0) << split.err;
  std::string tmuxPane = split.out.substr(0, split.out.size() - 1);
  auto shown = [&] { return world.tmux({"capture-pane", "-p", "-t", tmuxPane}).out; };
  eventually([&] { return shown().find_first_not_of('\n') != std::string::npos; });
  std::string file = world.dir.file("id");
  std::string line = "echo \"id=[$TESSELO_PANE_ID]\"; '" + hostPath() + "' --pane-id > '" + file +
                     "'; echo helper-$((6*7))";
  world.tmux({"send-keys", "-t", tmuxPane, "-l", line});
  world.tmux({"send-keys", "-t", tmuxPane, "Enter"});
  EXPECT_TRUE(eventually([&] { return shown().find("\nid=[]") != std::string::npos; })) << shown();
  // Typed before the shell is back, a line's output would share the prompt's line.
  ASSERT_TRUE(eventually([&] { return shown().find("\nhelper-42") != std::string::npos; }))
      << shown();
  ASSERT_EQ(readFile(file).size(), 17u) << readFile(file);
  std::string id = readFile(file).substr(0, 16);
  auto ids = world.paneIds();
  EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end());
  // The helper and the host agree: the pane answers to that id.
  world.type(id, "echo via-host");
  EXPECT_TRUE(world.screenShowsLine(id, "via-host"));

  ProcessResult outside = runProcess(hostPath(), {"--pane-id"}, {world.env, {}, {}, {}});
  EXPECT_EQ(outside.status, 1);
  EXPECT_EQ(outside.err, "tesselo-host: --pane-id works only inside a tmux pane\n");
}

}  // namespace
}  // namespace tesselo::test

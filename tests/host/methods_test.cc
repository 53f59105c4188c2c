// Every pane method through the real tesselo binary, against real tmux.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

bool isHex(const std::string& text) {
  return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

class HostMethods : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(world.startHost()) << world.hostLog(); }
  // The id a creating command prints on its last line.
  static std::string created(const ProcessResult& run) {
    return run.out.size() < 17 ? run.err : run.out.substr(run.out.size() - 17, 16);
  }
  HostWorld world;
};

// Ids are stable across lists and host restarts; the client shows them cut
// to eight characters. Without any locale in the host's environment, text
// outside ASCII comes back whole: on the screen, in window names and in pane
// titles. tmux keeps a control character in a name as the escape "\037".
TEST_F(HostMethods, ListSendAndReadKeepIdsStableAndTextWhole) {
  ASSERT_EQ(world.tmux({"rename-window", "-t", "main", "wé─\x1fx"}).status, 0);
  ASSERT_EQ(world.tmux({"select-pane", "-t", "main", "-T", "tïtle ┌┐"}).status, 0);
  Json answer = world.list();
  std::string terminal = answer["terminals"][0].value("id", ""),
              id = answer["terminals"][0]["panels"][0].value("id", "");
  EXPECT_TRUE(isHex(terminal) && isHex(id)) << answer;
  EXPECT_EQ(answer, Json::parse(R"({"terminals":[{"id":")" + terminal +
                                R"(","title":"wé─\\037x","space":"main","panels":[{"id":")" + id +
                                R"(","title":"tïtle ┌┐","process":"sh"}]}]})"));
  EXPECT_EQ(world.cli({"list"}).out,
            terminal.substr(0, 8) + "  wé─\\037x\n  " + id.substr(0, 8) + "  sh\n");
  EXPECT_EQ(world.stopHost(), 0);
  ASSERT_TRUE(world.startHost());
  EXPECT_EQ(world.paneIds(), std::vector<std::string>{id});
  EXPECT_TRUE(world.shows(id, {"héllo ─│┌┐ wörld"}, "printf '%s\\n' 'héllo ─│┌┐ wörld'"))
      << world.screen(id);

  // Then sends: out of copy mode, with and without Enter, semicolons tmux
  // would take as separators, and long Unicode texts.
  const std::string& pane = id;
  ASSERT_EQ(world.tmux({"copy-mode", "-t", "main"}).status, 0);
  ASSERT_EQ(world.tmux({"display-message", "-p", "-t", "main", "#{pane_in_mode}"}).out, "1\n");
  ProcessResult sent = world.cli({"send", "--panel", pane.substr(0, 8), "echo", "hello-$((6*7))"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  // The echo's output, not just the typed line: Enter was pressed.
  ASSERT_TRUE(world.shows(pane, {"hello-42"})) << world.screen(pane);
  // The bottom two written lines: the output and the next prompt.
  ProcessResult read = world.cli({"read", "--panel", pane.substr(0, 8), "--lines", "2"});
  EXPECT_TRUE(std::regex_match(read.out, std::regex("hello-42\n[$#] ?\n"))) << read.out;

  sent = world.cli({"send", "--panel", pane, "--raw", "echo", "'semi;;'", "\\;"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  ASSERT_TRUE(eventually([&] {
    return world.screen(pane).find("echo 'semi;;' \\;") != std::string::npos;
  })) << world.screen(pane);
  EXPECT_EQ(world.screen(pane).find("\nsemi"), std::string::npos);
  ASSERT_TRUE(world.shows(pane, {"semi;; ;"}, "")) << world.screen(pane);

  // A final line feed is the Enter key (a carriage return), not a typed
  // line feed: a program reading the raw keys, as Claude Code does, sees it.
  ASSERT_TRUE(world.shows(pane, {"raw-now"},
                          "stty raw -echo; echo raw-now; head -c 2 | od -An -c; stty sane"))
      << world.screen(pane);
  world.request({{"method", "send"}, {"panel", pane}, {"text", "x\n"}});
  ASSERT_TRUE(eventually([&] { return world.screen(pane).find("x  \\r") != std::string::npos; }))
      << world.screen(pane);
  // Several lines, as a terminal takes at most 4095 characters per line.
  std::string line = std::string(3000, 'x') + "é€\n";
  std::string text =
      "cat <<'EOF' | wc -c | awk '{print \"bytes=\" $1}'\n" + line + line + line + "EOF\n";
  EXPECT_EQ(world.cli({"send", "--panel", pane, "--raw", text}).status, 0);
  // wc counts bytes: nothing was lost or cut inside a character. The count is
  // looked for within a line, since text typed ahead of the shell's
  // continuation prompts can leave a "> " in front of it.
  std::string counted = "bytes=" + std::to_string(3 * line.size());
  ASSERT_TRUE(eventually([&] { return world.screen(pane).find(counted) != std::string::npos; }))
      << world.screen(pane);
}

TEST_F(HostMethods, SplitAndNewOpenPanesThatKnowTheirIdWhereAskedWorktreesIncluded) {
  std::string terminal = world.list()["terminals"][0]["id"];
  for (const auto& args : {std::vector<std::string>{"split"},
                           {"split", "--down"},
                           {"split", "--terminal", terminal.substr(0, 8)}}) {
    std::string id = created(world.cli(args));
    ASSERT_TRUE(isHex(id)) << id;
    // Short output lines: the third pane is narrow.
    EXPECT_TRUE(world.shows(id, {id, "socket-ok"},
                            "echo \"$TESSELO_PANE_ID\"; [ \"$TESSELO_SOCKET\" = '" + world.socket +
                                "' ] && echo socket-ok"))
        << world.screen(id);
  }
  EXPECT_EQ(world.tmux({"display-message", "-p", "-t", "main:0", "#{window_panes}"}).out, "4\n");

  std::string folder = world.dir.file("work dir");
  mkdir(folder.c_str(), 0700);
  for (int round = 0; round < 2; ++round) {
    std::string pane = created(world.cli({"new", "--space", "work", "--cwd", folder}));
    EXPECT_TRUE(world.shows(pane, {folder}, "pwd")) << world.screen(pane);
  }
  // The space was created once, then reused.
  EXPECT_EQ(world.tmux({"list-windows", "-t", "=work", "-F", "#{session_name}"}).out,
            "work\nwork\n");
  // Without a space a new terminal joins the focused one, with no client the
  // latest used (not the one the host's own connection sits in), and runs
  // its command.
  std::string first = created(world.cli({"new", "--command", "echo started-$((1+1)); exec sh"}));
  EXPECT_TRUE(world.shows(first, {"started-2"})) << world.screen(first);
  EXPECT_EQ(world.tmux({"list-windows", "-t", "=work", "-F", "w"}).out, "w\nw\nw\n");
  // A name tmux rewrites is found again under its rewritten form.
  for (int round = 0; round < 2; ++round)
    EXPECT_EQ(world.request({{"method", "new"}, {"space", "v1.2:x"}})["space"], "v1_2_x");
  EXPECT_EQ(world.tmux({"list-windows", "-t", "=v1_2_x", "-F", "w"}).out, "w\nw\n");

  // With a worktree, a fresh branch is opened beside the repository.
  std::string repo = world.dir.file("project");
  auto git = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all{"-c", "user.name=T", "-c", "user.email=t@example.com", "-C", repo};
    all.insert(all.end(), args.begin(), args.end());
    return runProcess("/usr/bin/git", all, {.env = world.env});
  };
  mkdir(repo.c_str(), 0700);
  ASSERT_EQ(git({"init", "-q"}).status, 0);
  // With no commit yet there is nothing to branch from: git's reason is
  // shown, and no pane is opened.
  size_t panes = world.paneIds().size();
  ProcessResult empty = world.cli({"new", "--cwd", repo, "--worktree"});
  EXPECT_EQ(said(empty).rfind("1 tesselo: git worktree add failed: ", 0), 0u) << empty.err;
  EXPECT_EQ(world.paneIds().size(), panes);

  writeFile(repo + "/README", "hello\n");
  ASSERT_EQ(git({"add", "README"}).status, 0);
  ASSERT_EQ(git({"commit", "-qm", "first"}).status, 0);
  std::smatch m;
  std::regex shape("(tesselo-[0-9a-f]{6})\t(.*)\n([0-9a-f]{16})\n");
  // A second worktree gets its own branch and folder, also when the
  // repository is named with a trailing slash.
  std::string branch;
  for (const std::string& named : {repo, repo + "/"}) {
    ProcessResult made = world.cli({"new", "--cwd", named, "--worktree"});
    ASSERT_TRUE(std::regex_match(made.out, m, shape)) << made.out << made.err;
    EXPECT_NE(m[1], branch);
    branch = m[1];
    std::string folder = m[2], pane = m[3];
    EXPECT_EQ(folder, world.dir.file("project-" + branch));
    EXPECT_EQ(readFile(folder + "/README"), "hello\n");
    EXPECT_EQ(git({"rev-parse", "--verify", "--quiet", "refs/heads/" + branch}).status, 0);
    EXPECT_TRUE(world.shows(pane, {folder, branch}, "pwd; git branch --show-current"))
        << world.screen(pane);
  }
}

}  // namespace
}  // namespace tesselo::test

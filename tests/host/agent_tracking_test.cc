// What the host learns about agents beyond their hook events, against a
// stand-in for Claude Code running in real panes: the pane an event comes
// from, the agent's death, and the ways a turn ends or waits without a hook
// event saying so.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <thread>

#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

// The stand-in, started in a pane of its own; the pane's shell stays its
// parent, so the pane outlives it.
class StandIn {
 public:
  StandIn(const HostWorld& world, std::string pane, std::string session)
      : world_(world), pane_(std::move(pane)), session_(std::move(session)) {
    world_.type(pane_, "sh '" + std::string(STAND_IN_AGENT) + "' '" + cliPath() + "' " + session_);
    eventually([&] { return !pidText().empty(); });
  }
  // One step, typed into the agent as a user types into Claude Code.
  void step(const std::string& line) const {
    world_.request({{"method", "send"}, {"panel", pane_}, {"text", line + "\n"}});
  }
  pid_t pid() const { return std::stoi(pidText()); }
  std::string state() const {
    Json listed = world_.list();
    for (const auto& terminal : listed["terminals"])
      for (const auto& pane : terminal["panels"])
        if (pane["id"] == pane_) return pane.value("state", std::string("(none)"));
    return "(no pane)";
  }
  bool becomes(const std::string& state) const {
    return eventually([&] { return this->state() == state; }, std::chrono::seconds(8));
  }
  // A wait parked on the pane now, answered later.
  std::future<ProcessResult> park(const std::string& until, const std::string& seconds) const {
    return world_.later({"wait", "--panel", pane_, "--until", until, "--timeout", seconds});
  }
  const std::string& pane() const { return pane_; }

 private:
  std::string pidText() const {
    return readFile(world_.home + "/agent-" + session_ + ".pid").substr(0, 10);
  }
  const HostWorld& world_;
  std::string pane_, session_;
};

class HostAgentTracking : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(world.startHost()) << world.hostLog(); }
  // A terminal of its own, so the stand-in's lines never wrap.
  std::string newPane() { return world.cli({"new"}).out.substr(0, 16); }
  HostWorld world;
};

// Each way a turn ends or waits, in a pane of its own, all at once: the
// steps before reach the middle state, a wait is parked, the steps after run;
// the wait ends with status 0 at the final state, or runs to its 3 s
// deadline (status 2) while the pane stays at it.
TEST_F(HostAgentTracking, TheStateFollowsEveryWayATurnEndsOrWaits) {
  struct Scenario {
    const char* name;
    std::vector<std::string> before;
    const char* mid;
    std::vector<std::string> after;
    const char* until;
    int status;
    const char* state;
  } scenarios[] = {
      // clang-format off
      {"the answer", {"draw running"}, "working", {"event Stop"}, "idle", 0, "idle"},
      {"Escape while streaming", {"draw running"}, "working", {"write interrupted", "draw rest"}, "idle", 0, "idle"},
      {"Escape during a tool", {"draw running"}, "working", {"write tool-interrupted", "draw rest"}, "idle", 0, "idle"},
      {"Escape at a permission prompt", {"draw running", "draw dialog"}, "blocked", {"write tool-interrupted", "draw rest"}, "idle", 0, "idle"},
      {"Escape before the first token", {"draw running"}, "working", {"draw prompt"}, "idle", 0, "idle"},
      {"an API error", {"draw running"}, "working", {"write api-error", "draw rest"}, "idle", 0, "idle"},
      {"a prompt answered yes", {"draw running", "draw dialog"}, "blocked", {"draw running"}, "working", 0, "working"},
      {"its late notification", {"draw running", "draw dialog", "draw running"}, "working", {"event Notification permission_prompt"}, "idle", 2, "working"},
      {"a long phase", {"draw running"}, "working", {}, "idle", 2, "working"},
      {"the next prompt typed ahead", {"draw running"}, "working", {"draw typing"}, "idle", 2, "working"},
      {"a prompt left open", {"draw running", "draw dialog"}, "blocked", {}, "idle", 2, "blocked"},
      {"the user's text quoting the status", {"draw running"}, "working", {"draw quoted"}, "idle", 0, "idle"},
      {"transcripts no version writes", {"draw running"}, "working", {"write garbage", "write huge", "write stale"}, "idle", 2, "working"},
      // clang-format on
  };
  std::vector<std::string> panes;
  for (size_t i = 0; i < std::size(scenarios); ++i) panes.push_back(newPane());
  std::vector<std::future<void>> running;
  for (size_t i = 0; i < std::size(scenarios); ++i)
    running.push_back(std::async(std::launch::async, [&, i] {
      const Scenario& s = scenarios[i];
      SCOPED_TRACE(s.name);
      StandIn agent(world, panes[i], "5e55" + std::to_string(1000 + i));
      agent.step("event SessionStart");
      ASSERT_TRUE(agent.becomes("idle")) << agent.state();
      agent.step("event UserPromptSubmit");
      for (const auto& step : s.before) agent.step(step);
      ASSERT_TRUE(agent.becomes(s.mid)) << agent.state();
      // A user takes longer than the host's look at the screen before the
      // ending: what it shows while a turn runs is known by then.
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      auto waited = agent.park(s.until, s.status == 0 ? "30" : "3");
      for (const auto& step : s.after) agent.step(step);
      ProcessResult result = waited.get();
      EXPECT_EQ(result.status, s.status) << result.err;
      EXPECT_EQ(result.out, std::string(s.state) + "\n");
      EXPECT_EQ(agent.state(), s.state);
    }));
  for (auto& r : running) r.get();
}

// With three connection slots: parked waits beyond them starve nothing.
TEST_F(HostAgentTracking, EventsFindTheirPaneWithoutAnIdAndTheAgentsDeathIsSeen) {
  world.stopHost();
  ASSERT_TRUE(world.startHost({"--allow-send", "--max-connections", "3", "--idle-timeout", "60"}));
  std::string quiet = newPane();
  StandIn agent(world, newPane(), "5e552000");
  agent.step("event SessionStart");
  ASSERT_TRUE(agent.becomes("idle"));
  StandIn bystander(world, quiet, "5e552001");
  agent.step("event UserPromptSubmit");
  ASSERT_TRUE(agent.becomes("working"));
  EXPECT_EQ(bystander.state(), "(none)");
  std::string listed = world.cli({"list"}).out;
  EXPECT_NE(listed.find("  " + agent.pane().substr(0, 8) + "  sh  claude [working]\n"),
            std::string::npos)
      << listed;
  EXPECT_NE(listed.find("  [working]\n"), std::string::npos) << listed;
  // A wait for a state already there is answered at once.
  ProcessResult now = world.cli({"wait", "--panel", agent.pane(), "--until", "working"});
  EXPECT_EQ(now.out, "working\n");

  // Cleared and forgotten, then a new session: a wait for working outlives it.
  agent.step("event Stop");
  ASSERT_TRUE(agent.becomes("idle"));
  auto working = agent.park("working", "30");
  agent.step("event SessionEnd");
  ASSERT_TRUE(agent.becomes("(none)"));
  agent.step("event SessionStart");
  ASSERT_TRUE(agent.becomes("idle"));
  EXPECT_EQ(working.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  agent.step("event UserPromptSubmit");
  EXPECT_EQ(working.get().out, "working\n");
  // An agent forgotten while a wait runs leaves it no state to report.
  auto forgotten = agent.park("blocked", "1.5");
  agent.step("event SessionEnd");
  EXPECT_EQ(forgotten.get().out, "unknown\n");
  agent.step("event UserPromptSubmit");
  ASSERT_TRUE(agent.becomes("working"));

  auto idle = agent.park("idle", "30");
  ASSERT_EQ(kill(agent.pid(), SIGKILL), 0);
  EXPECT_EQ(said(idle.get()), "1 tesselo: the agent in pane " + agent.pane() + " has exited\n");
  EXPECT_EQ(agent.state(), "(none)");
  // Another agent in the pane is watched in its place, with more waits
  // parked on it than the host has slots.
  StandIn next(world, agent.pane(), "5e552002");
  next.step("event SessionStart");
  ASSERT_TRUE(next.becomes("idle"));
  std::vector<std::future<ProcessResult>> waits;
  for (int i = 0; i < 6; ++i) waits.push_back(next.park("working", "60"));
  next.step("event UserPromptSubmit");
  for (auto& w : waits) EXPECT_EQ(w.get().out, "working\n");
  ASSERT_EQ(kill(next.pid(), SIGKILL), 0);
  EXPECT_TRUE(next.becomes("(none)"));

  // Outside the tmux server there is no pane to put an event on.
  ProcessResult outside =
      world.cli({"claude-hook"}, R"({"hook_event_name":"UserPromptSubmit","session_id":"x"})");
  EXPECT_EQ(outside.status, 0);
  EXPECT_EQ(world.list().dump().find("\"state\""), std::string::npos) << world.list();
  // A pane that closes ends the waits on it.
  auto closing = bystander.park("idle", "30");
  bystander.step("quit");
  world.cli({"send", "--panel", quiet, "exit"});
  EXPECT_EQ(closing.get().err, "tesselo: pane closed while waiting: " + quiet + "\n");
}

}  // namespace
}  // namespace tesselo::test

// Agent states driven by agent-event requests, and waits on them, against a
// real host; the relay and the MCP server when this build has them.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

class HostAgents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(world.startHost()) << world.hostLog();
    pane = world.paneIds().at(0);
  }
  Json event(const std::string& target, const std::string& name, const std::string& detail = {}) {
    Json request = {{"method", "agent-event"},
                    {"agent", "claude"},
                    {"event", name},
                    {"panel", target.substr(0, 8)}};
    if (!detail.empty()) request["detail"] = detail;
    return world.request(request);
  }
  Json paneEntry(const std::string& id) {
    Json listed = world.list();
    for (const auto& terminal : listed["terminals"])
      for (const auto& entry : terminal["panels"])
        if (entry["id"] == id) return entry;
    return nullptr;
  }
  HostWorld world;
  std::string pane;
};

TEST_F(HostAgents, HookEventsMoveTheAgentStateOfAKnownPane) {
  struct Step {
    std::string event;
    std::string detail;
    std::string state;  // empty: no agent known
  } steps[] = {
      {"SessionStart", "startup", "idle"},
      {"UserPromptSubmit", "", "working"},
      {"Notification", "permission_prompt", "blocked"},
      {"Notification", "idle_prompt", "blocked"},  // not one the host acts on
      {"UserPromptSubmit", "", "working"},
      {"Notification", "elicitation_dialog", "blocked"},
      {"Notification", "agent_completed", "idle"},
      {"Notification", "elicitation_url_dialog", "blocked"},
      {"Stop", "", "idle"},
      {"Notification", "agent_needs_input", "blocked"},
      {"SomethingNew", "", "blocked"},
      {"Notification", "", "blocked"},
      {"PreToolUse", "", "blocked"},
      {"SessionEnd", "", ""},
      {"UserPromptSubmit", "", "working"},  // an agent seen mid-session
  };
  for (const Step& step : steps) {
    Json answer = event(pane, step.event, step.detail);
    EXPECT_FALSE(answer.contains("error")) << answer;
    Json entry = paneEntry(pane);
    if (step.state.empty()) {
      EXPECT_FALSE(entry.contains("agent")) << step.event << " " << entry;
      EXPECT_FALSE(entry.contains("state")) << step.event << " " << entry;
    } else {
      EXPECT_EQ(entry["agent"], "claude") << step.event;
      EXPECT_EQ(entry["state"], step.state) << step.event << " " << step.detail;
    }
  }
  EXPECT_EQ(world.request({{"method", "agent-event"}, {"event", "Stop"}})["error"],
            "agent-event needs \"panel\" (TESSELO_PANE_ID is not set where the agent runs)");
  EXPECT_EQ(event("ffffffffffff", "Stop")["error"], "unknown pane ffffffff");
}

TEST_F(HostAgents, ATerminalShowsItsMostPressingPaneState) {
  std::string second = world.cli({"split"}).out.substr(0, 16);
  std::string third = world.cli({"split"}).out.substr(0, 16);
  struct Case {
    std::vector<std::pair<std::string, std::string>> events;  // pane, event
    std::string terminal;
  } cases[] = {
      {{{pane, "Stop"}}, "idle"},
      {{{second, "UserPromptSubmit"}}, "working"},
      {{{third, "SessionStart"}}, "working"},
      {{{pane, "Notification"}}, "blocked"},
      {{{pane, "Stop"}, {second, "SessionEnd"}}, "idle"},
  };
  for (const Case& c : cases) {
    for (const auto& [target, name] : c.events)
      event(target, name, name == "Notification" ? "permission_prompt" : "");
    EXPECT_EQ(world.list()["terminals"][0]["state"], c.terminal);
  }
  ProcessResult shown = world.cli({"list"});
  EXPECT_NE(shown.out.find("  [idle]\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("  " + pane.substr(0, 8) + "  sh  claude [idle]\n"), std::string::npos)
      << shown.out;
}

TEST_F(HostAgents, WaitEndsWhenTheStateIsReachedOrAtItsDeadline) {
  ProcessResult refused = world.cli({"wait", "--until", "sleeping"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "tesselo: \"until\" must be working, blocked or idle\n");

  event(pane, "UserPromptSubmit");
  // Already there: answered at once.
  ProcessResult now = world.cli({"wait", "--panel", pane, "--until", "working", "--timeout", "1"});
  EXPECT_EQ(now.status, 0) << now.err;
  EXPECT_EQ(now.out, "working\n");

  ProcessResult late = world.cli({"wait", "--panel", pane, "--until", "idle", "--timeout", "1"});
  EXPECT_EQ(late.status, 2);
  EXPECT_EQ(late.err, "tesselo: timeout\n");
  EXPECT_EQ(late.out, "working\n");

  auto waited = std::async(std::launch::async, [&] {
    return world.cli({"wait", "--panel", pane.substr(0, 8), "--until", "idle", "--timeout", "60"});
  });
  event(pane, "Stop");
  ProcessResult result = waited.get();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "idle\n");
  EXPECT_EQ(result.err, "");

  // No agent at all: the answer carries no state.
  event(pane, "SessionEnd");
  Json answer =
      world.request({{"method", "wait"}, {"panel", pane}, {"until", "idle"}, {"timeout", 0.2}});
  EXPECT_EQ(answer, Json({{"timeout", true}}));
}

TEST_F(HostAgents, ManyWaitsRunAtOnceAndOtherRequestsAreServedMeanwhile) {
  std::string second = world.cli({"split"}).out.substr(0, 16);
  event(pane, "UserPromptSubmit");
  event(second, "UserPromptSubmit");
  struct Wait {
    std::string pane;
    std::string until;
  };
  // Each wait's state is where its pane ends up, so the waits end however
  // their requests and the events interleave.
  std::vector<Wait> waits = {{pane, "idle"},      {pane, "idle"},      {pane, "idle"},
                             {second, "blocked"}, {second, "blocked"}, {second, "blocked"}};
  std::vector<std::future<ProcessResult>> running;
  for (const Wait& w : waits)
    running.push_back(std::async(std::launch::async, [&world = world, w] {
      return world.cli({"wait", "--panel", w.pane, "--until", w.until, "--timeout", "60"});
    }));
  // Waits hold their connections; a list still gets through.
  EXPECT_EQ(world.list()["terminals"][0]["state"], "working");
  event(pane, "Notification", "permission_prompt");
  event(second, "Notification", "elicitation_dialog");
  event(pane, "Stop");
  for (size_t i = 0; i < waits.size(); ++i) {
    ProcessResult result = running[i].get();
    EXPECT_EQ(result.status, 0) << i << result.err;
    EXPECT_EQ(result.out, waits[i].until + "\n") << i;
  }
}

TEST_F(HostAgents, AWaitOnAPaneThatClosesEndsWithAnError) {
  std::string second = world.cli({"split"}).out.substr(0, 16);
  auto waited = std::async(std::launch::async, [&] {
    return world.cli({"wait", "--panel", second, "--until", "idle", "--timeout", "60"});
  });
  // The pause lets the wait reach the host first; were it late, it would be
  // told "unknown pane" instead.
  world.type(second, "sleep 1; exit");
  ProcessResult result = waited.get();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tesselo: pane closed while waiting: " + second + "\n");
}

TEST_F(HostAgents, TheHookRelayAndTheMcpServerReachTheHost) {
  auto waited = std::async(std::launch::async, [&] {
    return world.cli({"wait", "--panel", pane, "--until", "blocked", "--timeout", "60"});
  });
  ProcessResult relayed =
      world.cli({"claude-hook"},
                R"({"hook_event_name":"Notification","notification_type":"permission_prompt"})",
                {{"TESSELO_PANE_ID", pane}});
  EXPECT_EQ(relayed.status, 0);
  EXPECT_EQ(waited.get().out, "blocked\n");

  std::string input =
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"test","version":"1"}}})"
      "\n"
      R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"tesselo_read","arguments":{"panel":")" +
      pane.substr(0, 8) + R"("}}})" + "\n";
  world.type(pane, "echo from-mcp");
  ASSERT_TRUE(world.screenShowsLine(pane, "from-mcp"));
  ProcessResult served = runProcess(mcpPath(), {}, {world.env, input, {}, {}});
  EXPECT_NE(served.out.find("from-mcp"), std::string::npos) << served.out;
  EXPECT_NE(served.out.find("\"isError\":false"), std::string::npos) << served.out;
}

}  // namespace
}  // namespace tesselo::test

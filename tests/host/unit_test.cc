// The host's pure rules that its end-to-end tests cannot steer: rows no
// real pane produces, id draws, clocks, races, parameter edges and quoting.
#include <gtest/gtest.h>

#include "host/agent_states.h"
#include "host/agent_watch.h"
#include "host/control_stream.h"
#include "host/handlers.h"
#include "host/pane_ids.h"
#include "host/pane_table.h"
#include "host/tmux.h"
#include "host/tmux_control.h"
#include "host/turn_signals.h"

namespace tesselo::host {
namespace {

PaneRow pane(std::string session, long long activity, std::string tmuxPane, bool active,
             std::string key, std::string terminal) {
  PaneRow r;
  r.sessionId = r.sessionName = session;
  r.sessionActivity = activity;
  r.windowActive = r.paneActive = active;
  r.paneId = tmuxPane;
  r.paneKey = key;
  r.terminalKey = terminal;
  return r;
}

TEST(PaneTable, RowsStartAtTheMarkLookupsNoticeAmbiguityAndFreshIdsAvoidTakenPrefixes) {
  // A folder or command may hold line feeds, separators and whole rows.
  std::string folder = "/home/a\nM0\x1f$9\x1fx\n\x1e", command = "z\nsh\x1f\x1eM0\x1e";
  auto row = [](std::vector<std::string> fields, const std::string& rest) {
    std::string line;
    for (const auto& field : fields) line += field + '\x1f';
    return line + rest;
  };
  std::string text = row({"M1", "$0", "main", "1700", "@1", "w", "1", "%3", "1", "ti",
                          "aaaaaaaa11111111", "", "4242"},
                         command + "\x1eM1\x1e" + folder + "\n") +
                     row({"M1", "$0", "main", "1700", "@1"}, "sh\x1eM1\x1e/\n");
  auto parsed = parsePaneRows(text, "M1");
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed[0].process, command);
  EXPECT_EQ(parsed[0].path, folder);
  EXPECT_EQ(parsed[0].paneKey, "aaaaaaaa11111111");
  EXPECT_EQ(parsed[0].panePid, 4242);
  EXPECT_TRUE(parsePaneRows(text, "M0").empty());

  // Lookups notice ambiguity; focus follows the latest client, else session.
  std::vector<PaneRow> rows = {
      pane("$0", 100, "%1", false, "aaaaaaaa00000001", "cccccccc00000001"),
      pane("$0", 100, "%2", true, "aaaaaaaa00000002", "cccccccc00000001"),
      pane("$1", 200, "%3", true, "bbbbbbbb00000003", "dddddddd00000002"),
  };
  EXPECT_TRUE(findPane(rows, "aaaaaaaa").ambiguous);
  EXPECT_EQ(findTerminal(rows, "cccccccc").row, 1u);
  std::vector<ClientRow> clients = {{30, "/dev/pts/2", "%2", ""}, {10, "/dev/pts/1", "%3", ""}};
  EXPECT_EQ(focusedPane(rows, clients), 1u);
  EXPECT_EQ(focusedPane(rows, {}), 2u);
  EXPECT_FALSE(focusedPane({}, {}));

  // Fresh ids avoid taken prefixes.
  std::vector<PaneRow> taken = {pane("$0", 0, "%1", true, "000000000000002a", "")};
  std::vector<uint64_t> draws = {0x2a, 0x2b0000000000002a};
  size_t next = 0;
  EXPECT_EQ(freshId(taken, [&] { return draws[next++]; }), "2b0000000000002a");
}

TEST(AgentRules, NotificationTypesTerminalStatesAndSweepMarks) {
  struct Case {
    const char* detail;  // nullptr: none
    EffectKind kind;
    std::string_view state;
  } cases[] = {
      // clang-format off
      {"permission_prompt", EffectKind::set, stateBlocked},
      {"elicitation_dialog", EffectKind::set, stateBlocked},
      {"elicitation_url_dialog", EffectKind::set, stateBlocked},
      {"agent_needs_input", EffectKind::set, stateBlocked},
      {"agent_completed", EffectKind::set, stateIdle},
      {"idle_prompt", EffectKind::none, {}},
      {nullptr, EffectKind::none, {}},
      // clang-format on
  };
  for (const Case& c : cases) {
    std::string detail = c.detail ? c.detail : "";
    EventEffect effect = agentEventEffect("Notification", c.detail ? &detail : nullptr);
    EXPECT_EQ(effect.kind, c.kind) << detail;
    EXPECT_EQ(effect.state, c.state) << detail;
  }
  EXPECT_EQ(agentEventEffect("PreToolUse", nullptr).kind, EffectKind::none);
  EXPECT_EQ(terminalState({"idle", "working", "blocked"}), "blocked");
  EXPECT_EQ(terminalState({"idle", "working"}), "working");

  // A sweep judges only what was known before its mark.
  AgentStates states;
  states.apply("old", "claude", {EffectKind::set, stateIdle});
  uint64_t mark = states.sweepMark();
  // Appeared while the listing ran: absent from it, yet alive.
  states.apply("new", "claude", {EffectKind::set, stateIdle});
  states.retain({}, mark);
  EXPECT_FALSE(states.get("old"));
  EXPECT_TRUE(states.get("new"));
  states.apply("new", "claude", {EffectKind::forget, {}});
  EXPECT_FALSE(states.watched());
}

TEST(TurnSignals, StatusLinesTranscriptMarkersOfThisTurnAndScreensAtRest) {
  const std::string rule = "  ──────────────\n";
  EXPECT_EQ(readStatusLine(rule + "⏸ manual mode on\n", "").status, ScreenStatus::unknown);
  EXPECT_EQ(readStatusLine("esc to interrupt\n─────\n", "").status, ScreenStatus::unknown);
  const int64_t turnBegan = 1796637601000;  // 2026-12-07T10:00:01.000Z
  struct Line {
    std::string json;
    TranscriptSignal signal;
  } lines[] = {
      // clang-format off
      {R"({"type":"user","message":{"content":"[Request interrupted by user]"},"timestamp":"2026-12-07T10:00:01.500Z"})", TranscriptSignal::interrupted},
      {R"({"type":"assistant","isApiErrorMessage":false,"timestamp":"2026-12-07T10:00:02Z"})", TranscriptSignal::none},
      {R"({"type":"user","message":{"content":"[Request interrupted by user]"}})", TranscriptSignal::none},
      // clang-format on
  };
  for (const Line& c : lines) EXPECT_EQ(transcriptSignal(c.json, turnBegan), c.signal) << c.json;
  EXPECT_EQ(transcriptPath("/h/.claude", "/srv/my.app/api_v2", "4f1c-9b7a"),
            "/h/.claude/projects/-srv-my-app-api-v2/4f1c-9b7a.jsonl");
  EXPECT_EQ(transcriptPath("/h/.claude", "/srv", "../../etc/passwd"), "");
  EXPECT_EQ(transcriptPath("/h/.claude", "relative", "4f1c"), "");

  // A screen at rest ends a turn only once believed and settled.
  using namespace std::chrono_literals;
  auto t0 = WatchClock::now();
  TurnView view{t0, false, std::nullopt};
  bool showsRunning = false;
  auto judge = [&](ScreenStatus screen, auto at) {
    return judgeTurn(view, showsRunning, TranscriptSignal::none, screen, t0 + at);
  };
  // Never seen running, and the agent never showed it: rest is not believed.
  EXPECT_EQ(judge(ScreenStatus::rest, 5000ms), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::running, 5100ms), TurnVerdict::working);
  EXPECT_EQ(judge(ScreenStatus::rest, 5300ms), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::rest, 5300ms + restSettles), TurnVerdict::idle);
  // A new turn of an agent known to show it: believed after the grace only.
  view = TurnView{t0, false, std::nullopt};
  EXPECT_EQ(judge(ScreenStatus::rest, 100ms), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::rest, 100ms + restSettles), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::rest, turnDrawGrace), TurnVerdict::idle);
}

TEST(MethodRules, ParameterEdgesOfReadWaitAndSend) {
  EXPECT_EQ(bottomLines("one\ntwo\n\nthree\n\n\n\n", 2), "\nthree");
  EXPECT_EQ(bottomLines("\n\n\n", 5), "");
  // Typed text goes in chunks cut only between characters (é is two bytes).
  EXPECT_EQ(literalChunks("abécd", 3), (std::vector<std::string>{"ab", "éc", "d"}));
  struct Case {
    Json request;
    std::variant<int64_t, std::string> count;
  } counts[] = {
      {{{"lines", 12.0}}, int64_t{12}},
      {{{"lines", 12.5}}, int64_t{40}},
      {{{"lines", "12"}}, int64_t{40}},
  };
  for (const Case& c : counts) EXPECT_EQ(readLineCount(c.request), c.count) << c.request;
  auto wait = [](const Json& request) { return std::get<WaitRequest>(waitRequest(request)); };
  EXPECT_EQ(wait(Json::object()).seconds, 300);
  EXPECT_EQ(wait({{"timeout", "5"}}).seconds, 300);
  EXPECT_EQ(wait({{"timeout", -4}}).seconds, 0);
  EXPECT_EQ(wait({{"timeout", 1e300}}).seconds, 1e9);
  EXPECT_EQ(wait({{"until", 7}}).until, "idle");
}

TEST(ControlStream, CommandLinesQuoteWhatTmuxWouldExpandAndUnawaitedLinesAreSorted) {
  EXPECT_EQ(commandLine({"display-message", "x\ny\x1f\x7f é #{pane_id}"}),
            "\"display-message\" \"x\\012y\\037\\177 é #{pane_id}\"");
  EXPECT_EQ(commandLine({"copy-mode", ";", "send-keys", ""}), R"("copy-mode" ; "send-keys" "")");
  ControlStream refused;
  refused.expect("T1");
  refused.feed("%begin 1700000000 5 0\nno sessions\n%error 1700000000 5 0\n%exit\n");
  EXPECT_EQ(refused.pendingError(), "no sessions");
  // Nothing awaited: a block's lines are no notifications, whatever they say.
  ControlStream idle;
  ControlStream::Output out = idle.feed("%begin 1 2 0\n%exit\n%end 1 2 0\n%window-add @1\n");
  EXPECT_EQ(out.notifications, std::vector<std::string>{"%window-add @1"});
}

}  // namespace
}  // namespace tesselo::host

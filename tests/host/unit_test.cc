// The host's pure rules: listings, id lookup and choice, focus, agent
// states and waits, request validation, method parameters, options.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "host/agent_states.h"
#include "host/agent_watch.h"
#include "host/handlers.h"
#include "host/listener.h"
#include "host/pane_ids.h"
#include "host/pane_table.h"
#include "host/protocol.h"
#include "host/tmux.h"
#include "host/turn_signals.h"
#include "host/worktree.h"

namespace tesselo::host {
namespace {

std::string row(std::initializer_list<std::string> fields) {
  std::string line;
  for (const auto& field : fields) {
    if (!line.empty()) line += '\x1f';
    line += field;
  }
  return line + "\n";
}

PaneRow pane(std::string session, long long activity, std::string window, bool windowActive,
             std::string tmuxPane, bool paneActive, std::string key, std::string terminal) {
  PaneRow r;
  r.sessionId = session;
  r.sessionName = session;
  r.sessionActivity = activity;
  r.windowId = window;
  r.windowActive = windowActive;
  r.paneId = tmuxPane;
  r.paneActive = paneActive;
  r.paneKey = key;
  r.terminalKey = terminal;
  return r;
}

// A listing row as tmux prints it: the mark, names and ids, then the
// command and folder as the pane's process has them.
std::string paneLine(std::initializer_list<std::string> plain, const std::string& command,
                     const std::string& folder, const std::string& mark = "M1") {
  std::string line = mark;
  for (const auto& field : plain) line += '\x1f' + field;
  return line + '\x1f' + command + "\x1e" + mark + "\x1e" + folder + "\n";
}

TEST(PaneTable, ParsesRowsWhateverTheirValuesHoldAndSkipsMalformedOnes) {
  // A folder or command may hold line feeds, separators and whole rows; only
  // the mark, which no pane knows, starts a row.
  std::string folder = "/home/a\nM0\x1f$9\x1fx\n\x1e";
  std::string command = "z\nsh\x1f\x1eM0\x1e";
  std::string text =
      paneLine({"$0", "main", "1700", "@1", "build\\tx", "1", "%3", "1", "hé ┌┐",
                "aaaaaaaa11111111", "bbbbbbbb22222222", "4242"},
               command, folder) +
      paneLine({"$0", "ma\nin", "1700", "@1", "w", "1", "%5", "1", "", "", "", "1"}, "sh", "/") +
      paneLine({"$0", "main", "1700", "@1"}, "sh", "/") +
      paneLine({"$1", "w", "5", "@2", "sh", "0", "%4", "0", "", "", "", "7"}, "node", "/");
  auto rows = parsePaneRows(text, "M1");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].windowName, "build\\tx");
  EXPECT_EQ(rows[0].sessionActivity, 1700);
  EXPECT_TRUE(rows[0].windowActive && rows[0].paneActive);
  EXPECT_EQ(rows[0].title, "hé ┌┐");
  EXPECT_EQ(rows[0].process, command);
  EXPECT_EQ(rows[0].path, folder);
  EXPECT_EQ(rows[0].paneKey, "aaaaaaaa11111111");
  EXPECT_EQ(rows[0].terminalKey, "bbbbbbbb22222222");
  EXPECT_EQ(rows[0].panePid, 4242);
  EXPECT_EQ(rows[1].paneId, "%4");
  EXPECT_EQ(rows[1].process, "node");
  EXPECT_FALSE(rows[1].paneActive);
  EXPECT_EQ(rows[1].paneKey, "");
  EXPECT_TRUE(parsePaneRows(text, "M0").empty());
  EXPECT_EQ(paneRowFormat("M1").find('\n'), std::string::npos);

  // The host's own control client is nobody's focus.
  auto clients = parseClientRows(
      row({"17", "/dev/pts/1", "%3", "/dev/pts/1", "attached,focused,UTF-8"}) +
      row({"99", "client-7", "%3", "", "attached,control-mode,ignore-size,no-output"}) +
      row({"98", "client-8", "%4", "", "attached,control-mode"}) + row({"nonsense"}));
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0].activity, 17);
  EXPECT_EQ(clients[0].paneId, "%3");
  EXPECT_EQ(clients[1].name, "client-8");
}

TEST(PaneTable, FindsPanesAndTerminalsByIdAndNoticesAmbiguity) {
  std::vector<PaneRow> rows = {
      pane("$0", 1, "@1", true, "%1", false, "aaaaaaaa00000001", "cccccccc00000001"),
      pane("$0", 1, "@1", true, "%2", true, "aaaaaaaa00000002", "cccccccc00000001"),
      pane("$0", 1, "@2", false, "%3", true, "bbbbbbbb00000003", "dddddddd00000002"),
  };
  EXPECT_EQ(findPane(rows, "bbbbbbbb").row, 2u);
  EXPECT_EQ(findPane(rows, "aaaaaaaa00000002").row, 1u);
  Lookup ambiguous = findPane(rows, "aaaaaaaa");
  EXPECT_TRUE(ambiguous.ambiguous);
  EXPECT_FALSE(ambiguous.row);
  EXPECT_FALSE(findPane(rows, "eeeeeeee").row);
  EXPECT_FALSE(findPane(rows, "eeeeeeee").ambiguous);
  // A terminal answers with its active pane.
  EXPECT_EQ(findTerminal(rows, "cccccccc").row, 1u);
  EXPECT_EQ(findTerminal(rows, "dddddddd00000002").row, 2u);
}

TEST(PaneTable, FocusFollowsTheLatestClientElseTheLatestSession) {
  std::vector<PaneRow> rows = {
      pane("$0", 100, "@1", true, "%1", true, "a", "c"),
      pane("$0", 100, "@2", false, "%2", true, "b", "d"),
      pane("$1", 200, "@3", true, "%3", false, "e", "f"),
      pane("$1", 200, "@3", true, "%4", true, "g", "f"),
      pane("$2", 50, "@4", true, "%5", true, "h", "i"),
  };
  std::vector<ClientRow> clients = {{10, "/dev/pts/1", "%5", ""}, {30, "/dev/pts/2", "%2", ""}};
  EXPECT_EQ(focusedPane(rows, clients), 1u);
  EXPECT_EQ(latestClient(clients), 1u);
  EXPECT_EQ(focusedPane(rows, {}), 3u);
  EXPECT_FALSE(focusedPane({}, {}));
  EXPECT_FALSE(latestClient({}));
}

TEST(PaneIds, FreshIdsAreHexAndAvoidTakenPrefixes) {
  std::vector<PaneRow> taken = {pane("$0", 0, "@1", true, "%1", true, "000000000000002a", "")};
  std::vector<uint64_t> draws = {0x2a, 0x2b0000000000002a, 0xdeadbeef00000001};
  size_t next = 0;
  auto random = [&] { return draws[next++]; };
  // 0x2a shares its prefix "00000000" with the taken id; the next draw does not.
  EXPECT_EQ(freshId(taken, random), "2b0000000000002a");
  EXPECT_EQ(next, 2u);
  std::string drawn = freshId({}, randomWord);
  EXPECT_EQ(drawn.size(), idLength);
  EXPECT_EQ(drawn.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(AgentRules, HookEventsAndNotificationTypesSetStates) {
  struct Case {
    const char* event;
    const char* detail;  // nullptr: none
    EffectKind kind;
    std::string_view state;
  } cases[] = {
      {"SessionStart", nullptr, EffectKind::set, stateIdle},
      {"UserPromptSubmit", nullptr, EffectKind::set, stateWorking},
      {"Stop", nullptr, EffectKind::set, stateIdle},
      {"SessionEnd", nullptr, EffectKind::forget, {}},
      {"Notification", "permission_prompt", EffectKind::set, stateBlocked},
      {"Notification", "elicitation_dialog", EffectKind::set, stateBlocked},
      {"Notification", "elicitation_url_dialog", EffectKind::set, stateBlocked},
      {"Notification", "agent_needs_input", EffectKind::set, stateBlocked},
      {"Notification", "agent_completed", EffectKind::set, stateIdle},
      {"Notification", "idle_prompt", EffectKind::none, {}},
      {"Notification", nullptr, EffectKind::none, {}},
      {"PreToolUse", nullptr, EffectKind::none, {}},
  };
  for (const Case& c : cases) {
    std::string detail = c.detail ? c.detail : "";
    EventEffect effect = agentEventEffect(c.event, c.detail ? &detail : nullptr);
    EXPECT_EQ(effect.kind, c.kind) << c.event << " " << detail;
    EXPECT_EQ(effect.state, c.state) << c.event << " " << detail;
  }
  // A terminal shows its most pressing pane.
  EXPECT_EQ(terminalState({"idle", "working", "blocked"}), "blocked");
  EXPECT_EQ(terminalState({"idle", "working"}), "working");
  EXPECT_EQ(terminalState({"idle"}), "idle");
  EXPECT_EQ(terminalState({}), "");
}

TEST(TurnSignals, TheStatusLineUnderTheLastRuleAndTranscriptMarkersOfThisTurn) {
  const std::string rule = "  ──────────────\n";
  struct Screen {
    std::string text, knownMode;
    ScreenStatus status;
    std::string mode;
  } screens[] = {
      {"answer\n" + rule + "  ⏸ manual mode on · esc to interrupt · ← for agents\n\n\n", "",
       ScreenStatus::running, "⏸ manual mode on"},
      {rule + "Esc to cancel · Tab to amend\n", "", ScreenStatus::dialog, ""},
      {rule + "> esc to interrupt, please\n" + rule + "⏸ manual mode on · ? for shortcuts\n", "",
       ScreenStatus::rest, "⏸ manual mode on"},
      {rule + "⏸ manual mode on\n", "⏸ manual mode on", ScreenStatus::rest,
       "⏸ manual mode on"},
      {rule + "⏸ manual mode on\n", "", ScreenStatus::unknown, ""},
      // The next prompt typed while the turn's spinner still turns.
      {"✻ Hatching…\n   ◐ medium\n" + rule + "❯ the next task\n" + rule + "⏸ manual mode on\n",
       "⏸ manual mode on", ScreenStatus::unknown, "⏸ manual mode on"},
      {"esc to interrupt\n─────\n", "", ScreenStatus::unknown, ""},
  };
  for (const Screen& c : screens) {
    StatusReading reading = readStatusLine(c.text, c.knownMode);
    EXPECT_EQ(reading.status, c.status) << c.text;
    EXPECT_EQ(reading.mode, c.mode) << c.text;
  }
  struct Line {
    std::string json;
    TranscriptSignal signal;
  } lines[] = {
      {R"({"type":"user","message":{"content":[{"type":"text","text":"[Request interrupted by user for tool use]"}]},"timestamp":"2026-12-07T10:00:01.500Z"})",
       TranscriptSignal::interrupted},
      {R"({"type":"user","message":{"content":"[Request interrupted by user]"},"timestamp":"2026-12-07T10:00:02Z"})",
       TranscriptSignal::interrupted},
      {R"({"type":"assistant","isApiErrorMessage":true,"timestamp":"2026-12-07T10:00:02.000Z"})",
       TranscriptSignal::apiError},
      {R"({"type":"user","message":{"content":"[Request interrupted by user]"},"timestamp":"2026-12-07T10:00:00.999Z"})",
       TranscriptSignal::none},
      {R"({"type":"assistant","isApiErrorMessage":false,"timestamp":"2026-12-07T10:00:02Z"})",
       TranscriptSignal::none},
      {R"({"type":"user","message":{"content":"[Request interrupted by user]"}})",
       TranscriptSignal::none},
      {"not json", TranscriptSignal::none},
  };
  const int64_t turnBegan = 1796637601000;  // 2026-12-07T10:00:01.000Z
  for (const Line& c : lines) EXPECT_EQ(transcriptSignal(c.json, turnBegan), c.signal) << c.json;
  EXPECT_EQ(transcriptPath("/h/.claude", "/srv/my.app/api_v2", "4f1c-9b7a"),
            "/h/.claude/projects/-srv-my-app-api-v2/4f1c-9b7a.jsonl");
  EXPECT_EQ(transcriptPath("/h/.claude", "/srv", "../../etc/passwd"), "");
  EXPECT_EQ(transcriptPath("/h/.claude", "relative", "4f1c"), "");
}

TEST(TurnSignals, AScreenAtRestEndsATurnOnlyOnceBelievedAndSettled) {
  using namespace std::chrono_literals;
  auto t0 = WatchClock::now();
  TurnView view{t0, false, std::nullopt};
  bool showsRunning = false;
  auto judge = [&](ScreenStatus screen, auto at) {
    return judgeTurn(view, showsRunning, TranscriptSignal::none, screen, t0 + at);
  };
  // Never seen running, and the agent never showed it: rest is not believed.
  EXPECT_EQ(judge(ScreenStatus::rest, 0ms), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::rest, 5000ms), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::running, 5100ms), TurnVerdict::working);
  EXPECT_EQ(judge(ScreenStatus::dialog, 5200ms), TurnVerdict::blocked);
  EXPECT_EQ(judge(ScreenStatus::rest, 5300ms), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::rest, 5300ms + restSettles), TurnVerdict::idle);
  // A new turn of an agent known to show it: believed after the grace only.
  view = TurnView{t0, false, std::nullopt};
  EXPECT_EQ(judge(ScreenStatus::rest, 100ms), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::rest, 100ms + restSettles), TurnVerdict::keep);
  EXPECT_EQ(judge(ScreenStatus::rest, turnDrawGrace), TurnVerdict::idle);
  EXPECT_EQ(judgeTurn(view, showsRunning, TranscriptSignal::apiError, ScreenStatus::running, t0),
            TurnVerdict::idle);
}

using Clock = AgentStates::Clock;

TEST(AgentWaits, ASweepJudgesOnlyWhatWasKnownBeforeItsMark) {
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

TEST(MethodRules, ReadTakesTheBottomWrittenLines) {
  std::string screen = "one\ntwo\n\nthree\n\n\n\n";
  struct Case {
    int64_t count;
    std::string text;
  } cases[] = {{1, "three"}, {2, "\nthree"}, {4, "one\ntwo\n\nthree"}, {400, "one\ntwo\n\nthree"}};
  for (const Case& c : cases) EXPECT_EQ(bottomLines(screen, c.count), c.text) << c.count;
  EXPECT_EQ(bottomLines("\n\n\n", 5), "");
}

TEST(MethodRules, ReadLineCounts) {
  struct Case {
    Json request;
    std::variant<int64_t, std::string> count;
  } cases[] = {
      {{{"method", "read"}}, int64_t{40}},
      {{{"lines", 12}}, int64_t{12}},
      {{{"lines", 12.0}}, int64_t{12}},
      {{{"lines", 12.5}}, int64_t{40}},
      {{{"lines", "12"}}, int64_t{40}},
      {{{"lines", 0}}, std::string("\"lines\" must be at least 1")},
      {{{"lines", -3}}, std::string("\"lines\" must be at least 1")},
  };
  for (const Case& c : cases) EXPECT_EQ(readLineCount(c.request), c.count) << c.request;
}

TEST(MethodRules, WaitParameters) {
  auto seconds = [](const Json& request) {
    return std::get<WaitRequest>(waitRequest(request)).seconds;
  };
  auto until = [](const Json& request) {
    return std::get<WaitRequest>(waitRequest(request)).until;
  };
  EXPECT_EQ(seconds(Json::object()), 300);
  EXPECT_EQ(seconds({{"timeout", 2.5}}), 2.5);
  EXPECT_EQ(seconds({{"timeout", "5"}}), 300);
  EXPECT_EQ(seconds({{"timeout", -4}}), 0);
  EXPECT_EQ(seconds({{"timeout", 1e300}}), 1e9);
  EXPECT_EQ(until(Json::object()), "idle");
  EXPECT_EQ(until({{"until", "blocked"}}), "blocked");
  EXPECT_EQ(until({{"until", 7}}), "idle");
  EXPECT_TRUE(std::holds_alternative<std::string>(waitRequest({{"until", "asleep"}})));
}

TEST(MethodRules, TypedTextIsChunkedAtWholeCharacters) {
  std::string text =
      "ab\xc3\xa9"
      "cd";  // é is two bytes
  EXPECT_EQ(literalChunks(text, 3), (std::vector<std::string>{"ab",
                                                              "\xc3\xa9"
                                                              "c",
                                                              "d"}));
  EXPECT_EQ(literalChunks("", 3), std::vector<std::string>{});
}

}  // namespace
}  // namespace tesselo::host

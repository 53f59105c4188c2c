// "agent-event": a hook event of the coding agent in a pane moves its state.
// The pane is the one the event names, or else the one whose process the
// relay descends from.
#include <set>

#include "host/handlers.h"
#include "host/process_tree.h"
#include "host/protocol.h"
#include "support/pane_variable.h"

namespace tesselo::host {

namespace {

constexpr std::string_view eventNeedsPanelMessage =
    "agent-event needs \"panel\" (TESSELO_PANE_ID is not set where the agent runs)";
constexpr std::string_view eventNeedsEventMessage = "agent-event needs a string \"event\"";

struct Located {
  PaneRow pane;
  std::optional<ProcessIdentity> agent;
};

// The pane of the relay's agent among the listed panes.
std::optional<Located> locate(const std::vector<PaneRow>& rows,
                              const std::vector<Ancestor>& relay) {
  std::set<pid_t> panePids;
  for (const PaneRow& row : rows)
    if (row.panePid > 0) panePids.insert(static_cast<pid_t>(row.panePid));
  std::optional<AgentLocation> location = locateAgent(relay, panePids, relayCommandWord);
  if (!location) return std::nullopt;
  for (const PaneRow& row : rows)
    if (row.panePid == location->panePid) return Located{row, location->agent};
  return std::nullopt;
}

}  // namespace

Json runAgentEvent(HostContext& host, const Call& call) {
  const std::string* event = stringMember(call.request, "event");
  if (!event) return errorAnswer(eventNeedsEventMessage);
  // Read before tmux is asked anything: the relay waits for the answer only
  // so long.
  std::vector<Ancestor> relay;
  if (call.peer) relay = readLineage(*call.peer);
  const std::string* panel = stringMember(call.request, "panel");
  std::optional<Located> located;
  if (panel && !panel->empty()) {
    auto target = paneTarget(host, call.request);
    if (auto* error = std::get_if<std::string>(&target)) return errorAnswer(*error);
    located = Located{std::get<Target>(target).pane, std::nullopt};
    // The agent's process, when the relay runs inside that very pane.
    if (auto found = locate({located->pane}, relay)) located->agent = found->agent;
  } else if (!relay.empty()) {
    PaneSnapshot snapshot = listPanes(host);
    if (!snapshot.ok) return errorAnswer("tmux: " + snapshot.error);
    located = locate(snapshot.rows, relay);
  }
  // Without a pane the event would land on whichever pane is focused, which
  // is rarely the agent's.
  if (!located) return errorAnswer(eventNeedsPanelMessage);

  const std::string* agent = stringMember(call.request, "agent");
  const std::string* session = stringMember(call.request, "session");
  const std::string* cwd = stringMember(call.request, "cwd");
  AgentEventNote note{located->pane.paneKey,
                      located->pane.paneId,
                      agent ? *agent : std::string(defaultAgent),
                      *event,
                      agentEventEffect(*event, stringMember(call.request, "detail")),
                      located->agent,
                      session ? *session : std::string(),
                      cwd ? *cwd : std::string()};
  host.watch.note(host.states, note);
  Json answer = Json::object();
  if (auto known = host.states.get(note.pane)) answer["state"] = known->state;
  return answer;
}

}  // namespace tesselo::host

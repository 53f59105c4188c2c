// "list": every tmux window as a terminal with its panes and agent states.
#include <set>

#include "host/handlers.h"
#include "host/pane_ids.h"
#include "host/protocol.h"

namespace tesselo::host {

Json listAnswer(const std::vector<PaneRow>& rows,
                const std::function<std::optional<AgentState>(const std::string&)>& agentOf) {
  Json terminals = Json::array();
  std::vector<std::vector<std::string>> states;
  for (const PaneRow& row : rows) {
    if (terminals.empty() || terminals.back()["id"] != row.terminalKey) {
      terminals.push_back({{"id", row.terminalKey},
                           {"title", row.windowName},
                           {"space", row.sessionName},
                           {"panels", Json::array()}});
      states.emplace_back();
    }
    Json pane = {{"id", row.paneKey}, {"title", row.title}, {"process", row.process}};
    if (auto agent = agentOf(row.paneKey)) {
      pane["agent"] = agent->agent;
      pane["state"] = agent->state;
      states.back().push_back(agent->state);
    }
    terminals.back()["panels"].push_back(std::move(pane));
  }
  for (size_t i = 0; i < terminals.size(); ++i) {
    std::string state = terminalState(states[i]);
    if (!state.empty()) terminals[i]["state"] = state;
  }
  return {{"terminals", std::move(terminals)}};
}

Json runList(HostContext& host, const Call&) {
  uint64_t mark = host.states.sweepMark();
  PaneSnapshot snapshot = listPanes(host, PaneDetail::listed);
  if (!snapshot.ok) return errorAnswer("tmux: " + snapshot.error);
  // Agents of panes that have closed are forgotten here as well as by the
  // periodic sweep.
  std::set<std::string> live;
  for (const PaneRow& row : snapshot.rows) live.insert(row.paneKey);
  host.states.retain(live, mark);
  return listAnswer(snapshot.rows,
                    [&host](const std::string& pane) { return host.states.get(pane); });
}

}  // namespace tesselo::host

// Finding the pane or terminal a request names, or the focused one.
#include "host/handlers.h"
#include "host/pane_ids.h"

namespace tesselo::host {

std::optional<PaneRow> focusedRow(HostContext& host, const std::vector<PaneRow>& rows) {
  TmuxOutcome listed = runTmux(host.tmux, {"list-clients", "-F", clientRowFormat()});
  std::vector<ClientRow> clients;
  if (listed.ok) clients = parseClientRows(listed.out);
  auto index = focusedPane(rows, clients);
  if (!index) return std::nullopt;
  return rows[*index];
}

namespace {

std::variant<Target, std::string> target(HostContext& host, const Json& request, const char* key,
                                         std::string_view unknownPrefix) {
  PaneSnapshot snapshot = readPanes(host.tmux);
  if (!snapshot.ok) return "tmux: " + snapshot.error;
  Target found;
  if (const std::string* id = stringMember(request, key)) {
    Lookup lookup = key == std::string_view("panel") ? findPane(snapshot.rows, *id)
                                                     : findTerminal(snapshot.rows, *id);
    if (lookup.ambiguous) return std::string(ambiguousIdPrefix) + *id;
    if (!lookup.row) return std::string(unknownPrefix) + *id;
    found.pane = snapshot.rows[*lookup.row];
  } else {
    auto focused = focusedRow(host, snapshot.rows);
    if (!focused) return std::string(noPaneMessage);
    found.pane = *focused;
  }
  found.rows = std::move(snapshot.rows);
  return found;
}

}  // namespace

std::variant<Target, std::string> paneTarget(HostContext& host, const Json& request) {
  return target(host, request, "panel", unknownPanePrefix);
}

std::variant<Target, std::string> terminalTarget(HostContext& host, const Json& request) {
  return target(host, request, "terminal", unknownTerminalPrefix);
}

std::vector<std::string> paneEnvironmentArgs(const HostContext& host, const std::string& paneKey) {
  std::vector<std::string> args{"-e", std::string(paneIdVariable) + "=" + paneKey};
  if (!host.socketPath.empty())
    args.insert(args.end(), {"-e", std::string(socketVariable) + "=" + host.socketPath});
  return args;
}

}  // namespace tesselo::host

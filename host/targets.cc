// Finding the pane or terminal a request names, or the focused one.
#include "host/handlers.h"
#include "host/pane_ids.h"

namespace tesselo::host {

ClientList listClients(const Tmux& tmux) {
  ClientList list{runTmux(tmux, {"list-clients", "-F", clientRowFormat()}), {}};
  if (list.outcome.ok) list.clients = parseClientRows(list.outcome.out);
  return list;
}

std::optional<PaneRow> focusedRow(HostContext& host, const std::vector<PaneRow>& rows) {
  auto index = focusedPane(rows, listClients(host.tmux).clients);
  if (!index) return std::nullopt;
  return rows[*index];
}

PaneSnapshot listPanes(HostContext& host, PaneDetail detail) {
  PaneSnapshot snapshot = readPanes(host.tmux, detail);
  if (snapshot.ok && snapshot.connection) {
    std::lock_guard lock(host.panes.mutex);
    host.panes.connection = snapshot.connection;
    host.panes.rows = snapshot.rows;
  }
  return snapshot;
}

std::optional<CachedTarget> cachedPaneTarget(HostContext& host, const Json& request) {
  const std::string* id = stringMember(request, "panel");
  if (!id) return std::nullopt;
  std::lock_guard lock(host.panes.mutex);
  Lookup lookup = findPane(host.panes.rows, *id);
  if (!lookup.row || !host.panes.connection) return std::nullopt;
  return CachedTarget{host.panes.rows[*lookup.row], host.panes.connection};
}

namespace {

std::variant<Target, std::string> target(HostContext& host, const Json& request, const char* key,
                                         std::string_view unknownPrefix) {
  PaneSnapshot snapshot = listPanes(host);
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
    args.insert(args.end(), {"-e", std::string(socketOverrideVariable) + "=" + host.socketPath});
  return args;
}

}  // namespace tesselo::host

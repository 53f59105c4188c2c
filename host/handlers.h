// The methods of the control socket, one entry point each, over the state a
// running host shares between its connections.
#pragma once

#include <sys/types.h>
#include <condition_variable>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/agent_states.h"
#include "host/agent_watch.h"
#include "host/pane_ids.h"
#include "host/pane_table.h"
#include "host/tmux.h"
#include "support/json.h"
#include "support/pane_variable.h"
#include "support/socket_path.h"

namespace tesselo::host {

inline constexpr int64_t defaultReadLines = 40;
inline constexpr double defaultWaitSeconds = 300;

inline constexpr std::string_view unknownPanePrefix = "unknown pane ";
inline constexpr std::string_view unknownTerminalPrefix = "unknown terminal ";
inline constexpr std::string_view ambiguousIdPrefix = "ambiguous id ";
inline constexpr std::string_view noPaneMessage = "no tmux pane is open";

struct SendApproval {
  std::mutex mutex;
  bool granted = false;
};

// Wakes the sweep for closed panes before its next round is due.
struct SweepSignal {
  std::mutex mutex;
  std::condition_variable cv;
  bool poked = false;
  void poke() {
    {
      std::lock_guard lock(mutex);
      poked = true;
    }
    cv.notify_one();
  }
};

// The panes of the latest listing, to find a pane by its id without listing
// again; good only on the tmux connection they were read over, and only
// where a tmux command on the pane follows that fails if the pane is gone.
struct PaneCache {
  std::mutex mutex;
  uint64_t connection = 0;
  std::vector<PaneRow> rows;
};

struct HostContext {
  Tmux tmux;
  PaneCache panes;
  SweepSignal sweep;
  std::string socketPath;  // absolute; handed to created panes
  bool allowSend = false;
  AgentStates states;
  AgentWatch watch;
  SendApproval approval;
};

struct Call {
  const Json& request;
  std::function<bool()> clientGone;
  std::optional<pid_t> peer;  // the client's process, as the kernel names it
};

// The answer to one request; null when no answer is due (the client went
// away during a wait).
Json handleRequest(HostContext& host, const Call& call);

Json runList(HostContext& host, const Call& call);
Json runRead(HostContext& host, const Call& call);
Json runSend(HostContext& host, const Call& call);
Json runSplit(HostContext& host, const Call& call);
Json runNew(HostContext& host, const Call& call);
Json runWait(HostContext& host, const Call& call);
Json runNotify(HostContext& host, const Call& call);
Json runAgentEvent(HostContext& host, const Call& call);

// Shared by the methods: the pane named by "panel" (or the focused one), and
// the active pane of the terminal named by "terminal" (or the focused one).
// An error message otherwise.
struct Target {
  PaneRow pane;
};
std::variant<Target, std::string> paneTarget(HostContext& host, const Json& request);
// The pane named by "panel" as the latest listing knew it, with the
// connection to use it on; nothing without "panel" or when that listing
// does not name it alone.
struct CachedTarget {
  PaneRow pane;
  uint64_t connection = 0;
};
std::optional<CachedTarget> cachedPaneTarget(HostContext& host, const Json& request);
// Every pane, each given an id first if it has none yet; remembered for
// cachedPaneTarget.
PaneSnapshot listPanes(HostContext& host, PaneDetail detail = PaneDetail::full);
std::variant<Target, std::string> terminalTarget(HostContext& host, const Json& request);
// The attached tmux clients; none when tmux could not list them, and the
// outcome says why.
struct ClientList {
  TmuxOutcome outcome;
  std::vector<ClientRow> clients;
};
ClientList listClients(const Tmux& tmux);
// The focused pane of a table, reading the clients from tmux.
std::optional<PaneRow> focusedRow(HostContext& host, const std::vector<PaneRow>& rows);

// The pure rules of the methods.

// The "list" answer from the pane table and the agents known per pane id.
Json listAnswer(const std::vector<PaneRow>& rows,
                const std::function<std::optional<AgentState>(const std::string&)>& agentOf);

// The bottom `count` lines of a captured screen, blank lines below the last
// written one left out, joined by line feeds.
std::string bottomLines(std::string_view screen, int64_t count);

// "lines" of a read request: a whole number (40 when absent or not one), or
// an error when it is below 1.
std::variant<int64_t, std::string> readLineCount(const Json& request);

// "until" and "timeout" of a wait request, or an error.
struct WaitRequest {
  std::string until;
  double seconds = defaultWaitSeconds;
};
std::variant<WaitRequest, std::string> waitRequest(const Json& request);

// The tmux session that a "space" names: tmux itself turns ':' and '.' into
// '_', so looking the name up unchanged would never find the session.
std::string sessionName(std::string_view space);

// The -e arguments for a pane the host creates.
std::vector<std::string> paneEnvironmentArgs(const HostContext& host, const std::string& paneKey);

}  // namespace tesselo::host

namespace tesselo::host {

// Runs for ever: every few seconds while agents or waits are known, and at
// once when tmux reports a window or session gone or the connection lost,
// finds the panes that have closed, so their agents are forgotten and their
// waits end.
void sweepClosedPanes(HostContext& host);

// Whether a tmux notification may mean that panes have closed.
bool closesPanes(std::string_view notification);

}  // namespace tesselo::host

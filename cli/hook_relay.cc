// Reads the hook event from standard input and hands the request to
// requestQuietly; every way out ends with status 0 and no output.
#include "cli/hook_relay.h"

#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "cli/commands.h"
#include "cli/request.h"
#include "support/fd_io.h"
#include "support/pane_variable.h"

namespace tesselo {

namespace {

inline constexpr const char* agentEventMethod = "agent-event";
inline constexpr const char* claudeAgent = "claude";

// Claude Code waits for every hook before it goes on. An application that
// takes the connection into its backlog but never serves it (a service
// manager holding the socket of a host that failed to start) must not stall
// each event of a turn until Claude Code's own hook limit: once the event is
// read, the relay gives up within a second, whatever step it is at. Claude
// Code closes the event's input at once, so its read is not limited: under a
// slow start the time goes to the exchange, where the host needs the relay
// alive to find its pane.
constexpr suseconds_t relayLimitMicroseconds = 900'000;

void giveUp(int) {
  _exit(0);
}

void armRelayLimit() {
  std::signal(SIGALRM, giveUp);
  itimerval limit{};
  limit.it_value.tv_usec = relayLimitMicroseconds;
  setitimer(ITIMER_REAL, &limit, nullptr);
}

void copyString(const Json& from, const char* inputKey, Json& to, const char* requestKey) {
  if (const std::string* value = stringMember(from, inputKey)) to[requestKey] = *value;
}

}  // namespace

std::optional<Json> agentEventRequest(const Json& event, const char* paneId) {
  const std::string* name = stringMember(event, "hook_event_name");
  if (!name) return std::nullopt;
  // Subagents report through the same hooks; their events say nothing about
  // the pane's own agent.
  if (event.contains("agent_id")) return std::nullopt;
  Json request = {{"method", agentEventMethod}, {"agent", claudeAgent}, {"event", *name}};
  copyString(event, "session_id", request, "session");
  copyString(event, "cwd", request, "cwd");
  copyString(event, "message", request, "message");
  if (paneId) request["panel"] = paneId;
  if (const std::string* type = stringMember(event, "notification_type"))
    request["detail"] = *type;
  else
    copyString(event, "source", request, "detail");
  return request;
}

int runClaudeHook() {
  std::string input;
  // A read that fails part-way leaves an event that cannot be trusted whole.
  if (!readToEnd(STDIN_FILENO, input)) std::exit(0);
  std::optional<Json> event = parseJson(input);
  if (!event) std::exit(0);
  std::optional<Json> request = agentEventRequest(*event, std::getenv(paneIdVariable));
  if (!request) std::exit(0);
  armRelayLimit();
  requestQuietly(*request);
}

}  // namespace tesselo

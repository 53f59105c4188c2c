// "wait": blocks until a pane's agent reaches a state or the deadline passes.
#include <algorithm>
#include <cmath>

#include "host/handlers.h"
#include "host/protocol.h"

namespace tesselo::host {

namespace {

constexpr std::string_view badUntilMessage = "\"until\" must be working, blocked or idle";
constexpr std::string_view paneClosedPrefix = "pane closed while waiting: ";
constexpr std::string_view agentExitedStart = "the agent in pane ";
constexpr std::string_view agentExitedEnd = " has exited";
// Far beyond any useful wait, and well inside the clock's range.
constexpr double longestWaitSeconds = 1e9;

}  // namespace

std::variant<WaitRequest, std::string> waitRequest(const Json& request) {
  WaitRequest wait;
  // Without "until" the wait is for the agent to finish its turn.
  wait.until = std::string(stateIdle);
  if (const std::string* until = stringMember(request, "until")) {
    if (!isAgentState(*until)) return std::string(badUntilMessage);
    wait.until = *until;
  }
  auto it = request.find("timeout");
  if (it != request.end() && it->is_number()) {
    double seconds = it->get<double>();
    wait.seconds = std::isnan(seconds) ? 0 : std::clamp(seconds, 0.0, longestWaitSeconds);
  }
  return wait;
}

Json runWait(HostContext& host, const Call& call) {
  auto parsed = waitRequest(call.request);
  if (auto* error = std::get_if<std::string>(&parsed)) return errorAnswer(*error);
  const WaitRequest& wait = std::get<WaitRequest>(parsed);
  auto target = paneTarget(host, call.request);
  if (auto* error = std::get_if<std::string>(&target)) return errorAnswer(*error);
  const std::string& pane = std::get<Target>(target).pane.paneKey;

  auto deadline =
      AgentStates::Clock::now() + std::chrono::duration_cast<AgentStates::Clock::duration>(
                                      std::chrono::duration<double>(wait.seconds));
  WaitResult result = host.states.waitFor(pane, wait.until, deadline, call.clientGone);
  switch (result.end) {
    case WaitEnd::clientGone:
      return nullptr;
    case WaitEnd::paneGone:
      return errorAnswer(std::string(paneClosedPrefix) + pane);
    case WaitEnd::agentExited:
      return errorAnswer(std::string(agentExitedStart) + pane + std::string(agentExitedEnd));
    case WaitEnd::reached:
    case WaitEnd::timedOut:
      break;
  }
  Json answer = {{"timeout", result.end == WaitEnd::timedOut}};
  if (result.state) answer["state"] = *result.state;
  return answer;
}

}  // namespace tesselo::host

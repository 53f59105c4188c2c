// "agent-event": a hook event of the coding agent in a pane moves its state.
#include "host/handlers.h"
#include "host/protocol.h"

namespace tesselo::host {

namespace {

constexpr std::string_view eventNeedsPanelMessage =
    "agent-event needs \"panel\" (TESSELO_PANE_ID is not set where the agent runs)";
constexpr std::string_view eventNeedsEventMessage = "agent-event needs a string \"event\"";

}  // namespace

Json runAgentEvent(HostContext& host, const Call& call) {
  const std::string* event = stringMember(call.request, "event");
  if (!event) return errorAnswer(eventNeedsEventMessage);
  // Without a pane the event would land on whichever pane is focused, which
  // is rarely the agent's.
  if (!stringMember(call.request, "panel")) return errorAnswer(eventNeedsPanelMessage);
  auto target = paneTarget(host, call.request);
  if (auto* error = std::get_if<std::string>(&target)) return errorAnswer(*error);
  const std::string& pane = std::get<Target>(target).pane.paneKey;

  const std::string* agent = stringMember(call.request, "agent");
  EventEffect effect = agentEventEffect(*event, stringMember(call.request, "detail"));
  host.states.apply(pane, agent ? *agent : std::string(defaultAgent), effect);
  Json answer = Json::object();
  if (auto known = host.states.get(pane)) answer["state"] = known->state;
  return answer;
}

}  // namespace tesselo::host

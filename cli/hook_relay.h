// The claude-hook relay: one Claude Code hook event in, at most one
// "agent-event" request out, and never a word or a failure status back.
#pragma once

#include <optional>

#include "support/json.h"

namespace tesselo {

// The request for one parsed hook event, or nothing when the event is
// dropped (not an object, no string "hook_event_name", or an "agent_id" of
// any value). paneId is the variable's value; null when it is unset.
std::optional<Json> agentEventRequest(const Json& event, const char* paneId);

}  // namespace tesselo

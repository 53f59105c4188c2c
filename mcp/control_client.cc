// Every failure kind of the shared control link counts alike here: the agent
// is told the application is not running.
#include "mcp/control_client.h"

#include "support/control_link.h"

namespace tesselo {

std::optional<Json> controlRequest(const Json& payload) {
  LinkOutcome outcome = exchange(payload);
  if (outcome.failure != LinkFailure::none) return std::nullopt;
  return std::move(outcome.response);
}

}  // namespace tesselo

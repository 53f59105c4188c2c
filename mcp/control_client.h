// The MCP server's side of the control link: one request, and the
// application's response object or nothing. Never prints, never exits.
#pragma once

#include <optional>

#include "support/json.h"

namespace tesselo {

// Sends the payload to the application at socketPath(). Nothing on any
// failure of the exchange; an "error" member is left for the caller.
std::optional<Json> controlRequest(const Json& payload);

// The shape of controlRequest, so that callers can be handed a stand-in.
using ControlRequest = std::optional<Json> (*)(const Json& payload);

}  // namespace tesselo

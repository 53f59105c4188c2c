// One tools/call: the arguments become one control request, and every
// outcome, failures included, becomes a tool result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/control_client.h"
#include "support/json.h"

namespace tesselo {

inline constexpr std::string_view missingArgumentText = "missing required argument";
inline constexpr std::string_view notRunningText = "Tesselo is not running (no control socket)";

inline constexpr std::string_view defaultSplitDirection = "right";
inline constexpr double minimumWaitSeconds = 1;
inline constexpr double maximumWaitSeconds = 600;

// "lines": a JSON number that is a whole number within int64, or nothing.
std::optional<int64_t> wholeNumber(const Json& value);

// "timeout": any JSON number, brought within the wait bounds; nothing for
// other types.
std::optional<double> waitSeconds(const Json& value);

// The control payload for a tool of the catalogue. Nothing when a required
// argument is missing or not a string, and for a name outside the catalogue.
std::optional<Json> controlPayload(std::string_view name, const Json& arguments);

// {"content": [{"type": "text", "text": text}], "isError": isError}
Json textContent(std::string text, bool isError = false);

// Never fails: every failure is a tool result with "isError" true.
Json callTool(std::string_view name, const Json& arguments,
              ControlRequest request = controlRequest);

}  // namespace tesselo

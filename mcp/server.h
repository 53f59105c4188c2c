// The JSON-RPC side of the server: start-up, the handling of one input line,
// the one way lines are written out, and the end of input.
#pragma once

#include <chrono>
#include <mutex>
#include <string_view>

#include "mcp/control_client.h"
#include "support/json.h"

namespace tesselo {

inline constexpr std::string_view jsonRpcVersion = "2.0";
inline constexpr std::string_view fallbackProtocolVersion = "2025-06-18";
inline constexpr std::string_view knownVersions[] = {"2025-11-25", "2025-06-18", "2025-03-26"};
inline constexpr std::string_view serverName = "tesselo";
inline constexpr std::string_view unknownVersion = "dev";

inline constexpr int methodNotFoundCode = -32601;
inline constexpr int invalidParamsCode = -32602;
inline constexpr std::string_view methodNotFoundPrefix = "method not found: ";
inline constexpr std::string_view unknownToolPrefix = "Unknown tool: ";

inline constexpr auto drainLimit = std::chrono::seconds(5);

// Every outgoing line is written whole while holding this lock, from
// whichever thread answers.
extern std::timed_mutex emitQueue;

// Builds the process-wide values (the catalogue) and ignores SIGPIPE, so
// that a closed standard output shows up as a failed write.
void startUp();

// The version shown in serverInfo: the project's, or "dev" when unknown.
std::string_view serverVersion();

// Writes the message as one compact line to standard output. A message
// without a JSON form is dropped; a failed write ends the process with 0.
void emit(const Json& message);
void emitResult(const Json& id, Json result);
void emitError(const Json& id, int code, std::string_view message);

// Handles one input line (its line ending removed); startUp() must have run.
// Everything but tool calls is answered before it returns; a tool call is
// handed to a worker, which asks the application through `request` (never
// null; a stand-in lets the loop run without a socket).
void handleLine(std::string_view line, ControlRequest request = controlRequest);

// At end of input: waits up to drainLimit for tool calls in flight, then
// ends the process with status 0 without waiting for the rest.
[[noreturn]] void drainAndExit();

}  // namespace tesselo

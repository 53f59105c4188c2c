// Drives a stdio MCP server (ours, the SDK peer, or the stdio floor) the way
// an agent host does, and takes the server-side figures.
#pragma once

#include <optional>
#include <string>

#include "bench/runner/spawn.h"

namespace bench {

inline constexpr const char* initializeLine =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"tesselo-bench","version":"1"}}})";

// Start to the first answer line, in microseconds; the process is then
// ended by closing its input. Nothing when no line came.
std::optional<double> spawnToFirstAnswer(const Command& server);

struct QuietFigures {
  double idleRssKiB = 0;  // after the initialize answer
  double exitMicros = 0;  // input closed, nothing in flight -> process gone
};
std::optional<QuietFigures> idleAndExit(const Command& server);

struct McpBurst {
  double micros = 0;
  long answered = 0;    // answers whose id was outstanding
  long duplicates = 0;  // ids answered twice, or never asked
  long missing = 0;     // ids never answered
  long errors = 0;      // answers flagged isError or without the list text
  double peakRssKiB = 0;
  double exitMicros = -1;  // input closed right after the burst -> gone
};
// total "tools/call tesselo_list", at most inFlight outstanding.
std::optional<McpBurst> mcpBurst(const Command& server, long total, int inFlight);

struct PingUnderLoad {
  double medianMicros = 0, minMicros = 0, maxMicros = 0;
  long pings = 0;
  long waitsAnswered = 0;
};
// Parks `waits` tesselo_wait calls in the app (which holds them), then times
// `pings` pings one after another.
std::optional<PingUnderLoad> pingWhileWaiting(const Command& server, const std::string& appSocket,
                                              int waits, int pings);

// The "id" member of a JSON-RPC line, read without a full parse.
std::optional<long> topLevelId(const std::string& line);

}  // namespace bench

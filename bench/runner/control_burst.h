// The baseline of the MCP burst: the same control requests made directly by
// the driver, a fixed number in flight.
#pragma once

#include <optional>
#include <string>

namespace bench {

struct BurstOutcome {
  double micros = 0;
  long answered = 0;  // complete answer lines received
};

// total requests of `line`, at most inFlight open at once; nothing when a
// connection could not be made.
std::optional<BurstOutcome> directBurst(const std::string& socketPath, const std::string& line,
                                        long total, int inFlight);

}  // namespace bench

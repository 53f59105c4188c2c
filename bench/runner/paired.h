// A against B, alternated (A B A B ...), so that a noisy neighbour slows
// both sides of a pair alike; the figure is the median of per-pair ratios.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "bench/runner/stats.h"

namespace bench {

// One timed run in microseconds; nothing when the run failed.
using Trial = std::function<std::optional<double>()>;

struct Paired {
  Summary a, b;   // microseconds
  Summary ratio;  // b / a per pair
  size_t failures = 0;
};

// warmup pairs are run first and not counted.
Paired runPaired(const Trial& a, const Trial& b, size_t pairs, size_t warmup);

}  // namespace bench

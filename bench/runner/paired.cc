// The alternating loop.
#include "bench/runner/paired.h"

#include <vector>

namespace bench {

Paired runPaired(const Trial& a, const Trial& b, size_t pairs, size_t warmup) {
  for (size_t i = 0; i < warmup; ++i) {
    a();
    b();
  }
  std::vector<double> as, bs, ratios;
  Paired result;
  for (size_t i = 0; i < pairs; ++i) {
    auto ta = a();
    auto tb = b();
    if (!ta || !tb || *ta <= 0) {
      ++result.failures;
      continue;
    }
    as.push_back(*ta);
    bs.push_back(*tb);
    ratios.push_back(*tb / *ta);
  }
  result.a = summarize(as);
  result.b = summarize(bs);
  result.ratio = summarize(ratios);
  return result;
}

}  // namespace bench

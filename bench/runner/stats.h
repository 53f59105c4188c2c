// Medians and ranges of a handful of samples.
#pragma once

#include <algorithm>
#include <vector>

namespace bench {

struct Summary {
  double median = 0, min = 0, max = 0;
  size_t count = 0;
};

inline Summary summarize(std::vector<double> samples) {
  Summary s;
  s.count = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  size_t n = samples.size();
  s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
  s.min = samples.front();
  s.max = samples.back();
  return s;
}

}  // namespace bench

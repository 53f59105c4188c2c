// The benchmarks' one clock: monotonic, in microseconds.
#pragma once

#include <time.h>

#include <cstdint>

namespace bench {

inline double nowMicros() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

}  // namespace bench

// The one way a fuzz target reports a broken property: a message naming the
// property, then abort, which libFuzzer and the replay driver both treat as
// a finding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tesselo::fuzz {

inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace tesselo::fuzz

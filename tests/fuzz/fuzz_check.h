// What every fuzz target shares: the one way it reports a broken property (a
// message naming the property, then abort, which libFuzzer and the replay
// driver both treat as a finding), and its entry point taking the input as
// text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace tesselo::fuzz {

inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace tesselo::fuzz

#define TESSELO_FUZZ_TARGET(check)                                          \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    check(std::string_view(reinterpret_cast<const char*>(data), size));     \
    return 0;                                                               \
  }

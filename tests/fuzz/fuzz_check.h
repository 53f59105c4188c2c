// What every fuzz target shares: the one way it reports a broken property (a
// message naming the property, then abort, which libFuzzer and the replay
// driver both treat as a finding), and its entry point, which hands the input
// as text to the check() the target defines. Each target is a program of its
// own, so both live at file scope.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

static void check(std::string_view input);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}

#include "cli/frame.h"

#include <gtest/gtest.h>

namespace tesselo {
namespace {

using List = std::vector<std::string>;

TEST(Flag, TakesTheFirstNameAndItsValue) {
  struct Case {
    List list;
    std::optional<std::string> value;
    List rest;
  } cases[] = {
      {{"--panel", "abc", "word"}, "abc", {"word"}},
      {{"--panel"}, std::nullopt, {"--panel"}},
      {{"x", "--panel"}, std::nullopt, {"x", "--panel"}},
      {{"--panel", "--raw"}, "--raw", {}},
      {{"--panel=abc"}, std::nullopt, {"--panel=abc"}},
      {{"--panel", "a", "--panel", "b"}, "a", {"--panel", "b"}},
      {{"--panel", ""}, "", {}},
      {{}, std::nullopt, {}},
  };
  for (auto& c : cases) {
    List list = c.list;
    EXPECT_EQ(flag("--panel", list), c.value);
    EXPECT_EQ(list, c.rest);
  }
}

}  // namespace
}  // namespace tesselo

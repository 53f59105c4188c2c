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

TEST(BoolFlag, RemovesOnlyTheFirstOccurrence) {
  List list = {"--raw", "word", "--raw"};
  EXPECT_TRUE(boolFlag("--raw", list));
  EXPECT_EQ(list, (List{"word", "--raw"}));
  List none = {"word"};
  EXPECT_FALSE(boolFlag("--raw", none));
  EXPECT_EQ(none, List{"word"});
}

TEST(Flag, AValueTakenFirstIsNoLongerASwitch) {
  List list = {"--panel", "--raw"};
  EXPECT_EQ(flag("--panel", list), "--raw");
  EXPECT_FALSE(boolFlag("--raw", list));
}

}  // namespace
}  // namespace tesselo

#include "support/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tesselo {
namespace {

TEST(ParseJson, AcceptsOnlyObjectsAndArraysAtTopLevel) {
  struct Case {
    const char* text;
    bool accepted;
  } cases[] = {
      {"{}", true},    {"[]", true}, {" {\"a\":1} ", true}, {"1", false},    {"\"s\"", false},
      {"null", false}, {"", false},  {"{", false},          {"{} x", false}, {"\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(parseJson(c.text).has_value(), c.accepted) << c.text;
}

TEST(ParseJson, RefusesInvalidUtf8AndExcessiveNesting) {
  EXPECT_FALSE(parseJson("{\"a\":\"\xff\"}"));
  std::string deep(maxJsonDepth + 1, '[');
  deep += std::string(maxJsonDepth + 1, ']');
  EXPECT_FALSE(parseJson(deep));
  std::string ok(maxJsonDepth, '[');
  ok += std::string(maxJsonDepth, ']');
  EXPECT_TRUE(parseJson(ok));
  // Brackets inside strings do not count.
  EXPECT_TRUE(parseJson("{\"a\":\"" + std::string(2000, '[') + "\\\"\"}"));
}

TEST(CompactJson, OneSortedLineAndNoFormForNonFiniteNumbers) {
  Json value = {{"b", 1}, {"a", {{"d", "x\ny"}, {"c", 2.5}}}};
  EXPECT_EQ(*compactJson(value), R"({"a":{"c":2.5,"d":"x\ny"},"b":1})");
  EXPECT_FALSE(compactJson(Json{{"t", std::numeric_limits<double>::infinity()}}));
  EXPECT_FALSE(compactJson(Json::array({std::nan("")})));
}

TEST(SettingsJson, PrettySortedWithEscapedSlashesAndIntegersKept) {
  Json value = {{"z", "/usr/bin/x"}, {"a", 5}, {"m", 5.0}};
  std::string text = *settingsJson(value);
  EXPECT_EQ(text, "{\n  \"a\": 5,\n  \"m\": 5.0,\n  \"z\": \"\\/usr\\/bin\\/x\"\n}");
  EXPECT_EQ(*parseJson(text), value);
}

}  // namespace
}  // namespace tesselo

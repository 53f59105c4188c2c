#include "mcp/tool_calls.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tesselo {
namespace {

Json json(const char* text) {
  return *parseJson(text);
}

// The value is parsed from JSON text, as it would arrive from an agent.
Json number(const char* text) {
  return json((std::string("[") + text + "]").c_str())[0];
}

TEST(WholeNumber, WholeNumbersWithinInt64Only) {
  struct Case {
    const char* text;
    std::optional<int64_t> expected;
  } cases[] = {
      {"12", 12},
      {"0", 0},
      {"-3", -3},
      {"12.0", 12},
      {"1e3", 1000},
      {"-0.0", 0},
      {"12.5", std::nullopt},
      {"-0.5", std::nullopt},
      {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {"9223372036854775808", std::nullopt},
      {"18446744073709551615", std::nullopt},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
      {"-9223372036854775808.0", std::numeric_limits<int64_t>::min()},
      {"9223372036854775808.0", std::nullopt},
      {"-1e19", std::nullopt},
      {"1e300", std::nullopt},
      {"\"12\"", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
      {"[12]", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(wholeNumber(number(c.text)), c.expected) << c.text;
}

TEST(WaitSeconds, AnyNumberWithinOneAndSixHundred) {
  struct Case {
    const char* text;
    std::optional<double> expected;
  } cases[] = {
      {"0.5", 1},
      {"1", 1},
      {"0", 1},
      {"-5", 1},
      {"1.5", 1.5},
      {"30", 30},
      {"599.9", 599.9},
      {"600", 600},
      {"600.5", 600},
      {"5000", 600},
      {"1e300", 600},
      {"18446744073709551615", 600},
      {"\"30\"", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(waitSeconds(number(c.text)), c.expected) << c.text;
}

}  // namespace
}  // namespace tesselo

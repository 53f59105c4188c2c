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

TEST(ControlPayload, EveryToolAndArgumentRule) {
  struct Case {
    const char* tool;
    const char* arguments;
    const char* payload;  // null: no payload
  } cases[] = {
      {"tesselo_list", "{}", R"({"method":"list"})"},
      {"tesselo_list", R"({"panel":"ab","x":1})", R"({"method":"list"})"},
      {"tesselo_read", "{}", R"({"method":"read"})"},
      {"tesselo_read", R"({"panel":"abcd1234","lines":12})",
       R"({"method":"read","panel":"abcd1234","lines":12})"},
      {"tesselo_read", R"({"lines":12.5})", R"({"method":"read"})"},
      {"tesselo_read", R"({"lines":-4})", R"({"method":"read","lines":-4})"},
      {"tesselo_read", R"({"lines":"12","panel":7})", R"({"method":"read"})"},
      {"tesselo_send", R"({"text":"ls"})", R"({"method":"send","text":"ls\n"})"},
      {"tesselo_send", R"({"text":"ls","raw":true,"panel":"p"})",
       R"({"method":"send","text":"ls","panel":"p"})"},
      {"tesselo_send", R"({"text":"ls","raw":false})", R"({"method":"send","text":"ls\n"})"},
      {"tesselo_send", R"({"text":"ls","raw":"true"})", R"({"method":"send","text":"ls\n"})"},
      {"tesselo_send", R"({"text":"ls","raw":1})", R"({"method":"send","text":"ls\n"})"},
      {"tesselo_send", R"({"text":"ls\n"})", R"({"method":"send","text":"ls\n\n"})"},
      {"tesselo_send", R"({"text":""})", R"({"method":"send","text":"\n"})"},
      {"tesselo_send", R"({"text":5})", nullptr},
      {"tesselo_send", R"({"raw":true,"panel":"p"})", nullptr},
      {"tesselo_send", "{}", nullptr},
      {"tesselo_split", "{}", R"({"method":"split","direction":"right"})"},
      {"tesselo_split", R"({"terminal":"t1","direction":"down"})",
       R"({"method":"split","terminal":"t1","direction":"down"})"},
      {"tesselo_split", R"({"direction":"sideways"})",
       R"({"method":"split","direction":"sideways"})"},
      {"tesselo_split", R"({"direction":1,"terminal":null})",
       R"({"method":"split","direction":"right"})"},
      {"tesselo_new", "{}", R"({"method":"new"})"},
      {"tesselo_new", R"({"space":"s","cwd":"/tmp","worktree":true})",
       R"({"method":"new","space":"s","cwd":"/tmp","worktree":true})"},
      {"tesselo_new", R"({"worktree":false})", R"({"method":"new","worktree":false})"},
      {"tesselo_new", R"({"worktree":"true","space":1,"cwd":[]})", R"({"method":"new"})"},
      {"tesselo_wait", R"({"until":"idle"})", R"({"method":"wait","until":"idle"})"},
      {"tesselo_wait", R"({"until":"asleep"})", R"({"method":"wait","until":"asleep"})"},
      {"tesselo_wait", R"({"until":"idle","panel":"p","timeout":30})",
       R"({"method":"wait","until":"idle","panel":"p","timeout":30})"},
      {"tesselo_wait", R"({"until":"idle","timeout":0.5})",
       R"({"method":"wait","until":"idle","timeout":1})"},
      {"tesselo_wait", R"({"until":"idle","timeout":5000})",
       R"({"method":"wait","until":"idle","timeout":600})"},
      {"tesselo_wait", R"({"until":"idle","timeout":2.5})",
       R"({"method":"wait","until":"idle","timeout":2.5})"},
      {"tesselo_wait", R"({"until":"idle","timeout":"30"})", R"({"method":"wait","until":"idle"})"},
      {"tesselo_wait", R"({"until":3})", nullptr},
      {"tesselo_wait", R"({"panel":"p","timeout":30})", nullptr},
      {"tesselo_notify", R"({"text":"hi"})", R"({"method":"notify"})"},
      {"tesselo_unknown", "{}", nullptr},
      {"", "{}", nullptr},
  };
  for (const auto& c : cases) {
    std::optional<Json> payload = controlPayload(c.tool, json(c.arguments));
    if (!c.payload) {
      EXPECT_FALSE(payload) << c.tool << " " << c.arguments;
      continue;
    }
    ASSERT_TRUE(payload) << c.tool << " " << c.arguments;
    EXPECT_EQ(*payload, json(c.payload)) << c.tool << " " << c.arguments;
  }
}

// Whole wait times go out as integers, as the platform's writer would write
// them; fractions as they are.
TEST(ControlPayload, WaitTimeoutNumberForms) {
  struct Case {
    const char* timeout;
    const char* written;
  } cases[] = {{"30", "30"}, {"30.0", "30"}, {"0.5", "1"}, {"5000", "600"}, {"2.5", "2.5"}};
  for (const auto& c : cases) {
    Json arguments = {{"until", "idle"}, {"timeout", number(c.timeout)}};
    EXPECT_EQ(*compactJson((*controlPayload("tesselo_wait", arguments))["timeout"]), c.written)
        << c.timeout;
  }
}

TEST(TextContent, OneTextItemAndAlwaysIsError) {
  EXPECT_EQ(textContent("hi"),
            json(R"({"content":[{"type":"text","text":"hi"}],"isError":false})"));
  EXPECT_EQ(textContent("", true),
            json(R"({"content":[{"type":"text","text":""}],"isError":true})"));
}

}  // namespace
}  // namespace tesselo

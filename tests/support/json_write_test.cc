// The quick writer must write exactly what nlohmann's dump writes, byte for
// byte, and step aside for anything it does not handle (invalid UTF-8). The
// json_quick fuzz target compares it with nlohmann on generated values.
#include "support/json_write.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace tesselo {
namespace {

std::string reference(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Checks one value; returns whether the quick writer took it.
bool agrees(const Json& value) {
  std::string quick;
  bool taken = writeQuickly(value, quick);
  if (taken) {
    EXPECT_EQ(quick, reference(value));
  }
  EXPECT_EQ(compactJson(value), reference(value));
  return taken;
}

std::string allBytesBelow(int limit) {
  std::string text;
  for (int c = 0; c < limit; ++c) text += static_cast<char>(c);
  return text;
}

TEST(JsonWrite, HandPickedValuesMatchNlohmann) {
  struct Case {
    Json value;
    bool quick;
  } cases[] = {
      {Json::object(), true},
      {Json::array(), true},
      {Json{{"a", Json::array({1, -2, nullptr, true, false, Json::object()})}}, true},
      {Json{{"controls", allBytesBelow(0x20)}, {"ascii", allBytesBelow(0x80).substr(0x20)}}, true},
      {Json{{"\"key\\/\n", "v"}}, true},
      {Json{{"utf8",
             "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF"
             "\xBF"}},
       true},
      {Json{{"max", std::numeric_limits<uint64_t>::max()},
            {"min", std::numeric_limits<int64_t>::min()},
            {"zero", 0},
            {"negative", -1}},
       true},
      {Json{{"f", 1.0}, {"g", 0.1}, {"h", -0.0}, {"i", 1e300}, {"j", 5e-324}, {"k", 123456.789}},
       true},
      {Json::array({std::string("nul\0inside", 10)}), true},
      {Json{{"bad", "\xFF"}}, false},
      {Json{{"bad", "\xC0\x80"}}, false},
      {Json{{"bad", "\xED\xA0\x80"}}, false},
      {Json{{"bad", "\xF4\x90\x80\x80"}}, false},
      {Json{{"bad", "cut \xE2\x94"}}, false},
      {Json{{"\x80key", "v"}}, false},
      {Json::array({"ok", Json::array({"\xFE"})}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(agrees(c.value), c.quick) << reference(c.value);
}

}  // namespace
}  // namespace tesselo

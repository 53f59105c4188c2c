// The quick writer must write exactly what nlohmann's dump writes, byte for
// byte, and step aside for anything it does not handle (invalid UTF-8).
#include "support/json_write.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
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

// Strings made of pieces that need every kind of treatment.
const std::string pieces[] = {
    "a",
    "Z0",
    " ",
    "/",
    "\"",
    "\\",
    "\n",
    "\t",
    "\x01",
    "\x1F",
    "\x7F",
    "\xC3\xA9",
    "\xE2\x94\x80",
    "\xF0\x9F\x98\x80",
    "\xED\x9F\xBF",
    std::string(1, '\0'),
    // Not valid UTF-8 on their own:
    "\x80",
    "\xFF",
    "\xC0\xAF",
    "\xED\xA0\x80",
    "\xE2\x94",
    "\xF5\x80\x80\x80",
};

std::string randomString(std::mt19937& rng, bool validOnly) {
  std::uniform_int_distribution<size_t> pick(0, validOnly ? 15 : std::size(pieces) - 1);
  std::string out;
  for (int n = std::uniform_int_distribution<int>(0, 8)(rng); n > 0; --n) out += pieces[pick(rng)];
  return out;
}

Json randomValue(std::mt19937& rng, bool validOnly, int depth) {
  switch (std::uniform_int_distribution<int>(depth < 4 ? 0 : 2, 9)(rng)) {
    case 0: {
      Json object = Json::object();
      for (int n = std::uniform_int_distribution<int>(0, 4)(rng); n > 0; --n)
        object[randomString(rng, validOnly)] = randomValue(rng, validOnly, depth + 1);
      return object;
    }
    case 1: {
      Json array = Json::array();
      for (int n = std::uniform_int_distribution<int>(0, 4)(rng); n > 0; --n)
        array.push_back(randomValue(rng, validOnly, depth + 1));
      return array;
    }
    case 2:
      return Json(std::uniform_int_distribution<int64_t>()(rng));
    case 3:
      return Json(std::uniform_int_distribution<uint64_t>()(rng));
    case 4:
      return Json(std::uniform_real_distribution<double>(-1e6, 1e6)(rng));
    case 5:
      return Json(std::uniform_int_distribution<int>(0, 1)(rng) == 1);
    case 6:
      return Json(nullptr);
    default:
      return Json(randomString(rng, validOnly));
  }
}

TEST(JsonWrite, GeneratedValuesMatchNlohmann) {
  std::mt19937 rng(7031);
  int quick = 0, total = 20000;
  for (int i = 0; i < total; ++i) {
    Json value = Json::object();
    value["v"] = randomValue(rng, i % 2 == 0, 0);
    if (agrees(value)) ++quick;
    if (::testing::Test::HasFailure()) break;
  }
  // Both paths must have been taken for the comparison to mean something.
  EXPECT_GT(quick, total / 2);
  EXPECT_LT(quick, total);
}

}  // namespace
}  // namespace tesselo

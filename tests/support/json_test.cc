// Every JSON text a program reads goes through parseJson and every line it
// writes through compactJson: both must agree with nlohmann/json, values and
// number types alike, and their quick paths must take what they are meant to.
// The json_quick fuzz target compares generated texts the same way.
#include "support/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/json_quick.h"
#include "support/json_write.h"

namespace tesselo {
namespace {

// What parseJson answered before it had a quick path.
std::optional<Json> fullParse(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded() || !value.is_structured()) return std::nullopt;
  return value;
}

// Equal values of the same types throughout: 5 read as unsigned is not 5
// read as signed, although nlohmann compares them equal.
bool identical(const Json& a, const Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (!a.is_structured()) return a == b;
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
    if ((a.is_object() && ia.key() != ib.key()) || !identical(*ia, *ib)) return false;
  return true;
}

std::string reference(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Whether the quick writer took the value; either way compactJson writes
// nlohmann's bytes.
bool writesLikeNlohmann(const Json& value) {
  std::string quick;
  bool taken = writeQuickly(value, quick);
  if (taken) {
    EXPECT_EQ(quick, reference(value));
  }
  EXPECT_EQ(compactJson(value), reference(value));
  return taken;
}

TEST(Json, TextsReadAsTheFullParserReadsThem) {
  ASSERT_FALSE(identical(Json(5u), Json(5)));
  struct Case {
    std::string text;
    bool quick;  // whether the quick reader takes it
  } cases[] = {
      {"{}", true},
      {" \t\r\n{ \n}\r\n ", true},
      {R"({"a":"1","b":"2","a":"3"})", true},
      {R"({"":"","t":true,"f":false,"n":null,"s":"x"})", true},
      {R"({"e":"\" \\ \/ \b \f \n \r \t"})", true},
      {R"({"u":"\u0000\u0001\u001f\u0041\u00e9\u20AC\uffff"})", true},
      {R"({"pair":"\ud83d\ude00\ud800\udc00\udbff\udfff","upper":"\uD83D\uDE00"})", true},
      {"{\"utf8\":\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\x7F\"}", true},
      {"{\"utf8\":\"\xF0\x90\x80\x80\xF3\xBF\xBF\xBF\xF4\x8F\xBF\xBF\"}", true},
      {R"({"o":{"k":"v","o":{}},"l":["x",[],[1,[true]]],"e":[]})", true},
      {" [ 1 , -2 , 0 , -0 ] ", true},
      {R"({"u":9999999999999999999,"i":-999999999999999999})", true},
      {std::string(64, '[') + std::string(64, ']'), true},
      {R"({"u":18446744073709551615,"i":-9223372036854775808})", false},
      {R"({"big":18446744073709551616,"small":-9223372036854775809})", false},
      {R"({"n":1.5})", false},
      {R"({"n":-0.5e3})", false},
      {R"({"n":1E3})", false},
      {std::string(65, '[') + std::string(65, ']'), false},
      {R"({"lone":"\ud800"})", false},
      {R"({"lone":"\udc00"})", false},
      {R"({"half":"\ud800\u0041"})", false},
      {R"({"half":"\ud800x"})", false},
      {R"({"hex":"\u12G4"})", false},
      {R"({"hex":"\u12"})", false},
      {R"({"esc":"\x"})", false},
      {R"({"esc":"\)", false},
      {"{\"c\":\"\x01\"}", false},
      {"{\"c\":\"\x1F\"}", false},
      {"{\"b\":\"\xC0\x80\"}", false},
      {"{\"b\":\"\xC1\xBF\"}", false},
      {"{\"b\":\"\x80\"}", false},
      {"{\"b\":\"\xE0\x9F\xBF\"}", false},
      {"{\"b\":\"\xED\xA0\x80\"}", false},
      {"{\"b\":\"\xF0\x8F\xBF\xBF\"}", false},
      {"{\"b\":\"\xF4\x90\x80\x80\"}", false},
      {"{\"b\":\"\xF5\x80\x80\x80\"}", false},
      {"{\"b\":\"\xE2\x94\"}", false},
      {"{\"b\":\"\xE2\x94", false},
      {"\xEF\xBB\xBF{}", false},
      {"\f{}", false},
      {R"({"a":"x",})", false},
      {R"({"a" "x"})", false},
      {R"({"a":"x" "b":"y"})", false},
      {R"({"a":"x"} x)", false},
      {R"({"a":"x"}})", false},
      {R"({"a":tru})", false},
      {R"({"a":nul})", false},
      {R"({"a":True})", false},
      {R"({a:"x"})", false},
      {R"({"a":"x")", false},
      {R"({"n":01})", false},
      {R"({"n":-})", false},
      {R"({"n":+1})", false},
      {R"({"n":1x})", false},
      {R"([1,])", false},
      {R"([,1])", false},
      {R"({"a":[1}})", false},
      {R"({"a":{"b":1]})", false},
      {R"("x")", false},
      {"5", false},
      {"null", false},
      {"", false},
      {"{", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<Json> expected = fullParse(c.text), quick = parseQuickly(c.text),
                        parsed = parseJson(c.text);
    EXPECT_EQ(quick.has_value(), c.quick);
    EXPECT_TRUE(!quick || (expected && identical(*quick, *expected)));
    ASSERT_EQ(parsed.has_value(), expected.has_value());
    EXPECT_TRUE(!parsed || (identical(*parsed, *expected) && writesLikeNlohmann(*parsed)));
  }
}

// Values no parsed text holds: invalid UTF-8 is left to nlohmann, which
// replaces it; numbers of every kind and every byte below 0x80.
TEST(Json, ValuesWrittenAsNlohmannWritesThem) {
  std::string ascii;
  for (int c = 0; c < 0x80; ++c) ascii += static_cast<char>(c);
  struct Case {
    Json value;
    bool quick;
  } cases[] = {
      {Json::array({ascii, std::string("nul\0inside", 10)}), true},
      {Json{{"\"key\\/\n", "v"}}, true},
      {Json{{"max", std::numeric_limits<uint64_t>::max()},
            {"min", std::numeric_limits<int64_t>::min()},
            {"zero", 0}},
       true},
      {Json{{"f", 1.0}, {"g", 0.1}, {"h", -0.0}, {"i", 1e300}, {"j", 5e-324}, {"k", 123456.789}},
       true},
      {Json{{"bad", "\xFF"}}, false},
      {Json{{"bad", "\xC0\x80"}}, false},
      {Json{{"bad", "\xED\xA0\x80"}}, false},
      {Json{{"bad", "\xF4\x90\x80\x80"}}, false},
      {Json{{"bad", "cut \xE2\x94"}}, false},
      {Json{{"\x80key", "v"}}, false},
      {Json::array({"ok", Json::array({"\xFE"})}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(writesLikeNlohmann(c.value), c.quick) << reference(c.value);
  EXPECT_FALSE(compactJson(Json{{"t", std::numeric_limits<double>::infinity()}}));
  EXPECT_FALSE(compactJson(Json::array({std::nan("")})));
  EXPECT_FALSE(settingsJson(Json::array({std::nan("")})));
}

TEST(Json, NestingIsBoundedOutsideStringsOnly) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parseJson(nested(maxJsonDepth)));
  EXPECT_FALSE(parseJson(nested(maxJsonDepth + 1)));
  EXPECT_TRUE(parseJson("{\"a\":\"" + std::string(2000, '[') + "\\\"\"}"));
}

TEST(Json, SettingsArePrettySortedWithEveryNumberAndSlashKept) {
  Json value = {{"z", "/usr/bin/x"}, {"a", 5}, {"m", 5.0}};
  std::string text = *settingsJson(value);
  EXPECT_EQ(text, "{\n  \"a\": 5,\n  \"m\": 5.0,\n  \"z\": \"\\/usr\\/bin\\/x\"\n}");
  EXPECT_EQ(*parseJson(text), value);
}

TEST(Json, ALargeScreenIsReadWholeByTheQuickReader) {
  std::string text = "{\"text\":\"", expected;
  for (int i = 0; i < 20000; ++i) {
    text += "\xE2\x94\x82 make \\\"all\\\" \\\\ done\\n";
    expected += "\xE2\x94\x82 make \"all\" \\ done\n";
  }
  std::optional<Json> value = parseQuickly(text + "\"}");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["text"], expected);
}

}  // namespace
}  // namespace tesselo

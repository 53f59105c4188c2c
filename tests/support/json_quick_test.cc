// The quick reader must agree with the full parser on every input: the same
// verdict, the same value, the same number types. Hand-picked edges here;
// the json_quick fuzz target compares generated texts with nlohmann.
#include "support/json_quick.h"

#include <gtest/gtest.h>

#include <string>

namespace tesselo {
namespace {

// What parseJson answered before it had a quick path.
std::optional<Json> fullParse(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded() || !(value.is_object() || value.is_array())) return std::nullopt;
  return value;
}

// Equal values of the same types throughout: 5 read as unsigned is not 5
// read as signed, although nlohmann compares them equal.
bool identical(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
      if (ia.key() != ib.key() || !identical(*ia, *ib)) return false;
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (!identical(a[i], b[i])) return false;
    return true;
  }
  return a == b;
}

// Checks one text; returns whether the quick reader took it.
bool agrees(const std::string& text) {
  auto expected = fullParse(text);
  auto quick = parseQuickly(text);
  if (quick) {
    EXPECT_TRUE(expected.has_value()) << "quick reader accepted what the parser refuses: " << text;
    if (expected) {
      EXPECT_TRUE(identical(*quick, *expected)) << text;
    }
  }
  auto parsed = parseJson(text);
  EXPECT_EQ(parsed.has_value(), expected.has_value()) << text;
  if (parsed && expected) {
    EXPECT_TRUE(identical(*parsed, *expected)) << text;
  }
  return quick.has_value();
}

TEST(JsonQuick, HandPickedEdgesAgreeWithTheFullParser) {
  ASSERT_FALSE(identical(Json(5u), Json(5)));  // the comparison sees number types
  struct Case {
    std::string text;
    bool quick;  // whether the quick reader should take it
  } cases[] = {
      {R"({})", true},
      {" \t\r\n{ \n}\r\n ", true},
      {R"({"text":"plain"})", true},
      {R"({"a":"1","b":"2","a":"3"})", true},  // the last of a repeated key
      {R"({"":""})", true},
      {R"({"t":true,"f":false,"n":null,"s":"x"})", true},
      {R"({"e":"\" \\ \/ \b \f \n \r \t"})", true},
      {R"({"u":"\u0000\u0041\u00e9\u20AC\uffff"})", true},
      {R"({"pair":"\ud83d\ude00","upper":"\uD83D\uDE00"})", true},
      {"{\"utf8\":\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\"}", true},
      {"{\"utf8\":\"\xF0\x90\x80\x80\xF3\xBF\xBF\xBF\xF4\x8F\xBF\xBF\"}", true},
      {"{\"del\":\"\x7F\"}", true},
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
      {"{\"c\":\"a\nb\"}", false},
      {"{\"b\":\"\xC0\x80\"}", false},
      {"{\"b\":\"\xC1\xBF\"}", false},
      {"{\"b\":\"\x80\"}", false},
      {"{\"b\":\"\xE0\x9F\xBF\"}", false},
      {"{\"b\":\"\xED\xA0\x80\"}", false},
      {"{\"b\":\"\xF0\x8F\xBF\xBF\"}", false},
      {"{\"b\":\"\xF4\x90\x80\x80\"}", false},
      {"{\"b\":\"\xF5\x80\x80\x80\"}", false},
      {"{\"b\":\"\xFF\"}", false},
      {"{\"b\":\"\xE2\x94\"}", false},
      {"{\"b\":\"\xE2\x94", false},
      {"\xEF\xBB\xBF{\"bom\":\"x\"}", false},
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
      {R"({"o":{"k":"v","o":{}},"l":["x",[],[1,[true]]],"e":[]})", true},
      {R"(["x"])", true},
      {" [ 1 , -2 , 0 , -0 ] ", true},
      {R"({"u":18446744073709551615,"i":-999999999999999999,"z":0})", false},
      {R"({"u":9999999999999999999,"i":-999999999999999999})", true},
      {R"({"big":18446744073709551616})", false},
      {R"({"big":-9223372036854775809})", false},
      {R"({"n":1.5})", false},
      {R"({"n":-0.5e3})", false},
      {R"({"n":1e3})", false},
      {R"({"n":1E3})", false},
      {R"({"n":01})", false},
      {R"({"n":-})", false},
      {R"({"n":-a})", false},
      {R"({"n":+1})", false},
      {R"({"n":1x})", false},
      {R"({"n":0x10})", false},
      {R"([1,])", false},
      {R"([,1])", false},
      {R"({"a":[1}})", false},
      {R"({"a":{"b":1]})", false},
      {std::string(101, '[') + std::string(101, ']'), false},
      {std::string(60, '[') + std::string(60, ']'), true},
      {R"("x")", false},
      {"", false},
      {"{", false},
  };
  for (const Case& c : cases) EXPECT_EQ(agrees(c.text), c.quick) << c.text;
}

TEST(JsonQuick, ReadsALargeScreenWhole) {
  std::string line = "\xE2\x94\x82 make test \\\"all\\\" \\\\ done \xE2\x9C\x93\\n";
  std::string text = "{\"text\":\"";
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    text += line;
    expected += "\xE2\x94\x82 make test \"all\" \\ done \xE2\x9C\x93\n";
  }
  text += "\"}";
  auto value = parseQuickly(text);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ((*value)["text"], expected);
  EXPECT_TRUE(identical(*value, *fullParse(text)));
}

}  // namespace
}  // namespace tesselo

// The support library as the programs use it.
//
// Every JSON text a program reads goes through parseJson and every line it
// writes through compactJson: both must agree with nlohmann/json, values and
// number types alike, and their quick paths must take what they are meant to.
// The texts the quick reader takes, and valid ones it leaves to nlohmann; the
// json_quick fuzz target's corpus holds a text for each way one is refused.
// The settings file's bytes are the setup runner's part.
//
// The home directories behind the control socket's and the settings' paths:
// from the password database or the passwd file. Where the socket goes is the
// CLI runner's part.
//
// The control link reads the answer's first line and goes on without waiting
// for the application to hang up. What else an answer may be, cut anywhere,
// is the CLI runner's and the control_response fuzz target's part.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "support/control_link.h"
#include "support/json.h"
#include "support/json_quick.h"
#include "support/json_write.h"
#include "support/password_file.h"
#include "support/socket_path.h"
#include "tests/common/fake_app.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

// Equal values of the same types throughout: 5 read as unsigned is not 5
// read as signed, although nlohmann compares them equal.
bool identical(const Json& a, const Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (!a.is_structured()) return a == b;
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
    if ((a.is_object() && ia.key() != ib.key()) || !identical(*ia, *ib)) return false;
  return true;
}

// Whether the quick writer took the value; either way compactJson writes
// nlohmann's bytes.
bool writesLikeNlohmann(const Json& value) {
  std::string quick, reference = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  bool taken = writeQuickly(value, quick);
  EXPECT_TRUE(!taken || quick == reference) << reference;
  EXPECT_EQ(compactJson(value), reference);
  return taken;
}

TEST(Json, TextsReadAsTheFullParserReadsThem) {
  ASSERT_FALSE(identical(Json(5u), Json(5)));
  const std::string deep = std::string(64, '[') + std::string(64, ']');
  struct Case {
    std::string text;
    bool quick;  // whether the quick reader takes it
  } cases[] = {
      // clang-format off
      {" \t\r\n{ \n}\r\n ", true},
      {R"({"a":"1","":"","a":"3","t":true,"f":false,"n":null,"e":"\" \\ \/ \b \f \n \r \t"})", true},
      {R"({"u":"\u0000\u001f\u0041\u00e9\u20AC\uFFFF","pair":"\ud83d\ude00\ud800\udc00\udbff\udfff\uD83D\uDE00"})", true},
      {"{\"utf8\":\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\x7F\xF0\x90\x80\x80\xF3\xBF\xBF\xBF\xF4\x8F\xBF\xBF\"}", true},
      {R"({"o":{"k":"v","o":{}},"l":["x",[],[1,[true]]],"n":[ 1 , -2 , 0 , -0 , 9999999999999999999 , -999999999999999999 ]})", true},
      {deep, true},
      {"[" + deep + "]", false},
      {"[18446744073709551615]", false},
      {"[-9223372036854775808]", false},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Json full = Json::parse(c.text.begin(), c.text.end(), nullptr, false);
    std::optional<Json> expected, quick = parseQuickly(c.text), parsed = parseJson(c.text);
    if (!full.is_discarded() && full.is_structured()) expected = full;
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
      // clang-format off
      {Json::array({ascii, std::string("nul\0inside", 10)}), true},
      {Json{{"\"key\\/\n", "v"}}, true},
      {Json{{"max", std::numeric_limits<uint64_t>::max()}, {"min", std::numeric_limits<int64_t>::min()}, {"zero", 0}}, true},
      {Json{{"f", 1.0}, {"g", 0.1}, {"h", -0.0}, {"i", 1e300}, {"j", 5e-324}, {"k", 123456.789}}, true},
      {Json{{"bad", "\xFF"}}, false},
      {Json{{"bad", "\xC0\x80"}}, false},
      {Json{{"bad", "\xED\xA0\x80"}}, false},
      {Json{{"bad", "\xF4\x90\x80\x80"}}, false},
      {Json{{"bad", "cut \xE2\x94"}}, false},
      {Json{{"\x80key", "v"}}, false},
      {Json::array({"ok", Json::array({"\xFE"})}), false},
      // clang-format on
  };
  for (const Case& c : cases)
    EXPECT_EQ(writesLikeNlohmann(c.value), c.quick) << *compactJson(c.value);
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

using std::nullopt;

constexpr const char* sampleFile =
    "# local accounts\n"
    "root:x:0:0:root:/root:/bin/bash\n"
    "+nis::::::\n"
    "-blocked:x:1001:1001::/home/blocked:/bin/sh\n"
    "short:x:1002:1002:/home/short\n"
    "long:x:1003:1003:a:/home/long:/bin/sh:extra\n"
    "badid:x:12a:12::/home/badid:/bin/sh\n"
    "ann:x:1000:1000:Ann,,,:/home/ann:/bin/zsh\n"
    "twin:x:1000:1000::/home/twin:/bin/sh\n"
    "nohome:x:1004:1004:::/bin/sh\n"
    "\n"
    "last:x:4294967295:1005::/home/last:/bin/sh";

TEST(PasswordFile, TheFirstWellFormedEntryByUidOrExactNameAsTheDatabaseHasIt) {
  struct Case {
    uid_t uid;
    const char* user;
    std::optional<std::string> home;  // the same by uid and by name
  } cases[] = {
      // clang-format off
      {1000, "ann", "/home/ann"},
      {1001, "blocked", nullopt},
      {1002, "short", nullopt},
      {1003, "long", nullopt},
      {1004, "nohome", ""},
      {4294967295u, "last", "/home/last"},
      {12, "badid", nullopt},
      {4242, "an", nullopt},
      // clang-format on
  };
  for (const Case& c : cases) {
    EXPECT_EQ(homeInPasswordText(sampleFile, c.uid), c.home) << c.uid;
    EXPECT_EQ(homeInPasswordText(sampleFile, std::string_view(c.user)), c.home) << c.user;
  }
  EXPECT_EQ(homeInPasswordText(sampleFile, std::string_view("twin")), "/home/twin");
  test::TempDir dir;
  test::writeFile(dir.file("passwd"), sampleFile);
  EXPECT_EQ(homeInPasswordFile(dir.file("passwd"), std::string_view("last")), "/home/last");
  EXPECT_EQ(homeInPasswordFile(dir.file("missing"), uid_t{0}), nullopt);
  // Under TESSELO_STATIC the file is all the library reads: its answer must
  // be the database's.
  passwd* self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(passwordHomeDirectory(), self->pw_dir);
  EXPECT_EQ(passwordHomeDirectory(self->pw_name), self->pw_dir);
}

TEST(ControlLink, TheAnswerLineIsTakenWhileTheConnectionStaysOpen) {
  test::TempDir dir;
  test::FakeApp app(dir.file("s"));
  test::ScopedEnv socket("TESSELO_SOCKET", app.path());
  app.answerDefault({.bytes = "{\"text\":\"x\"}\n", .keepOpen = true});
  LinkOutcome outcome = exchange({{"method", "read"}});
  EXPECT_EQ(outcome.failure, LinkFailure::none);
  EXPECT_EQ(outcome.response, Json({{"text", "x"}}));
}

}  // namespace
}  // namespace tesselo

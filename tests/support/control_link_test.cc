// The control link as the programs use it: one compact request line out, the
// first line back as an object, however the application sends it. Reads cut
// anywhere are the control_response fuzz target's part.
#include "support/control_link.h"

#include <gtest/gtest.h>

#include "tests/common/fake_app.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

test::Reply bytes(std::string text, bool keepOpen = false, bool byteByByte = false) {
  test::Reply reply;
  reply.bytes = std::move(text);
  reply.keepOpen = keepOpen;
  reply.byteByByte = byteByByte;
  return reply;
}

TEST(ControlLink, EveryWayAnAnswerArrivesAndOnlyWholePathsAreConnected) {
  test::TempDir dir;
  test::FakeApp app(dir.file("s"));
  std::optional<test::ScopedEnv> socket(std::in_place, "TESSELO_SOCKET", app.path());
  Json screen = {{"text", "h\xc3\xa9llo " + std::string(100000, 'x')}},
       short_ = {{"t", "\xc3\xa9"}};
  struct Case {
    test::Reply reply;
    Json response;  // null: no response
  } cases[] = {
      {test::jsonReply(screen), screen},
      {bytes(short_.dump() + "\n", false, true), short_},
      {bytes(screen.dump() + "\n", true), screen},
      {bytes("{\"a\":1}\n{garbage"), {{"a", 1}}},
      {bytes(""), nullptr},
      {bytes("{}"), nullptr},
      {bytes("[]\n"), nullptr},
      {bytes("hello\n"), nullptr},
      {bytes("\n"), nullptr},
  };
  for (const Case& c : cases) {
    app.answerDefault(c.reply);
    LinkOutcome outcome = exchange({{"x", "a/b"}, {"method", "read"}});
    EXPECT_EQ(outcome.failure, c.response.is_null() ? LinkFailure::noResponse : LinkFailure::none)
        << c.reply.bytes.substr(0, 20);
    EXPECT_EQ(outcome.response, c.response);
    EXPECT_EQ(outcome.path, app.path());
    EXPECT_EQ(app.requestLines().back(), R"({"method":"read","x":"a/b"})");
  }
  // A path that would have to be cut is never connected, even when its cut
  // form names a live socket.
  std::string longest = dir.path() + "/" + std::string(107 - dir.path().size() - 1, 's');
  test::FakeApp cut(longest);
  for (const std::string& path : {dir.file("absent"), longest, longest + "x"}) {
    socket.emplace("TESSELO_SOCKET", path);
    LinkOutcome outcome = exchange({{"method", "list"}});
    EXPECT_EQ(outcome.failure, path == longest ? LinkFailure::none : LinkFailure::connect) << path;
    EXPECT_EQ(outcome.path, path);
  }
  EXPECT_EQ(cut.requestLines().size(), 1u);
}

}  // namespace
}  // namespace tesselo

#include "support/control_link.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/common/fake_app.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::FakeApp;
using test::Reply;

class ControlLink : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TESSELO_SOCKET", app.path().c_str(), 1); }
  void TearDown() override { unsetenv("TESSELO_SOCKET"); }
  test::TempDir dir;
  FakeApp app{dir.file("s")};
};

TEST_F(ControlLink, SendsOneCompactLineAndReturnsTheObject) {
  app.answer("list", test::jsonReply({{"terminals", Json::array()}}));
  LinkOutcome outcome = exchange({{"method", "list"}, {"x", "a/b"}});
  ASSERT_EQ(outcome.failure, LinkFailure::none);
  EXPECT_EQ(outcome.response, Json({{"terminals", Json::array()}}));
  ASSERT_EQ(app.requestLines().size(), 1u);
  EXPECT_EQ(*parseJson(app.requestLines()[0]), Json({{"method", "list"}, {"x", "a/b"}}));
}

TEST_F(ControlLink, FailureKinds) {
  struct Case {
    const char* name;
    std::string bytes;
    LinkFailure failure;
  } cases[] = {
      {"closed without answer", "", LinkFailure::noResponse},
      {"object without line feed", "{}", LinkFailure::noResponse},
      {"array", "[]\n", LinkFailure::noResponse},
      {"not json", "hello\n", LinkFailure::noResponse},
      {"empty line", "\n", LinkFailure::noResponse},
      {"extra bytes after the line", "{\"a\":1}\n{garbage", LinkFailure::none},
  };
  for (const auto& c : cases) {
    Reply reply;
    reply.bytes = c.bytes;
    app.answerDefault(reply);
    EXPECT_EQ(exchange({{"method", "x"}}).failure, c.failure) << c.name;
  }
}

TEST_F(ControlLink, JoinsPiecesSplitInsideUtf8) {
  Reply reply;
  reply.bytes = "{\"text\":\"h\xc3\xa9llo " + std::string(10000, 'x') + "\"}\n";
  reply.pieces = {1, 11, 1, 5000, 3};
  app.answerDefault(reply);
  LinkOutcome outcome = exchange({{"method", "read"}});
  ASSERT_EQ(outcome.failure, LinkFailure::none);
  EXPECT_EQ(outcome.response["text"], "h\xc3\xa9llo " + std::string(10000, 'x'));
}

TEST_F(ControlLink, AnswerWithoutCloseEndsAtTheLineFeed) {
  Reply reply = test::jsonReply({{"ok", true}});
  reply.keepOpen = true;
  app.answerDefault(reply);
  EXPECT_EQ(exchange({{"method", "x"}}).failure, LinkFailure::none);
}

TEST(ControlLinkPaths, NobodyListeningOrPathTooLongIsConnectFailure) {
  test::TempDir dir;
  setenv("TESSELO_SOCKET", dir.file("absent").c_str(), 1);
  EXPECT_EQ(exchange({{"method", "list"}}).failure, LinkFailure::connect);
  // A path that would have to be cut is never connected, even when its cut
  // form names a live socket.
  std::string longPath = dir.path() + "/" + std::string(107 - dir.path().size() - 1, 's');
  ASSERT_EQ(longPath.size(), 107u);
  FakeApp app(longPath);
  setenv("TESSELO_SOCKET", longPath.c_str(), 1);
  EXPECT_EQ(exchange({{"method", "list"}}).failure, LinkFailure::none);
  setenv("TESSELO_SOCKET", (longPath + "x").c_str(), 1);
  LinkOutcome outcome = exchange({{"method", "list"}});
  EXPECT_EQ(outcome.failure, LinkFailure::connect);
  EXPECT_EQ(outcome.path, longPath + "x");
  EXPECT_EQ(app.connections(), 1);
  unsetenv("TESSELO_SOCKET");
}

TEST(LineAssemblerTest, FindsTheFirstLineFeedAcrossPieces) {
  LineAssembler assembler;
  EXPECT_FALSE(assembler.add("{\"a\""));
  EXPECT_TRUE(assembler.add(":1}\n{\"b\":2}\n"));
  EXPECT_TRUE(assembler.add("more\n"));
  EXPECT_EQ(assembler.line(), "{\"a\":1}");
  EXPECT_EQ(*responseObject(assembler), Json({{"a", 1}}));
}

}  // namespace
}  // namespace tesselo

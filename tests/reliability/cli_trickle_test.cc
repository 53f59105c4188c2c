// The command-line client against an application that answers one byte per
// read: every command shows exactly what it shows for the same answer sent
// whole, alone and with many clients at once.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "support/json.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::FakeApp;
using test::ProcessResult;
using test::Reply;

Reply whole(const std::string& bytes) {
  Reply reply;
  reply.bytes = bytes;
  return reply;
}

Reply byteByByte(const std::string& bytes) {
  Reply reply = whole(bytes);
  reply.byteByByte = true;
  return reply;
}

std::string line(const Json& object) {
  return object.dump() + "\n";
}

// Screen text with characters of two, three and four bytes, escapes and
// several lines: every one of them gets cut by the byte-wise answer.
std::string screenText() {
  std::string text;
  for (int i = 0; i < 40; ++i)
    text += "line " + std::to_string(i) + "\tcaf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80 \"q\" \\\n";
  return text;
}

class CliTrickle : public ::testing::Test {
 protected:
  ProcessResult run(const std::vector<std::string>& args) {
    test::ProcessOptions options;
    options.env["TESSELO_SOCKET"] = app.path();
    return test::runProcess(test::cliPath(), args, options);
  }
  test::TempDir dir;
  FakeApp app{dir.file("control.sock")};
};

TEST_F(CliTrickle, EveryCommandShowsTheSameAsForAWholeAnswer) {
  Json tree =
      Json::parse(R"({"terminals":[{"id":"3f9a01bcdead","title":"build \u00e9","state":"idle",
    "panels":[{"id":"77c2d4100000","process":"zsh"},
              {"id":"a1b2c3d4ffff","process":"node \ud83d\ude00","agent":"claude","state":"working"}]}]})");
  struct Case {
    std::vector<std::string> args;
    std::string answer;
  } cases[] = {
      {{"list"}, line(tree)},
      {{"read", "--lines", "40"}, line({{"text", screenText()}})},
      {{"send", "hello"}, line(Json::object())},
      {{"split", "--down"}, line({{"panel", "p2"}})},
      {{"new", "--worktree"}, line({{"branch", "b"}, {"worktree", "/w t"}, {"panel", "p4"}})},
      {{"wait", "--until", "idle"}, line({{"timeout", true}, {"state", "working"}})},
      {{"notify"}, line(Json::object())},
      {{"read"}, line({{"error", "no such pane: caf\xc3\xa9"}})},
      {{"read"}, line({{"text", "first"}}) + line({{"text", "second"}})},
      {{"list"}, "[1,2]\n"},
      {{"list"}, "{\"terminals\":[]"},
      {{"split"}, "{\"panel\":\"p\xff\"}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " answered " + c.answer.substr(0, 60));
    app.answerDefault(whole(c.answer));
    ProcessResult expected = run(c.args);
    app.answerDefault(byteByByte(c.answer));
    ProcessResult trickled = run(c.args);
    EXPECT_EQ(trickled.out, expected.out);
    EXPECT_EQ(trickled.err, expected.err);
    EXPECT_EQ(trickled.status, expected.status);
  }
  // Two runs per case, each one exchange.
  EXPECT_EQ(app.connections(), 2 * static_cast<int>(std::size(cases)));
}

TEST_F(CliTrickle, TheRelayReadsOneByteAndEndsQuietly) {
  app.answerDefault(byteByByte(line({{"ok", true}, {"pad", std::string(256, 'x')}})));
  test::ProcessOptions options;
  options.env["TESSELO_SOCKET"] = app.path();
  options.input = R"({"hook_event_name":"Stop","session_id":"s1"})";
  ProcessResult result = test::runProcess(test::cliPath(), {"claude-hook"}, options);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(
      app.lastRequest(),
      Json({{"method", "agent-event"}, {"agent", "claude"}, {"event", "Stop"}, {"session", "s1"}}));
}

TEST_F(CliTrickle, ManyClientsAtOnceEachGetTheirWholeAnswer) {
  constexpr int clients = 24;
  std::string text = screenText().substr(0, 1500);
  app.answerDefault(byteByByte(line({{"text", text}})));
  std::vector<std::future<ProcessResult>> runs;
  for (int i = 0; i < clients; ++i)
    runs.push_back(std::async(std::launch::async, [this] { return run({"read"}); }));
  for (auto& pending : runs) {
    ProcessResult result = pending.get();
    EXPECT_EQ(result.out, text + "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
  EXPECT_EQ(app.connections(), clients);
}

}  // namespace
}  // namespace tesselo

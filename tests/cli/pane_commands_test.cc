// What a user sees from the pane commands and the client: the request the
// application receives, the bytes printed, the exit status.
#include <gtest/gtest.h>

#include "support/json.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::FakeApp;
using test::jsonReply;
using test::ProcessResult;
using test::Reply;

const std::string usage =
    "usage: tesselo <list|read|send|split|new|wait|notify|install-cli\n"
    "                |install-hooks|install-mcp|claude-hook> [options]\n";

class Cli : public ::testing::Test {
 protected:
  ProcessResult run(const std::vector<std::string>& args) {
    test::ProcessOptions options;
    options.env["TESSELO_SOCKET"] = app.path();
    return test::runProcess(test::cliPath(), args, options);
  }
  // Runs a command against a reply and returns what the app received.
  Json sent(const std::vector<std::string>& args, const Json& reply = Json::object()) {
    app.answerDefault(jsonReply(reply));
    size_t before = app.requestLines().size();
    ProcessResult result = run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(app.requestLines().size(), before + 1);
    return app.lastRequest();
  }
  test::TempDir dir;
  FakeApp app{dir.file("control.sock")};
};

TEST_F(Cli, NoArgumentsPrintsUsage) {
  ProcessResult result = run({});
  EXPECT_EQ(result.out, usage);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

TEST_F(Cli, UnknownWordsFailWithoutUsage) {
  for (std::string word : {"List", "--panel", "--help", "help", "lis", ""}) {
    ProcessResult result = run({word, "x"});
    EXPECT_EQ(result.err, "tesselo: unknown command " + word + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
  }
  EXPECT_EQ(app.connections(), 0);
}

TEST_F(Cli, FlagsMakeTheRequest) {
  struct Case {
    std::vector<std::string> args;
    Json request;
  } cases[] = {
      {{"list", "extra"}, {{"method", "list"}}},
      {{"read"}, {{"method", "read"}}},
      {{"read", "--panel", "ab12cd34"}, {{"method", "read"}, {"panel", "ab12cd34"}}},
      {{"read", "--lines", "12"}, {{"method", "read"}, {"lines", 12}}},
      {{"read", "--lines", "-3"}, {{"method", "read"}, {"lines", -3}}},
      // What is not a whole number gives the default; pane_rules_test has the rest.
      {{"read", "--lines", "abc"}, {{"method", "read"}, {"lines", 40}}},
      {{"read", "--lines"}, {{"method", "read"}}},
      {{"read", "--lines", "--panel", "p"}, {{"method", "read"}, {"panel", "p"}}},
      {{"send", "a", "b"}, {{"method", "send"}, {"text", "a b\n"}}},
      {{"send", "--raw", "a", "b"}, {{"method", "send"}, {"text", "a b"}}},
      {{"send", "--raw", "", "x", ""}, {{"method", "send"}, {"text", " x "}}},
      {{"send", ""}, {{"method", "send"}, {"text", "\n"}}},
      {{"send", "hello", "--panel"}, {{"method", "send"}, {"text", "hello --panel\n"}}},
      {{"send", "--panel", "--raw", "hi"},
       {{"method", "send"}, {"panel", "--raw"}, {"text", "hi\n"}}},
      {{"send", "--raw", "--raw", "x"}, {{"method", "send"}, {"text", "--raw x"}}},
      {{"send", "x", "--panel", "p1", "y"},
       {{"method", "send"}, {"panel", "p1"}, {"text", "x y\n"}}},
      {{"split"}, {{"method", "split"}, {"direction", "right"}}},
      {{"split", "--down", "--terminal", "t1"},
       {{"method", "split"}, {"direction", "down"}, {"terminal", "t1"}}},
      {{"new"}, {{"method", "new"}}},
      {{"new", "--worktree", "--space", "s", "--cwd", "rel/dir", "--command", "a b"},
       {{"method", "new"},
        {"worktree", true},
        {"space", "s"},
        {"cwd", "rel/dir"},
        {"command", "a b"}}},
      {{"wait"}, {{"method", "wait"}}},
      {{"wait", "--until", "idle", "--panel", "p"},
       {{"method", "wait"}, {"until", "idle"}, {"panel", "p"}}},
      {{"wait", "--timeout", "2.5"}, {{"method", "wait"}, {"timeout", 2.5}}},
      {{"wait", "--timeout", "1e2"}, {{"method", "wait"}, {"timeout", 100.0}}},
      {{"wait", "--timeout", "-4"}, {{"method", "wait"}, {"timeout", -4.0}}},
      // What is not a finite number gives the default; pane_rules_test has the rest.
      {{"wait", "--timeout", "5s"}, {{"method", "wait"}, {"timeout", 300.0}}},
      {{"wait", "--until", "--timeout", "3"}, {{"method", "wait"}, {"until", "--timeout"}}},
      {{"notify", "--panel", "x", "y"}, {{"method", "notify"}}},
  };
  for (const auto& c : cases) {
    Json request = sent(c.args);
    EXPECT_EQ(request, c.request) << request.dump();
    // Equality alone would take 12.0 for 12.
    EXPECT_TRUE(!request.contains("lines") || request["lines"].is_number_integer());
  }
}

Reply raw(const std::string& bytes) {
  Reply reply;
  reply.bytes = bytes;
  return reply;
}

TEST_F(Cli, AnswersArePrintedWithTheirStatus) {
  const std::string noResponse = "tesselo: no response\n";
  struct Case {
    std::string word;
    Reply reply;
    std::string out, err = "";
    int status = 0;
  } cases[] = {
      {"list", jsonReply(Json::parse(R"({"terminals":[{"id":"3f9a01bcdead","title":"build",
         "state":"idle","panels":[{"id":"77c2d4100000","process":"zsh"},
         {"id":"a1b2c3d4ffff","process":"node","agent":"claude","state":"working"}]}]})")),
       "3f9a01bc  build  [idle]\n  77c2d410  zsh\n  a1b2c3d4  node  claude [working]\n"},
      {"list", jsonReply({{"terminals", Json::array()}}), ""},
      {"read", jsonReply({{"text", "a\nb\n"}}), "a\nb\n\n"},
      {"read", jsonReply({{"text", ""}}), "\n"},
      {"read", jsonReply(Json::object()), "\n"},
      {"read", jsonReply({{"text", 5}}), "\n"},
      // Either side of the length where the line feed goes out in a write of its own.
      {"read", jsonReply({{"text", std::string(65536, 'a')}}), std::string(65536, 'a') + "\n"},
      {"read", jsonReply({{"text", std::string(65537, 'b')}}), std::string(65537, 'b') + "\n"},
      {"send", jsonReply({{"text", "ignored"}}), ""},
      {"notify", jsonReply({{"text", "t"}}), ""},
      {"split", jsonReply({{"panel", "p2"}}), "p2\n"},
      {"split", jsonReply(Json::object()), "\n"},
      {"split", jsonReply({{"error", 3}, {"panel", "p1"}}), "p1\n"},
      {"new", jsonReply({{"panel", "p3"}}), "p3\n"},
      {"new", jsonReply({{"branch", "b"}, {"worktree", "/w t"}, {"panel", "p4"}}), "b\t/w t\np4\n"},
      {"new", jsonReply({{"branch", "b"}, {"worktree", 1}, {"panel", "p5"}}), "p5\n"},
      {"new", jsonReply({{"branch", "b"}, {"worktree", "/w"}}), "b\t/w\n\n"},
      {"new", jsonReply(Json::object()), "\n"},
      {"wait", jsonReply({{"state", "idle"}}), "idle\n"},
      {"wait", jsonReply({{"state", "idle"}, {"timeout", false}}), "idle\n"},
      {"wait", jsonReply(Json::object()), "unknown\n"},
      {"wait", jsonReply({{"timeout", true}}), "unknown\n", "tesselo: timeout\n", 2},
      {"wait", jsonReply({{"timeout", true}, {"state", "working"}}), "working\n",
       "tesselo: timeout\n", 2},
      {"wait", jsonReply({{"timeout", "true"}, {"state", 1}}), "unknown\n"},
      {"split", raw("{\"error\":\"no such pane\"}\n"), "", "tesselo: no such pane\n", 1},
      {"split", raw("{\"error\":\"\"}\n"), "", "tesselo: \n", 1},
      {"split", raw(""), "", noResponse, 1},
      {"split", raw("{}"), "", noResponse, 1},
      {"split", raw("[1]\n"), "", noResponse, 1},
      {"split", raw("ok\n"), "", noResponse, 1},
      {"split", raw("\n"), "", noResponse, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word + " answered " + c.reply.bytes.substr(0, 80));
    app.answerDefault(c.reply);
    ProcessResult result = c.word == "send" ? run({"send", "x"}) : run({c.word});
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, c.status);
  }
}

TEST_F(Cli, PiecesAndTrailingBytesStillMakeOneLine) {
  Reply reply;
  reply.bytes = "{\"text\":\"caf\xc3\xa9 " + std::string(9000, 'z') + "\"}\n{\"text\":\"no\"}\n";
  reply.pieces = {1, 4, 1, 4096, 1};
  app.answerDefault(reply);
  ProcessResult result = run({"read"});
  EXPECT_EQ(result.out, "caf\xc3\xa9 " + std::string(9000, 'z') + "\n");
  EXPECT_EQ(result.status, 0);
}

TEST(CliPaths, CannotReachNamesTheResolvedPath) {
  test::TempDir home;
  test::ProcessOptions options;
  options.env["TESSELO_SOCKET"] = std::nullopt;
  options.env["XDG_DATA_HOME"] = std::nullopt;
  options.env["HOME"] = home.path();
  ProcessResult result = test::runProcess(test::cliPath(), {"list"}, options);
  EXPECT_EQ(result.err,
            "tesselo: cannot reach Tesselo at " + home.path() +
                "/.local/share/tesselo/control.sock \xe2\x80\x94 is the app running?\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.status, 1);
}

TEST(CliPaths, TooLongPathIsNotCutButReportedWhole) {
  test::TempDir dir;
  std::string fits = dir.path() + "/" + std::string(107 - dir.path().size() - 1, 'a');
  FakeApp app(fits);
  test::ProcessOptions options;
  options.env["TESSELO_SOCKET"] = fits + "b";
  ProcessResult result = test::runProcess(test::cliPath(), {"notify"}, options);
  EXPECT_EQ(result.err,
            "tesselo: cannot reach Tesselo at " + fits + "b \xe2\x80\x94 is the app running?\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(app.connections(), 0);
  options.env["TESSELO_SOCKET"] = fits;
  EXPECT_EQ(test::runProcess(test::cliPath(), {"notify"}, options).status, 0);
}

TEST_F(Cli, SendWithoutTextFailsBeforeConnecting) {
  for (auto args :
       {std::vector<std::string>{"send"}, {"send", "--raw"}, {"send", "--panel", "p"}}) {
    ProcessResult result = run(args);
    EXPECT_EQ(result.err, "tesselo: send needs text\n");
    EXPECT_EQ(result.status, 1);
  }
  EXPECT_EQ(app.connections(), 0);
}

TEST_F(Cli, SendCarriesAMebibyteWhole) {
  // One argument may hold at most 128 KiB on Linux, so the mebibyte comes as
  // sixteen words.
  std::vector<std::string> args = {"send", "--raw"};
  std::string expected;
  for (int i = 0; i < 16; ++i) {
    args.push_back(std::string(65536, static_cast<char>('a' + i)));
    expected += (i ? " " : "") + args.back();
  }
  ASSERT_GE(expected.size(), 1u << 20);
  Json request = sent(args);
  EXPECT_TRUE(request["text"] == expected) << "text of " << request["text"].size() << " bytes";
}

TEST_F(Cli, WaitWritesTheTimeoutLineBeforeTheState) {
  app.answerDefault(jsonReply({{"timeout", true}, {"state", "blocked"}}));
  test::ProcessOptions options;
  options.env["TESSELO_SOCKET"] = app.path();
  ProcessResult result =
      test::runProcess("/bin/sh", {"-c", "\"$0\" wait 2>&1", test::cliPath()}, options);
  EXPECT_EQ(result.out, "tesselo: timeout\nblocked\n");
  EXPECT_EQ(result.status, 2);
}

TEST_F(Cli, ReadPrintsA64MebibyteAnswerWhole) {
  std::string text(64 << 20, 'x');
  for (size_t i = 0; i < text.size(); i += 1000) text[i] = '\n';
  app.answerDefault(jsonReply({{"text", text}}));
  ProcessResult result = run({"read"});
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.out.size(), text.size() + 1);
  EXPECT_TRUE(result.out == text + "\n");
}

}  // namespace
}  // namespace tesselo

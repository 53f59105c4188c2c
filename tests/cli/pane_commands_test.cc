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

TEST_F(Cli, ClientFailuresAreReportedWithStatusOne) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string err;
  } cases[] = {
      {"error string", "{\"error\":\"no such pane\"}\n", "tesselo: no such pane\n"},
      {"empty error", "{\"error\":\"\"}\n", "tesselo: \n"},
      {"closed silently", "", "tesselo: no response\n"},
      {"object without line feed", "{}", "tesselo: no response\n"},
      {"array", "[1]\n", "tesselo: no response\n"},
      {"not json", "ok\n", "tesselo: no response\n"},
      {"empty line", "\n", "tesselo: no response\n"},
  };
  for (const auto& c : cases) {
    Reply reply;
    reply.bytes = c.bytes;
    app.answerDefault(reply);
    ProcessResult result = run({"split"});
    EXPECT_EQ(result.err, c.err) << c.name;
    EXPECT_EQ(result.out, "") << c.name;
    EXPECT_EQ(result.status, 1) << c.name;
  }
}

TEST_F(Cli, NonStringErrorIsAnOrdinaryResult) {
  app.answerDefault(jsonReply({{"error", 3}, {"panel", "p1"}}));
  ProcessResult result = run({"split"});
  EXPECT_EQ(result.out, "p1\n");
  EXPECT_EQ(result.status, 0);
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

TEST_F(Cli, ListPrintsTheTree) {
  Json reply = Json::parse(R"({"terminals":[{"id":"3f9a01bcdead","title":"build","state":"idle",
    "panels":[{"id":"77c2d4100000","process":"zsh"},
              {"id":"a1b2c3d4ffff","process":"node","agent":"claude","state":"working"}]}]})");
  EXPECT_EQ(sent({"list", "extra"}, reply), Json({{"method", "list"}}));
  ProcessResult result = run({"list"});
  EXPECT_EQ(result.out,
            "3f9a01bc  build  [idle]\n  77c2d410  zsh\n  a1b2c3d4  node  claude [working]\n");
  app.answerDefault(jsonReply({{"terminals", Json::array()}}));
  EXPECT_EQ(run({"list"}).out, "");
}

TEST_F(Cli, ReadRequests) {
  struct Case {
    std::vector<std::string> args;
    Json request;
  } cases[] = {
      {{"read"}, {{"method", "read"}}},
      {{"read", "--panel", "ab12cd34"}, {{"method", "read"}, {"panel", "ab12cd34"}}},
      {{"read", "--lines", "12"}, {{"method", "read"}, {"lines", 12}}},
      {{"read", "--lines", "-3"}, {{"method", "read"}, {"lines", -3}}},
      {{"read", "--lines", "abc"}, {{"method", "read"}, {"lines", 40}}},
      {{"read", "--lines", ""}, {{"method", "read"}, {"lines", 40}}},
      {{"read", "--lines", " 5"}, {{"method", "read"}, {"lines", 40}}},
      {{"read", "--lines", "99999999999999999999"}, {{"method", "read"}, {"lines", 40}}},
      {{"read", "--lines"}, {{"method", "read"}}},
      {{"read", "--lines", "--panel", "p"}, {{"method", "read"}, {"panel", "p"}}},
  };
  for (const auto& c : cases) {
    Json request = sent(c.args);
    EXPECT_EQ(request, c.request) << request.dump();
    if (request.contains("lines")) {
      EXPECT_TRUE(request["lines"].is_number_integer());
    }
  }
}

TEST_F(Cli, ReadPrintsTextAndOneMoreNewline) {
  struct Case {
    Json reply;
    std::string out;
  } cases[] = {
      {{{"text", "a\nb\n"}}, "a\nb\n\n"},
      {{{"text", ""}}, "\n"},
      {Json::object(), "\n"},
      {{{"text", 5}}, "\n"},
      // Either side of the length where the line feed goes out in a write of its own.
      {{{"text", std::string(65536, 'a')}}, std::string(65536, 'a') + "\n"},
      {{{"text", std::string(65537, 'b')}}, std::string(65537, 'b') + "\n"},
  };
  for (const auto& c : cases) {
    app.answerDefault(jsonReply(c.reply));
    ProcessResult result = run({"read"});
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(Cli, SendRequests) {
  struct Case {
    std::vector<std::string> args;
    Json request;
  } cases[] = {
      {{"send", "a", "b"}, {{"method", "send"}, {"text", "a b\n"}}},
      {{"send", "--raw", "a", "b"}, {{"method", "send"}, {"text", "a b"}}},
      {{"send", ""}, {{"method", "send"}, {"text", "\n"}}},
      {{"send", "hello", "--panel"}, {{"method", "send"}, {"text", "hello --panel\n"}}},
      {{"send", "--panel", "--raw", "hi"},
       {{"method", "send"}, {"panel", "--raw"}, {"text", "hi\n"}}},
      {{"send", "--raw", "--raw", "x"}, {{"method", "send"}, {"text", "--raw x"}}},
      {{"send", "x", "--panel", "p1", "y"},
       {{"method", "send"}, {"panel", "p1"}, {"text", "x y\n"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(sent(c.args), c.request);
  app.answerDefault(jsonReply({{"text", "ignored"}}));
  EXPECT_EQ(run({"send", "x"}).out, "");
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

TEST_F(Cli, SplitAndNew) {
  EXPECT_EQ(sent({"split"}), Json({{"method", "split"}, {"direction", "right"}}));
  EXPECT_EQ(sent({"split", "--down", "--terminal", "t1"}),
            Json({{"method", "split"}, {"direction", "down"}, {"terminal", "t1"}}));
  EXPECT_EQ(sent({"new"}), Json({{"method", "new"}}));
  EXPECT_EQ(sent({"new", "--worktree", "--space", "s", "--cwd", "rel/dir", "--command", "a b"}),
            Json({{"method", "new"},
                  {"worktree", true},
                  {"space", "s"},
                  {"cwd", "rel/dir"},
                  {"command", "a b"}}));
}

TEST_F(Cli, SplitAndNewOutput) {
  struct Case {
    std::string word;
    Json reply;
    std::string out;
  } cases[] = {
      {"split", {{"panel", "p2"}}, "p2\n"},
      {"split", Json::object(), "\n"},
      {"new", {{"panel", "p3"}}, "p3\n"},
      {"new", {{"branch", "b"}, {"worktree", "/w t"}, {"panel", "p4"}}, "b\t/w t\np4\n"},
      {"new", {{"branch", "b"}, {"worktree", 1}, {"panel", "p5"}}, "p5\n"},
      {"new", {{"branch", "b"}, {"worktree", "/w"}}, "b\t/w\n\n"},
      {"new", Json::object(), "\n"},
  };
  for (const auto& c : cases) {
    app.answerDefault(jsonReply(c.reply));
    ProcessResult result = run({c.word});
    EXPECT_EQ(result.out, c.out) << c.reply.dump();
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(Cli, WaitRequests) {
  struct Case {
    std::vector<std::string> args;
    Json request;
  } cases[] = {
      {{"wait"}, {{"method", "wait"}}},
      {{"wait", "--until", "idle", "--panel", "p"},
       {{"method", "wait"}, {"until", "idle"}, {"panel", "p"}}},
      {{"wait", "--timeout", "2.5"}, {{"method", "wait"}, {"timeout", 2.5}}},
      {{"wait", "--timeout", "1e2"}, {{"method", "wait"}, {"timeout", 100.0}}},
      {{"wait", "--timeout", "5s"}, {{"method", "wait"}, {"timeout", 300.0}}},
      {{"wait", "--timeout", "inf"}, {{"method", "wait"}, {"timeout", 300.0}}},
      {{"wait", "--timeout", "nan"}, {{"method", "wait"}, {"timeout", 300.0}}},
      {{"wait", "--timeout", "1e999"}, {{"method", "wait"}, {"timeout", 300.0}}},
      {{"wait", "--timeout", "-4"}, {{"method", "wait"}, {"timeout", -4.0}}},
      {{"wait", "--until", "--timeout", "3"}, {{"method", "wait"}, {"until", "--timeout"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(sent(c.args), c.request);
}

TEST_F(Cli, WaitOutputAndStatus) {
  struct Case {
    Json reply;
    std::string out, err;
    int status;
  } cases[] = {
      {{{"state", "idle"}}, "idle\n", "", 0},
      {{{"state", "idle"}, {"timeout", false}}, "idle\n", "", 0},
      {Json::object(), "unknown\n", "", 0},
      {{{"timeout", true}}, "unknown\n", "tesselo: timeout\n", 2},
      {{{"timeout", true}, {"state", "working"}}, "working\n", "tesselo: timeout\n", 2},
      {{{"timeout", "true"}, {"state", 1}}, "unknown\n", "", 0},
  };
  for (const auto& c : cases) {
    app.answerDefault(jsonReply(c.reply));
    ProcessResult result = run({"wait"});
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, c.status);
  }
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

TEST_F(Cli, NotifySendsOnlyTheMethod) {
  EXPECT_EQ(sent({"notify", "--panel", "x", "y"}, {{"text", "t"}}), Json({{"method", "notify"}}));
  EXPECT_EQ(run({"notify"}).out, "");
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

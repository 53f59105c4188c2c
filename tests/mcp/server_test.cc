// tesselo-mcp as an agent host sees it: lines in, lines out, the requests the
// application receives, and exit status 0 with nothing on standard error.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>

#include "support/json.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"
#include "tests/mcp/expected_catalogue.h"

namespace tesselo {
namespace {

using test::ChildProcess;
using test::FakeApp;
using test::ProcessResult;
using test::Reply;

Json json(const std::string& text) {
  return *parseJson(text);
}

std::string message(const Json& id, const std::string& method, const Json& params = nullptr) {
  Json m = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
  if (!params.is_null()) m["params"] = params;
  return m.dump();
}

std::string toolCall(const Json& id, const std::string& name, const Json& arguments = nullptr) {
  Json params = {{"name", name}};
  if (!arguments.is_null()) params["arguments"] = arguments;
  return message(id, "tools/call", params);
}

Json resultMessage(const Json& id, const Json& result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
}

Json errorMessage(const Json& id, int code, const std::string& text) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", text}}}};
}

Json toolResult(const std::string& text, bool isError) {
  return {{"content", Json::array({{{"type", "text"}, {"text", text}}})}, {"isError", isError}};
}

// Every line of output must be one whole JSON object ending in a line feed.
std::vector<Json> parsedLines(const std::string& out) {
  std::vector<Json> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated output line: " << out.substr(start);
      break;
    }
    auto value = parseJson(std::string_view(out).substr(start, end - start));
    if (!value || !value->is_object())
      ADD_FAILURE() << "not a JSON object: " << out.substr(start, end - start);
    else
      lines.push_back(*value);
    start = end + 1;
  }
  return lines;
}

std::map<std::string, Json> byId(const std::vector<Json>& answers) {
  std::map<std::string, Json> out;
  for (const Json& answer : answers) out[answer["id"].dump()] = answer;
  return out;
}

// A door the fake app's replies wait behind until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

// A local of the test body, so it ends before the fixture's fake app: replies
// still waiting are let go before the app shuts down.
struct OpenAtEnd {
  Gate& gate;
  ~OpenAtEnd() { gate.open(); }
};

// Reads `count` answers to waits on panes named after their ids; the ids seen.
std::set<int> idleAnswers(ChildProcess& mcp, int count) {
  std::set<int> ids;
  for (int i = 0; i < count; ++i) {
    auto line = mcp.readLine();
    if (!line) {
      ADD_FAILURE() << "only " << i << " of " << count << " answers";
      break;
    }
    Json answer = json(*line);
    int id = answer["id"].get<int>();
    ids.insert(id);
    EXPECT_EQ(answer["result"],
              toolResult(R"({"panel":")" + std::to_string(id) + R"(","state":"idle"})", false));
  }
  return ids;
}

// Nothing more after the awaited answers, nothing on standard error, status 0.
void expectQuietEnd(ChildProcess& mcp) {
  ProcessResult result = mcp.finish();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

std::string waitCall(int id) {
  return toolCall(id, "tesselo_wait", {{"until", "idle"}, {"panel", std::to_string(id)}}) + "\n";
}

class McpServer : public ::testing::Test {
 protected:
  test::ProcessOptions options(const std::string& input = "") {
    test::ProcessOptions o;
    o.env["TESSELO_SOCKET"] = socket;
    o.env["HOME"] = dir.path();
    o.input = input;
    return o;
  }

  ProcessResult run(const std::string& input) {
    ProcessResult result = test::runProcess(test::mcpPath(), {}, options(input));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    return result;
  }

  // The answers to the lines. Tool calls are answered by workers: with
  // `awaited` set, the input stays open until that many answers came, so no
  // answer depends on the time left at the end of input.
  std::vector<Json> answers(const std::vector<std::string>& lines, size_t awaited = 0) {
    std::string input;
    for (const std::string& line : lines) input += line + "\n";
    if (awaited == 0) return parsedLines(run(input).out);
    ChildProcess mcp(test::mcpPath(), {}, options());
    EXPECT_TRUE(mcp.write(input));
    std::string out;
    for (size_t i = 0; i < awaited; ++i) {
      auto line = mcp.readLine();
      if (!line) {
        ADD_FAILURE() << "only " << i << " answers";
        break;
      }
      out += *line + "\n";
    }
    ProcessResult result = mcp.finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    return parsedLines(out + result.out);
  }

  // The one answer to a single tool call.
  Json callResult(const std::string& name, const Json& arguments) {
    std::vector<Json> out = answers({toolCall(1, name, arguments)}, 1);
    if (out.size() != 1) {
      ADD_FAILURE() << out.size() << " answers";
      return nullptr;
    }
    return out[0]["result"];
  }

  test::TempDir dir;
  FakeApp app{dir.file("control.sock")};
  std::string socket = app.path();
};

TEST_F(McpServer, DropsMalformedLinesAndNotificationsAndGoesOn) {
  const std::string ping = message(99, "ping");
  const char* dropped[] = {
      "",
      "   ",
      "[]",
      "5",
      "\"ping\"",
      "{}",
      "not json",
      R"({"id":1,"method":"ping")",
      R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      R"({"jsonrpc":"2.0","method":"resources/list"})",
      R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"tesselo_list"}})",
      R"({"jsonrpc":"2.0","id":1})",
      R"({"jsonrpc":"2.0","id":1,"method":5})",
      R"({"jsonrpc":"2.0","id":1,"method":null})",
      "{\"id\":1,\"method\":\"\xff\"}",
  };
  for (const char* line : dropped) {
    std::vector<Json> out = answers({line, ping});
    ASSERT_EQ(out.size(), 1u) << line;
    EXPECT_EQ(out[0], resultMessage(99, Json::object())) << line;
  }
  EXPECT_EQ(app.connections(), 0);
}

// Initialize may come at any time and again; each one chooses anew.
TEST_F(McpServer, InitializeChoosesTheProtocolVersion) {
  struct Case {
    std::string line;
    const char* chosen;
  } cases[] = {
      {message(1, "initialize", {{"protocolVersion", "2025-03-26"}}), "2025-03-26"},
      {message(2, "initialize", {{"protocolVersion", "2025-06-18"}}), "2025-06-18"},
      {message(3, "initialize", {{"protocolVersion", "2025-11-25"}}), "2025-11-25"},
      {message(4, "initialize", {{"protocolVersion", "2024-11-05"}}), "2025-06-18"},
      {message(5, "initialize", {{"protocolVersion", "2025-03-26 "}}), "2025-06-18"},
      {message(6, "initialize", {{"protocolVersion", 20250326}}), "2025-06-18"},
      {message(7, "initialize", Json::object()), "2025-06-18"},
      {message(8, "initialize"), "2025-06-18"},
      {R"({"jsonrpc":"2.0","id":9,"method":"initialize","params":["2025-03-26"]})", "2025-06-18"},
  };
  std::vector<std::string> lines = {message(0, "ping")};
  for (const auto& c : cases) lines.push_back(c.line);
  std::vector<Json> out = answers(lines);
  ASSERT_EQ(out.size(), std::size(cases) + 1);
  EXPECT_EQ(out[0], resultMessage(0, Json::object()));
  for (size_t i = 0; i < std::size(cases); ++i) {
    Json expected = {{"protocolVersion", cases[i].chosen},
                     {"capabilities", {{"tools", Json::object()}}},
                     {"serverInfo", {{"name", "tesselo"}, {"version", TESSELO_PROJECT_VERSION}}}};
    EXPECT_EQ(out[i + 1], resultMessage(static_cast<int>(i + 1), expected)) << cases[i].line;
  }
}

TEST_F(McpServer, EchoesEveryKindOfId) {
  const char* ids[] = {"null",
                       "7",
                       "-1",
                       "0",
                       "1.5",
                       "\"abc\"",
                       "\"\"",
                       "{\"a\":[1]}",
                       "[1,2]",
                       "true",
                       "18446744073709551615",
                       "-9223372036854775808"};
  for (const char* id : ids) {
    std::string line = std::string(R"({"jsonrpc":"2.0","method":"ping","id":)") + id + "}";
    std::vector<Json> out = answers({line});
    ASSERT_EQ(out.size(), 1u) << id;
    EXPECT_EQ(out[0], resultMessage(json(std::string("[") + id + "]")[0], Json::object())) << id;
  }
}

TEST_F(McpServer, ProtocolErrors) {
  struct Case {
    std::string line;
    Json expected;
  } cases[] = {
      {message(1, "resources/list"), errorMessage(1, -32601, "method not found: resources/list")},
      {message("a", "Ping"), errorMessage("a", -32601, "method not found: Ping")},
      {message(nullptr, ""), errorMessage(nullptr, -32601, "method not found: ")},
      {message(2, "tools/call x \"q\""),
       errorMessage(2, -32601, "method not found: tools/call x \"q\"")},
      {toolCall(3, "tesselo_nope"), errorMessage(3, -32602, "Unknown tool: tesselo_nope")},
      {toolCall(4, "TESSELO_LIST"), errorMessage(4, -32602, "Unknown tool: TESSELO_LIST")},
      {toolCall(4, "tesselo_list "), errorMessage(4, -32602, "Unknown tool: tesselo_list ")},
      {message(5, "tools/call"), errorMessage(5, -32602, "Unknown tool: ")},
      {message(6, "tools/call", {{"name", 7}}), errorMessage(6, -32602, "Unknown tool: ")},
      {R"({"id":7,"method":"tools/call","params":"tesselo_list"})",
       errorMessage(7, -32602, "Unknown tool: ")},
  };
  for (const auto& c : cases) {
    std::vector<Json> out = answers({c.line});
    ASSERT_EQ(out.size(), 1u) << c.line;
    EXPECT_EQ(out[0], c.expected) << c.line;
  }
  EXPECT_EQ(app.connections(), 0);
}

TEST_F(McpServer, ToolsListShowsTheCatalogue) {
  ProcessResult result = run(message(1, "tools/list", {{"cursor", "x"}}) + "\n");
  std::vector<Json> out = parsedLines(result.out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], resultMessage(1, {{"tools", json(test::expectedToolDefinitions)}}));
  EXPECT_NE(result.out.find(R"("minimum":0,)"), std::string::npos);
}

TEST_F(McpServer, CarriageReturnLineEndingsAndAnUnterminatedLastLine) {
  std::string input =
      message(1, "ping") + "\r\n\r\n" + message(2, "ping") + "\r\n" + message(3, "ping");
  std::vector<Json> out = parsedLines(run(input).out);
  ASSERT_EQ(out.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], resultMessage(i + 1, Json::object()));
}

// What the application receives for each tool call, byte for byte (a whole
// wait time goes out as an integer), and what the agent gets back from an
// answer that carries no text of its own.
TEST_F(McpServer, ToolCallsSendTheirPayloads) {
  struct Case {
    const char* tool;
    const char* arguments;
    const char* payload;
  } cases[] = {
      {"tesselo_list", "{}", R"({"method":"list"})"},
      {"tesselo_list", R"({"panel":"ab","x":1})", R"({"method":"list"})"},
      {"tesselo_read", "{}", R"({"method":"read"})"},
      {"tesselo_read", R"({"panel":"abcd1234","lines":12})",
       R"({"method":"read","panel":"abcd1234","lines":12})"},
      {"tesselo_read", R"({"lines":12.5})", R"({"method":"read"})"},
      {"tesselo_read", R"({"lines":-2,"panel":3})", R"({"method":"read","lines":-2})"},
      {"tesselo_read", R"({"lines":"12","panel":7})", R"({"method":"read"})"},
      {"tesselo_send", R"({"text":"make test","panel":"p1"})",
       R"({"method":"send","panel":"p1","text":"make test\n"})"},
      {"tesselo_send", R"({"text":"y","raw":true})", R"({"method":"send","text":"y"})"},
      {"tesselo_send", R"({"text":"y","raw":false})", R"({"method":"send","text":"y\n"})"},
      {"tesselo_send", R"({"text":"y","raw":"yes"})", R"({"method":"send","text":"y\n"})"},
      {"tesselo_send", R"({"text":"y","raw":1})", R"({"method":"send","text":"y\n"})"},
      {"tesselo_send", R"({"text":"y\n"})", R"({"method":"send","text":"y\n\n"})"},
      {"tesselo_send", R"({"text":""})", R"({"method":"send","text":"\n"})"},
      {"tesselo_split", "{}", R"({"method":"split","direction":"right"})"},
      {"tesselo_split", R"({"terminal":"t","direction":"up"})",
       R"({"method":"split","terminal":"t","direction":"up"})"},
      {"tesselo_split", R"({"direction":1,"terminal":null})",
       R"({"method":"split","direction":"right"})"},
      {"tesselo_new", "{}", R"({"method":"new"})"},
      {"tesselo_new", R"({"space":"s","cwd":"/tmp","worktree":true})",
       R"({"method":"new","space":"s","cwd":"/tmp","worktree":true})"},
      {"tesselo_new", R"({"worktree":false,"space":"s","cwd":"/w"})",
       R"({"method":"new","worktree":false,"space":"s","cwd":"/w"})"},
      {"tesselo_new", R"({"worktree":"true","space":1,"cwd":[]})", R"({"method":"new"})"},
      {"tesselo_wait", R"({"until":"asleep"})", R"({"method":"wait","until":"asleep"})"},
      {"tesselo_wait", R"({"until":"idle","panel":"p","timeout":0.5})",
       R"({"method":"wait","until":"idle","panel":"p","timeout":1})"},
      {"tesselo_wait", R"({"until":"blocked","timeout":5000})",
       R"({"method":"wait","until":"blocked","timeout":600})"},
      {"tesselo_wait", R"({"until":"working","timeout":30})",
       R"({"method":"wait","until":"working","timeout":30})"},
      {"tesselo_wait", R"({"until":"idle","timeout":30.0})",
       R"({"method":"wait","until":"idle","timeout":30})"},
      {"tesselo_wait", R"({"until":"idle","timeout":2.5})",
       R"({"method":"wait","until":"idle","timeout":2.5})"},
      {"tesselo_wait", R"({"until":"idle","timeout":"30"})", R"({"method":"wait","until":"idle"})"},
      {"tesselo_notify", R"({"text":"hi"})", R"({"method":"notify"})"},
  };
  app.answerDefault(test::jsonReply({{"zeta", {{"b", 1}, {"a", 2}}}, {"alpha", true}}));
  size_t requests = 0;
  for (const auto& c : cases) {
    Json result = callResult(c.tool, json(c.arguments));
    ASSERT_EQ(app.requestLines().size(), ++requests) << c.tool << " " << c.arguments;
    EXPECT_EQ(app.requestLines().back(), json(c.payload).dump()) << c.tool << " " << c.arguments;
    EXPECT_EQ(result, toolResult(R"({"alpha":true,"zeta":{"a":2,"b":1}})", false)) << c.tool;
  }
}

TEST_F(McpServer, ToolCallsWithoutTheirRequiredArgument) {
  struct Case {
    const char* tool;
    Json arguments;
  } cases[] = {
      {"tesselo_send", nullptr},
      {"tesselo_send", Json::object()},
      {"tesselo_send", {{"text", 5}, {"raw", true}}},
      {"tesselo_send", {{"raw", true}, {"panel", "p"}}},
      {"tesselo_wait", {{"panel", "p"}, {"timeout", 3}}},
      {"tesselo_wait", {{"until", 3}}},
      {"tesselo_wait", {{"until", Json::array({"idle"})}}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(callResult(c.tool, c.arguments), toolResult("missing required argument", true))
        << c.tool << " " << c.arguments;
  // Arguments that are not an object count as none at all.
  std::vector<Json> out = answers(
      {R"({"id":1,"method":"tools/call","params":{"name":"tesselo_send","arguments":"ls"}})"}, 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], resultMessage(1, toolResult("missing required argument", true)));
  EXPECT_EQ(app.connections(), 0);
}

TEST_F(McpServer, WhatTheApplicationAnswersBecomesTheToolResult) {
  auto bytes = [](std::string text) {
    Reply reply;
    reply.bytes = std::move(text);
    return reply;
  };
  std::string deep = std::string(500, '[') + std::string(500, ']');
  struct Case {
    const char* tool;
    Reply reply;
    Json expected;
  } cases[] = {
      {"tesselo_send", bytes("{\"error\":\"send denied by the user\"}\n"),
       toolResult("send denied by the user", true)},
      {"tesselo_list", bytes("{\"error\":\"\"}\n"), toolResult("", true)},
      {"tesselo_list", bytes("{\"x\":1,\"error\":5}\n"), toolResult(R"({"error":5,"x":1})", false)},
      {"tesselo_read", bytes("{\"text\":\"$ ls\\nREADME \xc3\xa9\",\"lines\":2}\n"),
       toolResult("$ ls\nREADME \xc3\xa9", false)},
      {"tesselo_read", bytes("{\"text\":7,\"b\":[{\"z\":1,\"y\":2}]}\n"),
       toolResult(R"({"b":[{"y":2,"z":1}],"text":7})", false)},
      {"tesselo_list", bytes("{\"text\":\"only read unwraps\"}\n"),
       toolResult(R"({"text":"only read unwraps"})", false)},
      {"tesselo_wait", bytes("{\"timeout\":true,\"state\":\"working\"}\n{\"ignored\":1}\n"),
       toolResult(R"({"state":"working","timeout":true})", false)},
      {"tesselo_notify", bytes("{}\n"), toolResult("{}", false)},
      {"tesselo_list", bytes("{\"deep\":" + deep + "}\n"),
       toolResult("{\"deep\":" + deep + "}", false)},
      {"tesselo_list", bytes("[]\n"),
       toolResult("Tesselo is not running (no control socket)", true)},
      {"tesselo_list", bytes("{}"), toolResult("Tesselo is not running (no control socket)", true)},
      {"tesselo_list", bytes("nonsense\n"),
       toolResult("Tesselo is not running (no control socket)", true)},
      {"tesselo_list", bytes(""), toolResult("Tesselo is not running (no control socket)", true)},
  };
  for (auto& c : cases) {
    app.answerDefault(c.reply);
    Json arguments = c.tool == std::string("tesselo_send")   ? Json{{"text", "x"}}
                     : c.tool == std::string("tesselo_wait") ? Json{{"until", "idle"}}
                                                             : Json::object();
    EXPECT_EQ(callResult(c.tool, arguments), c.expected) << c.tool << " " << c.reply.bytes;
  }
}

TEST_F(McpServer, EveryToolWithoutTheApplication) {
  const char* names[] = {"tesselo_list", "tesselo_read", "tesselo_send",  "tesselo_split",
                         "tesselo_new",  "tesselo_wait", "tesselo_notify"};
  std::vector<std::string> lines;
  for (int i = 0; i < 7; ++i)
    lines.push_back(toolCall(i, names[i], {{"text", "x"}, {"until", "idle"}}));
  socket = dir.file("nobody-listens.sock");
  auto answered = byId(answers(lines, 7));
  ASSERT_EQ(answered.size(), 7u);
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(answered[std::to_string(i)],
              resultMessage(i, toolResult("Tesselo is not running (no control socket)", true)))
        << names[i];
}

// Answers are written on the workers' small stacks; long lines pass whole
// both ways.
TEST_F(McpServer, DeeplyNestedAndLongLinesBothWays) {
  std::string deepId = std::string(510, '[') + std::string(510, ']');
  std::string deepResponse = "{\"a\":" + std::string(511, '[') + std::string(511, ']') + "}";
  Reply reply;
  reply.bytes = deepResponse + "\n";
  app.answerDefault(reply);
  std::string text(2 << 20, 'x');
  text[1000] = '"';
  app.answer("read", test::jsonReply({{"text", text}}));
  std::vector<Json> out = answers(
      {R"({"method":"tools/call","params":{"name":"tesselo_list"},"id":)" + deepId + "}",
       toolCall(1, "tesselo_send", {{"text", text}, {"raw", true}}), toolCall(2, "tesselo_read")},
      3);
  auto answered = byId(out);
  ASSERT_EQ(answered.size(), 3u);
  EXPECT_EQ(answered[json(deepId).dump()],
            resultMessage(json(deepId), toolResult(deepResponse, false)));
  EXPECT_EQ(answered["1"]["result"], toolResult(deepResponse, false));
  EXPECT_EQ(answered["2"]["result"], toolResult(text, false));
  bool sent = false;
  for (const std::string& line : app.requestLines())
    if (auto request = parseJson(line)) sent |= (*request)["text"] == text;
  EXPECT_TRUE(sent);
}

// At end of input, calls still running get five seconds: one that finishes
// in time is answered, one that never finishes is abandoned, silently.
TEST_F(McpServer, EndOfInputWaitsForCallsThatFinishInTimeOnly) {
  Reply late = test::jsonReply({{"state", "idle"}});
  late.delay = std::chrono::milliseconds(500);
  app.answer("wait", late);
  Reply never;
  never.hang = true;
  app.answer("read", never);
  auto answered = byId(answers({toolCall(1, "tesselo_wait", {{"until", "idle"}}),
                                toolCall(2, "tesselo_read"), message(3, "ping")}));
  ASSERT_EQ(answered.size(), 2u);
  EXPECT_EQ(answered["1"], resultMessage(1, toolResult(R"({"state":"idle"})", false)));
  EXPECT_EQ(answered["3"], resultMessage(3, Json::object()));
  EXPECT_EQ(app.requestLines().size(), 2u);
}

TEST_F(McpServer, ASlowWaitDoesNotHoldBackLaterCalls) {
  Gate gate;
  app.answerWith([&](const Json& request) {
    if (request["method"] == "wait") {
      gate.pass();
      return test::jsonReply({{"state", "blocked"}});
    }
    return test::jsonReply({{"terminals", Json::array()}});
  });
  OpenAtEnd openAtEnd{gate};

  ChildProcess mcp(test::mcpPath(), {}, options());
  ASSERT_TRUE(mcp.write(toolCall(1, "tesselo_wait", {{"until", "blocked"}}) + "\n"));
  ASSERT_TRUE(app.waitForRequests(1, std::chrono::seconds(30)));
  ASSERT_TRUE(mcp.write(toolCall(2, "tesselo_list") + "\n" + message(3, "ping") + "\n"));
  std::vector<Json> early;
  for (int i = 0; i < 2; ++i) {
    auto line = mcp.readLine();
    ASSERT_TRUE(line);
    early.push_back(json(*line));
  }
  auto earlyById = byId(early);
  EXPECT_EQ(earlyById["2"], resultMessage(2, toolResult(R"({"terminals":[]})", false)));
  EXPECT_EQ(earlyById["3"], resultMessage(3, Json::object()));

  gate.open();
  auto last = mcp.readLine();
  ASSERT_TRUE(last);
  EXPECT_EQ(json(*last), resultMessage(1, toolResult(R"({"state":"blocked"})", false)));
  expectQuietEnd(mcp);
}

// Beyond the worker cap calls wait their turn: all of them are answered.
TEST_F(McpServer, ManyConcurrentWaitsLeaveTheLoopFree) {
  constexpr int calls = 1100;
  constexpr size_t blockedAtOnce = 256;
  Gate gate;
  app.answerWith([&](const Json& request) {
    gate.pass();
    return test::jsonReply({{"state", "idle"}, {"panel", request["panel"]}});
  });
  OpenAtEnd openAtEnd{gate};

  ChildProcess mcp(test::mcpPath(), {}, options());
  std::string input;
  for (int i = 0; i < calls; ++i) input += waitCall(i);
  ASSERT_TRUE(mcp.write(input));
  ASSERT_TRUE(app.waitForRequests(blockedAtOnce, std::chrono::seconds(60)));
  ASSERT_TRUE(mcp.write(message("p", "ping") + "\n"));
  auto pong = mcp.readLine();
  ASSERT_TRUE(pong);
  EXPECT_EQ(json(*pong), resultMessage("p", Json::object()));

  gate.open();
  EXPECT_EQ(idleAnswers(mcp, calls).size(), static_cast<size_t>(calls));
  expectQuietEnd(mcp);
}

// Workers that finished wait a while for more: later waves are taken by them
// (and by new threads when a wave outnumbers them), and end of input sends
// them away, so every call is answered and the process ends.
TEST_F(McpServer, CallsInWavesAreAllAnsweredByReusedWorkers) {
  app.answerWith([](const Json& request) {
    return test::jsonReply({{"state", "idle"}, {"panel", request["panel"]}});
  });
  ChildProcess mcp(test::mcpPath(), {}, options());
  int next = 0;
  for (int wave : {40, 10, 40, 80, 1}) {
    std::string input;
    for (int i = 0; i < wave; ++i, ++next) input += waitCall(next);
    ASSERT_TRUE(mcp.write(input));
    std::set<int> answered = idleAnswers(mcp, wave);
    ASSERT_EQ(answered.size(), static_cast<size_t>(wave)) << "wave of " << wave;
    EXPECT_EQ(*answered.begin(), next - wave);
  }
  expectQuietEnd(mcp);
}

TEST_F(McpServer, ExitsQuietlyWhenStandardOutputCloses) {
  Gate gate;
  app.answerWith([&](const Json&) {
    gate.pass();
    return test::jsonReply({});
  });
  OpenAtEnd openAtEnd{gate};

  // From the main thread.
  {
    ChildProcess mcp(test::mcpPath(), {}, options());
    mcp.closeOutput();
    mcp.write(message(1, "ping") + "\n");
    ProcessResult result = mcp.finish(false);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
  // From a worker, while the input stays open.
  ChildProcess mcp(test::mcpPath(), {}, options());
  mcp.write(toolCall(1, "tesselo_notify") + "\n");
  ASSERT_TRUE(app.waitForRequests(1, std::chrono::seconds(30)));
  mcp.closeOutput();
  gate.open();
  ProcessResult result = mcp.finish(false);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace tesselo

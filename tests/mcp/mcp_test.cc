// tesselo-mcp as an agent host drives it. Each row of cases.tsv is one input
// line, what the application answers, the request it must receive and the
// line the host must get back, all byte for byte; the rows run in one server,
// so no row may leave anything behind for the next.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/json.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using namespace std::chrono_literals;

// "\xHH" stands for any byte: line feeds inside replies, invalid UTF-8.
std::string expand(std::string text) {
  // Answers are written on the workers' small stacks: deep ones must fit.
  const std::pair<std::string, std::string> names[] = {
      {"@V", TESSELO_PROJECT_VERSION},
      {"@DEEP", std::string(510, '[') + std::string(510, ']')},
      {"@LONG", std::string(1 << 20, 'x')}};
  for (const auto& [name, value] : names)
    for (size_t at; (at = text.find(name)) != std::string::npos;)
      text.replace(at, name.size(), value);
  for (size_t at; (at = text.find("\\x")) != std::string::npos;)
    text.replace(at, 4, 1, static_cast<char>(std::stoi(text.substr(at + 2, 2), nullptr, 16)));
  return text;
}

// "tesselo_x ARGS" is a tools/call with the given id, ARGS (any JSON) as its
// arguments; anything else is the line itself.
std::string inputLine(int id, const std::string& input) {
  if (input.rfind("tesselo_", 0) != 0) return expand(input);
  size_t space = input.find(' ');
  Json params = {{"name", input.substr(0, space)}};
  if (space != std::string::npos) params["arguments"] = Json::parse(expand(input.substr(space)));
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}}.dump();
}

// "ok TEXT" and "fail TEXT" are a tool result for the given id.
std::string outputLine(int id, const std::string& output) {
  bool ok = output.rfind("ok ", 0) == 0;
  if (!ok && output.rfind("fail ", 0) != 0) return expand(output);
  Json text = {{"type", "text"}, {"text", expand(output.substr(ok ? 3 : 5))}};
  Json result = {{"content", Json::array({text})}, {"isError", !ok}};
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}}.dump();
}

TEST(Mcp, EveryRowOfTheTableThenTheEndOfInput) {
  test::TempDir dir;
  test::FakeApp app{dir.file("s")};
  test::ChildProcess mcp(test::mcpPath(), {},
                         {.env = {{"TESSELO_SOCKET", app.path()}, {"HOME", dir.path()}}});
  const std::string marker = R"({"id":"row end","jsonrpc":"2.0","result":{}})";
  std::ifstream file(MCP_CASES);
  std::string row;
  for (int number = 1; std::getline(file, row); ++number) {
    if (row.empty() || row[0] == '#') continue;
    SCOPED_TRACE("cases.tsv:" + std::to_string(number));
    std::string field[4];
    std::istringstream fields(row);
    for (std::string& f : field) std::getline(fields, f, '\t');
    app.answerDefault({field[0].empty()     ? "{\"z\":1,\"a\":2}\n"
                       : field[0][0] == '=' ? expand(field[0].substr(1))
                                            : expand(field[0]) + "\n"});
    size_t before = app.requestLines().size();
    // Line endings alternate between LF and CRLF.
    ASSERT_TRUE(mcp.write(inputLine(number, field[1]) + (number % 2 ? "\r\n" : "\n") +
                          R"({"id":"row end","method":"ping"})"
                          "\n"));
    std::string expected = field[3].empty() ? "" : outputLine(number, field[3]);
    std::string got;
    for (bool ended = false; !ended || (got.empty() && !expected.empty());) {
      std::optional<std::string> line = mcp.readLine(10s);
      ASSERT_TRUE(line) << "no answer; so far: " << got;
      if (*line == marker && !ended)
        ended = true;
      else
        got += *line;
    }
    EXPECT_EQ(got, expected);
    std::vector<std::string> requests = app.requestLines();
    ASSERT_EQ(requests.size(), before + !field[2].empty());
    EXPECT_EQ(field[2].empty() ? "" : requests.back(), expand(field[2]));
  }
  // At the end of input a call that finishes within the drain time is still
  // answered, one that never does is abandoned; the last line needs no LF.
  app.answer("wait", {.bytes = "{\"state\":\"idle\"}\n", .delay = 500ms});
  app.answer("read", {.hang = true});
  ASSERT_TRUE(mcp.write(inputLine(1, R"(tesselo_wait {"until":"idle"})") + "\n" +
                        inputLine(2, "tesselo_read") + "\n" + R"({"id":3,"method":"ping"})"));
  test::ProcessResult end = mcp.finish();
  std::string ping = R"({"id":3,"jsonrpc":"2.0","result":{}})",
              wait = outputLine(1, R"(ok {"state":"idle"})");
  EXPECT_TRUE(end.out == ping + "\n" + wait + "\n" || end.out == wait + "\n" + ping + "\n")
      << end.out;
  EXPECT_EQ(end.err, "");
  EXPECT_EQ(end.status, 0);
}

// A host that stops reading ends the server quietly, whichever thread
// finds out first.
TEST(Mcp, EndsQuietlyWhenTheHostStopsReading) {
  test::TempDir dir;
  test::FakeApp app{dir.file("s")};
  for (const std::string& line :
       {std::string(R"({"id":1,"method":"ping"})"), inputLine(1, "tesselo_notify")}) {
    test::ChildProcess mcp(test::mcpPath(), {}, {.env = {{"TESSELO_SOCKET", app.path()}}});
    mcp.closeOutput();
    mcp.write(line + "\n");
    test::ProcessResult result = mcp.finish(false, 10s);
    EXPECT_EQ(result.err, "") << line;
    EXPECT_EQ(result.status, 0) << line;
  }
}

}  // namespace
}  // namespace tesselo

// tesselo-mcp under load, as an agent host drives it: more calls at once than
// it has workers while the loop still answers, then five thousand more with
// hundreds in flight; each call answered once, whole, with its own result.
#include <gtest/gtest.h>

#include <future>
#include <set>
#include <string>
#include <thread>

#include "support/json.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using namespace std::chrono_literals;

TEST(McpStress, MoreCallsThanWorkersThenFiveThousandWithTwoHundredFiftySixInFlight) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  test::TempDir dir;
  test::FakeApp app(dir.file("s"));
  // The answer's text names the pane, so an answer given to the wrong call
  // shows. Waits are held until the test lets them go.
  app.answerWith([&](const Json& request) {
    std::string text = "screen of " + request.value("panel", "") + " \xe2\x9c\x93";
    if (request.value("method", "") == "wait") released.wait_for(60s);
    return test::jsonReply({{"text", text}});
  });
  test::ChildProcess server(test::mcpPath(), {}, {.env = {{"TESSELO_SOCKET", app.path()}}});

  std::set<std::string> pending;  // the whole answer each call in flight is due
  int next = 0;
  auto call = [&](const std::string& tool) {
    // Numbers and strings alike must come back unchanged as ids.
    Json id = next % 2 ? Json(next) : Json("call-" + std::to_string(next));
    std::string panel = "p" + std::to_string(next++);
    std::string screen = "screen of " + panel + " \xe2\x9c\x93";
    // A wait's answer comes back as the application's object, a read's as its text.
    Json text = {{"type", "text"},
                 {"text", tool == "read" ? screen : Json{{"text", screen}}.dump()}};
    Json result = {{"content", Json::array({text})}, {"isError", false}};
    pending.insert(Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}}.dump());
    Json params = {{"name", "tesselo_" + tool}, {"arguments", {{"panel", panel}, {"until", "x"}}}};
    Json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}};
    return message.dump() + "\n";
  };
  auto take = [&] {
    std::optional<std::string> line = server.readLine(60s);
    ASSERT_TRUE(line) << "no answer with " << pending.size() << " calls in flight";
    // Ids and texts are all different: an answer sent twice, to the wrong
    // call or cut short is none of those due.
    ASSERT_EQ(pending.erase(*line), 1u) << "not an answer due: " << *line;
  };

  // Past the cap of 1024 workers calls wait their turn; the held ones never
  // hold up the loop.
  std::string burst;
  while (next < 1100) burst += call("wait");
  ASSERT_TRUE(server.write(burst));
  ASSERT_TRUE(app.waitForRequests(256, 60s));
  ASSERT_TRUE(server.write("{\"id\":\"p\",\"method\":\"ping\"}\n"));
  EXPECT_EQ(server.readLine(60s), R"({"id":"p","jsonrpc":"2.0","result":{}})");
  release.set_value();
  while (!pending.empty()) ASSERT_NO_FATAL_FAILURE(take());

  // A new call goes out only when an answer came back: the window stays full.
  while (next < 1100 + 256) ASSERT_TRUE(server.write(call("read")));
  while (!pending.empty()) {
    ASSERT_NO_FATAL_FAILURE(take());
    ASSERT_TRUE(next >= 1100 + 5000 || server.write(call("read")));
  }
  EXPECT_EQ(app.requestLines().size(), 1100u + 5000);
  // Idle workers end two seconds after their last call. One that ends while
  // the server is ending is left unjoined, which ThreadSanitizer reports as a
  // leak: the input ends once they are all gone.
  std::this_thread::sleep_for(3s);
  test::ProcessResult end = server.finish();
  EXPECT_EQ(end.out + end.err, "");
  EXPECT_EQ(end.status, 0);
}

}  // namespace
}  // namespace tesselo

// tesselo-mcp under load, as an agent host drives it: more calls at once than
// it has workers while the loop still answers, then five thousand more with
// hundreds in flight; each call answered once, whole, with its own result.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "support/json.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using namespace std::chrono_literals;

// Numbers and strings alike must come back unchanged as ids.
Json idOf(int i) {
  return i % 2 ? Json(i) : Json("call-" + std::to_string(i));
}

// The answer's text names the pane, so an answer given to the wrong call shows.
std::string textOf(const std::string& method, const std::string& panel) {
  if (method == "wait") return Json{{"panel", panel}, {"state", "idle"}}.dump();
  return "screen of " + panel + " \xe2\x9c\x93";
}

TEST(McpStress, MoreCallsThanWorkersThenFiveThousandWithTwoHundredFiftySixInFlight) {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  test::TempDir dir;
  test::FakeApp app(dir.file("s"));
  app.answerWith([&](const Json& request) {
    std::string method = request.value("method", ""), panel = request.value("panel", "");
    if (method == "wait") {
      std::unique_lock lock(mutex);
      opened.wait_for(lock, 60s, [&] { return open; });
      return test::jsonReply(*parseJson(textOf(method, panel)));
    }
    return test::jsonReply({{"text", textOf(method, panel)}});
  });
  test::ProcessOptions options;
  options.env["TESSELO_SOCKET"] = app.path();
  test::ChildProcess server(test::mcpPath(), {}, options);

  std::map<std::string, std::string> pending;  // id as sent -> the whole answer due
  int next = 0;
  auto call = [&](const char* method) {
    std::string panel = "p" + std::to_string(next);
    Json text = {{"type", "text"}, {"text", textOf(method, panel)}};
    Json result = {{"content", Json::array({text})}, {"isError", false}};
    pending[idOf(next).dump()] =
        Json{{"jsonrpc", "2.0"}, {"id", idOf(next)}, {"result", result}}.dump();
    Json arguments = {{"panel", panel}, {"until", "idle"}};
    Json params = {{"name", std::string("tesselo_") + method}, {"arguments", arguments}};
    ++next;
    return Json{{"jsonrpc", "2.0"},
                {"id", idOf(next - 1)},
                {"method", "tools/call"},
                {"params", params}}
               .dump() +
           "\n";
  };
  auto take = [&] {
    std::optional<std::string> line = server.readLine(60s);
    ASSERT_TRUE(line) << "no answer with " << pending.size() << " calls in flight";
    std::optional<Json> answer = parseJson(*line);
    ASSERT_TRUE(answer && answer->contains("id")) << *line;
    auto due = pending.find((*answer)["id"].dump());
    ASSERT_NE(due, pending.end()) << "an answer to no call in flight: " << *line;
    EXPECT_EQ(*line, due->second);
    pending.erase(due);
  };

  // Past the cap of 1024 workers calls wait their turn; the held ones never
  // hold up the loop.
  std::string burst;
  while (next < 1100) burst += call("wait");
  ASSERT_TRUE(server.write(burst));
  ASSERT_TRUE(app.waitForRequests(256, 60s));
  ASSERT_TRUE(server.write(R"({"id":"p","method":"ping"})"
                           "\n"));
  EXPECT_EQ(server.readLine(60s), R"({"id":"p","jsonrpc":"2.0","result":{}})");
  {
    std::lock_guard lock(mutex);
    open = true;
  }
  opened.notify_all();
  while (!pending.empty()) ASSERT_NO_FATAL_FAILURE(take());

  // A new call goes out only when an answer came back: the window stays full.
  constexpr int calls = 5000, window = 256;
  while (next < 1100 + window) ASSERT_TRUE(server.write(call("read")));
  while (!pending.empty()) {
    ASSERT_NO_FATAL_FAILURE(take());
    if (next < 1100 + calls) {
      ASSERT_TRUE(server.write(call("read")));
    }
  }
  EXPECT_EQ(app.connections(), 1100 + calls);
  // Idle workers end two seconds after their last call. One that ends while
  // the server is ending is left unjoined, which ThreadSanitizer reports as a
  // leak: the input ends once they are all gone.
  std::this_thread::sleep_for(3s);
  test::ProcessResult end = server.finish();
  EXPECT_EQ(end.out, "");
  EXPECT_EQ(end.err, "");
  EXPECT_EQ(end.status, 0);
}

}  // namespace
}  // namespace tesselo

// tesselo-mcp under load, as an agent host drives it: thousands of tool calls
// with hundreds in flight, each answered once, whole, with its own result.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "support/json.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::FakeApp;
using test::Reply;

// The id of call i: numbers and strings alike must come back unchanged.
Json idOf(int i) {
  return i % 2 ? Json(i) : Json("call-" + std::to_string(i));
}

// The panel call i reads. Appended: GCC 12 at -O3 takes "p" + std::to_string(i)
// for an overlapping copy (-Wrestrict).
std::string panelOf(int i) {
  std::string panel = "p";
  panel += std::to_string(i);
  return panel;
}

std::string callLine(int i) {
  Json call = {{"jsonrpc", "2.0"},
               {"id", idOf(i)},
               {"method", "tools/call"},
               {"params", {{"name", "tesselo_read"}, {"arguments", {{"panel", panelOf(i)}}}}}};
  return call.dump() + "\n";
}

// The screen the fake application shows for a pane; every answer carries
// its own, so an answer given to the wrong call shows.
std::string screenOf(const std::string& panel) {
  return "screen of " + panel + " \xe2\x9c\x93";
}

// Holds the first calls at the application until that many are there at
// once: shows that the server really runs them side by side.
class Gate {
 public:
  explicit Gate(size_t size) : size_(size) {}
  void pass() {
    std::unique_lock lock(mutex_);
    if (arrived_ >= size_) return;
    if (++arrived_ == size_) {
      opened_ = true;
      all_.notify_all();
      return;
    }
    // Bounded, so that a server that cannot hold that many calls fails the
    // count below instead of hanging the suite.
    all_.wait_for(lock, std::chrono::seconds(20), [&] { return opened_; });
  }
  bool opened() {
    std::lock_guard lock(mutex_);
    return opened_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_;
  size_t size_;
  size_t arrived_ = 0;
  bool opened_ = false;
};

TEST(McpStress, TenThousandCallsWithTwoHundredFiftySixInFlightEachAnsweredOnce) {
  constexpr int calls = 10000;
  constexpr size_t window = 256;
  test::TempDir dir;
  FakeApp app(dir.file("control.sock"));
  Gate gate(window);
  app.answerWith([&gate](const Json& request) {
    gate.pass();
    const std::string* panel = stringMember(request, "panel");
    return test::jsonReply({{"text", screenOf(panel ? *panel : "")}});
  });

  test::ProcessOptions options;
  options.env["TESSELO_SOCKET"] = app.path();
  test::ChildProcess server(test::mcpPath(), {}, options);
  // A new call goes out only when an answer came back: never more than the
  // window in flight, and the window always full until the last calls.
  std::map<std::string, int> pending;  // the id as sent -> the call's number
  std::set<int> answered;
  int sent = 0;
  auto send = [&] {
    pending[idOf(sent).dump()] = sent;
    ASSERT_TRUE(server.write(callLine(sent))) << "the server stopped reading at call " << sent;
    ++sent;
  };
  while (sent < static_cast<int>(window)) send();
  while (answered.size() < static_cast<size_t>(calls)) {
    std::optional<std::string> line = server.readLine();
    ASSERT_TRUE(line) << "no answer with " << pending.size() << " calls in flight";
    std::optional<Json> answer = parseJson(*line);
    ASSERT_TRUE(answer && answer->is_object()) << "not a whole JSON line: " << *line;
    auto call = pending.find(answer->value("id", Json()).dump());
    ASSERT_NE(call, pending.end()) << "an answer to no call in flight: " << *line;
    int number = call->second;
    pending.erase(call);
    EXPECT_TRUE(answered.insert(number).second) << "answered twice: " << number;
    Json expected = {
        {"content", Json::array({{{"type", "text"}, {"text", screenOf(panelOf(number))}}})},
        {"isError", false}};
    EXPECT_EQ(answer->value("result", Json()), expected) << *line;
    EXPECT_EQ(answer->value("jsonrpc", Json()), "2.0");
    if (sent < calls) send();
  }
  EXPECT_TRUE(pending.empty());
  EXPECT_TRUE(gate.opened()) << "the first " << window << " calls never met at the application";
  EXPECT_EQ(app.connections(), calls);

  // Nothing after the last answer, and an orderly end.
  test::ProcessResult end = server.finish();
  EXPECT_EQ(end.out, "");
  EXPECT_EQ(end.err, "");
  EXPECT_EQ(end.status, 0);
  std::printf("%d calls, %zu answered once each, %zu in flight\n", sent, answered.size(), window);
}

}  // namespace
}  // namespace tesselo

#include "cli/hook_relay.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::FakeApp;
using test::ProcessOptions;
using test::ProcessResult;
using test::Reply;

Json base(const std::string& event) {
  return {{"method", "agent-event"}, {"agent", "claude"}, {"event", event}};
}

Json with(Json request, std::initializer_list<std::pair<const char*, const char*>> members) {
  for (const auto& [key, value] : members) request[key] = value;
  return request;
}

// Which events are dropped, and the pane variable, are checked through the
// relay below.
TEST(AgentEventRequest, MapsExactlyTheReadKeys) {
  struct Case {
    const char* name;
    const char* event;
    const char* paneId;
    std::optional<Json> expected;
  } cases[] = {
      {"only the event name, no pane", R"({"hook_event_name":"Stop"})", nullptr, base("Stop")},
      {"every read key",
       R"({"hook_event_name":"Notification","session_id":"s1","cwd":"/w d","message":"m\n",
           "notification_type":"permission_prompt","transcript_path":"/t","tool_name":"x"})",
       "p",
       with(base("Notification"), {{"session", "s1"},
                                   {"cwd", "/w d"},
                                   {"message", "m\n"},
                                   {"panel", "p"},
                                   {"detail", "permission_prompt"}})},
      {"notification type wins over source",
       R"({"hook_event_name":"Notification","notification_type":"idle","source":"startup"})",
       nullptr, with(base("Notification"), {{"detail", "idle"}})},
      {"source when the notification type is not a string",
       R"({"hook_event_name":"SessionStart","notification_type":7,"source":"resume"})", nullptr,
       with(base("SessionStart"), {{"detail", "resume"}})},
      {"no detail when neither is a string",
       R"({"hook_event_name":"SessionStart","notification_type":null,"source":["x"]})", nullptr,
       base("SessionStart")},
      {"members of other types count as absent",
       R"({"hook_event_name":"Stop","session_id":12,"cwd":{},"message":false})", nullptr,
       base("Stop")},
      {"input keys named like request keys are not forwarded",
       R"({"hook_event_name":"Stop","method":"send","agent":"x","panel":"p","detail":"d",
           "event":"e","session":"s"})",
       nullptr, base("Stop")},
      {"an event name nobody registers", R"({"hook_event_name":"Anything at all"})", nullptr,
       base("Anything at all")},
      {"empty event name", R"({"hook_event_name":""})", nullptr, base("")},
  };
  for (const Case& c : cases) {
    std::optional<Json> event = parseJson(c.event);
    ASSERT_TRUE(event) << c.name;
    EXPECT_EQ(agentEventRequest(*event, c.paneId), c.expected) << c.name;
  }
}

class ClaudeHook : public ::testing::Test {
 protected:
  ProcessResult relay(const std::string& input, std::optional<std::string> paneId,
                      std::vector<std::string> args = {"claude-hook"}) {
    return relayTo(app.path(), input, std::move(paneId), std::move(args));
  }
  ProcessResult relayTo(const std::string& socket, const std::string& input,
                        std::optional<std::string> paneId,
                        std::vector<std::string> args = {"claude-hook"}) {
    ProcessOptions options;
    options.input = input;
    options.env = {
        {"TESSELO_SOCKET", socket}, {"HOME", dir.path()}, {"TESSELO_PANE_ID", std::move(paneId)}};
    return test::runProcess(test::cliPath(), args, options);
  }

  void expectSilentSuccess(const ProcessResult& result, const std::string& what) {
    EXPECT_EQ(result.status, 0) << what;
    EXPECT_EQ(result.out, "") << what;
    EXPECT_EQ(result.err, "") << what;
  }

  test::TempDir dir;
  FakeApp app{dir.file("s")};
};

// Once the relay has exited, any connection it made has been accepted and
// answered, so the count is final.
TEST_F(ClaudeHook, DroppedEventsNeverConnect) {
  const char* inputs[] = {
      "",
      "null",
      "\"Stop\"",
      "[]",
      R"([{"hook_event_name":"Stop"}])",
      "not json",
      R"({"hook_event_name":"Stop")",
      "{}",
      R"({"hook_event_name":3})",
      R"({"hook_event_name":null})",
      R"({"hook_event_name":"Stop","agent_id":null})",
      R"({"hook_event_name":"Stop","agent_id":"sub-1"})",
      "{\"hook_event_name\":\"St\xff\"}",
  };
  for (const char* input : inputs) {
    expectSilentSuccess(relay(input, "p1"), input);
    EXPECT_EQ(app.connections(), 0) << input;
  }
}

TEST_F(ClaudeHook, SendsOneRequestPerEventWithThePaneVariable) {
  const std::string event =
      R"({"hook_event_name":"UserPromptSubmit","session_id":"s","cwd":"/w","message":"hi",)"
      R"("source":"cli","agent_type":"main"})";
  Json expected = with(base("UserPromptSubmit"),
                       {{"session", "s"}, {"cwd", "/w"}, {"message", "hi"}, {"detail", "cli"}});
  struct Case {
    const char* name;
    std::optional<std::string> paneId;
    Json request;
    std::vector<std::string> args = {"claude-hook"};
  } cases[] = {
      {"set", "9f3e21aa", with(expected, {{"panel", "9f3e21aa"}})},
      {"set but empty", "", with(expected, {{"panel", ""}})},
      {"unset", std::nullopt, expected},
      {"further arguments ignored",
       std::nullopt,
       expected,
       {"claude-hook", "--panel", "x", "extra"}},
  };
  int count = 0;
  for (const Case& c : cases) {
    expectSilentSuccess(relay(event, c.paneId, c.args), c.name);
    EXPECT_EQ(app.connections(), ++count) << c.name;
    ASSERT_EQ(app.requestLines().size(), static_cast<size_t>(count)) << c.name;
    EXPECT_EQ(app.lastRequest(), c.request) << c.name;
  }
}

TEST_F(ClaudeHook, StaysSilentWhateverTheAppAnswersOrWhenNothingListens) {
  struct Case {
    const char* name;
    std::string bytes;
    bool hang = false;
  } cases[] = {
      {"closes without answering", ""},
      {"answers an error", "{\"error\":\"no such panel\"}\n"},
      {"answers garbage", "\xff\xfe not json"},
      {"answers without a line feed", "{}"},
      {"never answers", "", true},
  };
  for (const Case& c : cases) {
    Reply reply;
    reply.bytes = c.bytes;
    reply.hang = c.hang;
    app.answerDefault(reply);
    size_t before = app.requestLines().size();
    expectSilentSuccess(relay(R"({"hook_event_name":"Stop"})", "p"), c.name);
    EXPECT_EQ(app.requestLines().size(), before + 1) << c.name;
  }
  expectSilentSuccess(relayTo(dir.file("absent.sock"), R"({"hook_event_name":"Stop"})", "p"),
                      "nothing listens");
}

// A peer that hangs up before reading must not kill the relay with SIGPIPE
// (the request is far larger than the socket buffer, so the relay is still
// writing when the peer goes away), and one that never takes the connection
// from its backlog (a service manager holding the socket of a host that
// failed to start) must not hold Claude Code: the relay gives up by itself.
TEST(ClaudeHookWithoutApp, EndsSilentlyWhenThePeerHangsUpOrNeverAccepts) {
  for (bool hangUpMidRequest : {true, false}) {
    test::TempDir dir;
    std::string path = dir.file("s");
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<int> queued;
    std::thread hangUp;
    if (hangUpMidRequest) {
      hangUp = std::thread([&] {
        int fd = accept(listener, nullptr, nullptr);
        if (fd >= 0) close(fd);
      });
    } else {
      // Fill the backlog, so that the relay's own connect blocks.
      for (int fd; (fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0)) >= 0;) {
        queued.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
      }
    }
    ProcessOptions options;
    options.input = R"({"hook_event_name":"Stop","message":")" +
                    std::string(hangUpMidRequest ? 8 << 20 : 1, 'm') + "\"}";
    options.env = {{"TESSELO_SOCKET", path}};
    ProcessResult result = test::runProcess(test::cliPath(), {"claude-hook"}, options);
    if (hangUp.joinable()) hangUp.join();
    for (int fd : queued) close(fd);
    close(listener);
    EXPECT_EQ(result.status, 0) << hangUpMidRequest << ": 128 + 13 means SIGPIPE";
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }
}

}  // namespace
}  // namespace tesselo

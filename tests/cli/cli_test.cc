// tesselo as users, scripts and Claude Code run it. Each row: the arguments,
// the environment, what the application answers, the exact request line it
// receives, and every byte the program prints and its exit status.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "cli/request.h"
#include "support/socket_path.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::ProcessResult;
using Args = std::vector<std::string>;
using Env = std::map<std::string, std::optional<std::string>>;
using Pair = std::pair<const char*, const char*>;

const std::string hangs = "(never answers)";
const std::string usage =
    "usage: tesselo <list|read|send|split|new|wait|notify|install-cli\n"
    "                |install-hooks|install-mcp|claude-hook> [options]\n";
const std::string noResponse = "tesselo: no response\n";
std::string unreachable(const std::string& path) {
  return "tesselo: cannot reach Tesselo at " + path + " \xe2\x80\x94 is the app running?\n";
}

struct Row {
  Args args;
  std::string reply;    // bytes as they stand, or hangs
  std::string request;  // the line the application receives; empty: it is never reached
  std::string out, err = "";
  int status = 0;
  Env env = {};
  std::string input = "";
};

std::string line(const std::string& json) {
  return json + "\n";
}

// "@" stands for the test's folder, "%" for the application's socket.
std::string at(std::string text, const std::string& dir, const std::string& socket = "") {
  for (size_t mark = 0; (mark = text.find_first_of("@%", mark)) != std::string::npos;) {
    const std::string& value = text[mark] == '@' ? dir : socket;
    text.replace(mark, 1, value);
    mark += value.size();
  }
  return text;
}

// clang-format off
const char* const tree = R"({"terminals":[
  {"id":"3f9a01bc99","title":"build","state":"idle","panels":[{"id":"77c2d410ff","process":"zsh"},
    {"id":"a1b2c3d4ee","process":"node","agent":"claude","state":"working"}]},
  {"id":"ab","panels":[{"id":"cd","agent":"codex"},{"id":"ef","process":"vim","state":"idle"}]},
  {"id":"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9","title":"t","panels":"nope"},
  {"id":"12345678","title":"x","panels":[{"id":"b"},2]}]})";
const std::string treeText = "3f9a01bc  build  [idle]\n  77c2d410  zsh\n  a1b2c3d4  node  claude [working]\n"
    "ab  \n  cd    codex\n  ef  vim [idle]\n\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9  t\n12345678  x\n";

std::vector<Row> paneRows() {
  std::vector<Row> rows = {
    {{}, "", "", usage},
    {{"List", "x"}, "", "", "", "tesselo: unknown command List\n", 1},
    {{"--help"}, "", "", "", "tesselo: unknown command --help\n", 1},
    {{""}, "", "", "", "tesselo: unknown command \n", 1},
    {{"list", "extra"}, Json::parse(tree).dump() + "\n", R"({"method":"list"})", treeText},
    {{"list"}, line(R"({"terminals":[]})"), R"({"method":"list"})", ""},
    {{"list"}, line(R"({"terminals":{}})"), R"({"method":"list"})", ""},
    {{"list"}, line(R"({"terminals":[{"id":"a"},1]})"), R"({"method":"list"})", ""},
    {{"read"}, line(R"({"text":"a\nb\n"})"), R"({"method":"read"})", "a\nb\n\n"},
    {{"read", "--panel", "ab12cd34", "--lines", "12"}, line(R"({"text":""})"), R"({"lines":12,"method":"read","panel":"ab12cd34"})", "\n"},
    {{"read", "--lines"}, line(R"({"text":5})"), R"({"method":"read"})", "\n"},
    {{"read", "--lines", "--panel", "p"}, line("{}"), R"({"method":"read","panel":"p"})", "\n"},
    {{"read"}, line(R"({"text":"first"})") + line(R"({"text":"second"})"), R"({"method":"read"})", "first\n"},
    {{"read"}, line(R"({"text":"caf\u00e9\t\u2713 \ud83d\ude00 \"q\" \\"})"), R"({"method":"read"})", "caf\xc3\xa9\t\xe2\x9c\x93 \xf0\x9f\x98\x80 \"q\" \\\n"},
    {{"read"}, line(R"({"error":"no such pane","text":"t"})"), R"({"method":"read"})", "", "tesselo: no such pane\n", 1},
    {{"read"}, line(R"({"error":""})"), R"({"method":"read"})", "", "tesselo: \n", 1},
    {{"send", "a", "b"}, line(R"({"text":"ignored"})"), R"({"method":"send","text":"a b\n"})", ""},
    {{"send", "--raw", "", "x", ""}, line("{}"), R"({"method":"send","text":" x "})", ""},
    {{"send", ""}, line("{}"), R"({"method":"send","text":"\n"})", ""},
    {{"send", "hello", "--panel"}, line("{}"), R"({"method":"send","text":"hello --panel\n"})", ""},
    {{"send", "--panel", "--raw", "hi"}, line("{}"), R"({"method":"send","panel":"--raw","text":"hi\n"})", ""},
    {{"send", "--raw", "--raw", "x"}, line("{}"), R"({"method":"send","text":"--raw x"})", ""},
    {{"send", "x", "--panel", "p1", "y"}, line("{}"), R"({"method":"send","panel":"p1","text":"x y\n"})", ""},
    {{"send", "caf\xc3\xa9\t\"q\" \\"}, line("{}"), R"({"method":"send","text":"café\t\"q\" \\\n"})", ""},
    {{"send", "--raw", "--panel", "p"}, "", "", "", "tesselo: send needs text\n", 1},
    {{"send", "x"}, line(R"({"error":"pane closed"})"), R"({"method":"send","text":"x\n"})", "", "tesselo: pane closed\n", 1},
    {{"split"}, line(R"({"panel":"p2"})"), R"({"direction":"right","method":"split"})", "p2\n"},
    {{"split", "--down", "--terminal", "t1"}, line("{}"), R"({"direction":"down","method":"split","terminal":"t1"})", "\n"},
    {{"split"}, line(R"({"error":3,"panel":"p1"})"), R"({"direction":"right","method":"split"})", "p1\n"},
    {{"new"}, line(R"({"panel":"p3"})"), R"({"method":"new"})", "p3\n"},
    {{"new", "--worktree", "--space", "s", "--cwd", "rel/dir", "--command", "a b"}, line(R"({"branch":"b","worktree":"/w t","panel":"p4"})"),
     R"({"command":"a b","cwd":"rel/dir","method":"new","space":"s","worktree":true})", "b\t/w t\np4\n"},
    {{"new"}, line(R"({"branch":"b","worktree":1,"panel":"p5"})"), R"({"method":"new"})", "p5\n"},
    {{"new"}, line(R"({"worktree":"/w","panel":"p6"})"), R"({"method":"new"})", "p6\n"},
    {{"new"}, line(R"({"branch":"b","worktree":"/w"})"), R"({"method":"new"})", "b\t/w\n\n"},
    {{"wait"}, line(R"({"state":"idle"})"), R"({"method":"wait"})", "idle\n"},
    {{"wait", "--until", "idle", "--panel", "p"}, line(R"({"state":"idle","timeout":false})"), R"({"method":"wait","panel":"p","until":"idle"})", "idle\n"},
    {{"wait", "--until", "--timeout", "3"}, line("{}"), R"({"method":"wait","until":"--timeout"})", "unknown\n"},
    {{"wait"}, line(R"({"timeout":true})"), R"({"method":"wait"})", "unknown\n", "tesselo: timeout\n", 2},
    {{"wait"}, line(R"({"timeout":true,"state":"working"})"), R"({"method":"wait"})", "working\n", "tesselo: timeout\n", 2},
    {{"wait"}, line(R"({"timeout":"true","state":1})"), R"({"method":"wait"})", "unknown\n"},
    {{"notify", "--panel", "x", "y"}, line(R"({"text":"t"})"), R"({"method":"notify"})", ""},
    {{"notify"}, line(R"({"error":"no terminal"})"), R"({"method":"notify"})", "", "tesselo: no terminal\n", 1},
    // The socket: TESSELO_SOCKET, else XDG_DATA_HOME when absolute, else HOME,
    // else the password database; a path too long for the address is refused.
    {{"list"}, "", "", "", unreachable("@/.local/share/tesselo/control.sock"), 1,
     {{"TESSELO_SOCKET", ""}, {"XDG_DATA_HOME", "relative"}, {"HOME", "@"}}},
    {{"notify"}, "", "", "", unreachable("@/data/tesselo/control.sock"), 1,
     {{"TESSELO_SOCKET", std::nullopt}, {"XDG_DATA_HOME", "@/data"}}},
    {{"list"}, "", "", "", unreachable(passwordHomeDirectory() + "/.local/share/tesselo/control.sock"), 1,
     {{"TESSELO_SOCKET", std::nullopt}, {"XDG_DATA_HOME", std::nullopt}, {"HOME", ""}}},
    // The application listens at the longest path the address holds; one
    // byte more would be cut to name another socket, so it is not tried.
    {{"notify"}, "", "", "", unreachable("%b"), 1, {{"TESSELO_SOCKET", "%b"}}},
  };
  for (const char* bytes : {"", "{}", "[1]\n", "ok\n", "\n", "{\"a\":\"\xff\"}\n"})
    rows.push_back({{"split"}, bytes, R"({"direction":"right","method":"split"})", "", noResponse, 1});
  for (Args args : {Args{"send"}, Args{"send", "--panel", "p"}})
    rows.push_back({args, "", "", "", "tesselo: send needs text\n", 1});
  // What is not a whole number within int64 gives the default of 40.
  for (auto [text, value] : std::initializer_list<Pair>{{"+7", "7"}, {"-3", "-3"}, {"007", "7"}, {"0", "0"},
       {"9223372036854775807", "9223372036854775807"}, {"-9223372036854775808", "-9223372036854775808"},
       {"9223372036854775808", "40"}, {"-9223372036854775809", "40"}, {"", "40"}, {"+", "40"},
       {"-", "40"}, {"+-5", "40"}, {" 5", "40"}, {"5 ", "40"}, {"1e3", "40"}, {"12.0", "40"}})
    rows.push_back({{"read", "--lines", text}, line("{}"), std::string(R"({"lines":)") + value + R"(,"method":"read"})", "\n"});
  // What strtod reads whole and finite, else the default of 300 seconds.
  for (auto [text, value] : std::initializer_list<Pair>{{"2.5", "2.5"}, {"1e2", "100.0"}, {"-4", "-4.0"}, {"0x10", "16.0"},
       {".5", "0.5"}, {"5", "5.0"}, {"5s", "300.0"}, {"", "300.0"}, {" 5", "300.0"}, {"5 ", "300.0"},
       {"inf", "300.0"}, {"nan", "300.0"}, {"1e999", "300.0"}, {"-infinity", "300.0"}})
    rows.push_back({{"wait", "--timeout", text}, line("{}"), std::string(R"({"method":"wait","timeout":)") + value + "}", "unknown\n"});
  // Either side of the length where the line feed goes out in a write of its
  // own, and a screen far larger than any buffer.
  for (size_t size : {65536, 65537, 64 << 20}) {
    std::string text(size, 'x');
    for (size_t i = 999; i < size; i += 1000) text[i] = '\n';
    rows.push_back({{"read"}, Json({{"text", text}}).dump() + "\n", R"({"method":"read"})", text + "\n"});
  }
  // A mebibyte typed, as sixteen words: one argument holds at most 128 KiB.
  Row typed{{"send", "--raw"}, line("{}"), "", ""};
  std::string words;
  for (char c = 'a'; c < 'a' + 16; ++c) {
    typed.args.push_back(std::string(65536, c));
    words += (words.empty() ? "" : " ") + typed.args.back();
  }
  typed.request = Json({{"method", "send"}, {"text", words}}).dump();
  rows.push_back(typed);
  return rows;
}

// The relay run by Claude Code: never a word, always status 0; at most one
// request, whatever the event, the pane variable or the application's answer.
struct RelayRow {
  std::string input;
  std::string request;  // empty: the event is dropped before connecting
  std::optional<std::string> pane = std::nullopt;
  std::string reply = line("{}");
  std::string socket = "";  // another socket path
};

const RelayRow relayRows[] = {
  {"", ""}, {"null", ""}, {"\"Stop\"", ""}, {"[]", ""}, {R"([{"hook_event_name":"Stop"}])", ""},
  {"not json", ""}, {R"({"hook_event_name":"Stop")", ""}, {"{}", ""}, {R"({"hook_event_name":3})", ""},
  {R"({"hook_event_name":null})", ""}, {R"({"hook_event_name":"Stop","agent_id":null})", ""},
  {R"({"hook_event_name":"Stop","agent_id":"sub-1"})", "", "p"}, {"{\"hook_event_name\":\"St\xff\"}", ""},
  {R"({"hook_event_name":"Stop"})", R"({"agent":"claude","event":"Stop","method":"agent-event"})"},
  {R"({"hook_event_name":"Notification","session_id":"s1","cwd":"/w d","message":"m\n","notification_type":"permission_prompt","transcript_path":"/t","tool_name":"x","source":"s"})",
   R"({"agent":"claude","cwd":"/w d","detail":"permission_prompt","event":"Notification","message":"m\n","method":"agent-event","panel":"9f3e21aa","session":"s1"})", "9f3e21aa"},
  {R"({"hook_event_name":"SessionStart","notification_type":7,"source":"resume"})",
   R"({"agent":"claude","detail":"resume","event":"SessionStart","method":"agent-event","panel":""})", ""},
  {R"({"hook_event_name":"SessionStart","notification_type":null,"source":["x"],"session_id":12,"cwd":{},"message":false})",
   R"({"agent":"claude","event":"SessionStart","method":"agent-event"})"},
  {R"({"hook_event_name":"","method":"send","agent":"x","panel":"p","detail":"d","event":"e","session":"s"})",
   R"({"agent":"claude","event":"","method":"agent-event"})"},
  {R"({"hook_event_name":"Stop"})", R"({"agent":"claude","event":"Stop","method":"agent-event","panel":"p"})", "p", ""},
  {R"({"hook_event_name":"Stop"})", R"({"agent":"claude","event":"Stop","method":"agent-event"})", std::nullopt, line(R"({"error":"no such panel"})")},
  {R"({"hook_event_name":"Stop"})", R"({"agent":"claude","event":"Stop","method":"agent-event"})", std::nullopt, "\xff\xfe not json"},
  {R"({"hook_event_name":"Stop"})", R"({"agent":"claude","event":"Stop","method":"agent-event"})", std::nullopt, hangs},
  {R"({"hook_event_name":"Stop"})", "", std::nullopt, "", "@/absent"},
};
// clang-format on

class Cli : public ::testing::Test {
 protected:
  // Each answer is sent whole, and again one byte per read when it is short.
  void check(const Row& row) {
    for (bool trickle : {false, true}) {
      if (trickle && (row.reply.size() > 4096 || row.reply == hangs || row.request.empty())) break;
      SCOPED_TRACE(trickle ? "one byte per read" : "answered whole");
      test::Reply reply;
      reply.bytes = row.reply;
      reply.hang = row.reply == hangs;
      reply.byteByByte = trickle;
      app.answerDefault(reply);
      size_t before = app.requestLines().size();
      test::ProcessOptions options;
      options.env = {{"TESSELO_SOCKET", app.path()}, {"TESSELO_PANE_ID", std::nullopt}};
      for (const auto& [name, value] : row.env)
        options.env[name] =
            value ? std::optional(at(*value, dir.path(), app.path())) : std::nullopt;
      options.input = row.input;
      ProcessResult result = test::runProcess(test::cliPath(), row.args, options);
      // Whole screens compared without printing them.
      EXPECT_TRUE(result.out == at(row.out, dir.path(), app.path())) << result.out.substr(0, 300);
      EXPECT_EQ(result.err, at(row.err, dir.path(), app.path()));
      EXPECT_EQ(result.status, row.status);
      std::vector<std::string> lines = app.requestLines();
      ASSERT_EQ(lines.size(), before + !row.request.empty());
      if (!row.request.empty()) {
        EXPECT_TRUE(lines.back() == row.request) << lines.back().substr(0, 300);
      }
    }
  }

  test::TempDir dir;
  test::FakeApp app{
      dir.file(std::string(sizeof(sockaddr_un::sun_path) - 2 - dir.path().size(), 's'))};
};

TEST_F(Cli, PaneCommands) {
  for (const Row& row : paneRows()) {
    std::string args;
    for (const std::string& word : row.args) args += " " + word.substr(0, 40);
    SCOPED_TRACE("tesselo" + args + " answered " + row.reply.substr(0, 80));
    check(row);
  }
}

TEST_F(Cli, ClaudeHookRelay) {
  for (const RelayRow& row : relayRows) {
    SCOPED_TRACE(row.input + " answered " + row.reply);
    Env env = {{"TESSELO_PANE_ID", row.pane}};
    if (!row.socket.empty()) env["TESSELO_SOCKET"] = row.socket;
    check({{"claude-hook", "--panel", "x"}, row.reply, row.request, "", "", 0, env, row.input});
  }
}

// A payload without JSON form (no command line can build one) fails alone.
TEST(CliRequest, PayloadWithoutJsonFormIsABadRequest) {
  test::TempDir dir;
  test::FakeApp app(dir.file("s"));
  test::ScopedEnv socket("TESSELO_SOCKET", app.path());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(request({{"method", "wait"}, {"timeout", NAN}}), ::testing::ExitedWithCode(1),
              "^tesselo: bad request\n$");
}

// A peer that hangs up while the relay still writes (the request is far
// larger than the socket buffer) must not kill it with SIGPIPE.
TEST(CliRelay, PeerHangingUpMidRequestEndsSilently) {
  test::TempDir dir;
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, dir.file("s").c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  std::thread hangUp([&] { close(accept(listener, nullptr, nullptr)); });
  test::ProcessOptions options;
  options.input = R"({"hook_event_name":"Stop","message":")" + std::string(8 << 20, 'm') + "\"}";
  options.env = {{"TESSELO_SOCKET", dir.file("s")}};
  ProcessResult result = test::runProcess(test::cliPath(), {"claude-hook"}, options);
  hangUp.join();
  close(listener);
  EXPECT_EQ(result.status, 0) << "128 + 13 is SIGPIPE";
  EXPECT_EQ(result.out + result.err, "");
}

}  // namespace
}  // namespace tesselo

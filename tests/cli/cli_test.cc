// tesselo as users, scripts and Claude Code run it: rows of arguments,
// environment and what the application answers, against the exact request
// line it receives, every byte printed, the exit status, and every byte and
// mode the set-up commands leave on disk. Runs that could reach a fixed
// system location do so in a mount sandbox where it is a test folder.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "cli/request.h"
#include "cli/settings_file.h"
#include "support/json.h"
#include "support/socket_path.h"
#include "tests/cli/mount_sandbox.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

std::string shown(const test::ProcessResult& result) {
  return result.out + "|" + result.err + "|" + std::to_string(result.status);
}

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

// install-hooks in a private HOME: nothing of the user's may be lost,
// whatever the settings file holds.
const Args install = {"install-hooks"}, uninstall = {"install-hooks", "--uninstall"};
const std::string backupName = "settings.json.tesselo-backup";

// Every entry of a folder: its mode and its bytes, or where it links to.
Files state(const std::string& directory) {
  Files files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    struct stat info {};
    lstat(entry.path().c_str(), &info);
    files[entry.path().filename()] = entry.is_symlink() ? "-> " + fs::read_symlink(entry).string()
                                                        : std::to_string(info.st_mode & 0777) +
                                                              " " + test::readFile(entry.path());
  }
  return files;
}
const std::string privately = std::to_string(0600) + " ", asFound = std::to_string(0644) + " ";

std::string commandFor(const std::string& program) {
  return Json("'" + fs::canonical(program).string() + "' claude-hook").dump();
}

// Fragments written out here rather than taken from the code, so that a typo
// in a fixed value shows.
std::string expand(std::string text, const std::string& command = commandFor(test::cliPath())) {
  const std::pair<std::string, std::string> tokens[] = {
      {"@ownN",
       R"({"hooks":[@own],"matcher":"permission_prompt|elicitation_dialog|elicitation_url_dialog|agent_needs_input|agent_completed"})"},
      {"@own", R"({"type":"command","command":@cmd,"timeout":5})"},
      {"@old",
       R"({"type":"command","command":"'/old place/tesselo-cli' claude-hook","timeout":5})"},
      {"@foreign", R"({"type":"command","command":"afplay /System/Sounds/Glass.aiff"})"},
      {"@cmd", command}};
  for (const auto& [token, value] : tokens)
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at))
      text.replace(at, token.size(), value);
  return text;
}

// The written form (two-space indent, sorted keys, every "/" escaped) of a
// document, with our group appended to each of the five events when ours.
std::string written(const std::string& kept, bool ours,
                    const std::string& command = commandFor(test::cliPath())) {
  Json settings = Json::parse(expand(kept, command));
  for (const char* event : {"SessionStart", "UserPromptSubmit", "Stop", "SessionEnd"})
    if (ours)
      settings["hooks"][event].push_back(Json::parse(expand(R"({"hooks":[@own]})", command)));
  if (ours) settings["hooks"]["Notification"].push_back(Json::parse(expand("@ownN", command)));
  std::string text;
  for (char c : settings.dump(2)) text += c == '/' ? std::string("\\/") : std::string(1, c);
  return text;
}

class InstallHooks : public ::testing::Test {
 protected:
  std::string dir() const { return home.path() + "/.claude"; }
  std::string settings() const { return dir() + "/settings.json"; }
  std::string installed() const {
    return "installed tesselo hooks (SessionStart, UserPromptSubmit, Stop, Notification, "
           "SessionEnd) in " +
           settings() + "\nrestart running claude sessions to pick them up\n||0";
  }
  std::string removed() const { return "removed tesselo hooks from " + settings() + "\n||0"; }
  std::string refused(const std::string& why) const { return "|tesselo: " + why + "\n|1"; }

  // Standard output, standard error and the status.
  std::string run(const Args& args, const std::string& program = test::cliPath(),
                  const std::string& homeValue = "", const std::string& cwd = "") {
    test::ProcessOptions options;
    options.env["HOME"] = homeValue.empty() ? home.path() : homeValue;
    options.cwd = cwd;
    return shown(test::runProcess(program, args, options));
  }
  void writeSettings(const std::string& bytes) {
    fs::create_directories(dir());
    test::writeFile(settings(), bytes);
    fs::permissions(settings(), fs::perms(0644));
  }

  test::TempDir home;
};

// clang-format off
const char* const everything = R"json( {"permissions":{"allow":["Bash(ls:*)"],"deny":[]},
    "env":{"API_KEY":"sk-/x"},"model":"opus","ratio":1.5,"big":12345678901234,"neg":-3,
    "nil":null,"flag":false,"unicode":"é\u0000☃\t","hooks":{"PreToolUse":"x"}}
)json";

// The settings found, and what both install (before appending our groups)
// and uninstall leave of them.
const std::pair<const char*, const char*> mergeRows[] = {
  {"{}", "{}"},
  {everything, everything},
  {R"({"hooks":{"Stop":[{"hooks":[@old]}],"Notification":[{"hooks":[@old],"matcher":"x"}]}})", "{}"},
  {R"({"model":"opus","hooks":{"Stop":[{"hooks":[@own]}],"SessionStart":[{"hooks":[@old]}],"Notification":[@ownN]}})", R"({"model":"opus"})"},
  {R"({"hooks":{"Stop":[{"hooks":[@own]},{"hooks":[@foreign]}]}})", R"({"hooks":{"Stop":[{"hooks":[@foreign]}]}})"},
  {R"({"hooks":{"Notification":[{"matcher":"m","hooks":[@foreign,@old,{"command":"echo 2"}]},@ownN]}})",
   R"({"hooks":{"Notification":[{"matcher":"m","hooks":[@foreign,{"command":"echo 2"}]}]}})"},
  {R"({"hooks":{"Stop":[{"hooks":[]},{"hooks":[1,@own]},{"hooks":"x"},{"hooks":{"a":@own}},{"x":1}],"SessionEnd":[]}})",
   R"({"hooks":{"Stop":[{"hooks":[]},{"hooks":[1,@own]},{"hooks":"x"},{"hooks":{"a":@own}},{"x":1}]}})"},
  {R"({"hooks":{"PreToolUse":[{"hooks":[@own]}],"stop":[{"hooks":[@own]}],"Stop":[],"PostToolUse":[]}})",
   R"({"hooks":{"PreToolUse":[{"hooks":[@own]}],"stop":[{"hooks":[@own]}],"PostToolUse":[]}})"},
  // Ours: the command names both our file name and the relay's word.
  {R"({"hooks":{"SessionEnd":[{"hooks":[{"command":"tesselo-cli x"},{"command":"x claude-hook"},{"command":5},{"type":"command"},
     {"command":"Tesselo-CLI claude-hook"},{"command":"claude-hook; /x/tesselo-cli-2"}]}],"UserPromptSubmit":[{"hooks":[@own]}]}})",
   R"({"hooks":{"SessionEnd":[{"hooks":[{"command":"tesselo-cli x"},{"command":"x claude-hook"},{"command":5},{"type":"command"},
     {"command":"Tesselo-CLI claude-hook"}]}]}})"},
};

const char* const notJson[] = {"", "\n", "{", "[{}]", "null", "7", "{\"a\":1,}", "{} {}", "{'a':1}", "{\"a\":\"\xff\"}"};
// Refused after the backup, naming the first event refused in their order.
const std::pair<std::string, std::string> badShapes[] = {
  {R"({"hooks": []})", "hooks"}, {R"({"hooks": null})", "hooks"}, {R"({"hooks": "x"})", "hooks"},
  {R"({"hooks": {"SessionEnd": 1, "Stop": {}, "PreToolUse": 2}})", "hooks.Stop"},
  {R"({"hooks": {"SessionStart": [], "Notification": [3]}})", "hooks.Notification"},
  {R"({"hooks": {"Stop": [{}, 1], "SessionEnd": null}})", "hooks.Stop"},
  {R"({"hooks": {"Stop": [{}], "UserPromptSubmit": [null], "SessionStart": [{"hooks": []}]}})", "hooks.UserPromptSubmit"},
};
// clang-format on

TEST_F(InstallHooks, KeepsEverythingNotOursAndBacksUpTheFirstFileOnce) {
  for (const auto& [input, kept] : mergeRows) {
    SCOPED_TRACE(input);
    fs::remove_all(dir());
    std::string original = expand(input);
    writeSettings(original);
    Files backedUp = {{backupName, privately + original}};
    for (int twice = 0; twice < 2; ++twice) {
      EXPECT_EQ(run(install), installed());
      backedUp["settings.json"] = privately + written(kept, true);
      EXPECT_EQ(state(dir()), backedUp);
    }
    EXPECT_EQ(run(uninstall), removed());
    backedUp["settings.json"] = privately + written(kept, false);
    EXPECT_EQ(state(dir()), backedUp);
    writeSettings(original);
    EXPECT_EQ(run(uninstall), removed());
    EXPECT_EQ(state(dir()), backedUp);
  }
}

TEST_F(InstallHooks, RefusesWhatItCannotReadWhole) {
  std::vector<std::pair<std::string, std::string>> rows(std::begin(badShapes), std::end(badShapes));
  for (const char* input : notJson) rows.push_back({input, ""});
  for (const auto& [input, shape] : rows) {
    for (const Args& args : {install, uninstall}) {
      SCOPED_TRACE(input + " " + args.back());
      fs::remove_all(dir());
      writeSettings(input);
      EXPECT_EQ(run(args),
                refused(shape.empty() ? settings() + " is not valid JSON \xE2\x80\x94 fix it first"
                                      : shape + " in " + settings() + " has an unexpected shape"));
      Files left = {{"settings.json", asFound + input}};
      if (!shape.empty()) left[backupName] = privately + input;
      EXPECT_EQ(state(dir()), left);
    }
  }
  // Not a file that can be read whole: never replaced, and a FIFO never waited on.
  fs::remove_all(dir());
  fs::create_directories(settings());
  EXPECT_EQ(run(install), refused("cannot read " + settings() + ": Is a directory"));
  EXPECT_TRUE(fs::is_empty(settings()));
  fs::remove(settings());
  ASSERT_EQ(mkfifo((home.path() + "/fifo").c_str(), 0600), 0);
  fs::create_symlink("../fifo", settings());
  EXPECT_EQ(run(uninstall), refused("cannot read " + settings() + ": not a regular file"));
  fs::remove(settings());
  fs::create_symlink("settings.json", settings());
  EXPECT_EQ(run(install),
            refused("cannot read " + settings() + ": Too many levels of symbolic links"));
  EXPECT_EQ(state(dir()), (Files{{"settings.json", "-> settings.json"}}));
  // HOME a file: there is nothing to read, and nowhere to write.
  EXPECT_EQ(
      run(install, test::cliPath(), home.path() + "/fifo"),
      refused("cannot write " + home.path() + "/fifo/.claude/settings.json: Not a directory"));
}

TEST_F(InstallHooks, WithoutAFileUninstallCreatesNothingAndInstallOnlyTheFile) {
  EXPECT_EQ(run({"install-hooks", "stray", "--uninstall"}), "nothing to uninstall\n||0");
  EXPECT_FALSE(fs::exists(dir()));
  EXPECT_EQ(run(install), installed());
  EXPECT_EQ(state(dir()), (Files{{"settings.json", privately + written("{}", true)}}));
  // HOME is made absolute and plain, whatever its form; unset, the password
  // database names it.
  fs::path name = fs::path(home.path()).filename();
  EXPECT_EQ(run(install, test::cliPath(), "/" + home.path() + "/./"), installed());
  EXPECT_EQ(run(install, test::cliPath(), name, home.path() + "/.."), installed());
  for (std::optional<std::string> value :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    test::ScopedEnv unset("HOME", value);
    EXPECT_EQ(settingsFilePath(), passwordHomeDirectory() + "/.claude/settings.json");
  }
  test::ScopedEnv up("HOME", "/h/../b");
  EXPECT_EQ(settingsFilePath(), "/h/../b/.claude/settings.json");
}

TEST_F(InstallHooks, LinksStayAndTheFileTheyEndAtIsReplaced) {
  std::string dots = home.path() + "/dots";
  fs::create_directories(dots + "/claude");
  fs::create_directories(dir());
  test::writeFile(dots + "/claude/settings.json", R"({"model": "opus"})");
  fs::create_symlink("claude/settings.json", dots + "/current");
  fs::create_symlink("../dots/current", settings());
  fs::create_symlink(home.path() + "/elsewhere", dir() + "/" + backupName);  // a backup already
  EXPECT_EQ(run(install), installed());
  EXPECT_EQ(state(dots)["current"], "-> claude/settings.json");
  EXPECT_EQ(state(dots + "/claude"),
            (Files{{"settings.json", privately + written(R"({"model":"opus"})", true)}}));
  EXPECT_EQ(state(dir()), (Files{{"settings.json", "-> ../dots/current"},
                                 {backupName, "-> " + home.path() + "/elsewhere"}}));
  // A dangling link: nothing to back up; the file is made where it points.
  fs::remove_all(dir());
  fs::create_directories(dir());
  fs::create_symlink(dots + "/later.json", settings());
  EXPECT_EQ(run(install), installed());
  EXPECT_EQ(state(dots)["later.json"], privately + written("{}", true));
  EXPECT_EQ(state(dir()), (Files{{"settings.json", "-> " + dots + "/later.json"}}));
}

TEST_F(InstallHooks, FailedWriteLeavesTheOldFileAndAnyUmaskAPrivateOne) {
  writeSettings(R"({"env": {"KEY": "secret"}})");
  // Every write fails with EFBIG, its signal ignored.
  EXPECT_EQ(run({"-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" install-hooks", test::cliPath()},
                "/bin/sh"),
            refused("cannot write " + settings() + ": File too large"));
  EXPECT_EQ(state(dir()), (Files{{"settings.json", asFound + R"({"env": {"KEY": "secret"}})"}}));
  // Whatever the umask takes away, the files are the owner's to read and write.
  EXPECT_EQ(run({"-c", "umask 577; exec \"$0\" install-hooks", test::cliPath()}, "/bin/sh"),
            installed());
  EXPECT_EQ(state(dir()),
            (Files{{"settings.json", privately + written(R"({"env":{"KEY":"secret"}})", true)},
                   {backupName, privately + R"({"env": {"KEY": "secret"}})"}}));
}

// Hook commands name the resolved executable, shell-quoted; only a program
// named tesselo-cli recognises its own items.
TEST_F(InstallHooks, CommandNamesTheProgramQuoted) {
  test::TempDir place;
  for (std::string name : {"it's here/tesselo-cli", "tsl"}) {
    fs::create_directories(fs::path(place.file(name)).parent_path());
    fs::copy_file(test::cliPath(), place.file(name));
  }
  std::string quoted =
      Json("'" + fs::canonical(place.path()).string() + "/it'\\''s here/tesselo-cli' claude-hook")
          .dump();
  EXPECT_EQ(run(install, place.file("it's here/tesselo-cli")), installed());
  EXPECT_EQ(test::readFile(settings()), written("{}", true, quoted));
  EXPECT_EQ(run(install), installed());
  EXPECT_EQ(test::readFile(settings()), written("{}", true));
  EXPECT_EQ(run(install, place.file("tsl")), installed());
  EXPECT_EQ(run(uninstall, place.file("tsl")), removed());
  EXPECT_EQ(test::readFile(settings()), written("{}", true, commandFor(place.file("tsl"))));
}

// install-mcp and install-cli.
const std::string homebrew = "/opt/homebrew/bin", usrLocal = "/usr/local/bin";
const std::string homeBin = passwordHomeDirectory() + "/.local/bin";
const std::string typedInput = "typed at the terminal\n";
const std::string target = fs::canonical(test::cliPath()).string();
const std::string builtServer = fs::path(target).parent_path() / "tesselo-mcp";

std::string manual(const std::string& why, const std::string& server) {
  return "claude " + why + "; register manually:\n  claude mcp add tesselo --scope user -- " +
         server + "\n|";
}
void writeExecutable(const std::string& path, const std::string& text, mode_t mode = 0755) {
  fs::create_directories(fs::path(path).parent_path());
  test::writeFile(path, text);
  chmod(path.c_str(), mode);
}
#define SKIP_WITHOUT_SANDBOX()                          \
  if (!test::MountSandbox::unavailableReason().empty()) \
  GTEST_SKIP() << test::MountSandbox::unavailableReason()

enum Kind { exits0, exits1, exits255, killed, cannotStart, notExecutable, directory };
enum Program { built, spaced, throughLink, noServer };

struct McpRow {
  std::vector<std::pair<std::string, Kind>> claudes;
  Program program;
  std::string shown;
  std::string runs = "";  // where the claude that ran lies
};

TEST(InstallMcp, RunsTheFirstClaudeOfTheFixedLocations) {
  SKIP_WITHOUT_SANDBOX();
  test::TempDir dir;
  const std::string spacedDir = dir.file("with space/it's here");
  const std::string said = "claude says hello\n",
                    ok = said +
                         "registered tesselo MCP server with Claude Code\n|claude complains\n|0";
  const std::string failed = said + manual("mcp add failed", builtServer) + "claude complains\n|0";
  const std::string noMcp = "|tesselo: tesselo-mcp not found next to this binary\n|1";
  // clang-format off
  const McpRow rows[] = {
    {{{usrLocal, exits0}}, built, ok, usrLocal},
    {{{homebrew, exits1}}, built, failed, homebrew},
    {{{homebrew, exits255}}, built, failed, homebrew},
    {{{homebrew, killed}}, built, failed, homebrew},
    {{{homebrew, cannotStart}}, built, manual("mcp add failed", builtServer) + "|0"},
    {{{homeBin, exits0}, {usrLocal, exits0}, {homebrew, exits0}}, built, ok, homebrew},
    {{{homeBin, exits0}, {usrLocal, exits1}}, built, failed, usrLocal},
    {{{homeBin, exits0}}, built, ok, homeBin},
    {{{homebrew, notExecutable}, {usrLocal, exits0}}, built, ok, usrLocal},
    {{{homebrew, directory}, {homeBin, exits0}}, built, ok, homeBin},
    {{}, built, manual("not found on PATH", builtServer) + "|0"},
    {{}, spaced, manual("not found on PATH", spacedDir + "/tesselo-mcp") + "|0"},
    {{}, throughLink, manual("not found on PATH", builtServer) + "|0"},
    {{{usrLocal, exits0}}, noServer, noMcp},
  };
  // clang-format on
  const std::string programs[] = {test::cliPath(), spacedDir + "/tesselo-cli",
                                  dir.file("links/tesselo"), dir.file("none/tesselo-cli")};
  for (int copy : {spaced, noServer}) {
    fs::create_directories(fs::path(programs[copy]).parent_path());
    fs::copy_file(test::cliPath(), programs[copy]);
  }
  fs::create_directories(dir.file("links"));
  fs::create_symlink(test::cliPath(), programs[throughLink]);
  writeExecutable(spacedDir + "/tesselo-mcp", "#!/bin/sh\n");
  // Neither PATH nor HOME is searched: a claude there is never run.
  writeExecutable(dir.file("decoy/.local/bin/claude"), "#!/bin/sh\necho decoy ran\n");
  writeExecutable(dir.file("decoy/claude"), "#!/bin/sh\necho decoy ran\n");
  const char* endings[] = {"exit 0", "exit 1", "exit 255", "kill -KILL $$"};
  for (const McpRow& row : rows) {
    test::MountSandbox sandbox;
    test::TempDir records;
    std::map<std::string, std::string> standIn;
    for (const std::string& location : {homebrew, usrLocal, homeBin}) {
      auto folder = sandbox.cover(location);
      if (!folder) GTEST_SKIP() << "cannot cover " << location;
      standIn[location] = *folder + "/claude";
    }
    for (const auto& [location, kind] : row.claudes) {
      std::string claude = standIn[location];
      if (kind <= killed)
        writeExecutable(claude, "#!/bin/sh\n{ printf '%s\\n' \"$0\" \"$#\" \"$@\"; cat; } > " +
                                    records.file("run") + "\necho 'claude says hello'\n" +
                                    "echo 'claude complains' >&2\n" + endings[kind] + "\n");
      if (kind == cannotStart) writeExecutable(claude, "#!/nonexistent/interpreter\n");
      if (kind == notExecutable) writeExecutable(claude, "", 0644);
      if (kind == directory) fs::create_directory(claude);
    }
    test::ProcessOptions options;
    options.input = typedInput;
    options.env = {{"HOME", dir.file("decoy")}, {"PATH", dir.file("decoy") + ":/usr/bin:/bin"}};
    SCOPED_TRACE(programs[row.program] + " with a claude at " + row.runs);
    EXPECT_EQ(shown(sandbox.run(programs[row.program], {"install-mcp", "extra", "--prefix", "x"},
                                options)),
              row.shown);
    // The claude that ran got exactly the seven arguments, and the terminal.
    std::string ran = row.runs + "/claude\n7\nmcp\nadd\ntesselo\n--scope\nuser\n--\n" +
                      builtServer + "\n" + typedInput;
    EXPECT_EQ(fs::exists(records.file("run")) ? test::readFile(records.file("run")) : "",
              row.runs.empty() ? "" : ran);
  }
}

std::string linked(const std::string& link) {
  return "linked " + link + " -> " + target + "\n||0";
}
std::string cannot(const std::string& what, const std::string& path, int error) {
  std::string hint = what == "create" ? "mkdir -p " + path : "ln -sf " + target + " " + path;
  return "|tesselo: cannot " + what + " " + path + ": " + std::strerror(error) + "\n  try: sudo " +
         hint + "\n|1";
}

TEST(InstallCli, LinksTheResolvedExecutableOverAFileOrLinkNeverADirectory) {
  test::TempDir dir;
  std::string d = dir.path(), unknown = "~no-such-user-for-tesselo/bin";
  for (std::string folder : {"/tesselo/inner", "/old", "/was dangling", "/kept", "/to dir"})
    fs::create_directories(d + folder);
  test::writeFile(d + "/file", "");
  test::writeFile(d + "/tesselo/inner/notes", "user data");
  test::writeFile(d + "/old/tesselo", "old tesselo");
  test::writeFile(d + "/kept/file", "keep me");
  fs::create_symlink(d + "/nowhere", d + "/dangling");
  fs::create_symlink(d + "/nothing", d + "/was dangling/tesselo");
  fs::create_directory_symlink(d + "/kept", d + "/to dir/tesselo");
  // clang-format off
  const std::pair<Args, std::string> rows[] = {
    {{"--prefix", d + "/made/on/the/way", "ignored"}, linked(d + "/made/on/the/way/tesselo")},
    {{"--prefix", unknown}, linked(unknown + "/tesselo")},  // not a home: a relative path
    {{"--prefix", d + "/old"}, linked(d + "/old/tesselo")},
    {{"--prefix", d + "/was dangling"}, linked(d + "/was dangling/tesselo")},
    {{"--prefix", d + "/to dir"}, linked(d + "/to dir/tesselo")},
    {{"--prefix", d + "/file/sub"}, cannot("create", d + "/file/sub", ENOTDIR)},
    {{"--prefix", d + "/dangling"}, cannot("create", d + "/dangling", EEXIST)},
    {{"--prefix", d + "/file"}, cannot("link", d + "/file/tesselo", ENOTDIR)},
    {{"--prefix", d}, cannot("link", d + "/tesselo", EEXIST)},
  };
  // clang-format on
  for (const auto& [args, expected] : rows) {
    test::ProcessOptions options;
    options.cwd = d;
    Args words = args;
    words.insert(words.begin(), "install-cli");
    EXPECT_EQ(shown(test::runProcess(test::cliPath(), words, options)), expected) << args[1];
    if (expected.starts_with("linked")) {
      EXPECT_EQ(fs::read_symlink(fs::path(d) / args[1] / "tesselo"), target);
    }
  }
  EXPECT_EQ(test::readFile(d + "/kept/file") + test::readFile(d + "/tesselo/inner/notes"),
            "keep meuser data");
  EXPECT_FALSE(fs::exists(d + "/nowhere"));
  // Folders made on the way are as open as the umask lets any folder be.
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(fs::status(d + "/made/on").permissions(), fs::perms(0777 & ~mask));
  // Run through the link it made, it makes the same link again.
  EXPECT_EQ(shown(test::runProcess(d + "/old/tesselo", {"install-cli", "--prefix", d + "/old"})),
            linked(d + "/old/tesselo"));
  EXPECT_EQ(fs::read_symlink(d + "/old/tesselo"), target);
}

// "~" is the password database's home, never HOME; the default is
// /usr/local/bin.
TEST(InstallCli, TildeAndTheDefaultInASandbox) {
  SKIP_WITHOUT_SANDBOX();
  const std::string userHome = passwordHomeDirectory();
  const std::pair<Args, std::string> rows[] = {
      {{"--prefix", "~/bin"}, userHome + "/bin/tesselo"},
      {{"--prefix", "~" + std::string(getpwuid(getuid())->pw_name) + "/bin"},
       userHome + "/bin/tesselo"},
      {{"--prefix", "~"}, userHome + "/tesselo"},
      {{}, usrLocal + "/tesselo"},
      {{"--prefix"}, usrLocal + "/tesselo"},
      {{"read-only"}, cannot("link", usrLocal + "/tesselo", EROFS)},
      {{"read-only", "--prefix", usrLocal + "/sub"}, cannot("create", usrLocal + "/sub", EROFS)},
  };
  for (const auto& [args, link] : rows) {
    SCOPED_TRACE(link);
    bool readOnly = !args.empty() && args[0] == "read-only";
    test::MountSandbox sandbox;
    auto homeStandIn = readOnly ? std::optional<std::string>("") : sandbox.cover(userHome);
    auto binStandIn = sandbox.cover(usrLocal, readOnly);
    if (!homeStandIn || !binStandIn) GTEST_SKIP() << "cannot cover " << userHome;
    Args words(args.begin() + readOnly, args.end());
    words.insert(words.begin(), "install-cli");
    test::TempDir decoy;
    test::ProcessOptions options;
    options.env["HOME"] = decoy.path();
    EXPECT_EQ(shown(sandbox.run(test::cliPath(), words, options)), readOnly ? link : linked(link));
    EXPECT_TRUE(fs::is_empty(decoy.path()));
    if (readOnly) continue;
    std::string inside = link.starts_with(usrLocal) ? *binStandIn + link.substr(usrLocal.size())
                                                    : *homeStandIn + link.substr(userHome.size());
    EXPECT_EQ(fs::read_symlink(inside), target);
  }
}

}  // namespace
}  // namespace tesselo

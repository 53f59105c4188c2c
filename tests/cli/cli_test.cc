// tesselo as users, scripts, shells completing it and Claude Code run it. Each
// row is a shell line run with HOME a fresh folder ("@" in every string), "$T"
// the built program, "$P" a folder of copies of it and an application at
// TESSELO_SOCKET ("%") answering `reply`; then the one request line it got,
// every byte printed, the exit status and, byte for byte and mode for mode,
// every entry the line made, changed or removed under HOME.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "cli/request.h"
#include "cli/self_path.h"
#include "support/json.h"
#include "support/socket_path.h"
#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;
using test::ProcessResult;
using Pair = std::pair<const char*, const char*>;

struct Row {
  std::string command;
  Files before;       // bytes (mode 0644, 0755 after "#!"), "/" a folder, "|" a FIFO, "-> x" a link
  std::string shown;  // standard output|standard error|status
  Files changed = {};        // files and links made, changed ("MODE bytes", "-> x") or "gone"
  std::string reply = "";    // bytes as they stand, or hangs
  std::string request = "";  // the line the application receives; empty: it is never reached
  std::string input = "";
};
Row ask(const std::string& command, const std::string& reply, const std::string& request,
        const std::string& shown) {
  return {command, {}, shown, {}, reply, request};
}

const std::string T = "\"$T\" ", hangs = "(never answers)", hangsUp = "(hangs up unread)";
const std::string S = ".claude/settings.json", B = ".claude/settings.json.tesselo-backup";
std::string line(const std::string& json) {
  return json + "\n";
}
std::string refused(const std::string& why) {
  return "|tesselo: " + why + "\n|1";
}
std::string unreachable(const std::string& path) {
  return refused("cannot reach Tesselo at " + path + " \xe2\x80\x94 is the app running?");
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
  std::string words;
  for (char c = 'a'; c < 'a' + 16; ++c) words += (words.empty() ? "" : " ") + std::string(65536, c);
  std::vector<Row> rows = {
    ask(T, "", "", "usage: tesselo <list|read|send|split|new|wait|notify|install-cli\n"
                   "                |install-hooks|install-mcp|claude-hook> [options]\n||0"),
    ask(T + "List x", "", "", refused("unknown command List")),
    ask(T + "list extra", Json::parse(tree).dump() + "\n", R"({"method":"list"})", treeText + "||0"),
    ask(T + "list", line(R"({"terminals":[{"id":"a"},1]})"), R"({"method":"list"})", "||0"),
    ask(T + "read --panel ab12cd34 --lines 12", line(R"({"text":""})"), R"({"lines":12,"method":"read","panel":"ab12cd34"})", "\n||0"),
    ask(T + "read --lines", line(R"({"text":5})"), R"({"method":"read"})", "\n||0"),
    ask(T + "read --lines --panel p", line("{}"), R"({"method":"read","panel":"p"})", "\n||0"),
    ask(T + "read", line(R"({"text":"first"})") + line(R"({"text":"second"})"), R"({"method":"read"})", "first\n||0"),
    ask(T + "read", line(R"({"text":"caf\u00e9\t\u2713 \ud83d\ude00 \"q\" \\"})"), R"({"method":"read"})", "caf\xc3\xa9\t\xe2\x9c\x93 \xf0\x9f\x98\x80 \"q\" \\\n||0"),
    ask(T + "read", line(R"({"error":"no such pane","text":"t"})"), R"({"method":"read"})", refused("no such pane")),
    ask(T + "send --raw '' x ''", line("{}"), R"({"method":"send","text":" x "})", "||0"),
    ask(T + "send hello --panel", line("{}"), R"({"method":"send","text":"hello --panel\n"})", "||0"),
    ask(T + "send --panel --raw hi", line("{}"), R"({"method":"send","panel":"--raw","text":"hi\n"})", "||0"),
    ask(T + "send --raw --raw x", line("{}"), R"({"method":"send","text":"--raw x"})", "||0"),
    ask(T + "send x --panel p1 y", line("{}"), R"({"method":"send","panel":"p1","text":"x y\n"})", "||0"),
    ask(T + "send 'caf\xc3\xa9\t\"q\" \\'", line("{}"), R"({"method":"send","text":"café\t\"q\" \\\n"})", "||0"),
    ask(T + "send x", line(R"({"error":"pane closed"})"), R"({"method":"send","text":"x\n"})", refused("pane closed")),
    ask(T + "split --down --terminal t1", line("{}"), R"({"direction":"down","method":"split","terminal":"t1"})", "\n||0"),
    ask(T + "split", line(R"({"error":3,"panel":"p1"})"), R"({"direction":"right","method":"split"})", "p1\n||0"),
    ask(T + "new --worktree --space s --cwd rel/dir --command 'a b'", line(R"({"branch":"b","worktree":"/w t","panel":"p4"})"),
     R"({"command":"a b","cwd":"rel/dir","method":"new","space":"s","worktree":true})", "b\t/w t\np4\n||0"),
    ask(T + "new", line(R"({"branch":"b","worktree":1,"panel":"p5"})"), R"({"method":"new"})", "p5\n||0"),
    ask(T + "new", line(R"({"branch":"b","worktree":"/w"})"), R"({"method":"new"})", "b\t/w\n\n||0"),
    ask(T + "wait --until idle --panel p", line(R"({"state":"idle","timeout":false})"), R"({"method":"wait","panel":"p","until":"idle"})", "idle\n||0"),
    ask(T + "wait --until --timeout 3", line("{}"), R"({"method":"wait","until":"--timeout"})", "unknown\n||0"),
    ask(T + "wait", line(R"({"timeout":true,"state":"working"})"), R"({"method":"wait"})", "working\n|tesselo: timeout\n|2"),
    ask(T + "wait", line(R"({"timeout":"true","state":1})"), R"({"method":"wait"})", "unknown\n||0"),
    ask(T + "notify", line(R"({"error":"no terminal"})"), R"({"method":"notify"})", refused("no terminal")),
    // The socket: TESSELO_SOCKET, else XDG_DATA_HOME when absolute, else HOME,
    // else the password database; a path too long for the address is refused.
    ask("TESSELO_SOCKET= XDG_DATA_HOME=relative " + T + "list", "", "", unreachable("@/.local/share/tesselo/control.sock")),
    ask("unset TESSELO_SOCKET; XDG_DATA_HOME=@/data " + T + "notify", "", "", unreachable("@/data/tesselo/control.sock")),
    ask("unset TESSELO_SOCKET XDG_DATA_HOME; HOME= " + T + "list", "", "", unreachable(passwordHomeDirectory() + "/.local/share/tesselo/control.sock")),
    // The application listens at the longest path the address holds; one
    // byte more would be cut to name another socket, so it is not tried.
    ask("TESSELO_SOCKET=%b " + T + "notify", "", "", unreachable("%b")),
    // A mebibyte typed, as sixteen words: one argument holds at most 128 KiB.
    ask("for c in a b c d e f g h i j k l m n o p; do set -- $* \"$(head -c 65536 /dev/zero | tr '\\0' $c)\"; done; " + T + "send --raw $*",
     line("{}"), Json({{"method", "send"}, {"text", words}}).dump(), "||0"),
  };
  for (const char* bytes : {"", "{}", "[1]\n", "ok\n", "\n", "{\"a\":\"\xff\"}\n"})
    rows.push_back(ask(T + "split", bytes, R"({"direction":"right","method":"split"})", refused("no response")));
  for (const char* args : {"send", "send --panel p", "send --raw --panel p"})
    rows.push_back(ask(T + args, "", "", refused("send needs text")));
  // What is not a whole number within int64 gives the default of 40.
  for (auto [text, value] : std::initializer_list<Pair>{{"+7", "7"}, {"-3", "-3"}, {"007", "7"}, {"", "40"},
       {"9223372036854775807", "9223372036854775807"}, {"-9223372036854775808", "-9223372036854775808"},
       {"9223372036854775808", "40"}, {"-9223372036854775809", "40"}, {"+", "40"}, {"+-5", "40"}, {" 5", "40"}, {"5 ", "40"}})
    rows.push_back(ask(T + "read --lines '" + text + "'", line("{}"), std::string(R"({"lines":)") + value + R"(,"method":"read"})", "\n||0"));
  // What strtod reads whole and finite, else the default of 300 seconds.
  for (auto [text, value] : std::initializer_list<Pair>{{"2.5", "2.5"}, {"-4", "-4.0"}, {"0x10", "16.0"}, {"5", "5.0"},
       {"5s", "300.0"}, {"", "300.0"}, {" 5", "300.0"}, {"5 ", "300.0"}, {"inf", "300.0"}, {"1e999", "300.0"}})
    rows.push_back(ask(T + "wait --timeout '" + text + "'", line("{}"), std::string(R"({"method":"wait","timeout":)") + value + "}", "unknown\n||0"));
  // Either side of the length where the line feed goes out in a write of its
  // own, and a screen far larger than any buffer.
  for (size_t size : {65536, 65537, 64 << 20}) {
    std::string text(size, 'x');
    for (size_t i = 999; i < size; i += 1000) text[i] = '\n';
    rows.push_back(ask(T + "read", Json({{"text", text}}).dump() + "\n", R"({"method":"read"})", text + "\n||0"));
  }
  return rows;
}

// The relay run by Claude Code: never a word, always status 0; at most one
// request, whatever the event, the pane variable or the application's answer.
Row hook(const std::string& input, const std::string& request, const std::string& env = "",
         const std::string& reply = line("{}")) {
  return {env + T + "claude-hook --panel x", {}, "||0", {}, reply, request, input};
}
const std::string stop = R"({"agent":"claude","event":"Stop","method":"agent-event"})";

const Row relayRows[] = {
  hook("", ""), hook("null", ""), hook(R"([{"hook_event_name":"Stop"}])", ""), hook(R"({"hook_event_name":3})", ""),
  hook(R"({"hook_event_name":"Stop","agent_id":null})", "", "TESSELO_PANE_ID=p "), hook("{\"hook_event_name\":\"St\xff\"}", ""),
  hook(R"({"hook_event_name":"Stop"})", stop),
  hook(R"({"hook_event_name":"Notification","session_id":"s1","cwd":"/w d","message":"m\n","notification_type":"permission_prompt","transcript_path":"/t","tool_name":"x","source":"s"})",
       R"({"agent":"claude","cwd":"/w d","detail":"permission_prompt","event":"Notification","message":"m\n","method":"agent-event","panel":"9f3e21aa","session":"s1"})", "TESSELO_PANE_ID=9f3e21aa "),
  hook(R"({"hook_event_name":"SessionStart","notification_type":7,"source":"resume"})",
       R"({"agent":"claude","detail":"resume","event":"SessionStart","method":"agent-event","panel":""})", "TESSELO_PANE_ID= "),
  hook(R"({"hook_event_name":"SessionStart","notification_type":null,"source":["x"],"session_id":12,"cwd":{},"message":false})",
       R"({"agent":"claude","event":"SessionStart","method":"agent-event"})"),
  hook(R"({"hook_event_name":"","method":"send","agent":"x","panel":"p","detail":"d","event":"e","session":"s"})",
       R"({"agent":"claude","event":"","method":"agent-event"})"),
  hook(R"({"hook_event_name":"Stop"})", R"({"agent":"claude","event":"Stop","method":"agent-event","panel":"p"})", "TESSELO_PANE_ID=p ", ""),
  hook(R"({"hook_event_name":"Stop"})", stop, "", line(R"({"error":"no such panel"})")),
  hook(R"({"hook_event_name":"Stop"})", stop, "", hangs),
  hook(R"({"hook_event_name":"Stop"})", "", "TESSELO_SOCKET=@/absent ", ""),
  // Far larger than the socket buffer: the hang-up comes while the relay
  // still writes, and must not kill it with SIGPIPE.
  hook(R"({"hook_event_name":"Stop","message":")" + std::string(8 << 20, 'm') + "\"}", "", "", hangsUp),
};

// Shell completion in bash, zsh and fish: command words, options, and the
// ids `list` shows, looked up with one list request and nothing else; none
// when the application does not answer with a listing. The last terminal's
// ids are shell syntax, which no shell may run or insert.
const std::string listing = Json::parse(R"json({"terminals":[{"id":"3f9a01bc5e6d","title":"build","state":"idle","panels":[
    {"id":"77c2d410aa","process":"zsh"},{"id":"a1b2c3d4ff","process":"node","agent":"claude","state":"working"}]},
    {"id":"9e8d7c6b","title":"notes two","panels":[{"id":"a1f0e9d8","process":"vim"}]},
    {"id":"$(pwd)","title":"odd","panels":[{"id":"`pwd`","process":"sh"}]}]})json").dump() + "\n";
struct Completion {
  std::vector<std::string> words;  // the last one is being completed
  std::string candidates;          // sorted, space-separated
  std::string reply = listing;
  std::string shell = "";  // only in this shell
};

const Completion completionRows[] = {
  {{""}, "claude-hook install-cli install-hooks install-mcp list new notify read send split wait"},
  {{"install-"}, "install-cli install-hooks install-mcp"},
  {{"read", "--"}, "--lines --panel"}, {{"send", "--"}, "--panel --raw"}, {{"split", "--"}, "--down --terminal"},
  {{"new", "--"}, "--command --cwd --space --worktree"}, {{"wait", "--"}, "--panel --timeout --until"},
  {{"install-hooks", "--"}, "--uninstall"}, {{"install-cli", "--"}, "--prefix"},
  {{"list", "--"}, ""}, {{"notify", "--"}, ""}, {{"claude-hook", "--"}, ""}, {{"install-mcp", "--"}, ""}, {{"--help", "--"}, ""},
  {{"wait", "--until", ""}, "blocked idle working"},
  {{"read", "--panel", ""}, "77c2d410 a1b2c3d4 a1f0e9d8"},
  {{"wait", "--panel", "a1"}, "a1b2c3d4 a1f0e9d8"},
  {{"split", "--terminal", ""}, "3f9a01bc 9e8d7c6b"},
  {{"read", "--panel", ""}, "", ""},
  // bash offers a command's options on an empty word unless the command types
  // its arguments, never an option already given, and gives up on a hung
  // application.
  {{"split", ""}, "--down --terminal", "", "bash"},
  {{"read", "--panel", "77c2d410", "--"}, "--lines", "", "bash"},
  {{"new", "--worktree", "--cwd", "x", "--"}, "--command --space", "", "bash"},
  {{"send", "hello", ""}, "", "", "bash"},
  {{"read", "--panel", ""}, "", hangs, "bash"},
};
// clang-format on

// Each shell completes the program's name and the words; the rows alternate
// between the program's two names, both on PATH. bash calls the function
// registered for the name as bash would with the cursor at the end; zsh,
// which completes only in its line editor, is typed the line and a tab on a
// pseudo-terminal by a driver.
const char* const bashCompletes = R"(source "$1" && shift
  [[ $(complete -p "$1") == "complete -F _tesselo $1" ]] || exit
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
  _tesselo "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | sort)";

void addShellRows(std::vector<Row>& rows) {
  int count = 0;
  for (std::string shell : {"bash", "zsh", "fish"})
    for (const Completion& c : completionRows) {
      if (!c.shell.empty() && c.shell != shell) continue;
      std::string name = count++ % 2 ? "tesselo-cli" : "tesselo", typed = name, words;
      for (const std::string& word : c.words) {
        typed.append(" ").append(word);
        words.append(" ").append(shellQuoted(word));
      }
      std::string option = c.words.size() > 1 ? c.words[c.words.size() - 2] : "";
      Row row{"", {}, c.candidates.empty() ? "||0" : c.candidates + "\n||0", {}, c.reply};
      std::replace(row.shown.begin(), row.shown.end(), ' ', '\n');
      if (shell == "bash")
        row.command += "bash --norc -c \"$BASH_COMPLETES\" _ \"$C/tesselo.bash\" " + name + words;
      if (shell == "zsh")
        row.command += "zsh -f \"$C/../tests/cli/zsh_complete.zsh\" \"$C\" " + shellQuoted(typed);
      if (shell == "fish")
        row.command +=
            "fish -c 'source $argv[1]; and complete -C $argv[2] | cut -f1 | sort' "
            "\"$C/tesselo.fish\" " +
            shellQuoted(typed);
      if (option == "--panel" || option == "--terminal") row.request = R"({"method":"list"})";
      rows.push_back(row);
    }
}

const std::string usrLocal = "/usr/local/bin", homebrew = "/opt/homebrew/bin";
const std::string userHome = passwordHomeDirectory(), homeBin = userHome + "/.local/bin";
const std::string target = fs::canonical(test::cliPath()).string();
const std::string builtServer = fs::path(target).parent_path() / "tesselo-mcp";

const std::string& place() {
  static test::TempDir copies;
  static const std::string path = [] {
    fs::create_directories(copies.file("it's here"));
    for (const char* name : {"it's here/tesselo-cli", "tsl"})
      fs::copy_file(test::cliPath(), copies.file(name));
    test::writeFile(copies.file("it's here/tesselo-mcp"), "#!/bin/sh\n");
    chmod(copies.file("it's here/tesselo-mcp").c_str(), 0755);
    fs::create_symlink(test::cliPath(), copies.file("tesselo"));
    return fs::canonical(copies.path()).string();
  }();
  return path;
}

// Every entry but folders, by its path under root; the covers of fixed
// locations by those locations.
Files list(const std::string& root) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat info {};
    lstat(entry.path().c_str(), &info);
    std::string name = entry.path().string().substr(root.size() + 1);
    if (name.starts_with("fixed/")) name.erase(0, 5);
    char mode[8];
    snprintf(mode, sizeof mode, "%o ", info.st_mode & 0777);
    if (S_ISLNK(info.st_mode))
      files[name] = "-> " + fs::read_symlink(entry.path()).string();
    else if (S_ISFIFO(info.st_mode))
      files[name] = "|";
    else if (!S_ISDIR(info.st_mode))
      files[name] = mode + test::readFile(entry.path());
  }
  return files;
}

class Cli : public ::testing::Test {
 protected:
  Cli() {
    fs::create_directories(dir.file("bin"));
    for (const char* name : {"tesselo", "tesselo-cli"})
      fs::create_symlink(test::cliPath(), dir.file("bin/") + name);
  }

  // Each answer is sent whole, and again one byte per read when it is short.
  void check(const Row& row, bool fixed = false) {
    SCOPED_TRACE(row.command.substr(0, 200) + " given " + row.input.substr(0, 200) + " answered " +
                 row.reply.substr(0, 80) +
                 (row.before.contains(S) ? " on " + row.before.at(S) : ""));
    for (bool trickle : {false, true}) {
      if (trickle && (row.reply.size() > 4096 || row.reply == hangs || row.request.empty())) break;
      SCOPED_TRACE(trickle ? "one byte per read" : "answered whole");
      app.answerDefault({.bytes = row.reply,
                         .hang = row.reply == hangs,
                         .byteByByte = trickle,
                         .hangUp = row.reply == hangsUp});
      size_t before = app.requestLines().size();
      run(row, fixed);
      std::vector<std::string> lines = app.requestLines();
      ASSERT_EQ(lines.size(), before + !row.request.empty());
      EXPECT_TRUE(row.request.empty() || lines.back() == row.request)
          << lines.back().substr(0, 300);
    }
  }

  // Rows marked fixed run in a private mount namespace where /usr/local/bin,
  // /opt/homebrew/bin and the password database's home are covered by folders
  // of the row's own, named here by those paths.
  void run(const Row& row, bool fixed) {
    test::TempDir home;
    // "@" stands for the row's home, "%" for the application's socket.
    auto at = [&](std::string text) {
      for (size_t mark = 0; (mark = text.find_first_of("@%", mark)) != std::string::npos;) {
        const std::string& value = text[mark] == '@' ? home.path() : app.path();
        text.replace(mark, 1, value);
        mark += value.size();
      }
      return text;
    };
    std::string script = "umask 022\n";
    for (const std::string& location : {usrLocal, homebrew, userHome}) {
      if (!fixed) break;
      fs::path point = location;
      while (!fs::is_directory(point)) point = point.parent_path();
      for (std::string own : {fs::canonical(test::buildDir()).string(), home.path(), dir.path()})
        if ((own + "/").starts_with(point.string() + "/") || point == "/")
          GTEST_SKIP() << "covering " << point << " would hide the test's own files";
      fs::create_directories(home.file("fixed" + location));
      script += "mount --bind " + shellQuoted(home.file("fixed" + point.string())) + " " +
                shellQuoted(point.string()) + "\n";
    }
    for (const auto& [name, content] : row.before) {
      std::string path = home.file((name[0] == '/' ? "fixed" : "") + at(name)), bytes = at(content);
      fs::create_directories(fs::path(path).parent_path());
      if (bytes == "/")
        fs::create_directory(path);
      else if (bytes == "|")
        mkfifo(path.c_str(), 0644);
      else if (bytes.starts_with("-> "))
        fs::create_symlink(bytes.substr(3), path);
      else {
        test::writeFile(path, bytes);
        chmod(path.c_str(), bytes.starts_with("#!") ? 0755 : 0644);
      }
    }
    Files before = list(home.path()), expected;
    test::ProcessOptions options;
    // Both program names on PATH, and nothing of the user's for the shells.
    options.env = {{"HOME", home.path()},
                   {"T", test::cliPath()},
                   {"P", place()},
                   {"LC_ALL", "C"},
                   {"PATH", dir.file("bin") + ":/usr/bin:/bin"},
                   {"C", TESSELO_SOURCE_DIR "/completions"},
                   {"XDG_CONFIG_HOME", at("@/.config")},
                   {"XDG_DATA_HOME", at("@/.local/share")},
                   {"XDG_DATA_DIRS", home.path()},
                   {"BASH_COMPLETES", bashCompletes},
                   {"TESSELO_SOCKET", app.path()},
                   {"TESSELO_PANE_ID", std::nullopt}};
    options.cwd = home.path();
    options.input = row.input;
    script += at(row.command);
    std::vector<std::string> args = {"-c", script};
    if (fixed) args.insert(args.begin(), {"-m", "--propagation", "private", "/bin/sh"});
    ProcessResult result = test::runProcess(fixed ? "/usr/bin/unshare" : "/bin/sh", args, options);
    // Whole screens compared without printing them.
    std::string shown = result.out + "|" + result.err + "|" + std::to_string(result.status);
    EXPECT_EQ(shown.substr(0, 4096), at(row.shown).substr(0, 4096));
    EXPECT_TRUE(shown == at(row.shown));
    Files changed = list(home.path());
    for (const auto& [name, entry] : before)
      if (!changed.contains(name))
        changed[name] = "gone";
      else if (changed[name] == entry)
        changed.erase(name);
    for (const auto& [name, entry] : row.changed) expected[at(name)] = at(entry);
    EXPECT_EQ(changed, expected);
  }

  test::TempDir dir;
  test::FakeApp app{
      dir.file(std::string(sizeof(sockaddr_un::sun_path) - 2 - dir.path().size(), 's'))};
};

// install-hooks: nothing of the user's may be lost, whatever the settings
// file holds.
std::string installed(const std::string& home = "@") {
  return "installed tesselo hooks (SessionStart, UserPromptSubmit, Stop, Notification, "
         "SessionEnd) in " +
         home + "/.claude/settings.json\nrestart running claude sessions to pick them up\n";
}
const std::string removed = "removed tesselo hooks from @/.claude/settings.json\n";
std::string mine(const std::string& bytes) {
  return "600 " + bytes;
}

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

const std::string secret = R"({"env": {"KEY": "secret"}})", opus = R"({"model": "opus"})";
const std::string quoted = Json("'" + place() + "/it'\\''s here/tesselo-cli' claude-hook").dump();

std::vector<Row> hookRows() {
  std::vector<Row> rows = {
    {"\"$T\" install-hooks stray --uninstall; ls -A", {}, "nothing to uninstall\n||0"},
    {"\"$T\" install-hooks", {}, installed() + "||0", {{S, mine(written("{}", true))}}},
    // HOME is made absolute and plain, whatever its form.
    {"HOME=/@/./ \"$T\" install-hooks", {{S, "{}"}}, installed() + "||0", {{S, mine(written("{}", true))}, {B, mine("{}")}}},
    {"HOME=${PWD##*/}; cd ..; \"$T\" install-hooks", {}, installed() + "||0", {{S, mine(written("{}", true))}}},
    // ".." is kept: through a link it need not name the folder above.
    {"HOME=@/sub/.. \"$T\" install-hooks", {{"sub", "-> dots/in"}, {"dots/in/f", ""}}, installed("@/sub/..") + "||0", {{"dots/" + S, mine(written("{}", true))}}},
    // Not a file that can be read whole: never replaced, and a FIFO never waited on.
    {"\"$T\" install-hooks", {{S, "/"}}, refused("cannot read @/" + S + ": Is a directory")},
    {"\"$T\" install-hooks --uninstall", {{"fifo", "|"}, {S, "-> ../fifo"}}, refused("cannot read @/" + S + ": not a regular file")},
    {"\"$T\" install-hooks", {{S, "-> settings.json"}}, refused("cannot read @/" + S + ": Too many levels of symbolic links")},
    {"HOME=@/fifo \"$T\" install-hooks", {{"fifo", "|"}}, refused("cannot write @/fifo/" + S + ": Not a directory")},
    // Links stay, and the file they end at is replaced; a backup already
    // there (even a link) is kept; a dangling link's file is made.
    {"\"$T\" install-hooks", {{"dots/claude/settings.json", opus}, {"dots/current", "-> claude/settings.json"}, {S, "-> ../dots/current"}, {B, "-> @/elsewhere"}},
     installed() + "||0", {{"dots/claude/settings.json", mine(written(R"({"model":"opus"})", true))}}},
    {"\"$T\" install-hooks", {{S, "-> @/dots/later.json"}, {"dots", "/"}}, installed() + "||0", {{"dots/later.json", mine(written("{}", true))}}},
    // Every write fails with EFBIG, its signal ignored: the old file stays.
    {"trap '' XFSZ; ulimit -f 0; \"$T\" install-hooks", {{S, secret}}, refused("cannot write @/" + S + ": File too large")},
    // Whatever the umask takes away, the files are the owner's to read and write.
    {"umask 577; \"$T\" install-hooks", {{S, secret}}, installed() + "||0", {{S, mine(written(R"({"env":{"KEY":"secret"}})", true))}, {B, mine(secret)}}},
    // Hook commands name the resolved executable, shell-quoted; only a
    // program named tesselo-cli recognises its own items.
    {"\"$P/it's here/tesselo-cli\" install-hooks", {}, installed() + "||0", {{S, mine(written("{}", true, quoted))}}},
    {"\"$T\" install-hooks", {{S, written("{}", true, quoted)}}, installed() + "||0", {{S, mine(written("{}", true))}, {B, mine(written("{}", true, quoted))}}},
    {"\"$P/tsl\" install-hooks && \"$P/tsl\" install-hooks --uninstall", {{S, written("{}", true)}}, installed() + removed + "||0",
     {{S, mine(written("{}", true, commandFor(place() + "/tsl")))}, {B, mine(written("{}", true))}}},
  };
  // Installed twice, the first file is backed up once; uninstalled, whether
  // installed before or not, only our groups go.
  for (const auto& [input, kept] : mergeRows) {
    std::string found = expand(input), ours = written(kept, true);
    rows.push_back({"\"$T\" install-hooks", {{S, found}}, installed() + "||0", {{S, mine(ours)}, {B, mine(found)}}});
    rows.push_back({"\"$T\" install-hooks", {{S, ours}, {B, found}}, installed() + "||0", {{S, mine(ours)}}});
    rows.push_back({"\"$T\" install-hooks --uninstall", {{S, ours}, {B, found}}, removed + "||0", {{S, mine(written(kept, false))}}});
    rows.push_back({"\"$T\" install-hooks --uninstall", {{S, found}}, removed + "||0", {{S, mine(written(kept, false))}, {B, mine(found)}}});
  }
  for (const char* input : notJson)
    for (const char* args : {"", " --uninstall"})
      rows.push_back({"\"$T\" install-hooks" + std::string(args), {{S, input}}, refused("@/" + S + " is not valid JSON \xE2\x80\x94 fix it first")});
  for (const auto& [input, shape] : badShapes)
    for (const char* args : {"", " --uninstall"})
      rows.push_back({"\"$T\" install-hooks" + std::string(args), {{S, input}}, refused(shape + " in @/" + S + " has an unexpected shape"), {{B, mine(input)}}});
  return rows;
}

// install-cli: the resolved executable linked over a file or a link, never
// into a folder.
std::string linked(const std::string& link) {
  return "linked " + link + " -> " + target + "\n||0";
}
std::string cannot(const std::string& what, const std::string& path, int error) {
  std::string hint = what == "create" ? "mkdir -p " + path : "ln -sf " + target + " " + path;
  return "|tesselo: cannot " + what + " " + path + ": " + std::strerror(error) + "\n  try: sudo " + hint + "\n|1";
}
const std::string link = "-> " + target, cli = "\"$T\" install-cli --prefix ";

const Row cliRows[] = {
  {cli + "@/made/on/the/way ignored", {}, linked("@/made/on/the/way/tesselo"), {{"made/on/the/way/tesselo", link}}},
  {cli + "'~no-such-user-for-tesselo/bin'", {}, linked("~no-such-user-for-tesselo/bin/tesselo"), {{"~no-such-user-for-tesselo/bin/tesselo", link}}},
  {cli + "@/old", {{"old/tesselo", "old tesselo"}}, linked("@/old/tesselo"), {{"old/tesselo", link}}},
  {cli + "'@/was dangling'", {{"was dangling/tesselo", "-> @/nothing"}}, linked("@/was dangling/tesselo"), {{"was dangling/tesselo", link}}},
  {cli + "'@/to dir'", {{"kept/file", "keep me"}, {"to dir/tesselo", "-> @/kept"}}, linked("@/to dir/tesselo"), {{"to dir/tesselo", link}}},
  {cli + "@/file/sub", {{"file", ""}}, cannot("create", "@/file/sub", ENOTDIR)},
  {cli + "@/dangling", {{"dangling", "-> @/nowhere"}}, cannot("create", "@/dangling", EEXIST)},
  {cli + "@/file", {{"file", ""}}, cannot("link", "@/file/tesselo", ENOTDIR)},
  {cli + "@", {{"tesselo/inner/notes", "user data"}}, cannot("link", "@/tesselo", EEXIST)},
  // Run through the link it made, it makes the same link again.
  {"@/old/tesselo install-cli --prefix @/old", {{"old/tesselo", link}}, linked("@/old/tesselo")},
  // Folders made on the way are as open as the umask lets any folder be.
  {"umask 027; " + cli + "@/m/n >/dev/null; ls -ld @/m | cut -c1-10", {}, "drwxr-x---\n||0", {{"m/n/tesselo", link}}},
};

// Runs at fixed locations: "~" is the password database's home, never HOME;
// claude is looked for only where it is installed, never on PATH or in HOME.
std::string ran(const std::string& folder, const std::string& server = builtServer) {
  return "644 " + folder + "/claude\n7\nmcp\nadd\ntesselo\n--scope\nuser\n--\n" + server + "\ntyped at the terminal\n";
}
std::string claude(const std::string& ending) {
  return "#!/bin/sh\n{ echo \"$0\"; echo $#; for a; do echo \"$a\"; done; cat; } > @/ran\n"
         "echo 'claude says hello'; echo 'claude complains' >&2; " + ending + "\n";
}
std::string manual(const std::string& why, const std::string& server = builtServer) {
  return "claude " + why + "; register manually:\n  claude mcp add tesselo --scope user -- " + server + "\n|";
}
const std::string mcp = "echo typed at the terminal | PATH=@:$PATH \"$T\" install-mcp extra --prefix x", said = "claude says hello\n";
const std::string ok = said + "registered tesselo MCP server with Claude Code\n|claude complains\n|0";
const std::string failed = said + manual("mcp add failed") + "claude complains\n|0";
const std::string decoy = "#!/bin/sh\necho decoy ran\n";

const Row fixedRows[] = {
  // Unset or empty, HOME gives way to the password database.
  {"unset HOME; \"$T\" install-hooks", {}, installed(userHome) + "||0", {{userHome + "/" + S, mine(written("{}", true))}}},
  {"HOME= \"$T\" install-hooks", {}, installed(userHome) + "||0", {{userHome + "/" + S, mine(written("{}", true))}}},
  {"\"$T\" install-cli --prefix '~/bin'", {}, linked(userHome + "/bin/tesselo"), {{userHome + "/bin/tesselo", link}}},
  {"\"$T\" install-cli --prefix \"~$(id -un)/bin\"", {}, linked(userHome + "/bin/tesselo"), {{userHome + "/bin/tesselo", link}}},
  {"\"$T\" install-cli --prefix '~'", {}, linked(userHome + "/tesselo"), {{userHome + "/tesselo", link}}},
  {"\"$T\" install-cli", {}, linked(usrLocal + "/tesselo"), {{usrLocal + "/tesselo", link}}},
  {"mount -o remount,bind,ro " + usrLocal + " && \"$T\" install-cli", {}, cannot("link", usrLocal + "/tesselo", EROFS)},
  {"mount -o remount,bind,ro " + usrLocal + " && " + cli + usrLocal + "/sub", {}, cannot("create", usrLocal + "/sub", EROFS)},
  {mcp, {{"claude", decoy}, {".local/bin/claude", decoy}, {usrLocal + "/claude", claude("exit 0")}}, ok, {{"ran", ran(usrLocal)}}},
  {mcp, {{homebrew + "/claude", claude("exit 1")}}, failed, {{"ran", ran(homebrew)}}},
  {mcp, {{homeBin + "/claude", claude("exit 0")}, {usrLocal + "/claude", claude("exit 0")}, {homebrew + "/claude", claude("exit 0")}}, ok, {{"ran", ran(homebrew)}}},
  {mcp, {{homeBin + "/claude", claude("exit 0")}, {usrLocal + "/claude", claude("exit 1")}}, failed, {{"ran", ran(usrLocal)}}},
  {mcp, {{homebrew + "/claude", ""}, {usrLocal + "/claude", claude("exit 0")}}, ok, {{"ran", ran(usrLocal)}}},
  {mcp, {{homebrew + "/claude", "/"}, {homeBin + "/claude", claude("exit 0")}}, ok, {{"ran", ran(homeBin)}}},
  {mcp, {{"claude", decoy}, {".local/bin/claude", decoy}}, manual("not found on PATH") + "|0"},
  {"\"$P/it's here/tesselo-cli\" install-mcp", {}, manual("not found on PATH", place() + "/it's here/tesselo-mcp") + "|0"},
  {"\"$P/tesselo\" install-mcp", {}, manual("not found on PATH") + "|0"},
  {"\"$P/tsl\" install-mcp", {{usrLocal + "/claude", claude("exit 0")}}, "|tesselo: tesselo-mcp not found next to this binary\n|1"},
};
// clang-format on

TEST_F(Cli, EveryRow) {
  std::vector<Row> rows = paneRows(), hooks = hookRows();
  rows.insert(rows.end(), std::begin(relayRows), std::end(relayRows));
  addShellRows(rows);
  rows.insert(rows.end(), hooks.begin(), hooks.end());
  rows.insert(rows.end(), std::begin(cliRows), std::end(cliRows));
  for (const Row& row : rows) check(row);
}

TEST_F(Cli, AtFixedLocations) {
  if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
    GTEST_SKIP() << "a private mount namespace needs root and unshare(1)";
  for (const Row& row : fixedRows) check(row, true);
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

}  // namespace
}  // namespace tesselo

// Shell completion from the installed tree, loaded the way each shell finds
// it for both names of the program, against a fake application: command
// words, options, and the pane and terminal ids that `tesselo list` shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/fake_app.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::FakeApp;
using test::ProcessResult;
using Words = std::vector<std::string>;

const std::string share = std::string(TESSELO_PREFIX) + "/share";
const char* const searchPath = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin";

std::string findProgram(const std::string& name) {
  std::istringstream dirs(searchPath);
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return {};
}

// Candidates one per line, descriptions (after a tab) dropped, sorted.
Words candidates(const std::string& out) {
  Words words;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) words.push_back(line.substr(0, line.find('\t')));
  std::sort(words.begin(), words.end());
  return words;
}

// Ids longer than 8 characters: completion must offer what `list` shows. The
// last terminal's ids are shell syntax, which no shell may run or insert.
Json listing() {
  return Json::parse(
      R"json({"terminals":[{"id":"3f9a01bc5e6d","title":"build","state":"idle","panels":[
    {"id":"77c2d410aa","process":"zsh"},{"id":"a1b2c3d4ff","process":"node","agent":"claude","state":"working"}]},
    {"id":"9e8d7c6b","title":"notes two","panels":[{"id":"a1f0e9d8","process":"vim"}]},
    {"id":"$(pwd)","title":"odd","panels":[{"id":"`pwd`","process":"sh"}]}]})json");
}

// Completes the program's name followed by the words, the last one being
// completed: bash through the function that bash-completion's loader
// registers, called as bash would with the cursor at the end; fish by its own
// completer; and zsh, which completes only in its line editor, by a driver
// that types the line and a tab into an interactive zsh on a pseudo-terminal.
ProcessResult complete(const std::string& shell, const std::string& name, const Words& words,
                       const test::ProcessOptions& options) {
  std::string line = name;
  for (const std::string& word : words) line += " " + word;
  Words args = {"-f", std::string(TESSELO_SOURCE_DIR) + "/tests/install/zsh_complete.zsh",
                share + "/zsh/site-functions", line};
  if (shell == "fish") args = {"-c", "complete -C $argv[1]", line};
  if (shell == "bash") {
    args = {"--norc", "--noprofile", "-c", R"(
      for main in {/usr,/opt/homebrew,/usr/local}/share/bash-completion/bash_completion; do
        [[ -f $main ]] && break
      done
      source "$main" || exit
      _completion_loader "$1"  # 124: found, complete again
      [[ $(complete -p "$1") == "complete -F _tesselo $1" ]] || { complete -p "$1"; exit 1; } >&2
      COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
      _tesselo "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}")", "_", name};
    args.insert(args.end(), words.begin(), words.end());
  }
  return test::runProcess(findProgram(shell), args, options);
}

// A private home, and the installed tree first on every search path.
test::ProcessOptions shellOptions(const test::TempDir& dir, const std::string& socket) {
  test::ProcessOptions options;
  options.env = {{"PATH", std::string(TESSELO_PREFIX) + "/bin:" + searchPath},
                 {"HOME", dir.path()},
                 {"XDG_CONFIG_HOME", dir.file(".config")},
                 {"XDG_DATA_HOME", dir.file(".local/share")},
                 {"XDG_DATA_DIRS", share + ":/usr/share"},
                 {"TESSELO_SOCKET", socket}};
  return options;
}

class Completion : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (findProgram(GetParam()).empty()) GTEST_SKIP() << GetParam() << " is not installed";
  }
  test::TempDir dir;
  FakeApp app{dir.file("s")};
};

struct Case {
  Words words, expected;
  std::string reply = listing().dump() + "\n";  // what `tesselo list` gets, or hangs
  const char* shell = "";                       // only in this shell
};
const std::string hangs = "(never answers)", nobody = "(nobody listens)";

// clang-format off
const Case cases[] = {
  {{""}, {"claude-hook", "install-cli", "install-hooks", "install-mcp", "list", "new", "notify", "read", "send", "split", "wait"}},
  {{"install-"}, {"install-cli", "install-hooks", "install-mcp"}},
  {{"read", "--"}, {"--lines", "--panel"}},
  {{"send", "--"}, {"--panel", "--raw"}},
  {{"split", "--"}, {"--down", "--terminal"}},
  {{"new", "--"}, {"--command", "--cwd", "--space", "--worktree"}},
  {{"wait", "--"}, {"--panel", "--timeout", "--until"}},
  {{"install-hooks", "--"}, {"--uninstall"}},
  {{"install-cli", "--"}, {"--prefix"}},
  {{"list", "--"}, {}}, {{"notify", "--"}, {}}, {{"claude-hook", "--"}, {}}, {{"install-mcp", "--"}, {}}, {{"--help", "--"}, {}},
  {{"wait", "--until", ""}, {"blocked", "idle", "working"}},
  // Ids as `tesselo list` shows them, from the application.
  {{"read", "--panel", ""}, {"77c2d410", "a1b2c3d4", "a1f0e9d8"}},
  {{"wait", "--panel", "a1"}, {"a1b2c3d4", "a1f0e9d8"}},
  {{"send", "--raw", "--panel", "a1b"}, {"a1b2c3d4"}},
  {{"split", "--terminal", ""}, {"3f9a01bc", "9e8d7c6b"}},
  {{"split", "--terminal", "9"}, {"9e8d7c6b"}},
  // Nothing when the application does not answer with a listing.
  {{"read", "--panel", ""}, {}, ""},
  {{"split", "--terminal", ""}, {}, R"({"error":"not now"})" "\n"},
  {{"read", "--panel", ""}, {}, R"({"terminals":[]})" "\n"},
  {{"split", "--terminal", ""}, {}, nobody},
  // bash offers a command's options on an empty word unless the command types
  // its arguments, never an option already given, and gives up on a hung
  // application.
  {{"split", ""}, {"--down", "--terminal"}, "", "bash"},
  {{"read", "--panel", "77c2d410", "--"}, {"--lines"}, "", "bash"},
  {{"new", "--worktree", "--cwd", "x", "--"}, {"--command", "--space"}, "", "bash"},
  {{"send", ""}, {}, "", "bash"},
  {{"send", "hello", ""}, {}, "", "bash"},
  {{"read", "--panel", ""}, {}, hangs, "bash"},
};
// clang-format on

TEST_P(Completion, CommandWordsOptionsAndIds) {
  for (const Case& c : cases) {
    if (*c.shell && c.shell != GetParam()) continue;
    std::string line;
    for (const std::string& word : c.words) line += " " + word;
    // Rows alternate between the program's two names.
    std::string name = (&c - cases) % 2 ? "tesselo-cli" : "tesselo";
    SCOPED_TRACE(name + line + " answered " + c.reply);
    test::Reply reply;
    reply.bytes = c.reply;
    reply.hang = c.reply == hangs;
    app.answerDefault(reply);
    size_t before = app.requestLines().size();
    ProcessResult result =
        complete(GetParam(), name, c.words,
                 shellOptions(dir, c.reply == nobody ? dir.file("x") : app.path()));
    EXPECT_EQ(result.err + std::to_string(result.status), "0");
    EXPECT_EQ(candidates(result.out), c.expected);
    // Ids are looked up with one list request; nothing else asks the application.
    std::string option = c.words.size() > 1 ? c.words[c.words.size() - 2] : "";
    bool lookup = (option == "--panel" || option == "--terminal") && c.reply != nobody;
    std::vector<std::string> requests = app.requestLines();
    EXPECT_EQ(std::vector<std::string>(requests.begin() + before, requests.end()),
              std::vector<std::string>(lookup, R"({"method":"list"})"));
  }
}

INSTANTIATE_TEST_SUITE_P(Shells, Completion, ::testing::Values("bash", "zsh", "fish"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tesselo

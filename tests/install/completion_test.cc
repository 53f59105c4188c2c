// Shell completion of tesselo against a fake application: command words,
// options, and the pane and terminal ids that `tesselo list` shows.
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

const std::string completions = std::string(TESSELO_SOURCE_DIR) + "/completions";
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
  return {{"terminals",
           Json::array({{{"id", "3f9a01bc5e6d"},
                         {"title", "build"},
                         {"state", "idle"},
                         {"panels", Json::array({{{"id", "77c2d410aa"}, {"process", "zsh"}},
                                                 {{"id", "a1b2c3d4ff"},
                                                  {"process", "node"},
                                                  {"agent", "claude"},
                                                  {"state", "working"}}})}},
                        {{"id", "9e8d7c6b"},
                         {"title", "notes two"},
                         {"panels", Json::array({{{"id", "a1f0e9d8"}, {"process", "vim"}}})}},
                        {{"id", "$(pwd)"},
                         {"title", "odd"},
                         {"panels", Json::array({{{"id", "`pwd`"}, {"process", "sh"}}})}}})}};
}

// Completes `tesselo` followed by the words, the last one being completed,
// the way bash calls a completion function with the cursor at the end.
ProcessResult bashCompletion(const Words& words, const test::ProcessOptions& options) {
  Words args = {"--norc", "--noprofile", "-c", R"(
    source "$1" && shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
    _tesselo "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}")", "_", completions + "/tesselo.bash", "tesselo"};
  args.insert(args.end(), words.begin(), words.end());
  return test::runProcess(findProgram("bash"), args, options);
}

ProcessResult fishCompletion(const Words& words, const test::ProcessOptions& options) {
  std::string line = "tesselo";
  for (const std::string& word : words) line += " " + word;
  return test::runProcess(
      findProgram("fish"),
      {"-c", "source $argv[1]; and complete -C $argv[2]", completions + "/tesselo.fish", line},
      options);
}

// zsh completes only inside its line editor, so a driver types the line and
// a tab into an interactive zsh on a pseudo-terminal.
ProcessResult zshCompletion(const Words& words, const test::ProcessOptions& options) {
  std::string line = "tesselo";
  for (const std::string& word : words) line += " " + word;
  return test::runProcess(
      findProgram("zsh"),
      {"-f", std::string(TESSELO_SOURCE_DIR) + "/tests/install/zsh_complete.zsh", completions,
       line},
      options);
}

// A private home, and a search path on which `tesselo` is the built program.
struct Sandbox {
  Sandbox() {
    std::filesystem::create_directories(dir.file("bin"));
    std::filesystem::create_directories(dir.file("home"));
    std::filesystem::create_symlink(test::cliPath(), dir.file("bin/tesselo"));
  }

  test::ProcessOptions options(const std::string& socket) const {
    test::ProcessOptions options;
    options.env = {{"PATH", dir.file("bin") + ":" + searchPath},
                   {"HOME", dir.file("home")},
                   {"XDG_CONFIG_HOME", dir.file("home/.config")},
                   {"XDG_DATA_HOME", dir.file("home/.local/share")},
                   {"TESSELO_SOCKET", socket}};
    return options;
  }

  test::TempDir dir;
};

const Words commandWords = {"claude-hook", "install-cli", "install-hooks", "install-mcp",
                            "list",        "new",         "notify",        "read",
                            "send",        "split",       "wait"};

class Completion : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (findProgram(GetParam()).empty()) GTEST_SKIP() << GetParam() << " is not installed";
    app.answer("list", test::jsonReply(listing()));
  }

  // Completes `tesselo` followed by the words, the last one being completed.
  ProcessResult complete(const Words& words) {
    test::ProcessOptions options = sandbox.options(socket);
    if (GetParam() == "bash") return bashCompletion(words, options);
    if (GetParam() == "zsh") return zshCompletion(words, options);
    return fishCompletion(words, options);
  }

  Words completed(const Words& words) {
    ProcessResult result = complete(words);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return candidates(result.out);
  }

  Sandbox sandbox;
  FakeApp app{sandbox.dir.file("s")};
  std::string socket = app.path();
};

TEST_P(Completion, CommandWordsAndOptions) {
  struct Case {
    Words words;
    Words expected;
  } cases[] = {
      {{""}, commandWords},
      {{"install-"}, {"install-cli", "install-hooks", "install-mcp"}},
      {{"read", "--"}, {"--lines", "--panel"}},
      {{"send", "--"}, {"--panel", "--raw"}},
      {{"split", "--"}, {"--down", "--terminal"}},
      {{"new", "--"}, {"--command", "--cwd", "--space", "--worktree"}},
      {{"wait", "--"}, {"--panel", "--timeout", "--until"}},
      {{"install-hooks", "--"}, {"--uninstall"}},
      {{"install-cli", "--"}, {"--prefix"}},
      {{"list", "--"}, {}},
      {{"notify", "--"}, {}},
      {{"claude-hook", "--"}, {}},
      {{"install-mcp", "--"}, {}},
      {{"--help", "--"}, {}},
      {{"wait", "--until", ""}, {"blocked", "idle", "working"}},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& word : c.words) line += " " + word;
    EXPECT_EQ(completed(c.words), c.expected) << "tesselo" << line;
  }
  // Options and the command word never need the application.
  EXPECT_EQ(app.connections(), 0);
}

TEST_P(Completion, PaneAndTerminalIdsFromTheApplication) {
  struct Case {
    Words words;
    Words expected;
  } cases[] = {
      {{"read", "--panel", ""}, {"77c2d410", "a1b2c3d4", "a1f0e9d8"}},
      {{"wait", "--panel", "a1"}, {"a1b2c3d4", "a1f0e9d8"}},
      {{"send", "--raw", "--panel", "a1b"}, {"a1b2c3d4"}},
      {{"split", "--terminal", ""}, {"3f9a01bc", "9e8d7c6b"}},
      {{"split", "--terminal", "9"}, {"9e8d7c6b"}},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& word : c.words) line += " " + word;
    EXPECT_EQ(completed(c.words), c.expected) << "tesselo" << line;
  }
  ASSERT_EQ(app.requestLines().size(), std::size(cases));
  EXPECT_EQ(*parseJson(app.requestLines()[0]), Json({{"method", "list"}}));
}

TEST_P(Completion, NothingWhenTheApplicationDoesNotAnswer) {
  app.answer("list", test::Reply{});  // closes without a word
  EXPECT_EQ(completed({"read", "--panel", ""}), Words{});
  app.answer("list", test::jsonReply({{"error", "not now"}}));
  EXPECT_EQ(completed({"split", "--terminal", ""}), Words{});
  socket = sandbox.dir.file("nobody");
  EXPECT_EQ(completed({"read", "--panel", ""}), Words{});
}

TEST_P(Completion, NothingFromAnEmptyListing) {
  app.answer("list", test::jsonReply({{"terminals", Json::array()}}));
  EXPECT_EQ(completed({"read", "--panel", ""}), Words{});
  EXPECT_EQ(completed({"split", "--terminal", ""}), Words{});
}

INSTANTIATE_TEST_SUITE_P(Shells, Completion, ::testing::Values("bash", "zsh", "fish"),
                         [](const auto& info) { return info.param; });

// bash offers a command's options on an empty word unless the command types
// its arguments, and never an option that is already given.
TEST(BashCompletion, OffersOnlyOptionsNotGiven) {
  Sandbox sandbox;
  struct Case {
    Words words;
    Words expected;
  } cases[] = {
      {{"split", ""}, {"--down", "--terminal"}},
      {{"read", "--panel", "77c2d410", "--"}, {"--lines"}},
      {{"new", "--worktree", "--cwd", "x", "--"}, {"--command", "--space"}},
      {{"send", ""}, {}},
      {{"send", "hello", ""}, {}},
      {{"send", "--"}, {"--panel", "--raw"}},
  };
  for (const Case& c : cases) {
    ProcessResult result = bashCompletion(c.words, sandbox.options(sandbox.dir.file("nobody")));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(candidates(result.out), c.expected) << c.words.back();
  }
}

// A hung application must not hang the shell: the lookup gives up quietly.
TEST(BashCompletion, GivesUpOnAnApplicationThatNeverAnswers) {
  if (findProgram("timeout").empty()) GTEST_SKIP() << "no timeout program";
  Sandbox sandbox;
  FakeApp app{sandbox.dir.file("s")};
  test::Reply hang;
  hang.hang = true;
  app.answerDefault(hang);
  ProcessResult result = bashCompletion({"read", "--panel", ""}, sandbox.options(app.path()));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(app.connections(), 1);
}

}  // namespace
}  // namespace tesselo

// tesselo install-hooks as a user runs it in a private HOME: every line it
// prints, its exit status, and every byte of the settings file and backup it
// leaves. Nothing of the user's may be lost, whatever the file holds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "cli/settings_file.h"
#include "support/json.h"
#include "support/socket_path.h"
#include "tests/common/process_runner.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::readFile;
using test::writeFile;
using Args = std::vector<std::string>;

const Args install = {"install-hooks"}, uninstall = {"install-hooks", "--uninstall"};

mode_t modeOf(const std::string& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info.st_mode & 07777;
}

std::set<std::string> entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory))
    names.insert(entry.path().filename().string());
  return names;
}

std::string commandFor(const std::string& program) {
  return "'" + fs::canonical(program).string() + "' claude-hook";
}

// Fragments written out here rather than taken from the code, so that a typo
// in a fixed value shows.
std::string expand(std::string text, const std::string& command = commandFor(test::cliPath())) {
  const std::pair<std::string, std::string> tokens[] = {
      {"@ownN",
       R"({"hooks":[@own],"matcher":"permission_prompt|elicitation_dialog|elicitation_url_dialog|agent_needs_input|agent_completed"})"},
      {"@ownGroup", R"({"hooks":[@own]})"},
      {"@own", R"({"type":"command","command":@cmd,"timeout":5})"},
      {"@old",
       R"({"type":"command","command":"'/old place/tesselo-cli' claude-hook","timeout":5})"},
      {"@foreign", R"({"type":"command","command":"afplay /System/Sounds/Glass.aiff"})"},
      {"@cmd", Json(command).dump()}};
  for (const auto& [token, value] : tokens)
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at))
      text.replace(at, token.size(), value);
  return text;
}

Json doc(const std::string& text, const std::string& command = commandFor(test::cliPath())) {
  return Json::parse(expand(text, command));
}

// The document with our group appended to each of the five events.
Json withOwnGroups(Json settings, const std::string& command = commandFor(test::cliPath())) {
  for (const char* event : {"SessionStart", "UserPromptSubmit", "Stop", "SessionEnd"})
    settings["hooks"][event].push_back(doc("@ownGroup", command));
  settings["hooks"]["Notification"].push_back(doc("@ownN", command));
  return settings;
}

// The written form: two-space indent, sorted keys, every "/" escaped.
std::string written(const Json& settings) {
  std::string text;
  for (char c : settings.dump(2)) text += c == '/' ? std::string("\\/") : std::string(1, c);
  return text;
}

class InstallHooks : public ::testing::Test {
 protected:
  std::string dir() const { return home.path() + "/.claude"; }
  std::string settings() const { return dir() + "/settings.json"; }
  std::string backup() const { return settings() + ".tesselo-backup"; }
  std::string installed() const {
    return "installed tesselo hooks (SessionStart, UserPromptSubmit, Stop, Notification, "
           "SessionEnd) in " +
           settings() + "\nrestart running claude sessions to pick them up\n";
  }
  std::string removed() const { return "removed tesselo hooks from " + settings() + "\n"; }

  ProcessResult run(const Args& args, const std::string& program = test::cliPath()) {
    test::ProcessOptions options;
    options.env["HOME"] = home.path();
    return test::runProcess(program, args, options);
  }
  void expectRun(const Args& args, const std::string& out, const std::string& err = "",
                 int status = 0, const std::string& program = test::cliPath()) {
    ProcessResult result = run(args, program);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.status, status);
  }
  void writeSettings(const std::string& bytes) {
    fs::create_directories(dir());
    writeFile(settings(), bytes);
    chmod(settings().c_str(), 0644);
  }
  void expectSettings(const Json& expected, const std::string& backupBytes) {
    EXPECT_EQ(readFile(settings()), written(expected));
    EXPECT_EQ(modeOf(settings()), 0600u);
    EXPECT_EQ(readFile(backup()), backupBytes);
    EXPECT_EQ(modeOf(backup()), 0600u);
    EXPECT_EQ(entries(dir()),
              (std::set<std::string>{"settings.json", "settings.json.tesselo-backup"}));
  }

  test::TempDir home;
};

// clang-format off
const char* const everything = R"json( {"permissions":{"allow":["Bash(ls:*)"],"deny":[]},
    "env":{"API_KEY":"sk-/x"},"model":"opus","ratio":1.5,"big":12345678901234,"neg":-3,
    "nil":null,"flag":false,"unicode":"é\u0000☃\t","hooks":{"PreToolUse":"x"}}
)json";

// The settings found; what install leaves before our groups are appended;
// what uninstall leaves, alone or after install.
const struct { const char* input; const char* installed; const char* uninstalled; } mergeRows[] = {
  {"{}", "{}", "{}"},
  {everything, everything, everything},
  {R"({"hooks":{"Stop":[{"hooks":[@old]}],"Notification":[{"hooks":[@old],"matcher":"x"}]}})", "{}", "{}"},
  {R"({"model":"opus","hooks":{"Stop":[{"hooks":[@own]}],"SessionStart":[{"hooks":[@old]}],"Notification":[@ownN]}})",
   R"({"model":"opus"})", R"({"model":"opus"})"},
  {R"({"hooks":{"Stop":[{"hooks":[@own]},{"hooks":[@foreign]}]}})", R"({"hooks":{"Stop":[{"hooks":[@foreign]}]}})",
   R"({"hooks":{"Stop":[{"hooks":[@foreign]}]}})"},
  {R"({"hooks":{"Notification":[{"matcher":"m","hooks":[@foreign,@old,{"command":"echo 2"}]},@ownN]}})",
   R"({"hooks":{"Notification":[{"matcher":"m","hooks":[@foreign,{"command":"echo 2"}]}]}})",
   R"({"hooks":{"Notification":[{"matcher":"m","hooks":[@foreign,{"command":"echo 2"}]}]}})"},
  {R"({"hooks":{"Stop":[{"hooks":[]},{"matcher":"x","extra":[1,2]}],"SessionEnd":[]}})",
   R"({"hooks":{"Stop":[{"hooks":[]},{"matcher":"x","extra":[1,2]}]}})", R"({"hooks":{"Stop":[{"hooks":[]},{"matcher":"x","extra":[1,2]}]}})"},
  {R"({"hooks":{"PreToolUse":[{"hooks":[@own]}],"stop":[{"hooks":[@own]}],"Stop":[],"PostToolUse":[]}})",
   R"({"hooks":{"PreToolUse":[{"hooks":[@own]}],"stop":[{"hooks":[@own]}],"PostToolUse":[]}})",
   R"({"hooks":{"PreToolUse":[{"hooks":[@own]}],"stop":[{"hooks":[@own]}],"PostToolUse":[]}})"},
  {R"({"hooks":{"Stop":[{"hooks":[1,@own]},{"hooks":"x"},{"hooks":{"a":@own}}]}})",
   R"({"hooks":{"Stop":[{"hooks":[1,@own]},{"hooks":"x"},{"hooks":{"a":@own}}]}})",
   R"({"hooks":{"Stop":[{"hooks":[1,@own]},{"hooks":"x"},{"hooks":{"a":@own}}]}})"},
  // Ours: the command names both our file name and the relay's word.
  {R"({"hooks":{"SessionEnd":[{"hooks":[{"command":"tesselo-cli x"},{"command":"x claude-hook"},{"command":5},
     {"type":"command"},{"command":"Tesselo-CLI claude-hook"},{"command":"claude-hook; /x/tesselo-cli-2"}]}]}})",
   R"({"hooks":{"SessionEnd":[{"hooks":[{"command":"tesselo-cli x"},{"command":"x claude-hook"},{"command":5},
     {"type":"command"},{"command":"Tesselo-CLI claude-hook"}]}]}})",
   R"({"hooks":{"SessionEnd":[{"hooks":[{"command":"tesselo-cli x"},{"command":"x claude-hook"},{"command":5},
     {"type":"command"},{"command":"Tesselo-CLI claude-hook"}]}]}})"},
  {R"({"a":1,"hooks":{"UserPromptSubmit":[{"hooks":[@own]}],"SessionStart":[{"hooks":[@foreign]}]}})",
   R"({"a":1,"hooks":{"SessionStart":[{"hooks":[@foreign]}]}})", R"({"a":1,"hooks":{"SessionStart":[{"hooks":[@foreign]}]}})"},
};

// Refused, in both modes, with the file left as it was; a document that parses
// is backed up first.
const struct { std::string input; std::string message; } refusedRows[] = {
  {"", "@ is not valid JSON \xE2\x80\x94 fix it first"}, {"\n", "@ is not valid JSON \xE2\x80\x94 fix it first"},
  {"{", "@ is not valid JSON \xE2\x80\x94 fix it first"}, {"[{}]", "@ is not valid JSON \xE2\x80\x94 fix it first"},
  {"null", "@ is not valid JSON \xE2\x80\x94 fix it first"}, {"7", "@ is not valid JSON \xE2\x80\x94 fix it first"},
  {"{\"a\":1,}", "@ is not valid JSON \xE2\x80\x94 fix it first"}, {"{} {}", "@ is not valid JSON \xE2\x80\x94 fix it first"},
  {"{'a':1}", "@ is not valid JSON \xE2\x80\x94 fix it first"}, {"{\"a\":\"\xff\"}", "@ is not valid JSON \xE2\x80\x94 fix it first"},
  {R"({"hooks": []})", "hooks in @ has an unexpected shape"}, {R"({"hooks": null})", "hooks in @ has an unexpected shape"},
  {R"({"hooks": "x"})", "hooks in @ has an unexpected shape"},
  {R"({"hooks": {"SessionEnd": 1, "Stop": {}, "PreToolUse": 2}})", "hooks.Stop in @ has an unexpected shape"},
  {R"({"hooks": {"SessionStart": [], "Notification": [3]}})", "hooks.Notification in @ has an unexpected shape"},
  {R"({"hooks": {"Stop": [{}, 1], "SessionEnd": null}})", "hooks.Stop in @ has an unexpected shape"},
  {R"({"hooks": {"Stop": [{}], "UserPromptSubmit": [null], "SessionStart": [{"hooks": []}]}})",
   "hooks.UserPromptSubmit in @ has an unexpected shape"},
};
// clang-format on

TEST_F(InstallHooks, KeepsEverythingNotOursAndBacksUpTheFirstFileOnce) {
  for (const auto& row : mergeRows) {
    SCOPED_TRACE(row.input);
    fs::remove_all(dir());
    std::string original = expand(row.input);
    writeSettings(original);
    expectRun(install, installed());
    expectSettings(withOwnGroups(doc(row.installed)), original);
    std::string once = readFile(settings());
    expectRun(install, installed());
    EXPECT_EQ(readFile(settings()), once);
    expectRun(uninstall, removed());
    expectSettings(doc(row.uninstalled), original);
    writeSettings(original);
    expectRun(uninstall, removed());
    expectSettings(doc(row.uninstalled), original);
  }
}

TEST_F(InstallHooks, RefusesWhatItCannotReadWhole) {
  for (const auto& row : refusedRows) {
    for (const Args& args : {install, uninstall}) {
      SCOPED_TRACE(row.input + " " + args.back());
      fs::remove_all(dir());
      writeSettings(row.input);
      std::string message = row.message;
      expectRun(args, "", "tesselo: " + message.replace(message.find('@'), 1, settings()) + "\n",
                1);
      EXPECT_EQ(readFile(settings()), row.input);
      EXPECT_EQ(modeOf(settings()), 0644u);
      bool parses = message.find("shape") != std::string::npos;  // then backed up
      EXPECT_EQ(fs::exists(backup()) ? readFile(backup()) : "none", parses ? row.input : "none");
    }
  }
  // Not a file that can be read whole: never replaced, and a FIFO never waited on.
  fs::remove_all(dir());
  fs::create_directories(settings());
  expectRun(install, "", "tesselo: cannot read " + settings() + ": Is a directory\n", 1);
  EXPECT_TRUE(fs::is_empty(settings()));
  fs::remove(settings());
  ASSERT_EQ(mkfifo((home.path() + "/fifo").c_str(), 0600), 0);
  fs::create_symlink("../fifo", settings());
  expectRun(uninstall, "", "tesselo: cannot read " + settings() + ": not a regular file\n", 1);
  fs::remove(settings());
  fs::create_symlink("settings.json", settings());
  expectRun(install, "",
            "tesselo: cannot read " + settings() + ": Too many levels of symbolic links\n", 1);
  EXPECT_EQ(entries(dir()), std::set<std::string>{"settings.json"});
}

TEST_F(InstallHooks, WithoutAFileUninstallCreatesNothingAndInstallOnlyTheFile) {
  expectRun({"install-hooks", "stray", "--uninstall"}, "nothing to uninstall\n");
  EXPECT_FALSE(fs::exists(dir()));
  expectRun(install, installed());
  EXPECT_EQ(readFile(settings()), written(withOwnGroups(Json::object())));
  EXPECT_EQ(modeOf(settings()), 0600u);
  EXPECT_EQ(entries(dir()), std::set<std::string>{"settings.json"});
  // HOME a file: there is nothing to read, and nowhere to write.
  test::ProcessOptions options;
  options.env["HOME"] = settings();
  ProcessResult result = test::runProcess(test::cliPath(), install, options);
  EXPECT_EQ(result.err,
            "tesselo: cannot write " + settings() + "/.claude/settings.json: Not a directory\n");
  EXPECT_EQ(result.status, 1);
}

TEST_F(InstallHooks, SettingsPathIsMadeAbsoluteFromHome) {
  fs::path name = fs::path(home.path()).filename();
  const std::pair<std::string, std::string> homes[] = {{"/" + home.path() + "/./", "/"},
                                                       {name, home.path() + "/.."}};
  for (const auto& [value, cwd] : homes) {
    test::ProcessOptions options;
    options.env["HOME"] = value;
    options.cwd = cwd;
    EXPECT_EQ(test::runProcess(test::cliPath(), install, options).out, installed()) << value;
  }
  test::ScopedEnv unset("HOME", std::nullopt);
  EXPECT_EQ(settingsFilePath(), passwordHomeDirectory() + "/.claude/settings.json");
  test::ScopedEnv up("HOME", "/h/../b");
  EXPECT_EQ(settingsFilePath(), "/h/../b/.claude/settings.json");
}

TEST_F(InstallHooks, LinksStayAndTheFileTheyEndAtIsReplaced) {
  fs::create_directories(home.path() + "/dots/claude");
  fs::create_directories(dir());
  writeFile(home.path() + "/dots/claude/settings.json", R"({"model": "opus"})");
  fs::create_symlink("claude/settings.json", home.path() + "/dots/current");
  fs::create_symlink("../dots/current", settings());
  fs::create_symlink(home.path() + "/elsewhere", backup());  // a backup already there
  expectRun(install, installed());
  EXPECT_EQ(fs::read_symlink(settings()), "../dots/current");
  EXPECT_EQ(fs::read_symlink(home.path() + "/dots/current"), "claude/settings.json");
  EXPECT_EQ(readFile(home.path() + "/dots/claude/settings.json"),
            written(withOwnGroups(doc(R"({"model":"opus"})"))));
  EXPECT_EQ(modeOf(home.path() + "/dots/claude/settings.json"), 0600u);
  EXPECT_FALSE(fs::exists(home.path() + "/elsewhere"));
  EXPECT_EQ(entries(home.path() + "/dots/claude"), std::set<std::string>{"settings.json"});
  // A dangling link: nothing to back up; the file is made where it points.
  fs::remove(backup());
  fs::remove(settings());
  fs::create_symlink(home.path() + "/dots/later.json", settings());
  expectRun(install, installed());
  EXPECT_EQ(readFile(home.path() + "/dots/later.json"), written(withOwnGroups(Json::object())));
  EXPECT_EQ(entries(dir()), std::set<std::string>{"settings.json"});
}

TEST_F(InstallHooks, FailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  writeSettings(R"({"env": {"KEY": "secret"}})");
  // Every write fails with EFBIG, its signal ignored.
  test::ProcessOptions options;
  options.env["HOME"] = home.path();
  ProcessResult result = test::runProcess(
      "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" install-hooks", test::cliPath()},
      options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tesselo: cannot write " + settings() + ": File too large\n");
  EXPECT_EQ(readFile(settings()), R"({"env": {"KEY": "secret"}})");
  EXPECT_EQ(modeOf(settings()), 0644u);
  EXPECT_EQ(entries(dir()), std::set<std::string>{"settings.json"});
}

// Hook commands name the resolved executable, shell-quoted; only a program
// named tesselo-cli recognises its own items.
TEST_F(InstallHooks, CommandNamesTheProgramQuoted) {
  test::TempDir place;
  for (std::string name : {"it's here/tesselo-cli", "tsl"}) {
    std::string program = place.file(name);
    fs::create_directories(fs::path(program).parent_path());
    fs::copy_file(test::cliPath(), program);
    fs::permissions(program, fs::perms::owner_all);
  }
  std::string quoted =
      "'" + fs::canonical(place.path()).string() + "/it'\\''s here/tesselo-cli' claude-hook";
  expectRun(install, installed(), "", 0, place.file("it's here/tesselo-cli"));
  EXPECT_EQ(readFile(settings()), written(withOwnGroups(Json::object(), quoted)));
  expectRun(install, installed());
  EXPECT_EQ(readFile(settings()), written(withOwnGroups(Json::object())));
  std::string other = commandFor(place.file("tsl"));
  expectRun(install, installed(), "", 0, place.file("tsl"));
  expectRun(uninstall, removed(), "", 0, place.file("tsl"));
  EXPECT_EQ(readFile(settings()), written(withOwnGroups(Json::object(), other)));
}

}  // namespace
}  // namespace tesselo

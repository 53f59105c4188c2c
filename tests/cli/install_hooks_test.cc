// tesselo install-hooks as a user runs it in a private HOME: every line it
// prints, its exit status, and every byte and mode of what it leaves in
// ~/.claude. Nothing of the user's may be lost, whatever the file holds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "cli/settings_file.h"
#include "support/json.h"
#include "support/socket_path.h"
#include "tests/common/process_runner.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using test::writeFile;
using Args = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

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
    test::ProcessResult result = test::runProcess(program, args, options);
    return result.out + "|" + result.err + "|" + std::to_string(result.status);
  }
  void writeSettings(const std::string& bytes) {
    fs::create_directories(dir());
    writeFile(settings(), bytes);
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
  writeFile(dots + "/claude/settings.json", R"({"model": "opus"})");
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

TEST_F(InstallHooks, FailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  writeSettings(R"({"env": {"KEY": "secret"}})");
  // Every write fails with EFBIG, its signal ignored.
  EXPECT_EQ(run({"-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" install-hooks", test::cliPath()},
                "/bin/sh"),
            refused("cannot write " + settings() + ": File too large"));
  EXPECT_EQ(state(dir()), (Files{{"settings.json", asFound + R"({"env": {"KEY": "secret"}})"}}));
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

}  // namespace
}  // namespace tesselo

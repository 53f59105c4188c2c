// tesselo install-hooks as a user runs it: every line it prints, its exit
// status, and what it leaves in a private HOME.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/json.h"
#include "tests/cli/file_checks.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::cliPath;
using test::entries;
using test::modeOf;
using test::ProcessOptions;
using test::ProcessResult;
using test::readFile;
using test::runProcess;
using test::TempDir;
using test::writeFile;

namespace fs = std::filesystem;

const char* const events[] = {"SessionStart", "UserPromptSubmit", "Stop", "Notification",
                              "SessionEnd"};
const std::string matcher =
    "permission_prompt|elicitation_dialog|elicitation_url_dialog|agent_needs_input|agent_completed";

const std::vector<std::string> bothModes[] = {{"install-hooks"}, {"install-hooks", "--uninstall"}};

std::string commandFor(const std::string& executable) {
  return "'" + executable + "' claude-hook";
}

Json ownGroup(const std::string& event, const std::string& command) {
  Json group = {
      {"hooks", Json::array({{{"type", "command"}, {"command", command}, {"timeout", 5}}})}};
  if (event == "Notification") group["matcher"] = matcher;
  return group;
}

Json parsed(const std::string& text) {
  std::optional<Json> value = parseJson(text);
  EXPECT_TRUE(value) << text;
  return value.value_or(Json());
}

// A copy of the program under another path, since hook commands name the
// resolved executable.
std::string copiedProgram(const std::string& directory, const std::string& name) {
  fs::create_directories(directory);
  std::string path = directory + "/" + name;
  fs::copy_file(cliPath(), path);
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

class InstallHooks : public ::testing::Test {
 protected:
  std::string settings() const { return home.path() + "/.claude/settings.json"; }
  std::string backup() const { return settings() + ".tesselo-backup"; }
  std::string installed() const {
    return "installed tesselo hooks (SessionStart, UserPromptSubmit, Stop, Notification, "
           "SessionEnd) in " +
           settings() + "\nrestart running claude sessions to pick them up\n";
  }
  std::string removed() const { return "removed tesselo hooks from " + settings() + "\n"; }

  ProcessResult run(const std::vector<std::string>& args, const std::string& program = cliPath()) {
    ProcessOptions options;
    options.env["HOME"] = home.path();
    return runProcess(program, args, options);
  }

  void writeSettings(const std::string& bytes, mode_t mode = 0644) {
    fs::create_directories(home.path() + "/.claude");
    writeFile(settings(), bytes);
    chmod(settings().c_str(), mode);
  }

  // The settings with our group appended to each event's array.
  Json withOwnGroups(Json value, const std::string& command) const {
    for (const char* event : events) value["hooks"][event].push_back(ownGroup(event, command));
    return value;
  }

  TempDir home;
  const std::string ownCommand = commandFor(fs::canonical(cliPath()).string());
};

TEST_F(InstallHooks, FreshInstallCreatesThePrivateFileWithOnlyOurHooksAndAgainTheSame) {
  ProcessResult result = run({"install-hooks"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, installed());
  EXPECT_EQ(result.err, "");
  std::string text = readFile(settings());
  EXPECT_EQ(parsed(text), withOwnGroups(Json::object(), ownCommand));
  EXPECT_EQ(modeOf(settings()), 0600u);
  EXPECT_EQ(entries(home.path() + "/.claude"), std::set<std::string>{"settings.json"});

  // The written form: every slash escaped, an integer time-out, keys sorted.
  for (size_t at = text.find('/'); at != std::string::npos; at = text.find('/', at + 1))
    ASSERT_EQ(text[at - 1], '\\') << text;
  size_t integerTimeouts = 0;
  for (size_t at = text.find("\"timeout\": 5,\n"); at != std::string::npos;
       at = text.find("\"timeout\": 5,\n", at + 1))
    ++integerTimeouts;
  EXPECT_EQ(integerTimeouts, 5u) << text;
  std::vector<size_t> keys;
  for (const char* key : {"\"Notification\"", "\"SessionEnd\"", "\"SessionStart\"", "\"Stop\"",
                          "\"UserPromptSubmit\""})
    keys.push_back(text.find(key));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << text;
  EXPECT_LT(text.find("\"command\""), text.find("\"timeout\""));
  EXPECT_LT(text.find("\"timeout\""), text.find("\"type\""));
  EXPECT_LT(text.find("\"hooks\": [\n"), text.find("\"matcher\""));

  ProcessResult again = run({"install-hooks"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, installed());
  EXPECT_EQ(readFile(settings()), text);
}

TEST_F(InstallHooks, ForeignSettingsSurviveAndTheBackupIsMadeOnce) {
  // Whitespace around the object is still a settings file.
  const std::string original =
      " \n"
      R"json({
    "zeta": {"b": [1, 2.5, -3e-2, null, true], "a": "x/y"},
    "permissions": {"allow": ["Bash(git status:*)"], "deny": ["Read(./.env)"]},
    "env": {"ANTHROPIC_API_KEY": "sk-secret", "PATH": "/usr/bin:/bin"},
    "model": "opus", "cleanupPeriodDays": 30, "unknownKey": {"nested": {}},
    "hooks": {
      "Stop": [{"hooks": [{"type": "command", "command": "afplay /System/Sounds/Glass.aiff"}]}],
      "Notification": [{"matcher": "idle_prompt",
                        "hooks": [{"type": "command", "command": "notify-send hi", "timeout": 9}]}],
      "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "audit"}]}]
    }
  })json"
      "\n";
  writeSettings(original, 0644);

  ProcessResult install = run({"install-hooks"});
  EXPECT_EQ(install.status, 0);
  EXPECT_EQ(install.out, installed());
  std::string text = readFile(settings());
  EXPECT_EQ(parsed(text), withOwnGroups(parsed(original), ownCommand));
  EXPECT_LT(text.find("\"cleanupPeriodDays\""), text.find("\"zeta\""));
  EXPECT_EQ(modeOf(settings()), 0600u);
  EXPECT_EQ(readFile(backup()), original);
  EXPECT_EQ(modeOf(backup()), 0600u);

  // Later runs never refresh the backup.
  writeSettings(R"({"model": "changed"})");
  ASSERT_EQ(run({"install-hooks"}).status, 0);
  writeSettings(text);
  ProcessResult uninstall = run({"install-hooks", "--uninstall"});
  EXPECT_EQ(uninstall.status, 0);
  EXPECT_EQ(uninstall.out, removed());
  EXPECT_EQ(uninstall.err, "");
  EXPECT_EQ(parsed(readFile(settings())), parsed(original));
  EXPECT_EQ(readFile(backup()), original);
  EXPECT_EQ(entries(home.path() + "/.claude"),
            (std::set<std::string>{"settings.json", "settings.json.tesselo-backup"}));
}

TEST_F(InstallHooks, UninstallWithoutAFileCreatesNothing) {
  ProcessResult result = run({"install-hooks", "stray", "--uninstall"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "nothing to uninstall\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(fs::exists(home.path() + "/.claude"));
}

TEST_F(InstallHooks, UninstallWithoutOurHooksStillRewritesTheFile) {
  writeSettings(R"({"b": 1, "a": {"y": "/p", "x": 2}, "hooks": {"Stop": []}})", 0644);
  ProcessResult result = run({"install-hooks", "--uninstall"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, removed());
  std::string text = readFile(settings());
  EXPECT_EQ(parsed(text), parsed(R"({"b": 1, "a": {"y": "/p", "x": 2}})"));
  EXPECT_LT(text.find("\"a\""), text.find("\"b\""));
  EXPECT_LT(text.find("\"x\""), text.find("\"y\""));
  EXPECT_NE(text.find(R"("\/p")"), std::string::npos) << text;
  EXPECT_EQ(modeOf(settings()), 0600u);
}

TEST_F(InstallHooks, InvalidJsonIsRefusedWithoutWritingAnything) {
  const std::vector<std::string> invalid = {"",
                                            "\n",
                                            "{",
                                            "[]",
                                            "[{}]",
                                            "null",
                                            "\"text\"",
                                            "7",
                                            "{\"a\":1,}",
                                            "{} trailing",
                                            "{} {}",
                                            "{'a':1}",
                                            "{\"a\":\"\xff\"}"};
  for (const std::string& bytes : invalid) {
    for (const std::vector<std::string>& args : bothModes) {
      SCOPED_TRACE("\"" + bytes + "\" " + args.back());
      writeSettings(bytes);
      ProcessResult result = run(args);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.err,
                "tesselo: " + settings() + " is not valid JSON \xE2\x80\x94 fix it first\n");
      EXPECT_EQ(readFile(settings()), bytes);
      EXPECT_EQ(modeOf(settings()), 0644u);
      EXPECT_EQ(entries(home.path() + "/.claude"), std::set<std::string>{"settings.json"});
    }
  }
}

TEST_F(InstallHooks, UnexpectedShapesAreRefusedAfterTheBackup) {
  const struct {
    const char* bytes;
    std::string message;
  } cases[] = {
      {R"({"hooks": []})", "hooks in <path> has an unexpected shape"},
      {R"({"hooks": null})", "hooks in <path> has an unexpected shape"},
      {R"({"hooks": {"SessionEnd": 1, "Stop": {}, "PreToolUse": 2}})",
       "hooks.Stop in <path> has an unexpected shape"},
      {R"({"hooks": {"SessionStart": [], "Notification": [3]}})",
       "hooks.Notification in <path> has an unexpected shape"},
  };
  for (const auto& c : cases) {
    for (const std::vector<std::string>& args : bothModes) {
      SCOPED_TRACE(std::string(c.bytes) + " " + args.back());
      fs::remove(backup());
      writeSettings(c.bytes);
      ProcessResult result = run(args);
      std::string message = c.message;
      message.replace(message.find("<path>"), 6, settings());
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.err, "tesselo: " + message + "\n");
      EXPECT_EQ(readFile(settings()), c.bytes);
      EXPECT_EQ(modeOf(settings()), 0644u);
      EXPECT_EQ(readFile(backup()), c.bytes);
    }
  }
}

TEST_F(InstallHooks, UnreadableSettingsAreNeverReplaced) {
  fs::create_directories(settings());
  ASSERT_EQ(mkfifo((home.path() + "/fifo").c_str(), 0600), 0);
  for (const std::vector<std::string>& args : bothModes) {
    SCOPED_TRACE(args.back());
    ProcessResult result = run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "tesselo: cannot read " + settings() + ": Is a directory\n");
    EXPECT_TRUE(fs::is_directory(settings()));
    EXPECT_TRUE(fs::is_empty(settings()));
    EXPECT_EQ(entries(home.path() + "/.claude"), std::set<std::string>{"settings.json"});
  }
  // A FIFO must neither hang the command nor be replaced.
  fs::remove(settings());
  ASSERT_EQ(symlink("../fifo", settings().c_str()), 0);
  ProcessResult fifo = run({"install-hooks"});
  EXPECT_EQ(fifo.status, 1);
  EXPECT_EQ(fifo.err, "tesselo: cannot read " + settings() + ": not a regular file\n");
  EXPECT_TRUE(fs::is_fifo(home.path() + "/fifo"));
}

TEST_F(InstallHooks, FileWithoutReadPermissionIsNeverReplaced) {
  writeSettings(R"({"model": "opus"})", 0200);
  ProcessOptions options;
  options.env["HOME"] = home.path();
  std::string program = cliPath();
  if (geteuid() == 0) {
    // Permission bits do not stop root: the program runs as an ordinary user
    // that owns the whole home, from a copy that user can reach.
    const passwd* nobody = getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user to run as";
    program = copiedProgram(home.path() + "/bin", "tesselo-cli");
    fs::permissions(program, fs::perms::owner_all | fs::perms::others_exec);
    for (const auto& entry : fs::recursive_directory_iterator(home.path()))
      ASSERT_EQ(lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chown(home.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    options.user = ProcessOptions::User{nobody->pw_uid, nobody->pw_gid};
  }
  ProcessResult result = runProcess(program, {"install-hooks"}, options);
  if (result.status == test::childSetupFailed || result.status == test::notExecuted)
    GTEST_SKIP() << "could not run as another user here";
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tesselo: cannot read " + settings() + ": Permission denied\n");
  chmod(settings().c_str(), 0600);
  EXPECT_EQ(readFile(settings()), R"({"model": "opus"})");
  EXPECT_FALSE(fs::exists(backup()));
}

TEST_F(InstallHooks, SymlinkedSettingsKeepTheLinkAndReplaceItsTarget) {
  const std::string original = R"({"model": "opus"})";
  fs::create_directories(home.path() + "/dotfiles");
  fs::create_directories(home.path() + "/.claude");
  writeFile(home.path() + "/dotfiles/settings.json", original);
  chmod((home.path() + "/dotfiles/settings.json").c_str(), 0644);
  ASSERT_EQ(symlink("../dotfiles/settings.json", settings().c_str()), 0);

  ProcessResult result = run({"install-hooks"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, installed());
  EXPECT_TRUE(fs::is_symlink(settings()));
  EXPECT_EQ(fs::read_symlink(settings()), "../dotfiles/settings.json");
  EXPECT_EQ(parsed(readFile(home.path() + "/dotfiles/settings.json")),
            withOwnGroups(parsed(original), ownCommand));
  EXPECT_EQ(modeOf(home.path() + "/dotfiles/settings.json"), 0600u);
  EXPECT_FALSE(fs::is_symlink(backup()));
  EXPECT_EQ(readFile(backup()), original);
  EXPECT_EQ(modeOf(backup()), 0600u);
  EXPECT_EQ(entries(home.path() + "/dotfiles"), std::set<std::string>{"settings.json"});
  EXPECT_EQ(entries(home.path() + "/.claude"),
            (std::set<std::string>{"settings.json", "settings.json.tesselo-backup"}));
}

TEST_F(InstallHooks, FailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  const std::string original = R"({"env": {"KEY": "secret"}})";
  writeSettings(original, 0644);
  // No file may grow past zero bytes, and the signal that would announce it is
  // ignored, so every write fails with EFBIG.
  ProcessOptions options;
  options.env["HOME"] = home.path();
  ProcessResult result = runProcess(
      "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" install-hooks", cliPath()},
      options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tesselo: cannot write " + settings() + ": File too large\n");
  EXPECT_EQ(readFile(settings()), original);
  EXPECT_EQ(modeOf(settings()), 0644u);
  EXPECT_EQ(entries(home.path() + "/.claude"), std::set<std::string>{"settings.json"});
}

TEST_F(InstallHooks, ApostropheInTheExecutablePathIsShellQuoted) {
  TempDir place;
  std::string program = copiedProgram(place.path() + "/it's here", "tesselo-cli");
  ASSERT_EQ(run({"install-hooks"}, program).status, 0);
  std::string command = "'";
  command += fs::canonical(place.path()).string() + "/it'\\''s here/tesselo-cli' claude-hook";
  EXPECT_EQ(parsed(readFile(settings())), withOwnGroups(Json::object(), command));

  // A later install from another path naming tesselo-cli replaces those hooks.
  ASSERT_EQ(run({"install-hooks"}).status, 0);
  EXPECT_EQ(parsed(readFile(settings())), withOwnGroups(Json::object(), ownCommand));
}

TEST_F(InstallHooks, ExecutableNotNamedTesseloCliIsNeverRecognised) {
  TempDir place;
  std::string program = copiedProgram(place.path(), "tsl");
  std::string command = commandFor(fs::canonical(program).string());
  ASSERT_EQ(run({"install-hooks"}, program).status, 0);
  ASSERT_EQ(run({"install-hooks"}, program).status, 0);
  Json twice = withOwnGroups(withOwnGroups(Json::object(), command), command);
  EXPECT_EQ(parsed(readFile(settings())), twice);
  ProcessResult uninstall = run({"install-hooks", "--uninstall"}, program);
  EXPECT_EQ(uninstall.status, 0);
  EXPECT_EQ(uninstall.out, removed());
  EXPECT_EQ(parsed(readFile(settings())), twice);
}

}  // namespace
}  // namespace tesselo

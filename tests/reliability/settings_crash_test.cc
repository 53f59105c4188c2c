// tesselo install-hooks killed at every call of each system call that writes
// the backup and the settings file (strace delivers the SIGKILL as the call
// begins): the settings file is always the old or the complete new one, the
// backup never partial, temporaries private and beside the file they replace,
// and the next run finishes the job.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using Text = std::optional<std::string>;

Text contentOf(const std::string& path) {
  return fs::exists(path) ? Text(test::readFile(path)) : std::nullopt;
}

struct Scenario {
  const char* name;
  Text settings, backup;
  std::vector<std::string> args;
};

// A home holding a scenario's settings file and backup.
struct Home : test::TempDir {
  explicit Home(const Scenario& scenario) {
    fs::create_directories(dir);
    if (scenario.settings) test::writeFile(settings, *scenario.settings);
    if (scenario.backup) test::writeFile(backup, *scenario.backup);
  }
  // The client's exit status, run under strace when a call is to be killed.
  int run(const std::vector<std::string>& args, const std::string& inject = "") const {
    const char* asan = std::getenv("ASAN_OPTIONS");
    test::ProcessOptions options;
    // The leak check at exit cannot trace a process strace already traces.
    options.env = {{"HOME", path()},
                   {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}};
    if (inject.empty()) return test::runProcess(test::cliPath(), args, options).status;
    std::vector<std::string> traced = {
        "-f", "-qq", "-o", "/dev/null", "-e", "inject=" + inject, test::cliPath()};
    traced.insert(traced.end(), args.begin(), args.end());
    return test::runProcess("/usr/bin/strace", traced, options).status;
  }
  std::string dir = path() + "/.claude", settings = dir + "/settings.json",
              backup = settings + ".tesselo-backup";
};

TEST(SettingsCrash, KilledAtEveryStepOfTheWritesLeavesOldOrNew) {
  // Foreign settings of 200 KiB: many permissions and a foreign hook.
  std::string foreign = R"({"model": "opus", "hooks": {"Stop": [{"hooks": [{"command": "say"}]}]},
    "permissions": {"allow": [)";
  for (int i = 0; foreign.size() < 200 * 1024; ++i)
    foreign += "\"Bash(tool-" + std::to_string(i) + " --path /opt/x:*)\", ";
  foreign += "\"x\"]}}\n";
  Home first({"", foreign, std::nullopt, {}});
  ASSERT_EQ(first.run({"install-hooks"}), 0);
  Text installed = contentOf(first.settings);
  const Scenario scenarios[] = {
      {"first install over foreign settings", foreign, std::nullopt, {"install-hooks"}},
      {"install into a home without settings", std::nullopt, std::nullopt, {"install-hooks"}},
      {"uninstall with a backup kept", installed, foreign, {"install-hooks", "--uninstall"}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    Home whole(scenario);
    ASSERT_EQ(whole.run(scenario.args), 0);
    Text finished = contentOf(whole.settings);
    // The backup holds the first settings file a run found, whole.
    Text firstFound = scenario.backup ? scenario.backup : scenario.settings;
    int kills = 0, leftOld = 0, leftNew = 0, leftTemporary = 0;
    // The calls of a file replacement: made or opened, its mode, each write,
    // each sync, its close, the rename, and those after it.
    for (std::string calls : {"open,openat,creat", "fchmod", "write,pwrite64,writev",
                              "fsync,fdatasync", "close", "rename,renameat,renameat2"}) {
      for (int nth = 1;; ++nth) {
        SCOPED_TRACE("killed at call " + std::to_string(nth) + " of " + calls);
        Home home(scenario);
        int status = home.run(scenario.args, calls + ":signal=SIGKILL:when=" + std::to_string(nth));
        if (status == 0) break;  // fewer calls than that: the run went through
        ASSERT_EQ(status, 128 + SIGKILL);
        ++kills;
        Text left = contentOf(home.settings), backup = contentOf(home.backup);
        (left == finished ? leftNew : leftOld)++;
        EXPECT_EQ(left == scenario.settings ? finished : left, finished) << "neither old nor new";
        EXPECT_EQ(backup || scenario.backup ? backup : firstFound, firstFound) << "backup partial";
        // Besides the two, only private temporary files named after them; the
        // new file is never readable by others either.
        for (const auto& entry : fs::directory_iterator(home.dir)) {
          std::string name = entry.path().filename();
          bool temporary = name.starts_with(".settings.json.tesselo-");
          leftTemporary += temporary;
          EXPECT_TRUE(temporary || name == "settings.json" ||
                      name == "settings.json.tesselo-backup");
          bool isPrivate = temporary || (name == "settings.json" && left != scenario.settings);
          EXPECT_EQ(isPrivate ? entry.status().permissions() : fs::perms(0600), fs::perms(0600))
              << name;
        }
        // The next run finishes the job.
        EXPECT_EQ(home.run(scenario.args), 0);
        EXPECT_EQ(contentOf(home.settings), finished);
        EXPECT_EQ(contentOf(home.backup), firstFound ? firstFound : left);
      }
    }
    // Kills land before and after the rename that brings the new file, and
    // some leave a temporary: in the folder of the file it replaces.
    EXPECT_GE(kills, 7);
    EXPECT_GT(leftOld, 0);
    EXPECT_GT(leftNew, 0);
    EXPECT_GT(leftTemporary, 0);
  }
}

}  // namespace
}  // namespace tesselo

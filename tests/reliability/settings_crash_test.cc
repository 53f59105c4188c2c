// tesselo install-hooks killed at every step of writing the backup and the
// settings file: the settings file is always the old or the complete new one,
// the backup never partial, and the next run finishes the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

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
  // Runs the client with the pause points; the settings file a whole run leaves.
  Text run(const std::vector<std::string>& args) const {
    test::ProcessOptions options;
    options.env["HOME"] = path();
    EXPECT_EQ(test::runProcess(PRELOADABLE_CLI, args, options).status, 0);
    return contentOf(settings);
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
  Text installed = Home({"", foreign, std::nullopt, {}}).run({"install-hooks"});
  const Scenario scenarios[] = {
      {"first install over foreign settings", foreign, std::nullopt, {"install-hooks"}},
      {"install into a home without settings", std::nullopt, std::nullopt, {"install-hooks"}},
      {"uninstall with a backup kept", installed, foreign, {"install-hooks", "--uninstall"}},
  };
  const char* asan = std::getenv("ASAN_OPTIONS");
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    Text finished = Home(scenario).run(scenario.args);
    // The backup holds the first settings file a run found, whole.
    Text firstFound = scenario.backup ? scenario.backup : scenario.settings;
    int kills = 0, leftOld = 0, leftNew = 0;
    for (int stopAt = 1; stopAt < 1000; ++stopAt) {
      SCOPED_TRACE("killed at step " + std::to_string(stopAt));
      Home home(scenario);
      pid_t pid = test::startProcess(
          PRELOADABLE_CLI, scenario.args,
          {{"HOME", home.path()},
           {"LD_PRELOAD", PAUSE_POINTS_LIBRARY},
           {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
           {"TESSELO_TEST_STOP_AT", std::to_string(stopAt)},
           {"TESSELO_TEST_WRITE_PIECE", "65536"}});
      int status = 0;
      while (waitpid(pid, &status, WUNTRACED) < 0 && errno == EINTR) {
      }
      if (!WIFSTOPPED(status)) {  // past the last step: the run went through
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(contentOf(home.settings), finished);
        break;
      }
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
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
        EXPECT_TRUE(temporary || name == "settings.json" || name == "settings.json.tesselo-backup");
        bool isPrivate = temporary || (name == "settings.json" && left != scenario.settings);
        EXPECT_EQ(isPrivate ? entry.status().permissions() : fs::perms(0600), fs::perms(0600))
            << name;
      }
      // The next run finishes the job.
      EXPECT_EQ(home.run(scenario.args), finished);
      EXPECT_EQ(contentOf(home.backup), firstFound ? firstFound : left);
    }
    // Kills land before and after the rename that brings the new file.
    EXPECT_GE(kills, 7);
    EXPECT_GT(leftOld, 0);
    EXPECT_GT(leftNew, 0);
  }
}

}  // namespace
}  // namespace tesselo

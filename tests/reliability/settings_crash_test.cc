// tesselo install-hooks killed at every step of writing the backup and the
// settings file: the settings file is always the old or the complete new one,
// the backup never partial, and the next run finishes the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using Text = std::optional<std::string>;

// A static client ignores LD_PRELOAD: then the same client linked dynamically
// runs, in every run here so that all write the same hook commands.
std::string client() {
#ifdef PRELOADABLE_CLI
  return PRELOADABLE_CLI;
#else
  return test::cliPath();
#endif
}

Text contentOf(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error)) ? Text(test::readFile(path)) : std::nullopt;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

struct Home {
  Home(const Text& settings, const Text& backup) {
    fs::create_directories(dir());
    if (settings) test::writeFile(this->settings(), *settings);
    if (backup) test::writeFile(this->backup(), *backup);
  }
  std::string dir() const { return home.path() + "/.claude"; }
  std::string settings() const { return dir() + "/settings.json"; }
  std::string backup() const { return settings() + ".tesselo-backup"; }
  // The settings file a whole run leaves.
  Text run(const std::vector<std::string>& args) const {
    test::ProcessOptions options;
    options.env["HOME"] = home.path();
    EXPECT_EQ(test::runProcess(client(), args, options).status, 0);
    return contentOf(settings());
  }
  test::TempDir home;
};

#ifdef PAUSE_POINTS_LIBRARY

TEST(SettingsCrash, KilledAtEveryStepOfTheWritesLeavesOldOrNew) {
  // Foreign settings of 200 KiB: many permissions and a foreign hook.
  std::string foreign = R"({"model": "opus", "hooks": {"Stop": [{"hooks": [{"command": "say"}]}]},
    "permissions": {"allow": [)";
  for (int i = 0; foreign.size() < 200 * 1024; ++i)
    foreign += "\"Bash(tool-" + std::to_string(i) + " --path /opt/x:*)\", ";
  foreign += "\"x\"]}}\n";
  Text installed = Home(foreign, std::nullopt).run({"install-hooks"});
  const struct {
    const char* name;
    Text settings, backup;
    std::vector<std::string> args;
  } scenarios[] = {
      {"first install over foreign settings", foreign, std::nullopt, {"install-hooks"}},
      {"install into a home without settings", std::nullopt, std::nullopt, {"install-hooks"}},
      {"uninstall with a backup kept", installed, foreign, {"install-hooks", "--uninstall"}},
  };
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    Text finished = Home(scenario.settings, scenario.backup).run(scenario.args);
    int kills = 0, leftOld = 0, leftNew = 0;
    for (int stopAt = 1; stopAt < 1000; ++stopAt) {
      SCOPED_TRACE("killed at step " + std::to_string(stopAt));
      Home home(scenario.settings, scenario.backup);
      const char* asan = std::getenv("ASAN_OPTIONS");
      std::map<std::string, std::optional<std::string>> env = {
          {"HOME", home.home.path()},
          {"LD_PRELOAD", PAUSE_POINTS_LIBRARY},
          {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
          {"TESSELO_TEST_STOP_AT", std::to_string(stopAt)},
          {"TESSELO_TEST_WRITE_PIECE", "65536"}};
      pid_t pid = test::startProcess(client(), scenario.args, env);
      int status = 0;
      while (waitpid(pid, &status, WUNTRACED) < 0 && errno == EINTR) {
      }
      if (!WIFSTOPPED(status)) {  // past the last step: the run went through
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(contentOf(home.settings()), finished);
        break;
      }
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      ++kills;
      Text left = contentOf(home.settings());
      (left == finished ? leftNew : leftOld)++;
      if (left != scenario.settings) {
        EXPECT_EQ(left, finished) << "settings file neither old nor new";
        EXPECT_EQ(modeOf(home.settings()), 0600u);
      }
      // The backup holds the first settings file a run found, whole.
      Text backup = contentOf(home.backup());
      Text firstFound = scenario.backup ? scenario.backup : scenario.settings;
      if (backup || scenario.backup) {
        EXPECT_EQ(backup, firstFound) << "backup changed or partial";
      }
      // Besides the two, only private temporary files named after them.
      for (const auto& entry : fs::directory_iterator(home.dir())) {
        std::string name = entry.path().filename();
        if (name == "settings.json" || name == "settings.json.tesselo-backup") continue;
        EXPECT_TRUE(name.starts_with(".settings.json.tesselo-")) << name;
        EXPECT_EQ(modeOf(entry.path()), 0600u) << name;
      }
      // The next run finishes the job.
      EXPECT_EQ(home.run(scenario.args), finished);
      EXPECT_EQ(contentOf(home.backup()), firstFound ? firstFound : left);
    }
    // Kills land before and after the rename that brings the new file.
    EXPECT_GE(kills, 7);
    EXPECT_GT(leftOld, 0);
    EXPECT_GT(leftNew, 0);
  }
}

#endif

}  // namespace
}  // namespace tesselo

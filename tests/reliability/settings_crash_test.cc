// tesselo install-hooks killed part-way, at every step of writing the backup
// and the settings file and at moments spread over a whole run: the settings
// file is always the old or the complete new one, the backup never partial,
// and the next run finishes the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;
using Environment = std::map<std::string, std::optional<std::string>>;

// Foreign settings of about the given size: a long permission list and a
// foreign hook under one of our events.
std::string foreignSettings(size_t size) {
  std::string allow;
  for (int i = 0; allow.size() < size; ++i) {
    if (!allow.empty()) allow += ",\n    ";
    allow += "\"Bash(tool-" + std::to_string(i) + " --path /opt/x:*)\"";
  }
  return "{\n  \"model\": \"opus\",\n  \"permissions\": {\"allow\": [" + allow +
         "]},\n  \"hooks\": {\"Stop\": [{\"hooks\": [{\"type\": \"command\", \"command\": "
         "\"say done\"}]}]}\n}\n";
}

// The client these runs start. The pause points are preloaded, which a
// statically linked client ignores; then the same client linked dynamically
// is run, in every test here so that all runs write the same hook commands.
std::string client() {
#ifdef PRELOADABLE_CLI
  return PRELOADABLE_CLI;
#else
  return test::cliPath();
#endif
}

std::optional<std::string> contentOf(const std::string& path) {
  std::error_code error;
  if (!fs::exists(fs::symlink_status(path, error))) return std::nullopt;
  return readFile(path);
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// One HOME as a scenario starts it.
struct Start {
  std::optional<std::string> settings;  // nothing: no settings file
  std::optional<std::string> backup;    // nothing: no backup yet
};

class SettingsHome {
 public:
  explicit SettingsHome(const Start& start) {
    if (start.settings || start.backup) fs::create_directories(dir());
    if (start.settings) writeFile(settings(), *start.settings);
    if (start.backup) writeFile(backup(), *start.backup);
  }
  std::string dir() const { return home_.path() + "/.claude"; }
  std::string settings() const { return dir() + "/settings.json"; }
  std::string backup() const { return settings() + ".tesselo-backup"; }
  const std::string& home() const { return home_.path(); }

 private:
  TempDir home_;
};

std::string preloadOptions() {
  // The pause library is not built with the sanitizers, so it comes before
  // their runtime in the library list; that is harmless here.
  const char* asan = std::getenv("ASAN_OPTIONS");
  return std::string(asan ? asan : "") + ":verify_asan_link_order=0";
}

Environment plainEnvironment(const SettingsHome& home) {
  return {{"HOME", home.home()}};
}

// Waits for the child; a child that stopped itself is killed where it stands.
// True when it had stopped (and was killed), false when it ended by itself.
bool killIfStopped(pid_t pid, int& status) {
  while (waitpid(pid, &status, WUNTRACED) < 0 && errno == EINTR) {
  }
  if (!WIFSTOPPED(status)) return false;
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

// What an interrupted run may leave, against the scenario's start and the
// finished result.
void expectOldOrNew(const SettingsHome& home, const Start& start, const std::string& finished,
                    const std::string& where) {
  std::optional<std::string> settings = contentOf(home.settings());
  if (settings != start.settings) {
    EXPECT_EQ(settings, finished) << "settings file neither old nor new " << where;
    EXPECT_EQ(modeOf(home.settings()), 0600u) << where;
  }
  std::optional<std::string> backup = contentOf(home.backup());
  if (start.backup) {
    EXPECT_EQ(backup, start.backup) << "backup changed " << where;
  } else if (backup) {
    EXPECT_EQ(backup, start.settings) << "backup partial " << where;
  }
  // Besides the two files, only temporary files (hidden, named after them).
  if (!fs::exists(home.dir())) return;
  for (const auto& entry : fs::directory_iterator(home.dir())) {
    std::string name = entry.path().filename().string();
    if (name == "settings.json" || name == "settings.json.tesselo-backup") continue;
    EXPECT_EQ(name.rfind(".settings.json.tesselo-", 0), 0u) << name << " " << where;
    EXPECT_EQ(modeOf(entry.path().string()), 0600u) << name << " " << where;
  }
}

// The run after a crash completes what the crashed one started. The backup
// holds the first settings file a run found: the one the scenario started
// with, or else the one the crashed run left.
void expectRerunFinishes(const SettingsHome& home, const Start& start,
                         const std::vector<std::string>& args, const std::string& finished,
                         const std::string& where) {
  std::optional<std::string> backup = start.backup ? start.backup : start.settings;
  if (!backup) backup = contentOf(home.settings());
  test::ProcessOptions options;
  options.env = plainEnvironment(home);
  test::ProcessResult rerun = test::runProcess(client(), args, options);
  EXPECT_EQ(rerun.status, 0) << rerun.err << where;
  EXPECT_EQ(contentOf(home.settings()), finished) << where;
  EXPECT_EQ(contentOf(home.backup()), backup) << where;
}

struct Scenario {
  const char* name;
  Start start;
  std::vector<std::string> args;
};

std::vector<Scenario> scenarios() {
  std::string foreign = foreignSettings(200 * 1024);
  // An installed file, as a first install over the foreign settings leaves it.
  SettingsHome installedHome({foreign, std::nullopt});
  test::ProcessOptions options;
  options.env = plainEnvironment(installedHome);
  test::runProcess(client(), {"install-hooks"}, options);
  std::string installed = readFile(installedHome.settings());
  return {
      {"first install over foreign settings", {foreign, std::nullopt}, {"install-hooks"}},
      {"install into a home without settings", {std::nullopt, std::nullopt}, {"install-hooks"}},
      {"uninstall with a backup kept", {installed, foreign}, {"install-hooks", "--uninstall"}},
  };
}

std::string finishedContent(const Scenario& scenario) {
  SettingsHome reference(scenario.start);
  test::ProcessOptions options;
  options.env = plainEnvironment(reference);
  test::ProcessResult result = test::runProcess(client(), scenario.args, options);
  EXPECT_EQ(result.status, 0) << result.err;
  return readFile(reference.settings());
}

#ifdef PAUSE_POINTS_LIBRARY

TEST(SettingsCrash, KilledAtEveryStepOfTheWritesLeavesOldOrNew) {
  for (const Scenario& scenario : scenarios()) {
    SCOPED_TRACE(scenario.name);
    std::string finished = finishedContent(scenario);
    int kills = 0, killsLeavingOld = 0, killsLeavingNew = 0;
    for (int stopAt = 1;; ++stopAt) {
      ASSERT_LT(stopAt, 1000) << "the run never ends";
      SettingsHome home(scenario.start);
      Environment env = plainEnvironment(home);
      env["LD_PRELOAD"] = PAUSE_POINTS_LIBRARY;
      env["ASAN_OPTIONS"] = preloadOptions();
      env["TESSELO_TEST_STOP_AT"] = std::to_string(stopAt);
      env["TESSELO_TEST_WRITE_PIECE"] = "65536";
      int status = 0;
      pid_t pid = test::startProcess(client(), scenario.args, env);
      if (!killIfStopped(pid, status)) {
        // Past the last step: the run went through untouched.
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(contentOf(home.settings()), finished);
        break;
      }
      ++kills;
      std::string where = "(killed at step " + std::to_string(stopAt) + ")";
      std::optional<std::string> left = contentOf(home.settings());
      (left == finished ? killsLeavingNew : killsLeavingOld)++;
      expectOldOrNew(home, scenario.start, finished, where);
      expectRerunFinishes(home, scenario.start, scenario.args, finished, where);
    }
    // Without the pause library in place there would be no step at all; with
    // it, kills land before and after the rename that brings the new file.
    std::printf("%s: %d kills, %d left the old file, %d the new\n", scenario.name, kills,
                killsLeavingOld, killsLeavingNew);
    EXPECT_GE(kills, 7);
    EXPECT_GT(killsLeavingOld, 0);
    EXPECT_GT(killsLeavingNew, 0);
  }
}

#endif

TEST(SettingsCrash, KilledAtMomentsSpreadOverARunLeavesOldOrNew) {
  Scenario scenario{"install over large settings",
                    {foreignSettings(1024 * 1024), std::nullopt},
                    {"install-hooks"}};
  std::string finished = finishedContent(scenario);

  // How long one whole run takes here; the kills are spread over that span.
  auto began = std::chrono::steady_clock::now();
  finishedContent(scenario);
  auto span = std::chrono::steady_clock::now() - began;

  constexpr int killCount = 10;
  std::mt19937 random(20240611);
  for (int i = 0; i < killCount; ++i) {
    SettingsHome home(scenario.start);
    std::uniform_real_distribution<double> within(i, i + 1.0);
    auto delay =
        std::chrono::duration_cast<std::chrono::nanoseconds>(span * within(random) / killCount);
    pid_t pid = test::startProcess(client(), scenario.args, plainEnvironment(home));
    timespec pause{static_cast<time_t>(delay.count() / 1000000000),
                   static_cast<long>(delay.count() % 1000000000)};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string where = "(killed after " + std::to_string(delay.count() / 1000) + " us)";
    expectOldOrNew(home, scenario.start, finished, where);
    expectRerunFinishes(home, scenario.start, scenario.args, finished, where);
  }
}

}  // namespace
}  // namespace tesselo

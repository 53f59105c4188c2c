// Settings path, read outcomes and the atomic replace, in process.
#include "cli/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "support/socket_path.h"
#include "tests/cli/file_checks.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using test::entries;
using test::modeOf;
using test::readFile;
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;

TEST(SettingsFilePath, FromHomeMadeAbsolute) {
  std::string cwd = std::filesystem::current_path().string();
  const struct {
    std::optional<std::string> home;
    std::string expected;
  } cases[] = {
      {"/home/ann", "/home/ann/.claude/settings.json"},
      {"/home/ann/", "/home/ann/.claude/settings.json"},
      {"//home/./ann//", "/home/ann/.claude/settings.json"},
      {"/home/ann/../bob", "/home/ann/../bob/.claude/settings.json"},
      {"/", "/.claude/settings.json"},
      {"rel/home", cwd + "/rel/home/.claude/settings.json"},
      {std::nullopt, passwordHomeDirectory() + "/.claude/settings.json"},
      {"", passwordHomeDirectory() + "/.claude/settings.json"},
  };
  for (const auto& c : cases) {
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(settingsFilePath(), c.expected) << c.home.value_or("(unset)");
  }
  EXPECT_EQ(backupPathFor("/h/.claude/settings.json"), "/h/.claude/settings.json.tesselo-backup");
}

TEST(ReadSettingsFile, TellsAbsentFromUnreadable) {
  TempDir dir;
  writeFile(dir.file("file"), "{\"a\": 1}\n");
  writeFile(dir.file("empty"), "");
  std::filesystem::create_directory(dir.file("directory"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
  ASSERT_EQ(symlink("file", dir.file("link").c_str()), 0);
  using Status = SettingsRead::Status;
  const struct {
    std::string name;
    Status status;
    std::string bytes;
    std::string reason;
  } cases[] = {
      {"file", Status::read, "{\"a\": 1}\n", ""},
      {"link", Status::read, "{\"a\": 1}\n", ""},
      {"empty", Status::read, "", ""},
      {"missing", Status::absent, "", ""},
      {"missing/settings.json", Status::absent, "", ""},
      {"file/settings.json", Status::absent, "", ""},
      {"dangling", Status::absent, "", ""},
      {"directory", Status::unreadable, "", "Is a directory"},
      {"fifo", Status::unreadable, "", "not a regular file"},
  };
  for (const auto& c : cases) {
    SettingsRead read = readSettingsFile(dir.file(c.name));
    EXPECT_EQ(read.status, c.status) << c.name;
    EXPECT_EQ(read.bytes, c.bytes) << c.name;
    EXPECT_EQ(read.reason, c.reason) << c.name;
  }
}

TEST(ReplaceFile, NewFileIsPrivateAndNothingElseIsLeft) {
  TempDir dir;
  writeFile(dir.file("old"), "old bytes");
  chmod(dir.file("old").c_str(), 0644);
  mode_t oldMask = umask(0);
  auto first = replaceFile(dir.file("old"), "new bytes");
  auto second = replaceFile(dir.file("fresh"), "fresh bytes");
  umask(oldMask);
  EXPECT_FALSE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(readFile(dir.file("old")), "new bytes");
  EXPECT_EQ(readFile(dir.file("fresh")), "fresh bytes");
  EXPECT_EQ(modeOf(dir.file("old")), 0600u);
  EXPECT_EQ(modeOf(dir.file("fresh")), 0600u);
  EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"old", "fresh"}));
}

TEST(ReplaceFile, LinksStayAndTheirFinalTargetIsReplaced) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("dots/claude"));
  std::filesystem::create_directories(dir.file("home/.claude"));
  writeFile(dir.file("dots/claude/settings.json"), "old");
  // A relative link to a relative link to the file; and one that dangles.
  ASSERT_EQ(symlink("claude/settings.json", dir.file("dots/current").c_str()), 0);
  ASSERT_EQ(symlink("../../dots/current", dir.file("home/.claude/settings.json").c_str()), 0);
  ASSERT_EQ(
      symlink((dir.path() + "/dots/claude/later.json").c_str(), dir.file("home/later").c_str()), 0);

  EXPECT_FALSE(replaceFile(dir.file("home/.claude/settings.json"), "new"));
  EXPECT_FALSE(replaceFile(dir.file("home/later"), "later"));

  std::error_code error;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("home/.claude/settings.json")));
  EXPECT_EQ(std::filesystem::read_symlink(dir.file("home/.claude/settings.json"), error),
            "../../dots/current");
  EXPECT_EQ(std::filesystem::read_symlink(dir.file("dots/current"), error), "claude/settings.json");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("home/later")));
  EXPECT_EQ(readFile(dir.file("dots/claude/settings.json")), "new");
  EXPECT_EQ(readFile(dir.file("dots/claude/later.json")), "later");
  EXPECT_EQ(modeOf(dir.file("dots/claude/settings.json")), 0600u);
  EXPECT_EQ(entries(dir.file("dots/claude")),
            (std::set<std::string>{"settings.json", "later.json"}));
  EXPECT_EQ(entries(dir.file("home/.claude")), (std::set<std::string>{"settings.json"}));
}

TEST(ReplaceFile, FailuresNameTheReasonAndLeaveNothing) {
  TempDir dir;
  ASSERT_EQ(symlink("loop", dir.file("loop").c_str()), 0);
  EXPECT_EQ(replaceFile(dir.file("loop"), "x"), "Too many levels of symbolic links");
  EXPECT_EQ(replaceFile(dir.file("missing/settings.json"), "x"), "No such file or directory");
  // Renaming a file over a directory fails after the temporary file is
  // written: it must be removed again.
  std::filesystem::create_directory(dir.file("directory"));
  EXPECT_EQ(replaceFile(dir.file("directory"), "x"), "Is a directory");
  EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"loop", "directory"}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("directory")));
}

// That a backup is made once, private, and never refreshed is checked
// through install-hooks; here only the case a user cannot easily set up.
TEST(WriteBackupOnce, ADanglingLinkCountsAsABackupAlreadyThere) {
  TempDir dir;
  ASSERT_EQ(symlink("elsewhere", dir.file("linked").c_str()), 0);
  writeBackupOnce(dir.file("linked"), "x");
  EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere")));
}

}  // namespace
}  // namespace tesselo

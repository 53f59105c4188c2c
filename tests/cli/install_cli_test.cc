#include "cli/user_paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/socket_path.h"
#include "tests/cli/file_checks.h"
#include "tests/cli/mount_sandbox.h"
#include "tests/common/process_runner.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using test::MountSandbox;
using test::ProcessOptions;
using test::ProcessResult;

const std::string unknownUser = "~no-such-user-for-tesselo";

TEST(ExpandTilde, UsesThePasswordDatabaseNotHome) {
  test::ScopedEnv environment("HOME", "/home/from-the-environment");
  std::string home = passwordHomeDirectory();
  ASSERT_FALSE(home.empty());
  passwd* root = getpwnam("root");
  ASSERT_NE(root, nullptr);
  std::string rootHome = root->pw_dir;
  struct Case {
    std::string path;
    std::string expanded;
  } cases[] = {
      {"~", home},
      {"~/bin", home + "/bin"},
      {"~//bin/", home + "//bin/"},
      {"~root", rootHome},
      {"~root/bin", rootHome + "/bin"},
      {unknownUser + "/bin", unknownUser + "/bin"},
      {"/opt/~/bin", "/opt/~/bin"},
      {"bin~", "bin~"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(expandTilde(c.path), c.expanded) << c.path;
}

std::string target() {
  return fs::canonical(test::cliPath()).string();
}

std::string linked(const std::string& link) {
  return "linked " + link + " -> " + target() + "\n";
}

std::string cannotLink(const std::string& link, int error) {
  return "tesselo: cannot link " + link + ": " + std::strerror(error) + "\n  try: sudo ln -sf " +
         target() + " " + link + "\n";
}

std::string cannotCreate(const std::string& prefix, int error) {
  return "tesselo: cannot create " + prefix + ": " + std::strerror(error) +
         "\n  try: sudo mkdir -p " + prefix + "\n";
}

class InstallCli : public ::testing::Test {
 protected:
  ProcessResult installCli(std::vector<std::string> args,
                           const std::string& program = test::cliPath()) {
    args.insert(args.begin(), "install-cli");
    ProcessOptions options;
    options.env = {{"HOME", home.path()}};
    options.cwd = dir.path();
    return test::runProcess(program, args, options);
  }

  test::TempDir dir;
  test::TempDir home;
};

TEST_F(InstallCli, RunThroughItsOwnLinkRecreatesTheSameLink) {
  std::string link = dir.file("tesselo");
  ASSERT_EQ(installCli({"--prefix", dir.path()}).status, 0);
  ProcessResult again = installCli({"--prefix", dir.path()}, link);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, linked(link));
  EXPECT_EQ(fs::read_symlink(link), target());
}

TEST_F(InstallCli, LinksTheResolvedExecutableOverWhateverFileOrLinkStoodThere) {
  using Make = void (*)(const std::string& link, const std::string& scratch);
  struct Case {
    std::string prefix;
    Make make;
  } cases[] = {
      {dir.file("missing/directories/made"), nullptr},
      // Not a home directory, so an ordinary path below the current one.
      {unknownUser + "/bin", nullptr},
      {dir.file("regular file"),
       [](const std::string& link, const std::string&) { test::writeFile(link, "old tesselo"); }},
      {dir.file("dangling link"),
       [](const std::string& link, const std::string& scratch) {
         fs::create_symlink(scratch + "/nothing", link);
       }},
      {dir.file("link to a directory"),
       [](const std::string& link, const std::string& scratch) {
         fs::create_directory(scratch + "/kept");
         test::writeFile(scratch + "/kept/file", "keep me");
         fs::create_directory_symlink(scratch + "/kept", link);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    std::string link = (fs::path(dir.path()) / c.prefix / "tesselo").string();
    if (c.make) {
      fs::create_directory(c.prefix);
      c.make(link, home.path());
    }
    ProcessResult result = installCli({"--prefix", c.prefix, "ignored"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, linked(c.prefix + "/tesselo"));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(fs::read_symlink(link), target());
  }
  EXPECT_EQ(test::readFile(home.file("kept/file")), "keep me");
}

TEST_F(InstallCli, ReportsWhatCannotBeCreatedOrLinked) {
  test::writeFile(dir.file("file"), "");
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  fs::create_directories(dir.file("tesselo/inner"));
  test::writeFile(dir.file("tesselo/inner/notes"), "user data");
  struct Case {
    std::string prefix;
    std::string err;
  } cases[] = {
      {dir.file("file/sub"), cannotCreate(dir.file("file/sub"), ENOTDIR)},
      {dir.file("dangling"), cannotCreate(dir.file("dangling"), EEXIST)},
      {dir.file("file"), cannotLink(dir.file("file/tesselo"), ENOTDIR)},
      // A directory where the link goes is never removed.
      {dir.path(), cannotLink(dir.file("tesselo"), EEXIST)},
  };
  for (const Case& c : cases) {
    ProcessResult result = installCli({"--prefix", c.prefix});
    EXPECT_EQ(result.status, 1) << c.prefix;
    EXPECT_EQ(result.out, "") << c.prefix;
    EXPECT_EQ(result.err, c.err) << c.prefix;
  }
  EXPECT_FALSE(fs::exists(dir.file("nowhere")));
  EXPECT_EQ(test::readFile(dir.file("tesselo/inner/notes")), "user data");
}

// The rest reach the real home directory or /usr/local/bin, so they run with
// those covered by test folders.
struct Sandboxed {
  MountSandbox mounts;
  test::TempDir home;  // what HOME says, which must not matter
  std::string problem = MountSandbox::unavailableReason();

  ProcessResult installCli(const std::vector<std::string>& args) const {
    std::vector<std::string> words{"install-cli"};
    words.insert(words.end(), args.begin(), args.end());
    ProcessOptions options;
    options.env = {{"HOME", home.path()}};
    return mounts.run(test::cliPath(), words, options);
  }
};

TEST(InstallCliSandboxed, TildeIsTheHomeOfThePasswordDatabase) {
  const std::string userHome = passwordHomeDirectory();
  passwd* self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  for (std::string tilde : {std::string("~"), "~" + std::string(self->pw_name)}) {
    Sandboxed sandbox;
    SKIP_WITHOUT_SANDBOX(sandbox);
    auto standIn = sandbox.mounts.cover(userHome);
    if (!standIn) GTEST_SKIP() << "cannot cover the home directory " << userHome;
    ProcessResult result = sandbox.installCli({"--prefix", tilde + "/bin"});
    EXPECT_EQ(result.status, 0) << tilde;
    EXPECT_EQ(result.out, linked(userHome + "/bin/tesselo")) << tilde;
    EXPECT_EQ(result.err, "") << tilde;
    EXPECT_EQ(fs::read_symlink(*standIn + "/bin/tesselo"), target()) << tilde;
    EXPECT_TRUE(fs::is_empty(sandbox.home.path())) << tilde;
  }
}

TEST(InstallCliSandboxed, DefaultsToUsrLocalBin) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"--prefix"}}) {
    Sandboxed sandbox;
    SKIP_WITHOUT_SANDBOX(sandbox);
    auto standIn = sandbox.mounts.cover("/usr/local/bin");
    ASSERT_TRUE(standIn);
    ProcessResult result = sandbox.installCli(args);
    EXPECT_EQ(result.status, 0) << args.size();
    EXPECT_EQ(result.out, linked("/usr/local/bin/tesselo")) << args.size();
    EXPECT_EQ(fs::read_symlink(*standIn + "/tesselo"), target()) << args.size();
  }
}

TEST(InstallCliSandboxed, ReadOnlyDirectoryGivesBothHints) {
  Sandboxed sandbox;
  SKIP_WITHOUT_SANDBOX(sandbox);
  ASSERT_TRUE(sandbox.mounts.cover("/usr/local/bin", /*readOnly=*/true));
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, cannotLink("/usr/local/bin/tesselo", EROFS)},
      {{"--prefix", "/usr/local/bin/sub"}, cannotCreate("/usr/local/bin/sub", EROFS)},
  };
  for (const Case& c : cases) {
    ProcessResult result = sandbox.installCli(c.args);
    EXPECT_EQ(result.status, 1) << c.err;
    EXPECT_EQ(result.out, "") << c.err;
    EXPECT_EQ(result.err, c.err);
  }
}

}  // namespace
}  // namespace tesselo

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
#include "tests/cli/mount_sandbox.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using test::MountSandbox;
using test::ProcessOptions;
using test::ProcessResult;

const std::string unknownUser = "~no-such-user-for-tesselo";

TEST(ExpandTilde, UsesThePasswordDatabaseNotHome) {
  const char* oldHome = getenv("HOME");
  std::string saved = oldHome ? oldHome : "";
  setenv("HOME", "/home/from-the-environment", 1);
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
  if (oldHome)
    setenv("HOME", saved.c_str(), 1);
  else
    unsetenv("HOME");
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

TEST_F(InstallCli, CreatesTheMissingDirectoriesAndLinksTheResolvedExecutable) {
  std::string prefix = dir.file("a/b/c");
  ProcessResult result = installCli({"--prefix", prefix, "ignored"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, linked(prefix + "/tesselo"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(fs::read_symlink(prefix + "/tesselo"), target());
}

TEST_F(InstallCli, RunThroughItsOwnLinkRecreatesTheSameLink) {
  std::string link = dir.file("tesselo");
  ASSERT_EQ(installCli({"--prefix", dir.path()}).status, 0);
  ProcessResult again = installCli({"--prefix", dir.path()}, link);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, linked(link));
  EXPECT_EQ(fs::read_symlink(link), target());
}

TEST_F(InstallCli, ReplacesAFileOrLinkAtTheLinkPath) {
  struct Case {
    const char* name;
    void (*make)(const std::string& link, const std::string& scratch);
  } cases[] = {
      {"regular file",
       [](const std::string& link, const std::string&) { test::writeFile(link, "old tesselo"); }},
      {"dangling link",
       [](const std::string& link, const std::string& scratch) {
         fs::create_symlink(scratch + "/nothing", link);
       }},
      {"link to a directory",
       [](const std::string& link, const std::string& scratch) {
         fs::create_directory(scratch + "/kept");
         test::writeFile(scratch + "/kept/file", "keep me");
         fs::create_directory_symlink(scratch + "/kept", link);
       }},
  };
  for (const Case& c : cases) {
    std::string prefix = dir.file(c.name);
    fs::create_directory(prefix);
    c.make(prefix + "/tesselo", home.path());
    ProcessResult result = installCli({"--prefix", prefix});
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.out, linked(prefix + "/tesselo")) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(fs::read_symlink(prefix + "/tesselo"), target()) << c.name;
  }
  EXPECT_EQ(test::readFile(home.file("kept/file")), "keep me");
}

TEST_F(InstallCli, NeverRemovesADirectoryAtTheLinkPath) {
  std::string link = dir.file("tesselo");
  fs::create_directories(link + "/inner");
  test::writeFile(link + "/inner/notes", "user data");
  ProcessResult result = installCli({"--prefix", dir.path()});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, cannotLink(link, EEXIST));
  EXPECT_EQ(test::readFile(link + "/inner/notes"), "user data");
}

TEST_F(InstallCli, ReportsWhatCannotBeCreatedOrLinked) {
  test::writeFile(dir.file("file"), "");
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  struct Case {
    std::string prefix;
    std::string err;
  } cases[] = {
      {dir.file("file/sub"), cannotCreate(dir.file("file/sub"), ENOTDIR)},
      {dir.file("dangling"), cannotCreate(dir.file("dangling"), EEXIST)},
      {dir.file("file"), cannotLink(dir.file("file/tesselo"), ENOTDIR)},
  };
  for (const Case& c : cases) {
    ProcessResult result = installCli({"--prefix", c.prefix});
    EXPECT_EQ(result.status, 1) << c.prefix;
    EXPECT_EQ(result.out, "") << c.prefix;
    EXPECT_EQ(result.err, c.err) << c.prefix;
  }
  EXPECT_FALSE(fs::exists(dir.file("nowhere")));
}

TEST_F(InstallCli, TildeOfAnUnknownUserIsAnOrdinaryRelativePath) {
  ProcessResult result = installCli({"--prefix", unknownUser + "/bin"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, linked(unknownUser + "/bin/tesselo"));
  EXPECT_EQ(fs::read_symlink(dir.file(unknownUser + "/bin/tesselo")), target());
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

#define SKIP_WITHOUT_SANDBOX(sandbox) \
  if (!(sandbox).problem.empty()) GTEST_SKIP() << "mount sandbox unavailable: " << (sandbox).problem

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

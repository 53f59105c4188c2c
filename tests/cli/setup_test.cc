// install-mcp and install-cli as a user runs them: what they print, their
// status, what they run and the links they leave. Runs that could reach a
// fixed system location do so in a mount sandbox where it is a test folder.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "support/socket_path.h"
#include "tests/cli/mount_sandbox.h"

namespace tesselo {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string homebrew = "/opt/homebrew/bin", usrLocal = "/usr/local/bin";
const std::string home = passwordHomeDirectory() + "/.local/bin";
const std::string typed = "typed at the terminal\n";
const std::string target = fs::canonical(test::cliPath()).string();
const std::string builtServer = fs::path(target).parent_path() / "tesselo-mcp";

std::string shown(const test::ProcessResult& result) {
  return result.out + "|" + result.err + "|" + std::to_string(result.status);
}
std::string manual(const std::string& why, const std::string& server) {
  return "claude " + why + "; register manually:\n  claude mcp add tesselo --scope user -- " +
         server + "\n|";
}
void writeExecutable(const std::string& path, const std::string& text, mode_t mode = 0755) {
  fs::create_directories(fs::path(path).parent_path());
  test::writeFile(path, text);
  chmod(path.c_str(), mode);
}
#define SKIP_WITHOUT_SANDBOX()                          \
  if (!test::MountSandbox::unavailableReason().empty()) \
  GTEST_SKIP() << test::MountSandbox::unavailableReason()

enum Kind { exits0, exits1, exits255, killed, cannotStart, notExecutable, directory };
enum Program { built, spaced, throughLink, noServer };

struct McpRow {
  std::vector<std::pair<std::string, Kind>> claudes;
  Program program;
  std::string shown;
  std::string runs = "";  // where the claude that ran lies
};

TEST(InstallMcp, RunsTheFirstClaudeOfTheFixedLocations) {
  SKIP_WITHOUT_SANDBOX();
  test::TempDir dir;
  const std::string spacedDir = dir.file("with space/it's here");
  const std::string said = "claude says hello\n",
                    ok = said +
                         "registered tesselo MCP server with Claude Code\n|claude complains\n|0";
  const std::string failed = said + manual("mcp add failed", builtServer) + "claude complains\n|0";
  const std::string noMcp = "|tesselo: tesselo-mcp not found next to this binary\n|1";
  // clang-format off
  const McpRow rows[] = {
    {{{usrLocal, exits0}}, built, ok, usrLocal},
    {{{homebrew, exits1}}, built, failed, homebrew},
    {{{homebrew, exits255}}, built, failed, homebrew},
    {{{homebrew, killed}}, built, failed, homebrew},
    {{{homebrew, cannotStart}}, built, manual("mcp add failed", builtServer) + "|0"},
    {{{home, exits0}, {usrLocal, exits0}, {homebrew, exits0}}, built, ok, homebrew},
    {{{home, exits0}, {usrLocal, exits1}}, built, failed, usrLocal},
    {{{home, exits0}}, built, ok, home},
    {{{homebrew, notExecutable}, {usrLocal, exits0}}, built, ok, usrLocal},
    {{{homebrew, directory}, {home, exits0}}, built, ok, home},
    {{}, built, manual("not found on PATH", builtServer) + "|0"},
    {{}, spaced, manual("not found on PATH", spacedDir + "/tesselo-mcp") + "|0"},
    {{}, throughLink, manual("not found on PATH", builtServer) + "|0"},
    {{{usrLocal, exits0}}, noServer, noMcp},
  };
  // clang-format on
  const std::string programs[] = {test::cliPath(), spacedDir + "/tesselo-cli",
                                  dir.file("links/tesselo"), dir.file("none/tesselo-cli")};
  for (int copy : {spaced, noServer}) {
    fs::create_directories(fs::path(programs[copy]).parent_path());
    fs::copy_file(test::cliPath(), programs[copy]);
  }
  fs::create_directories(dir.file("links"));
  fs::create_symlink(test::cliPath(), programs[throughLink]);
  writeExecutable(spacedDir + "/tesselo-mcp", "#!/bin/sh\n");
  // Neither PATH nor HOME is searched: a claude there is never run.
  writeExecutable(dir.file("decoy/.local/bin/claude"), "#!/bin/sh\necho decoy ran\n");
  writeExecutable(dir.file("decoy/claude"), "#!/bin/sh\necho decoy ran\n");
  const char* endings[] = {"exit 0", "exit 1", "exit 255", "kill -KILL $$"};
  for (const McpRow& row : rows) {
    test::MountSandbox sandbox;
    test::TempDir records;
    std::map<std::string, std::string> standIn;
    for (const std::string& location : {homebrew, usrLocal, home}) {
      auto folder = sandbox.cover(location);
      if (!folder) GTEST_SKIP() << "cannot cover " << location;
      standIn[location] = *folder + "/claude";
    }
    for (const auto& [location, kind] : row.claudes) {
      std::string claude = standIn[location];
      if (kind <= killed)
        writeExecutable(claude, "#!/bin/sh\n{ printf '%s\\n' \"$0\" \"$#\" \"$@\"; cat; } > " +
                                    records.file("run") + "\necho 'claude says hello'\n" +
                                    "echo 'claude complains' >&2\n" + endings[kind] + "\n");
      if (kind == cannotStart) writeExecutable(claude, "#!/nonexistent/interpreter\n");
      if (kind == notExecutable) writeExecutable(claude, "", 0644);
      if (kind == directory) fs::create_directory(claude);
    }
    test::ProcessOptions options;
    options.input = typed;
    options.env = {{"HOME", dir.file("decoy")}, {"PATH", dir.file("decoy") + ":/usr/bin:/bin"}};
    SCOPED_TRACE(programs[row.program] + " with a claude at " + row.runs);
    EXPECT_EQ(shown(sandbox.run(programs[row.program], {"install-mcp", "extra", "--prefix", "x"},
                                options)),
              row.shown);
    // The claude that ran got exactly the seven arguments, and the terminal.
    std::string ran = row.runs + "/claude\n7\nmcp\nadd\ntesselo\n--scope\nuser\n--\n" +
                      builtServer + "\n" + typed;
    EXPECT_EQ(fs::exists(records.file("run")) ? test::readFile(records.file("run")) : "",
              row.runs.empty() ? "" : ran);
  }
}

std::string linked(const std::string& link) {
  return "linked " + link + " -> " + target + "\n||0";
}
std::string cannot(const std::string& what, const std::string& path, int error) {
  std::string hint = what == "create" ? "mkdir -p " + path : "ln -sf " + target + " " + path;
  return "|tesselo: cannot " + what + " " + path + ": " + std::strerror(error) + "\n  try: sudo " +
         hint + "\n|1";
}

TEST(InstallCli, LinksTheResolvedExecutableOverAFileOrLinkNeverADirectory) {
  test::TempDir dir;
  std::string d = dir.path(), unknown = "~no-such-user-for-tesselo/bin";
  for (std::string folder : {"/tesselo/inner", "/old", "/was dangling", "/kept", "/to dir"})
    fs::create_directories(d + folder);
  test::writeFile(d + "/file", "");
  test::writeFile(d + "/tesselo/inner/notes", "user data");
  test::writeFile(d + "/old/tesselo", "old tesselo");
  test::writeFile(d + "/kept/file", "keep me");
  fs::create_symlink(d + "/nowhere", d + "/dangling");
  fs::create_symlink(d + "/nothing", d + "/was dangling/tesselo");
  fs::create_directory_symlink(d + "/kept", d + "/to dir/tesselo");
  // clang-format off
  const std::pair<Args, std::string> rows[] = {
    {{"--prefix", d + "/made/on/the/way", "ignored"}, linked(d + "/made/on/the/way/tesselo")},
    {{"--prefix", unknown}, linked(unknown + "/tesselo")},  // not a home: a relative path
    {{"--prefix", d + "/old"}, linked(d + "/old/tesselo")},
    {{"--prefix", d + "/was dangling"}, linked(d + "/was dangling/tesselo")},
    {{"--prefix", d + "/to dir"}, linked(d + "/to dir/tesselo")},
    {{"--prefix", d + "/file/sub"}, cannot("create", d + "/file/sub", ENOTDIR)},
    {{"--prefix", d + "/dangling"}, cannot("create", d + "/dangling", EEXIST)},
    {{"--prefix", d + "/file"}, cannot("link", d + "/file/tesselo", ENOTDIR)},
    {{"--prefix", d}, cannot("link", d + "/tesselo", EEXIST)},
  };
  // clang-format on
  for (const auto& [args, expected] : rows) {
    test::ProcessOptions options;
    options.cwd = d;
    Args words = args;
    words.insert(words.begin(), "install-cli");
    EXPECT_EQ(shown(test::runProcess(test::cliPath(), words, options)), expected) << args[1];
    if (expected.starts_with("linked")) {
      EXPECT_EQ(fs::read_symlink(fs::path(d) / args[1] / "tesselo"), target);
    }
  }
  EXPECT_EQ(test::readFile(d + "/kept/file") + test::readFile(d + "/tesselo/inner/notes"),
            "keep meuser data");
  EXPECT_FALSE(fs::exists(d + "/nowhere"));
  // Run through the link it made, it makes the same link again.
  EXPECT_EQ(shown(test::runProcess(d + "/old/tesselo", {"install-cli", "--prefix", d + "/old"})),
            linked(d + "/old/tesselo"));
  EXPECT_EQ(fs::read_symlink(d + "/old/tesselo"), target);
}

// "~" is the password database's home, never HOME; the default is
// /usr/local/bin.
TEST(InstallCli, TildeAndTheDefaultInASandbox) {
  SKIP_WITHOUT_SANDBOX();
  const std::string userHome = passwordHomeDirectory();
  const std::pair<Args, std::string> rows[] = {
      {{"--prefix", "~/bin"}, userHome + "/bin/tesselo"},
      {{"--prefix", "~" + std::string(getpwuid(getuid())->pw_name) + "/bin"},
       userHome + "/bin/tesselo"},
      {{"--prefix", "~"}, userHome + "/tesselo"},
      {{}, usrLocal + "/tesselo"},
      {{"--prefix"}, usrLocal + "/tesselo"},
      {{"read-only"}, cannot("link", usrLocal + "/tesselo", EROFS)},
      {{"read-only", "--prefix", usrLocal + "/sub"}, cannot("create", usrLocal + "/sub", EROFS)},
  };
  for (const auto& [args, link] : rows) {
    SCOPED_TRACE(link);
    bool readOnly = !args.empty() && args[0] == "read-only";
    test::MountSandbox sandbox;
    auto homeStandIn = readOnly ? std::optional<std::string>("") : sandbox.cover(userHome);
    auto binStandIn = sandbox.cover(usrLocal, readOnly);
    if (!homeStandIn || !binStandIn) GTEST_SKIP() << "cannot cover " << userHome;
    Args words(args.begin() + readOnly, args.end());
    words.insert(words.begin(), "install-cli");
    test::TempDir decoy;
    test::ProcessOptions options;
    options.env["HOME"] = decoy.path();
    EXPECT_EQ(shown(sandbox.run(test::cliPath(), words, options)), readOnly ? link : linked(link));
    EXPECT_TRUE(fs::is_empty(decoy.path()));
    if (readOnly) continue;
    std::string inside = link.starts_with(usrLocal) ? *binStandIn + link.substr(usrLocal.size())
                                                    : *homeStandIn + link.substr(userHome.size());
    EXPECT_EQ(fs::read_symlink(inside), target);
  }
}

}  // namespace
}  // namespace tesselo

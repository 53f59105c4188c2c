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
using test::ProcessResult;

const std::string homebrew = "/opt/homebrew/bin", usrLocal = "/usr/local/bin";
const std::string home = passwordHomeDirectory() + "/.local/bin";
const std::string registered = "registered tesselo MCP server with Claude Code\n";
const std::string hello = "claude says hello\n", complains = "claude complains\n";
const std::string typed = "typed at the terminal\n";

std::string builtServer() {
  return fs::canonical(test::cliPath()).parent_path() / "tesselo-mcp";
}
std::string manual(const std::string& why, const std::string& server) {
  return why + "; register manually:\n  claude mcp add tesselo --scope user -- " + server + "\n";
}
void writeExecutable(const std::string& path, const std::string& text, mode_t mode = 0755) {
  fs::create_directories(fs::path(path).parent_path());
  test::writeFile(path, text);
  chmod(path.c_str(), mode);
}

enum Kind { exits0, exits1, exits255, killed, cannotStart, notExecutable, directory };
enum Program { built, spaced, linked, noServer, serverNotExecutable, serverDirectory };

struct McpRow {
  std::vector<std::pair<std::string, Kind>> claudes;
  Program program;
  std::string out, err;
  int status;
  std::string runs;  // where the claude that ran lies; empty: none ran
};

TEST(InstallMcp, RunsTheFirstClaudeOfTheFixedLocations) {
  const std::string failed = "claude mcp add failed", missing = "claude not found on PATH";
  const std::string noMcp = "tesselo: tesselo-mcp not found next to this binary\n";
  test::TempDir dir;
  const std::string spacedDir = dir.file("with space/it's here");
  // clang-format off
  const McpRow rows[] = {
    {{{usrLocal, exits0}}, built, hello + registered, complains, 0, usrLocal},
    {{{homebrew, exits1}}, built, hello + manual(failed, builtServer()), complains, 0, homebrew},
    {{{homebrew, exits255}}, built, hello + manual(failed, builtServer()), complains, 0, homebrew},
    {{{homebrew, killed}}, built, hello + manual(failed, builtServer()), complains, 0, homebrew},
    {{{homebrew, cannotStart}}, built, manual(failed, builtServer()), "", 0, ""},
    {{{home, exits0}, {usrLocal, exits0}, {homebrew, exits0}}, built, hello + registered, complains, 0, homebrew},
    {{{home, exits0}, {usrLocal, exits1}}, built, hello + manual(failed, builtServer()), complains, 0, usrLocal},
    {{{home, exits0}}, built, hello + registered, complains, 0, home},
    {{{homebrew, notExecutable}, {usrLocal, exits0}}, built, hello + registered, complains, 0, usrLocal},
    {{{homebrew, directory}, {home, exits0}}, built, hello + registered, complains, 0, home},
    {{}, built, manual(missing, builtServer()), "", 0, ""},
    {{}, spaced, manual(missing, spacedDir + "/tesselo-mcp"), "", 0, ""},
    {{}, linked, manual(missing, builtServer()), "", 0, ""},
    {{{usrLocal, exits0}}, noServer, "", noMcp, 1, ""},
    {{{usrLocal, exits0}}, serverNotExecutable, "", noMcp, 1, ""},
    {{{usrLocal, exits0}}, serverDirectory, "", noMcp, 1, ""},
  };
  // clang-format on
  fs::create_directories(dir.file("links"));
  fs::create_symlink(test::cliPath(), dir.file("links/tesselo"));
  writeExecutable(spacedDir + "/tesselo-mcp", "#!/bin/sh\n");
  const std::string programs[] = {test::cliPath(),
                                  spacedDir + "/tesselo-cli",
                                  dir.file("links/tesselo"),
                                  dir.file("none/tesselo-cli"),
                                  dir.file("plain/tesselo-cli"),
                                  dir.file("dir/tesselo-cli")};
  for (const std::string& copy : {programs[spaced], programs[noServer],
                                  programs[serverNotExecutable], programs[serverDirectory]}) {
    fs::create_directories(fs::path(copy).parent_path());
    fs::copy_file(test::cliPath(), copy);
  }
  writeExecutable(dir.file("plain/tesselo-mcp"), "#!/bin/sh\n", 0644);
  fs::create_directory(dir.file("dir/tesselo-mcp"));
  // Neither PATH nor HOME is searched: a claude there is never run.
  writeExecutable(dir.file("decoy/.local/bin/claude"), "#!/bin/sh\necho decoy ran\n");
  writeExecutable(dir.file("decoy/claude"), "#!/bin/sh\necho decoy ran\n");
  for (const McpRow& row : rows) {
    test::MountSandbox sandbox;
    if (!test::MountSandbox::unavailableReason().empty())
      GTEST_SKIP() << test::MountSandbox::unavailableReason();
    test::TempDir records;
    std::map<std::string, std::string> standIn;
    for (const std::string& location : {homebrew, usrLocal, home}) {
      auto folder = sandbox.cover(location);
      if (!folder) GTEST_SKIP() << "cannot cover " << location;
      standIn[location] = *folder;
    }
    const char* endings[] = {"exit 0", "exit 1", "exit 255", "kill -KILL $$"};
    for (const auto& [location, kind] : row.claudes) {
      std::string claude = standIn[location] + "/claude";
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
    ProcessResult result =
        sandbox.run(programs[row.program], {"install-mcp", "extra", "--prefix", "x"}, options);
    SCOPED_TRACE(programs[row.program] + " with a claude at " + row.runs);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.status, row.status);
    std::string ran = row.runs.empty()
                          ? ""
                          : row.runs + "/claude\n7\nmcp\nadd\ntesselo\n--scope\nuser\n--\n" +
                                builtServer() + "\n" + typed;
    EXPECT_EQ(fs::exists(records.file("run")) ? test::readFile(records.file("run")) : "", ran);
  }
}

std::string target() {
  return fs::canonical(test::cliPath()).string();
}
std::string linkedLine(const std::string& link) {
  return "linked " + link + " -> " + target() + "\n";
}
std::string cannot(const std::string& what, const std::string& path, int error) {
  std::string hint = what == "create" ? "mkdir -p " + path : "ln -sf " + target() + " " + path;
  return "tesselo: cannot " + what + " " + path + ": " + std::strerror(error) + "\n  try: sudo " +
         hint + "\n";
}

struct CliRow {
  std::vector<std::string> args;
  std::string out, err = "";
  int status = 0;
};

TEST(InstallCli, LinksTheResolvedExecutableWhereTold) {
  test::TempDir dir;
  std::string d = dir.path(), unknown = "~no-such-user-for-tesselo/bin";
  test::writeFile(d + "/file", "");
  fs::create_symlink(d + "/nowhere", d + "/dangling");
  fs::create_directories(d + "/tesselo/inner");
  test::writeFile(d + "/tesselo/inner/notes", "user data");
  fs::create_directories(d + "/old");
  test::writeFile(d + "/old/tesselo", "old tesselo");
  fs::create_directories(d + "/was dangling");
  fs::create_symlink(d + "/nothing", d + "/was dangling/tesselo");
  fs::create_directories(d + "/kept");
  test::writeFile(d + "/kept/file", "keep me");
  fs::create_directories(d + "/to dir");
  fs::create_directory_symlink(d + "/kept", d + "/to dir/tesselo");
  // clang-format off
  const CliRow rows[] = {
    {{"--prefix", d + "/made/on/the/way", "ignored"}, linkedLine(d + "/made/on/the/way/tesselo")},
    {{"--prefix", unknown}, linkedLine(unknown + "/tesselo")},  // not a home: a relative path
    {{"--prefix", d + "/old"}, linkedLine(d + "/old/tesselo")},
    {{"--prefix", d + "/was dangling"}, linkedLine(d + "/was dangling/tesselo")},
    {{"--prefix", d + "/to dir"}, linkedLine(d + "/to dir/tesselo")},
    {{"--prefix", d + "/file/sub"}, "", cannot("create", d + "/file/sub", ENOTDIR), 1},
    {{"--prefix", d + "/dangling"}, "", cannot("create", d + "/dangling", EEXIST), 1},
    {{"--prefix", d + "/file"}, "", cannot("link", d + "/file/tesselo", ENOTDIR), 1},
    {{"--prefix", d}, "", cannot("link", d + "/tesselo", EEXIST), 1},  // a directory stays
  };
  // clang-format on
  for (const CliRow& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.begin(), "install-cli");
    test::ProcessOptions options;
    options.cwd = d;
    ProcessResult result = test::runProcess(test::cliPath(), args, options);
    EXPECT_EQ(result.out, row.out) << row.args[1];
    EXPECT_EQ(result.err, row.err) << row.args[1];
    EXPECT_EQ(result.status, row.status) << row.args[1];
    if (row.status == 0) {
      EXPECT_EQ(fs::read_symlink(fs::path(d) / row.args[1] / "tesselo"), target());
    }
  }
  EXPECT_EQ(test::readFile(d + "/kept/file"), "keep me");
  EXPECT_EQ(test::readFile(d + "/tesselo/inner/notes"), "user data");
  EXPECT_FALSE(fs::exists(d + "/nowhere"));
  // Run through the link it made, it makes the same link again.
  ProcessResult again =
      test::runProcess(d + "/old/tesselo", {"install-cli", "--prefix", d + "/old"});
  EXPECT_EQ(again.out, linkedLine(d + "/old/tesselo"));
  EXPECT_EQ(fs::read_symlink(d + "/old/tesselo"), target());
}

// "~" is the password database's home, never HOME; the default is
// /usr/local/bin.
TEST(InstallCli, TildeAndTheDefaultInASandbox) {
  const std::string userHome = passwordHomeDirectory();
  const std::string self = getpwuid(getuid())->pw_name;
  const CliRow rows[] = {
      {{"--prefix", "~/bin"}, linkedLine(userHome + "/bin/tesselo")},
      {{"--prefix", "~" + self + "/bin"}, linkedLine(userHome + "/bin/tesselo")},
      {{"--prefix", "~"}, linkedLine(userHome + "/tesselo")},
      {{}, linkedLine("/usr/local/bin/tesselo")},
      {{"--prefix"}, linkedLine("/usr/local/bin/tesselo")},
      {{}, "", cannot("link", "/usr/local/bin/tesselo", EROFS), 1},
      {{"--prefix", "/usr/local/bin/sub"}, "", cannot("create", "/usr/local/bin/sub", EROFS), 1},
  };
  for (const CliRow& row : rows) {
    bool readOnly = row.status != 0;
    test::MountSandbox sandbox;
    if (!test::MountSandbox::unavailableReason().empty())
      GTEST_SKIP() << test::MountSandbox::unavailableReason();
    auto homeStandIn = readOnly ? std::optional<std::string>("") : sandbox.cover(userHome);
    auto binStandIn = sandbox.cover(usrLocal, readOnly);
    if (!homeStandIn || !binStandIn) GTEST_SKIP() << "cannot cover " << userHome;
    std::vector<std::string> args = row.args;
    args.insert(args.begin(), "install-cli");
    test::TempDir decoy;
    test::ProcessOptions options;
    options.env["HOME"] = decoy.path();
    ProcessResult result = sandbox.run(test::cliPath(), args, options);
    SCOPED_TRACE(args.back());
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.status, row.status);
    EXPECT_TRUE(fs::is_empty(decoy.path()));
    if (readOnly) continue;
    std::string link = row.out.substr(7, row.out.find(" -> ") - 7);  // "linked LINK -> ..."
    std::string inside = link.starts_with(usrLocal) ? *binStandIn + link.substr(usrLocal.size())
                                                    : *homeStandIn + link.substr(userHome.size());
    EXPECT_EQ(fs::read_symlink(inside), target());
  }
}

}  // namespace
}  // namespace tesselo

// install-mcp runs claude from fixed system locations, so every test that
// could reach one runs in a mount sandbox where those locations are the
// test's own folders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "cli/self_path.h"
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

const std::string homebrewDir = "/opt/homebrew/bin";
const std::string usrLocalDir = "/usr/local/bin";
std::string homeDir() {
  return passwordHomeDirectory() + "/.local/bin";
}

const std::string registered = "registered tesselo MCP server with Claude Code\n";

std::string manual(const std::string& why, const std::string& server) {
  return why + "\n  claude mcp add tesselo --scope user -- " + server + "\n";
}
std::string notFound(const std::string& server) {
  return manual("claude not found on PATH; register manually:", server);
}
std::string addFailed(const std::string& server) {
  return manual("claude mcp add failed; register manually:", server);
}

std::string builtServer() {
  return fs::canonical(test::cliPath()).parent_path() / "tesselo-mcp";
}

void writeExecutable(const std::string& path, const std::string& text, mode_t mode = 0755) {
  test::writeFile(path, text);
  chmod(path.c_str(), mode);
}

// Every claude location covered by an empty folder of the test's own.
struct ClaudeSandbox {
  MountSandbox mounts;
  test::TempDir records;
  std::map<std::string, std::string> standIn;
  std::string problem;

  ClaudeSandbox() {
    problem = MountSandbox::unavailableReason();
    if (!problem.empty()) return;
    for (const std::string& dir : {homebrewDir, usrLocalDir, homeDir()}) {
      auto folder = mounts.cover(dir);
      if (!folder) {
        problem = "cannot cover " + dir + " without hiding the test's own files";
        return;
      }
      standIn[dir] = *folder;
    }
  }

  // A fake claude that records how it was started, talks on both streams,
  // then runs `ending`.
  void placeClaude(const std::string& dir, const std::string& ending = "exit 0") {
    writeExecutable(standIn.at(dir) + "/claude", "#!/bin/sh\ncd " + shellQuoted(records.path()) +
                                                     R"(
printf '%s\n' "$0" > argv0
printf '%s\n' "$#" > count
for a in "$@"; do printf '%s\n' "$a"; done > args
cat > stdin
echo 'claude says hello'
echo 'claude complains' >&2
)" + ending + "\n");
  }

  std::string record(const std::string& name) const { return test::readFile(records.file(name)); }

  ProcessResult installMcp(const std::string& program = test::cliPath(),
                           const ProcessOptions& options = {}) const {
    return mounts.run(program, {"install-mcp"}, options);
  }
};

TEST(InstallMcp, RegistersWithExactlyTheSevenArgumentsOnInheritedStreams) {
  ClaudeSandbox sandbox;
  SKIP_WITHOUT_SANDBOX(sandbox);
  sandbox.placeClaude(usrLocalDir);
  ProcessOptions options;
  options.input = "typed at the terminal\n";
  ProcessResult result =
      sandbox.mounts.run(test::cliPath(), {"install-mcp", "extra", "--prefix", "x"}, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "claude says hello\n" + registered);
  EXPECT_EQ(result.err, "claude complains\n");
  EXPECT_EQ(sandbox.record("argv0"), usrLocalDir + "/claude\n");
  EXPECT_EQ(sandbox.record("count"), "7\n");
  EXPECT_EQ(sandbox.record("args"),
            "mcp\nadd\ntesselo\n--scope\nuser\n--\n" + builtServer() + "\n");
  EXPECT_EQ(sandbox.record("stdin"), options.input);
}

TEST(InstallMcp, UnsuccessfulClaudePrintsTheManualCommand) {
  struct Case {
    const char* name;
    std::string ending;  // none: a claude that cannot even start
  } cases[] = {
      {"status 1", "exit 1"},
      {"status 255", "exit 255"},
      {"killed by a signal", "kill -KILL $$"},
      {"cannot start", ""},
  };
  for (const Case& c : cases) {
    ClaudeSandbox sandbox;
    SKIP_WITHOUT_SANDBOX(sandbox);
    bool starts = !c.ending.empty();
    if (starts)
      sandbox.placeClaude(homebrewDir, c.ending);
    else
      writeExecutable(sandbox.standIn.at(homebrewDir) + "/claude", "#!/nonexistent/interpreter\n");
    ProcessResult result = sandbox.installMcp();
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.out, (starts ? "claude says hello\n" : "") + addFailed(builtServer()))
        << c.name;
    EXPECT_EQ(result.err, starts ? "claude complains\n" : "") << c.name;
    EXPECT_EQ(fs::exists(sandbox.records.file("count")), starts) << c.name;
    if (starts) {
      EXPECT_EQ(sandbox.record("count"), "7\n") << c.name;
    }
  }
}

TEST(InstallMcp, TriesTheLocationsInOrder) {
  enum Kind { runnable, notExecutable, directory };
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, Kind>> placed;
    std::string runs;
  } cases[] = {
      {"homebrew first",
       {{homeDir(), runnable}, {usrLocalDir, runnable}, {homebrewDir, runnable}},
       homebrewDir},
      {"/usr/local/bin before home", {{homeDir(), runnable}, {usrLocalDir, runnable}}, usrLocalDir},
      {"home last", {{homeDir(), runnable}}, homeDir()},
      {"no execute bits are skipped",
       {{homebrewDir, notExecutable}, {usrLocalDir, runnable}},
       usrLocalDir},
      {"a directory is skipped", {{homebrewDir, directory}, {homeDir(), runnable}}, homeDir()},
  };
  for (const Case& c : cases) {
    ClaudeSandbox sandbox;
    SKIP_WITHOUT_SANDBOX(sandbox);
    for (const auto& [dir, kind] : c.placed) {
      if (kind == runnable) sandbox.placeClaude(dir);
      if (kind == notExecutable) writeExecutable(sandbox.standIn.at(dir) + "/claude", "", 0644);
      if (kind == directory) fs::create_directory(sandbox.standIn.at(dir) + "/claude");
    }
    ProcessResult result = sandbox.installMcp();
    EXPECT_EQ(result.out, "claude says hello\n" + registered) << c.name;
    EXPECT_EQ(sandbox.record("argv0"), c.runs + "/claude\n") << c.name;
  }
}

TEST(InstallMcp, NeitherPathNorHomeVariableIsSearched) {
  ClaudeSandbox sandbox;
  SKIP_WITHOUT_SANDBOX(sandbox);
  test::TempDir elsewhere;
  fs::create_directories(elsewhere.file(".local/bin"));
  writeExecutable(elsewhere.file(".local/bin/claude"), "#!/bin/sh\necho ran\n");
  writeExecutable(elsewhere.file("claude"), "#!/bin/sh\necho ran\n");
  ProcessOptions options;
  options.env = {{"HOME", elsewhere.path()},
                 {"PATH", elsewhere.path() + ":" + std::string(getenv("PATH"))}};
  ProcessResult result = sandbox.installMcp(test::cliPath(), options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, notFound(builtServer()));
  EXPECT_EQ(result.err, "");
}

TEST(InstallMcp, ServerPathIsPrintedUnquotedAndFoundBesideTheResolvedExecutable) {
  ClaudeSandbox sandbox;
  SKIP_WITHOUT_SANDBOX(sandbox);
  test::TempDir dir;
  std::string spaced = dir.file("with space/it's here");
  fs::create_directories(spaced);
  fs::copy_file(test::cliPath(), spaced + "/tesselo-cli");
  writeExecutable(spaced + "/tesselo-mcp", "#!/bin/sh\n");
  fs::create_directory(dir.file("links"));
  fs::create_symlink(test::cliPath(), dir.file("links/tesselo"));
  struct Case {
    std::string program;
    std::string server;
  } cases[] = {
      {spaced + "/tesselo-cli", spaced + "/tesselo-mcp"},
      {dir.file("links/tesselo"), builtServer()},
  };
  for (const Case& c : cases) {
    ProcessResult result = sandbox.installMcp(c.program);
    EXPECT_EQ(result.status, 0) << c.program;
    EXPECT_EQ(result.out, notFound(c.server)) << c.program;
    EXPECT_EQ(result.err, "") << c.program;
  }
}

TEST(InstallMcp, FailsWithoutAnExecutableServerBesideIt) {
  ClaudeSandbox sandbox;
  SKIP_WITHOUT_SANDBOX(sandbox);
  sandbox.placeClaude(usrLocalDir);
  enum Server { missing, notExecutable, directory };
  for (Server server : {missing, notExecutable, directory}) {
    test::TempDir dir;
    fs::copy_file(test::cliPath(), dir.file("tesselo-cli"));
    if (server == notExecutable) writeExecutable(dir.file("tesselo-mcp"), "#!/bin/sh\n", 0644);
    if (server == directory) fs::create_directory(dir.file("tesselo-mcp"));
    ProcessResult result = sandbox.installMcp(dir.file("tesselo-cli"));
    EXPECT_EQ(result.status, 1) << server;
    EXPECT_EQ(result.out, "") << server;
    EXPECT_EQ(result.err, "tesselo: tesselo-mcp not found next to this binary\n") << server;
    EXPECT_FALSE(fs::exists(sandbox.records.file("count"))) << "claude ran for case " << server;
  }
}

}  // namespace
}  // namespace tesselo

// install-mcp: registers tesselo-mcp, which lies beside this executable, with
// Claude Code by running Claude Code's own claude tool.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/frame.h"
#include "cli/self_path.h"
#include "support/socket_path.h"

extern char** environ;

namespace tesselo {

namespace {

inline constexpr std::string_view serverFileName = "tesselo-mcp";
inline constexpr std::string_view serverNotFoundMessage =
    "tesselo-mcp not found next to this binary";
inline constexpr std::string_view claudeNotFoundLine =
    "claude not found on PATH; register manually:";
inline constexpr std::string_view claudeFailedLine = "claude mcp add failed; register manually:";
inline constexpr std::string_view registeredLine = "registered tesselo MCP server with Claude Code";
inline constexpr std::string_view manualCommandStart = "  claude mcp add tesselo --scope user -- ";

// Where Claude Code's installers put claude; PATH is deliberately not
// searched, so what runs does not depend on the caller's environment.
inline constexpr const char* fixedClaudeLocations[] = {"/opt/homebrew/bin/claude",
                                                       "/usr/local/bin/claude"};
inline constexpr std::string_view homeClaudeLocation = "/.local/bin/claude";

inline constexpr const char* registrationArguments[] = {"mcp",     "add",  "tesselo",
                                                        "--scope", "user", "--"};

// A directory carries execute bits too, but cannot be run.
bool isExecutableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> claudeLocations() {
  std::vector<std::string> locations(std::begin(fixedClaudeLocations),
                                     std::end(fixedClaudeLocations));
  // Without a home directory the last candidate would name a path at the
  // root of the file system.
  std::string home = passwordHomeDirectory();
  if (!home.empty()) locations.push_back(home + std::string(homeClaudeLocation));
  return locations;
}

// Runs claude on our own standard streams and returns its exit status; -1
// when it could not be started or did not exit normally.
int runClaude(const std::string& claude, const std::string& server) {
  std::vector<std::string> words{claude};
  words.insert(words.end(), std::begin(registrationArguments), std::end(registrationArguments));
  words.push_back(server);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid;
  if (posix_spawn(&pid, claude.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void printManually(std::string_view why, const std::string& server) {
  print(std::string(why) + "\n" + std::string(manualCommandStart) + server + "\n");
}

}  // namespace

int runInstallMcp() {
  std::string self = selfExecutablePath();
  std::string server = self.substr(0, self.rfind('/') + 1) + std::string(serverFileName);
  if (!isExecutableFile(server)) fail(serverNotFoundMessage);

  for (const std::string& claude : claudeLocations()) {
    if (!isExecutableFile(claude)) continue;
    if (runClaude(claude, server) == 0)
      print(std::string(registeredLine) + "\n");
    else
      printManually(claudeFailedLine, server);
    return 0;
  }
  printManually(claudeNotFoundLine, server);
  return 0;
}

}  // namespace tesselo

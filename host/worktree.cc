// git, run with argument vectors: rev-parse to find the repository,
// show-ref to keep branch names fresh, worktree add to make the folder.
#include "host/worktree.h"

#include <sys/stat.h>

#include <cstdio>

#include "host/pane_ids.h"
#include "host/process.h"
#include "host/text.h"

namespace tesselo::host {

namespace {

// Checking out a large repository takes a while; a hung git must not hold
// the connection for ever.
constexpr std::chrono::seconds gitTimeLimit{300};
constexpr int nameAttempts = 8;

std::string gitMessage(const ProgramResult& result) {
  if (!result.started) return "cannot run git: is it installed?";
  if (result.timedOut) return "git did not finish in time";
  // git tells its progress and hints around the line that gives the reason.
  std::string last;
  for (std::string_view each : splitLines(result.err)) {
    std::string line(trimEnd(each));
    if (line.rfind("fatal: ", 0) == 0 || line.rfind("error: ", 0) == 0) return line;
    if (!line.empty()) last = line;
  }
  return last.empty() ? "git failed" : last;
}

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string worktreeBranch(uint64_t random) {
  char text[16];
  std::snprintf(text, sizeof text, "%06llx", static_cast<unsigned long long>(random & 0xffffff));
  return std::string("tesselo-") + text;
}

std::string worktreeFolder(const std::string& repositoryRoot, const std::string& branch) {
  std::string root = repositoryRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  size_t slash = root.find_last_of('/');
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : root.substr(0, slash);
  std::string name = slash == std::string::npos ? root : root.substr(slash + 1);
  return (parent == "/" ? "" : parent) + "/" + name + "-" + branch;
}

WorktreeOutcome createWorktree(const std::string& directory) {
  WorktreeOutcome outcome;
  ProgramResult top =
      runProgram({"git", "-C", directory, "rev-parse", "--show-toplevel"}, gitTimeLimit);
  if (!top.started || top.timedOut || top.status != 0) {
    outcome.error =
        top.started && !top.timedOut ? "not in a git repository: " + directory : gitMessage(top);
    return outcome;
  }
  std::string root = firstLine(top.out);
  for (int attempt = 0; attempt < nameAttempts; ++attempt) {
    std::string branch = worktreeBranch(randomWord());
    std::string folder = worktreeFolder(root, branch);
    ProgramResult known =
        runProgram({"git", "-C", root, "show-ref", "--verify", "--quiet", "refs/heads/" + branch},
                   gitTimeLimit);
    if (known.status == 0 || exists(folder)) continue;
    ProgramResult added =
        runProgram({"git", "-C", root, "worktree", "add", "-b", branch, folder}, gitTimeLimit);
    if (added.started && !added.timedOut && added.status == 0) {
      outcome.branch = branch;
      outcome.folder = folder;
    } else {
      outcome.error = "git worktree add failed: " + gitMessage(added);
    }
    return outcome;
  }
  outcome.error = "git worktree add failed: no free branch name";
  return outcome;
}

}  // namespace tesselo::host

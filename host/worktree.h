// A fresh git worktree on a new branch, in a new folder beside the
// repository, for "new" with "worktree".
#pragma once

#include <cstdint>
#include <string>

namespace tesselo::host {

struct WorktreeOutcome {
  std::string branch;
  std::string folder;
  std::string error;  // empty on success
};

// The branch name for one attempt, from a random number.
std::string worktreeBranch(uint64_t random);

// The folder beside the repository: <parent>/<repository name>-<branch>.
std::string worktreeFolder(const std::string& repositoryRoot, const std::string& branch);

// Finds the repository of `directory` and adds a worktree on a fresh branch
// from its HEAD.
WorktreeOutcome createWorktree(const std::string& directory);

}  // namespace tesselo::host

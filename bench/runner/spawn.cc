// posix_spawn with an explicit environment, so the runner adds no shell.
#include "bench/runner/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "bench/runner/clock.h"

extern char** environ;

namespace bench {

namespace {

std::vector<std::string> environmentFor(const Command& command) {
  std::map<std::string, std::string> merged;
  for (char** p = environ; *p; ++p) {
    std::string entry = *p;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : command.env) {
    if (value)
      merged[name] = *value;
    else
      merged.erase(name);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : merged) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::optional<Child> start(const Command& command, bool pipeInput, bool pipeOutput) {
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
  if (pipeInput && pipe2(inPipe, O_CLOEXEC) != 0) return std::nullopt;
  if (pipeOutput && pipe2(outPipe, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipeInput)
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  else
    posix_spawn_file_actions_addopen(
        &actions, 0, command.stdinFile.empty() ? "/dev/null" : command.stdinFile.c_str(), O_RDONLY,
        0);
  if (pipeOutput)
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

  std::vector<std::string> args = command.argv;
  std::vector<std::string> env = environmentFor(command);
  auto argp = pointers(args);
  auto envp = pointers(env);
  Child child;
  int rc = posix_spawn(&child.pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (pipeInput) close(inPipe[0]);
  if (pipeOutput) close(outPipe[1]);
  if (rc != 0) {
    if (pipeInput) close(inPipe[1]);
    if (pipeOutput) close(outPipe[0]);
    return std::nullopt;
  }
  child.input = inPipe[1];
  child.output = outPipe[0];
  return child;
}

int finish(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::optional<double> timeRun(const Command& command) {
  double begin = nowMicros();
  auto child = start(command, false, false);
  if (!child) return std::nullopt;
  int status = finish(child->pid);
  double elapsed = nowMicros() - begin;
  if (status != 0) return std::nullopt;
  return elapsed;
}

}  // namespace bench

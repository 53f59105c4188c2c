// fork/exec with the standard streams on pipes, pumped with poll so large
// inputs and outputs never block each other.
#include "tests/common/process_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace tesselo::test {

std::string buildDir() {
  return TESSELO_BUILD_DIR;
}
std::string cliPath() {
  return buildDir() + "/tesselo-cli";
}
std::string mcpPath() {
  return buildDir() + "/tesselo-mcp";
}

namespace {

// Starts the program with the three descriptors as its standard streams. The
// environment is built before fork: the test may have threads running.
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const ProcessOptions& options, const int (&streams)[3]) {
  std::vector<std::string> env, argStrings{program};
  for (char** e = environ; *e; ++e)
    if (!options.env.count(std::string(*e, std::strcspn(*e, "=")))) env.push_back(*e);
  for (const auto& [name, value] : options.env)
    if (value) env.push_back(name + "=" + *value);
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& s : argStrings) argv.push_back(s.data());
  for (std::string& s : env) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  for (int fd = 0; fd < 3; ++fd) dup2(streams[fd], fd);
  signal(SIGPIPE, SIG_DFL);
  const auto& user = options.user;
  if ((options.cwd.empty() || chdir(options.cwd.c_str()) == 0) &&
      (!user || (setgroups(0, nullptr) == 0 && setgid(user->gid) == 0 && setuid(user->uid) == 0)))
    execve(program.c_str(), argv.data(), envp.data());
  _exit(127);
}

int exitStatus(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const ProcessOptions& options)
    : input_(options.input) {
  // A child that closes its input early must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  int pipes[3][2];
  for (auto& p : pipes)
    if (pipe2(p, O_CLOEXEC) != 0) return;
  pid_ = spawn(program, args, options, {pipes[0][0], pipes[1][1], pipes[2][1]});
  for (int fd : {pipes[0][0], pipes[1][1], pipes[2][1]}) close(fd);
  in_ = pipes[0][1];
  out_ = pipes[1][0];
  err_ = pipes[2][0];
  fcntl(in_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    exitStatus(pid_);
  }
  for (int fd : {in_, out_, err_})
    if (fd >= 0) close(fd);
}

// Moves bytes both ways (the input out, both outputs in) until done() holds,
// both outputs have ended or the deadline has passed.
bool ChildProcess::pump(Clock::time_point deadline, const std::function<bool()>& done) {
  char buffer[65536];
  while (!done() && (out_ >= 0 || err_ >= 0)) {
    pollfd fds[3] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}, {input_.empty() ? -1 : in_, POLLOUT, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int ready = poll(fds, 3, static_cast<int>(std::clamp<long>(left.count(), 0, 1 << 30)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if (fds[2].revents) {
      ssize_t n = ::write(in_, input_.data(), input_.size());
      if (n < 0 && errno != EAGAIN && errno != EINTR) inputRefused_ = true;
      input_.erase(0, inputRefused_ ? input_.size() : static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_ : err_;
      ssize_t n = fds[i].revents ? read(fd, buffer, sizeof buffer) : -1;
      if (n > 0)
        (i == 0 ? pending_ : errors_).append(buffer, static_cast<size_t>(n));
      else if (fds[i].revents && (n == 0 || errno != EINTR))
        close(std::exchange(fd, -1));
    }
  }
  return done();
}

bool ChildProcess::write(const std::string& bytes, std::chrono::milliseconds limit) {
  input_ += bytes;
  return pump(Clock::now() + limit, [&] { return input_.empty(); }) && !inputRefused_;
}

void ChildProcess::closeOutput() {
  if (out_ >= 0) close(std::exchange(out_, -1));
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
  size_t end = std::string::npos;
  if (!pump(Clock::now() + limit, [&] { return (end = pending_.find('\n')) != std::string::npos; }))
    return std::nullopt;
  std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return line;
}

ProcessResult ChildProcess::finish(bool closeInputFirst, std::chrono::milliseconds limit) {
  auto inputDone = [&] {
    if (closeInputFirst && input_.empty() && in_ >= 0) close(std::exchange(in_, -1));
    return false;
  };
  // Past the limit the child is killed and the rest of its output still read.
  if (pid_ > 0 && !pump(Clock::now() + limit, inputDone) && (out_ >= 0 || err_ >= 0)) {
    kill(pid_, SIGKILL);
    pump(Clock::now() + std::chrono::hours(1), inputDone);
  }
  inputDone();
  ProcessResult result{std::exchange(pending_, ""), std::exchange(errors_, "")};
  if (pid_ > 0) result.status = exitStatus(std::exchange(pid_, -1));
  return result;
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  return ChildProcess(program, args, options).finish(true, std::chrono::hours(1));
}

pid_t startProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::optional<std::string>>& env) {
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t pid = spawn(program, args, {.env = env}, {null, null, null});
  close(null);
  return pid;
}

}  // namespace tesselo::test

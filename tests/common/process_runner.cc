// fork/exec with the standard streams on pipes, pumped with poll so large
// outputs never block.
#include "tests/common/process_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
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

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Starts the program with the three descriptors as its standard streams.
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const ProcessOptions& options, const int (&streams)[3]) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string_view::npos) env[std::string(entry.substr(0, eq))] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : options.env) {
    if (value)
      env[name] = *value;
    else
      env.erase(name);
  }
  std::vector<std::string> envStrings, argStrings{program};
  for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& s : argStrings) argv.push_back(s.data());
  for (std::string& s : envStrings) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  for (int fd = 0; fd < 3; ++fd) dup2(streams[fd], fd);
  signal(SIGPIPE, SIG_DFL);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(childSetupFailed);
  if (options.user && (setgroups(0, nullptr) != 0 || setgid(options.user->gid) != 0 ||
                       setuid(options.user->uid) != 0))
    _exit(childSetupFailed);
  execve(program.c_str(), argv.data(), envp.data());
  _exit(notExecuted);
}

// The same on three new pipes; the parent's ends come back in in (not
// blocking), out and err. -1 when the pipes cannot be made.
pid_t spawnWithPipes(const std::string& program, const std::vector<std::string>& args,
                     const ProcessOptions& options, int& in, int& out, int& err) {
  // A child that closes its input early must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  int pipes[3][2];
  for (auto& p : pipes)
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
  pid_t pid = spawn(program, args, options, {pipes[0][0], pipes[1][1], pipes[2][1]});
  for (int fd : {pipes[0][0], pipes[1][1], pipes[2][1]}) close(fd);
  in = pipes[0][1];
  out = pipes[1][0];
  err = pipes[2][0];
  fcntl(in, F_SETFL, O_NONBLOCK);
  return pid;
}

// Milliseconds left until the deadline, for poll: -1 without one.
int left(Deadline deadline) {
  if (!deadline) return -1;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline -
                                                                  std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long>(ms.count(), 0, 1 << 30));
}

// Writes `input` to `in` (closing it once all is written or the child stops
// reading) while both outputs are read to their end. Past the deadline the
// child is killed and the rest of its output still collected.
void pump(int& in, std::string_view input, int& out, int& err, pid_t pid, Deadline deadline,
          ProcessResult& result) {
  if (in >= 0 && input.empty()) close(std::exchange(in, -1));
  char buffer[65536];
  while (out >= 0 || err >= 0) {
    pollfd fds[3];
    int n = 0;
    for (int fd : {out, err})
      if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
    if (in >= 0) fds[n++] = {in, POLLOUT, 0};
    int ready = poll(fds, n, left(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) {
      kill(pid, SIGKILL);
      deadline.reset();
      continue;
    }
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == in) {
        ssize_t w = write(in, input.data(), input.size());
        if (w < 0 && errno != EAGAIN && errno != EINTR) w = static_cast<ssize_t>(input.size());
        input.remove_prefix(static_cast<size_t>(std::max<ssize_t>(w, 0)));
        if (input.empty()) close(std::exchange(in, -1));
        continue;
      }
      int& fd = fds[i].fd == out ? out : err;
      ssize_t r = read(fd, buffer, sizeof buffer);
      if (r > 0)
        (&fd == &out ? result.out : result.err).append(buffer, static_cast<size_t>(r));
      else if (r == 0 || errno != EINTR)
        close(std::exchange(fd, -1));
    }
  }
  if (in >= 0) close(std::exchange(in, -1));
}

int exitStatus(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  int in = -1, out = -1, err = -1;
  pid_t pid = spawnWithPipes(program, args, options, in, out, err);
  if (pid < 0) return {};
  ProcessResult result;
  pump(in, options.input, out, err, pid, std::nullopt, result);
  result.status = exitStatus(pid);
  return result;
}

pid_t startProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::optional<std::string>>& env) {
  ProcessOptions options;
  options.env = env;
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t pid = spawn(program, args, options, {null, null, null});
  close(null);
  return pid;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const ProcessOptions& options) {
  pid_ = spawnWithPipes(program, args, options, in_, out_, err_);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    exitStatus(pid_);
  }
  for (int fd : {in_, out_, err_})
    if (fd >= 0) close(fd);
}

bool ChildProcess::write(const std::string& bytes, std::chrono::milliseconds limit) {
  Deadline deadline = std::chrono::steady_clock::now() + limit;
  std::string_view rest = bytes;
  while (in_ >= 0 && !rest.empty()) {
    ssize_t n = ::write(in_, rest.data(), rest.size());
    if (n > 0) {
      rest.remove_prefix(static_cast<size_t>(n));
    } else if (errno != EINTR) {
      pollfd fd{in_, POLLOUT, 0};
      if (errno != EAGAIN || poll(&fd, 1, left(deadline)) == 0) return false;
    }
  }
  return rest.empty();
}

void ChildProcess::closeInput() {
  if (in_ >= 0) close(std::exchange(in_, -1));
}

void ChildProcess::closeOutput() {
  if (out_ >= 0) close(std::exchange(out_, -1));
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
  Deadline deadline = std::chrono::steady_clock::now() + limit;
  char buffer[65536];
  for (size_t end; (end = pending_.find('\n')) == std::string::npos;) {
    pollfd fd{out_, POLLIN, 0};
    int ready = out_ < 0 ? 0 : poll(&fd, 1, left(deadline));
    if (ready < 0 && errno == EINTR) continue;
    ssize_t n = ready > 0 ? read(out_, buffer, sizeof buffer) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<size_t>(n));
  }
  size_t end = pending_.find('\n');
  std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return line;
}

ProcessResult ChildProcess::finish(bool closeInputFirst, std::chrono::milliseconds limit) {
  if (closeInputFirst) closeInput();
  ProcessResult result;
  if (pid_ <= 0) return result;
  result.out = std::exchange(pending_, std::string());
  int untouched = -1;  // input left as it is when not closed first
  pump(untouched, {}, out_, err_, pid_, std::chrono::steady_clock::now() + limit, result);
  result.status = exitStatus(std::exchange(pid_, -1));
  return result;
}

}  // namespace tesselo::test

// fork/exec with three pipes, pumped with poll so large outputs never block.
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

std::vector<std::string> mergedEnvironment(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value)
      env[name] = *value;
    else
      env.erase(name);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Starts the program with its three standard streams on pipes; the parent's
// ends come back in in, out and err. -1 when the pipes cannot be made.
pid_t spawnWithPipes(const std::string& program, const std::vector<std::string>& args,
                     const ProcessOptions& options, int& in, int& out, int& err) {
  // A child that closes its input early must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = mergedEnvironment(options.env);
  std::vector<char*> argv = pointers(argStrings);
  std::vector<char*> envp = pointers(envStrings);
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    signal(SIGPIPE, SIG_DFL);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(childSetupFailed);
    if (options.user && (setgroups(0, nullptr) != 0 || setgid(options.user->gid) != 0 ||
                         setuid(options.user->uid) != 0))
      _exit(childSetupFailed);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(notExecuted);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  in = inPipe[1];
  out = outPipe[0];
  err = errPipe[0];
  return pid;
}

}  // namespace

pid_t startProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::optional<std::string>>& env) {
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = mergedEnvironment(env);
  std::vector<char*> argv = pointers(argStrings);
  std::vector<char*> envp = pointers(envStrings);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(notExecuted);
  }
  return pid;
}

namespace {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Writes `input` to `in` (closing it once all is written or the child stops
// reading) while both outputs are read to their end. Past the deadline the
// child is killed and the rest of its output still collected.
void pump(int& in, std::string_view input, int& out, int& err, pid_t pid, Deadline deadline,
          ProcessResult& result) {
  size_t written = 0;
  if (in >= 0 && input.empty()) close(std::exchange(in, -1));
  bool killed = false;
  char buffer[65536];
  while (out >= 0 || err >= 0) {
    pollfd fds[3];
    int n = 0;
    if (out >= 0) fds[n++] = {out, POLLIN, 0};
    if (err >= 0) fds[n++] = {err, POLLIN, 0};
    if (in >= 0) fds[n++] = {in, POLLOUT, 0};
    int timeout = -1;
    if (deadline && !killed) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::clamp<long>(left.count(), 0, 1 << 30));
    }
    int ready = poll(fds, n, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      kill(pid, SIGKILL);
      killed = true;
      continue;
    }
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      int fd = fds[i].fd;
      if (fd == in) {
        ssize_t w = write(in, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
        if (written == input.size()) close(std::exchange(in, -1));
        continue;
      }
      ssize_t r = read(fd, buffer, sizeof buffer);
      if (r > 0) {
        (fd == out ? result.out : result.err).append(buffer, static_cast<size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        close(fd);
        (fd == out ? out : err) = -1;
      }
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
  fcntl(in, F_SETFL, O_NONBLOCK);
  ProcessResult result;
  pump(in, options.input, out, err, pid, std::nullopt, result);
  result.status = exitStatus(pid);
  return result;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const ProcessOptions& options) {
  int in = -1, out = -1, err = -1;
  pid_ = spawnWithPipes(program, args, options, in, out, err);
  if (pid_ < 0) return;
  in_ = in;
  fcntl(in_, F_SETFL, O_NONBLOCK);
  out_ = out;
  err_ = err;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : {in_, out_, err_})
    if (fd >= 0) close(fd);
}

bool ChildProcess::write(const std::string& bytes, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  size_t offset = 0;
  while (in_ >= 0 && offset < bytes.size()) {
    ssize_t n = ::write(in_, bytes.data() + offset, bytes.size() - offset);
    if (n > 0) {
      offset += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{in_, POLLOUT, 0};
    poll(&fd, 1, static_cast<int>(left.count()));
  }
  return offset == bytes.size();
}

void ChildProcess::closeInput() {
  if (in_ >= 0) close(std::exchange(in_, -1));
}

void ChildProcess::closeOutput() {
  if (out_ >= 0) close(std::exchange(out_, -1));
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[65536];
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    if (out_ < 0) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd fd{out_, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<size_t>(n));
  }
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

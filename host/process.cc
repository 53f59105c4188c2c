// fork/exec with pipes, and for one-shot helpers a deadline after which the
// child is killed, so that a hung helper never holds a connection forever.
#include "host/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace tesselo::host {

namespace {

bool closeOnExecPipe(int fds[2]) {
#ifdef __linux__
  return ::pipe2(fds, O_CLOEXEC) == 0;
#else
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

// Resolved before fork: the child may only call async-signal-safe functions.
std::string findExecutable(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    // An empty entry means the current folder.
    std::string candidate = end > start ? dirs.substr(start, end - start) : std::string(1, '.');
    candidate.push_back('/');
    candidate.append(name);
    struct stat info;
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

void closeAll(std::initializer_list<int> fds) {
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
}

}  // namespace

StartedProgram startProgram(const std::vector<std::string>& argv, bool withInput) {
  StartedProgram started;
  if (argv.empty()) return started;
  std::string program = findExecutable(argv[0]);
  if (program.empty()) return started;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if ((withInput && !closeOnExecPipe(in)) || !closeOnExecPipe(out) || !closeOnExecPipe(err)) {
    closeAll({in[0], in[1], out[0], out[1], err[0], err[1]});
    return started;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    closeAll({in[0], in[1], out[0], out[1], err[0], err[1]});
    return started;
  }
  if (pid == 0) {
    if (withInput) {
      ::dup2(in[0], 0);
    } else {
      int devNull = ::open("/dev/null", O_RDONLY);
      if (devNull >= 0) ::dup2(devNull, 0);
    }
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    // The host ignores SIGPIPE and blocks its stop signals; children must not
    // inherit either.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program.c_str(), args.data(), environ);
    ::_exit(127);
  }
  closeAll({in[0], out[1], err[1]});
  started.pid = pid;
  started.in = in[1];
  started.out = out[0];
  started.err = err[0];
  return started;
}

ProgramResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  ProgramResult result;
  StartedProgram child = startProgram(argv, false);
  if (child.pid < 0) return result;
  result.started = true;

  auto deadline = std::chrono::steady_clock::now() + limit;
  int fds[2] = {child.out, child.err};
  std::string* sinks[2] = {&result.out, &result.err};
  char buffer[16384];
  while (fds[0] >= 0 || fds[1] >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(child.pid, SIGKILL);
      break;
    }
    pollfd polled[2];
    int n = 0;
    int which[2];
    for (int i = 0; i < 2; ++i)
      if (fds[i] >= 0) {
        polled[n] = {fds[i], POLLIN, 0};
        which[n++] = i;
      }
    int ready = ::poll(polled, n, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    for (int j = 0; j < n && ready > 0; ++j) {
      if (!polled[j].revents) continue;
      int i = which[j];
      ssize_t got = ::read(fds[i], buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  closeAll({fds[0], fds[1]});
  int status = 0;
  while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace tesselo::host

// tmux is started with -f /dev/null and a fixed size, so screens are the same
// on every machine; everything lives in the temp folder and is killed after.
#include "tests/host/host_fixture.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/fd_io.h"

namespace tesselo::test {

std::string hostPath() {
  return buildDir() + "/tesselo-host";
}

std::string tmuxPath() {
  for (const char* candidate : {"/usr/bin/tmux", "/usr/local/bin/tmux", "/opt/homebrew/bin/tmux"})
    if (access(candidate, X_OK) == 0) return candidate;
  return "tmux";
}

int connectTo(const std::string& socket) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket.c_str(), socket.size());
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string rawExchange(const std::string& socket, const std::string& bytes) {
  int fd = connectTo(socket);
  if (fd < 0) return "(connect failed)";
  sendAll(fd, bytes);
  std::string answer;
  char buffer[4096];
  while (answer.find('\n') == std::string::npos) {
    ssize_t n = readSome(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return answer.substr(0, answer.find('\n'));
}

bool holdConnections(const std::string& socket, std::vector<int>& fds) {
  return eventually([&] {
    for (int& fd : fds) {
      if (fd >= 0) {
        // Still silent: held. Readable: the host answered it, turned away.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 0) continue;
        close(fd);
      }
      fd = connectTo(socket);
    }
    return rawExchange(socket, "{\"method\":\"notify\"}\n") ==
           R"({"error":"too many connections to tesselo-host; try again later"})";
  });
}

bool eventually(const std::function<bool()>& check, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (check()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

HostWorld::HostWorld() {
  socket = dir.file("control.sock");
  tmuxSocket = dir.file("tmux.sock");
  home = dir.file("home");
  mkdir(home.c_str(), 0700);
  // No locale at all, as under a service manager or in a container: the
  // host must work without one.
  env = {{"LANG", std::nullopt},      {"LC_ALL", std::nullopt},
         {"LC_CTYPE", std::nullopt},  {"TMUX", std::nullopt},
         {"TMUX_PANE", std::nullopt}, {"TESSELO_PANE_ID", std::nullopt},
         {"ENV", std::nullopt},       {"HOME", home},
         {"SHELL", "/bin/sh"},        {"TERM", std::nullopt},
         {"TESSELO_SOCKET", socket}};
  tmux({"-f", "/dev/null", "new-session", "-d", "-s", "main", "-x", "120", "-y", "40"});
  // The first pane's shell is up once its prompt shows.
  eventually([&] {
    std::string shown = tmux({"capture-pane", "-p", "-t", "main"}).out;
    return shown.find_first_not_of('\n') != std::string::npos;
  });
}

HostWorld::~HostWorld() {
  if (hostPid_ > 0) stopHost();
  tmux({"kill-server"});
}

ProcessResult HostWorld::tmux(const std::vector<std::string>& args) const {
  std::vector<std::string> all{"-S", tmuxSocket};
  all.insert(all.end(), args.begin(), args.end());
  return runProcess(tmuxPath(), all, {.env = env});
}

ProcessResult HostWorld::cli(const std::vector<std::string>& args, const std::string& input,
                             const std::map<std::string, std::optional<std::string>>& extra) const {
  auto merged = env;
  for (const auto& [name, value] : extra) merged[name] = value;
  return runProcess(cliPath(), args, {.env = merged, .input = input});
}

std::future<ProcessResult> HostWorld::later(
    std::vector<std::string> args, std::map<std::string, std::optional<std::string>> extra) const {
  auto started =
      std::async(std::launch::async, [this, args, extra] { return cli(args, {}, extra); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  return started;
}

bool HostWorld::startHost(std::vector<std::string> extra, std::vector<std::string> launcher) {
  std::vector<std::string> args = launcher;
  args.push_back(hostPath());
  // Handed over by a launcher, the socket needs no naming.
  if (launcher.empty()) args.insert(args.end(), {"--socket", socket});
  args.insert(args.end(), {"--tmux-socket", tmuxSocket});
  args.insert(args.end(), extra.begin(), extra.end());
  // Through a shell that keeps what the host says in its log.
  args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" >>'" + dir.file("host.log") + "' 2>&1"});
  hostPid_ = startProcess("/bin/sh", args, env);
  return eventually([&] {
           int status;
           if (waitpid(hostPid_, &status, WNOHANG) == hostPid_) {
             hostPid_ = -1;
             return true;
           }
           // A method that needs no tmux: the host may serve one that fails.
           return rawExchange(socket, "{\"method\":\"fly\"}\n").find("unknown method") !=
                  std::string::npos;
         }) &&
         hostPid_ > 0;
}

int HostWorld::stopHost(int signal) {
  if (hostPid_ <= 0) return -1;
  kill(hostPid_, signal);
  int status = 0;
  while (waitpid(hostPid_, &status, 0) < 0 && errno == EINTR) {
  }
  hostPid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

size_t HostWorld::hostDescriptors() const {
  std::error_code error;
  auto entries =
      std::filesystem::directory_iterator("/proc/" + std::to_string(hostPid_) + "/fd", error);
  return error ? 0 : static_cast<size_t>(std::distance(entries, {}));
}

Json HostWorld::request(const Json& request) const {
  auto parsed = parseJson(rawExchange(socket, request.dump() + "\n"));
  return parsed ? *parsed : Json(nullptr);
}

std::vector<std::string> HostWorld::paneIds() const {
  std::vector<std::string> ids;
  Json answer = list();
  if (!answer.contains("terminals")) return ids;
  for (const auto& terminal : answer["terminals"])
    for (const auto& pane : terminal["panels"]) ids.push_back(pane["id"]);
  return ids;
}

std::string HostWorld::screen(const std::string& pane, int lines) const {
  Json answer = request({{"method", "read"}, {"panel", pane}, {"lines", lines}});
  const std::string* text = stringMember(answer, "text");
  return text ? *text : std::string();
}

void HostWorld::type(const std::string& pane, const std::string& line) const {
  // Typed before the shell's first prompt, a line is echoed early and its
  // output lands after the prompt, on the same line.
  eventually([&] { return !screen(pane).empty(); });
  request({{"method", "send"}, {"panel", pane}, {"text", line + "\n"}});
}

bool HostWorld::shows(const std::string& pane, std::initializer_list<std::string> lines,
                      const std::optional<std::string>& command) const {
  if (command) type(pane, *command);
  for (const std::string& line : lines)
    if (!eventually([&] {
          return ("\n" + screen(pane) + "\n").find("\n" + line + "\n") != std::string::npos;
        }))
      return false;
  return true;
}

}  // namespace tesselo::test

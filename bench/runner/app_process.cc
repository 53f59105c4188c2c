// Start, readiness line, SIGTERM; and a plain blocking control exchange.
#include "bench/runner/app_process.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "bench/runner/line_reader.h"
#include "bench/runner/spawn.h"

namespace bench {

std::optional<AppProcess> startApp(const std::string& program, const std::string& socketPath,
                                   int waitMs) {
  Command command{
      {program, socketPath, "--wait-ms", std::to_string(waitMs), "--max-seconds", "1800"}};
  auto child = start(command, false, true);
  if (!child) return std::nullopt;
  LineReader reader(child->output);
  auto line = reader.next(10000);
  close(child->output);
  if (!line || *line != "ready") {
    kill(child->pid, SIGKILL);
    finish(child->pid);
    return std::nullopt;
  }
  return AppProcess{child->pid, socketPath};
}

void stopApp(AppProcess& app) {
  if (app.pid <= 0) return;
  kill(app.pid, SIGTERM);
  finish(app.pid);
  app.pid = -1;
}

std::optional<std::string> controlExchange(const std::string& socketPath, const std::string& line) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      !writeFully(fd, line + "\n")) {
    close(fd);
    return std::nullopt;
  }
  LineReader reader(fd);
  auto answer = reader.next(30000);
  close(fd);
  return answer;
}

long servedCount(const std::string& socketPath, const std::string& method) {
  auto answer = controlExchange(socketPath, R"({"method":"stats"})");
  if (!answer) return -1;
  std::string key = "\"" + method + "\":";
  size_t at = answer->find(key);
  if (at == std::string::npos) return -1;
  return std::strtol(answer->c_str() + at + key.size(), nullptr, 10);
}

}  // namespace bench

// tesselo-host: serves the control socket over the panes of a tmux server,
// until SIGINT or SIGTERM; or, with --pane-id, prints the id of its pane.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/handed_socket.h"
#include "host/handlers.h"
#include "host/host_options.h"
#include "host/listener.h"
#include "host/pane_ids.h"
#include "host/tmux_control.h"
#include "support/fd_io.h"
#include "support/socket_path.h"

namespace {

using namespace tesselo;
using namespace tesselo::host;

constexpr std::string_view messagePrefix = "tesselo-host: ";
// Parked waits have a cap of their own, this many times the connection cap:
// an orchestrator holds a wait per worker.
constexpr size_t waitsPerConnection = 16;

void say(int fd, const std::string& message) {
  writeAll(fd, std::string(messagePrefix) + message + "\n");
}

std::string absolute(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::vector<char> buffer(4096);
  if (!::getcwd(buffer.data(), buffer.size())) return path;
  return std::string(buffer.data()) + "/" + path;
}

int printPaneId(const Tmux& tmux) {
  const char* pane = std::getenv("TMUX_PANE");
  if (!pane || !*pane) {
    say(STDERR_FILENO, "--pane-id works only inside a tmux pane");
    return 1;
  }
  PaneSnapshot snapshot = readPanes(tmux);
  if (!snapshot.ok) {
    say(STDERR_FILENO, "tmux: " + snapshot.error);
    return 1;
  }
  for (const PaneRow& row : snapshot.rows)
    if (row.paneId == pane) {
      writeAll(STDOUT_FILENO, row.paneKey + "\n");
      return 0;
    }
  say(STDERR_FILENO, std::string("tmux has no pane ") + pane);
  return 1;
}

int serve(const HostOptions& options) {
  std::string path = absolute(options.socket.empty() ? socketPath() : options.socket);
  ::signal(SIGPIPE, SIG_IGN);
  // Every thread started below inherits the mask; the main thread alone takes
  // the stop signals, with sigwait.
  sigset_t stops;
  sigemptyset(&stops);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  // A host started inside a pane must not hand that pane's id on: a tmux
  // server it starts would give it to every pane opened with tmux's keys.
  ::unsetenv(paneIdVariable);

  // Started by the service manager on a client's first connection: the
  // socket is already bound, and is the manager's to keep.
  HandedSocket handed = takeHandedSocket();
  if (handed.handed && !handed.socket) {
    say(STDERR_FILENO, handed.error);
    return 1;
  }
  BindOutcome bound;
  if (handed.socket) {
    bound.socket = handed.socket;
    std::string expected = absolute(options.socket.empty() ? socketPath() : options.socket);
    path = handed.socket->path;
    if (path != expected)
      say(STDERR_FILENO, "warning: the socket handed over is " + path + ", but clients look at " +
                             expected + " (set TESSELO_SOCKET, or move the socket unit)");
  } else {
    bound = bindControlSocket(path);
  }
  if (!bound.socket) {
    say(STDERR_FILENO, bound.error);
    return 1;
  }
  // Shared with detached connection threads that may outlive main's frame;
  // the process ends with _exit, so it is never destroyed.
  auto* host = new HostContext;
  host->tmux.socket = options.tmuxSocket;
  host->tmux.control = std::make_shared<TmuxControl>(options.tmuxSocket, tmuxTimeLimit);
  host->tmux.control->listen([host](std::string_view notification) {
    if (closesPanes(notification)) host->sweep.poke();
  });
  host->socketPath = path;
  host->allowSend = options.allowSend;

  ListenerLimits limits;
  limits.maxConnections = options.maxConnections;
  limits.maxWaits = options.maxConnections * waitsPerConnection;
  limits.idleTimeout =
      std::chrono::milliseconds(static_cast<long long>(options.idleSeconds * 1000));
  BoundSocket socket = *bound.socket;
  std::thread([socket, limits, host] {
    serveConnections(
        socket, limits,
        [host](const Json& request, const auto& clientGone, std::optional<pid_t> peer) {
          return handleRequest(*host, Call{request, clientGone, peer});
        });
  }).detach();
  std::thread([host] { sweepClosedPanes(*host); }).detach();
  std::thread([host] { host->watch.watchExits(*host); }).detach();
  std::thread([host] { host->watch.followTurns(*host); }).detach();

  say(STDOUT_FILENO, "listening at " + path + " for tmux " +
                         (options.tmuxSocket.empty() ? "(default server)" : options.tmuxSocket));
  int received = 0;
  while (sigwait(&stops, &received) != 0) {
  }
  removeControlSocket(socket);
  say(STDOUT_FILENO, "stopped");
  // Connections in flight are cut: their threads must not run on into
  // destructors of a process that is ending.
  ::_exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto parsed = parseHostOptions(args);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    say(STDERR_FILENO, *error);
    writeAll(STDERR_FILENO, hostUsageText);
    return 2;
  }
  const HostOptions& options = std::get<HostOptions>(parsed);
  if (options.help) {
    writeAll(STDOUT_FILENO, hostUsageText);
    return 0;
  }
  Tmux tmux{options.tmuxSocket, nullptr};
  if (options.paneId) return printPaneId(tmux);
  return serve(options);
}

// "notify": a message on every attached client's status line, and a bell on
// its terminal.
#include <fcntl.h>
#include <unistd.h>

#include "host/handlers.h"
#include "host/protocol.h"
#include "support/fd_io.h"

namespace tesselo::host {

namespace {

constexpr std::string_view attentionMessage = "Tesselo: an agent asks for your attention";
constexpr const char* messageMilliseconds = "5000";

void ringBell(const std::string& tty) {
  if (tty.empty()) return;
  // Non-blocking: a terminal that does not drain must not hold the request.
  int fd = ::open(tty.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  writeAll(fd, "\a");
  ::close(fd);
}

}  // namespace

Json runNotify(HostContext& host, const Call&) {
  ClientList listed = listClients(host.tmux);
  if (!listed.outcome.ok && !noServer(listed.outcome))
    return errorAnswer("tmux: " + listed.outcome.error);
  const std::vector<ClientRow>& clients = listed.clients;
  for (const ClientRow& client : clients) {
    runTmux(host.tmux, {"display-message", "-c", client.name, "-d", messageMilliseconds,
                        std::string(attentionMessage)});
    ringBell(client.tty);
  }
  return {{"clients", clients.size()}};
}

}  // namespace tesselo::host

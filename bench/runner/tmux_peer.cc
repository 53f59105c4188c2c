// new-session, two splits, kill-server at the end.
#include "bench/runner/tmux_peer.h"

#include <unistd.h>

#include "bench/runner/line_reader.h"
#include "bench/runner/spawn.h"

namespace bench {

namespace {

bool tmux(const std::string& socket, std::vector<std::string> args) {
  Command command{{"/usr/bin/tmux", "-S", socket, "-f", "/dev/null"}};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  return timeRun(command).has_value();
}

}  // namespace

std::optional<TmuxPeer> startTmuxPeer(const std::string& socket) {
  if (access("/usr/bin/tmux", X_OK) != 0) return std::nullopt;
  const std::string shell = "cat >/dev/null";
  if (!tmux(socket, {"new-session", "-d", "-s", "bench", "-x", "120", "-y", "40", shell}) ||
      !tmux(socket, {"split-window", "-t", "bench", shell}) ||
      !tmux(socket, {"split-window", "-t", "bench", "-h", shell})) {
    tmux(socket, {"kill-server"});
    return std::nullopt;
  }
  return TmuxPeer{socket, "bench:0.0"};
}

void stopTmuxPeer(const TmuxPeer& peer) {
  tmux(peer.socket, {"kill-server"});
  unlink(peer.socket.c_str());
}

}  // namespace bench

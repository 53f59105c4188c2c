// A private tmux server for the peer figures: its own socket and no
// configuration file, three panes running cat so typed keys go nowhere.
#pragma once

#include <optional>
#include <string>

namespace bench {

struct TmuxPeer {
  std::string socket;
  std::string firstPane;
};

std::optional<TmuxPeer> startTmuxPeer(const std::string& socket);
void stopTmuxPeer(const TmuxPeer& peer);

}  // namespace bench

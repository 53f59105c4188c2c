// tesselo-host's command line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tesselo::host {

inline constexpr std::string_view hostUsageText =
    "usage: tesselo-host [--socket PATH] [--tmux-socket PATH] [--allow-send]\n"
    "                    [--idle-timeout SECONDS] [--max-connections N]\n"
    "       tesselo-host --pane-id [--tmux-socket PATH]\n";

struct HostOptions {
  std::string socket;      // empty: the clients' default path
  std::string tmuxSocket;  // empty: the user's default tmux server
  bool allowSend = false;
  bool paneId = false;  // print the id of the pane this runs in, and exit
  bool help = false;
  double idleSeconds = 10;
  size_t maxConnections = 64;
};

// The options, or a message naming what is wrong.
std::variant<HostOptions, std::string> parseHostOptions(const std::vector<std::string>& args);

}  // namespace tesselo::host

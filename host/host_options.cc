// Options take their value from the next argument; nothing is positional.
#include "host/host_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tesselo::host {

std::variant<HostOptions, std::string> parseHostOptions(const std::vector<std::string>& args) {
  HostOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) -> bool {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--socket") {
      if (!value(options.socket) || options.socket.empty()) return "--socket needs a path";
    } else if (arg == "--tmux-socket") {
      if (!value(options.tmuxSocket) || options.tmuxSocket.empty())
        return "--tmux-socket needs a path";
    } else if (arg == "--allow-send") {
      options.allowSend = true;
    } else if (arg == "--pane-id") {
      options.paneId = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--idle-timeout") {
      char* end = nullptr;
      if (!value(text)) return "--idle-timeout needs a number of seconds";
      double seconds = std::strtod(text.c_str(), &end);
      if (text.empty() || *end || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400)
        return "--idle-timeout needs a number of seconds between 0 and 86400";
      options.idleSeconds = seconds;
    } else if (arg == "--max-connections") {
      if (!value(text)) return "--max-connections needs a number";
      size_t count = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
      if (error != std::errc() || end != text.data() + text.size() || count < 1 || count > 10000)
        return "--max-connections needs a number between 1 and 10000";
      options.maxConnections = count;
    } else {
      return "unknown option " + arg;
    }
  }
  return options;
}

}  // namespace tesselo::host

// The background sweep for closed panes.
#include <thread>

#include "host/handlers.h"

namespace tesselo::host {

namespace {

constexpr std::chrono::seconds sweepInterval{2};

}  // namespace

void sweepClosedPanes(HostContext& host) {
  for (;;) {
    std::this_thread::sleep_for(sweepInterval);
    if (!host.states.watched()) continue;
    uint64_t mark = host.states.sweepMark();
    TmuxOutcome listed =
        runTmux(host.tmux, {"list-panes", "-a", "-F", std::string("#{") + paneIdOption + "}"});
    // A failing tmux says nothing about which panes live; only a server that
    // is gone means that every pane is.
    if (!listed.ok && !noServer(listed)) continue;
    std::set<std::string> live;
    size_t start = 0;
    while (start < listed.out.size()) {
      size_t end = listed.out.find('\n', start);
      if (end == std::string::npos) end = listed.out.size();
      if (end > start) live.insert(listed.out.substr(start, end - start));
      start = end + 1;
    }
    host.states.retain(live, mark);
  }
}

}  // namespace tesselo::host

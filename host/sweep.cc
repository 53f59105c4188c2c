// The background sweep for closed panes.
#include <set>
#include <string_view>

#include "host/handlers.h"
#include "host/text.h"

namespace tesselo::host {

namespace {

constexpr std::chrono::seconds sweepInterval{2};

}  // namespace

bool closesPanes(std::string_view notification) {
  for (std::string_view kind : {"%exit", "%window-close ", "%unlinked-window-close ",
                                "%layout-change ", "%sessions-changed"})
    if (notification.substr(0, kind.size()) == kind) return true;
  return false;
}

void sweepClosedPanes(HostContext& host) {
  for (;;) {
    {
      std::unique_lock lock(host.sweep.mutex);
      host.sweep.cv.wait_for(lock, sweepInterval, [&] { return host.sweep.poked; });
      host.sweep.poked = false;
    }
    if (!host.states.watched()) continue;
    uint64_t mark = host.states.sweepMark();
    TmuxOutcome listed =
        runTmux(host.tmux, {"list-panes", "-a", "-F", std::string("#{") + paneIdOption + "}"});
    // A failing tmux says nothing about which panes live; only a server that
    // is gone means that every pane is.
    if (!listed.ok && !noServer(listed)) continue;
    std::set<std::string> live;
    for (std::string_view line : splitLines(listed.out)) live.emplace(line);
    host.states.retain(live, mark);
  }
}

}  // namespace tesselo::host

// Our ids for tmux panes and windows: random hex, unique in their first 8
// characters, kept in tmux user options so they live exactly as long as the
// pane or window and survive a restart of the host.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/pane_table.h"
#include "host/tmux.h"

namespace tesselo::host {

inline constexpr size_t idLength = 16;

// Held while ids are chosen and stored, so that two threads never pick ids
// that share a prefix, and a pane being created is never given a second id.
std::mutex& idMutex();

uint64_t randomWord();

// A fresh id whose prefix no id in `taken` shares.
std::string freshId(const std::vector<PaneRow>& taken, const std::function<uint64_t()>& random);

struct PaneSnapshot {
  bool ok = false;
  std::string error;
  std::vector<PaneRow> rows;
  uint64_t connection = 0;  // the tmux connection the rows were read over
};

// Every pane of the server, each pane and window given an id first if it has
// none yet. No server running reads as no panes.
PaneSnapshot readPanes(const Tmux& tmux, PaneDetail detail = PaneDetail::full);

// The panes as they are, without naming any; for use under idMutex().
PaneSnapshot listPaneRows(const Tmux& tmux);

// The arguments that store the ids of a pane (and, if given, of its window),
// replacing whatever is there.
std::vector<std::string> storeIdArgs(const std::string& tmuxPane, const std::string& paneKey,
                                     const std::string& tmuxWindow, const std::string& terminalKey);

}  // namespace tesselo::host

// Choosing ids and attaching them to tmux panes and windows.
#include "host/pane_ids.h"

#include <cstdio>
#include <random>

namespace tesselo::host {

std::mutex& idMutex() {
  static std::mutex mutex;
  return mutex;
}

uint64_t randomWord() {
  static std::mutex mutex;
  static std::random_device device;
  std::lock_guard lock(mutex);
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

std::string freshId(const std::vector<PaneRow>& taken, const std::function<uint64_t()>& random) {
  std::set<std::string> prefixes;
  for (const PaneRow& row : taken) {
    prefixes.insert(row.paneKey.substr(0, idPrefixLength));
    prefixes.insert(row.terminalKey.substr(0, idPrefixLength));
  }
  for (;;) {
    char text[idLength + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    std::string id(text, idLength);
    if (!prefixes.count(id.substr(0, idPrefixLength))) return id;
  }
}

std::vector<std::string> storeIdArgs(const std::string& tmuxPane, const std::string& paneKey,
                                     const std::string& tmuxWindow,
                                     const std::string& terminalKey) {
  std::vector<std::string> args{"set-option", "-p", "-t", tmuxPane, paneIdOption, paneKey};
  if (!tmuxWindow.empty())
    args.insert(args.end(),
                {";", "set-option", "-w", "-t", tmuxWindow, terminalIdOption, terminalKey});
  return args;
}

namespace {

// Chosen once per run, and never shown anywhere a pane could read it.
const std::string& rowMark() {
  static const std::string mark = [] {
    char text[24];
    std::snprintf(text, sizeof text, "T%016llx", static_cast<unsigned long long>(randomWord()));
    return std::string(text);
  }();
  return mark;
}

TmuxOutcome listPanes(const Tmux& tmux, PaneDetail detail) {
  return runTmux(tmux, {"list-panes", "-a", "-F", paneRowFormat(rowMark(), detail)});
}

// Sets an option only where it is still unset: a shell in the pane may be
// asking for its id at the same moment, and the first answer must stand.
void assignIfUnset(std::vector<std::string>& args, const std::string& target, const char* scope,
                   const char* option, const std::string& id) {
  if (!args.empty()) args.push_back(";");
  std::string test = std::string("#{?") + option + ",,1}";
  std::string set = std::string("set-option ") + scope + " -t " + target + " " + option + " " + id;
  args.insert(args.end(), {"if-shell", "-F", "-t", target, test, set});
}

// One listing: the rows, or how it failed.
bool listInto(const Tmux& tmux, PaneSnapshot& snapshot, PaneDetail detail) {
  TmuxOutcome listed = listPanes(tmux, detail);
  snapshot.rows.clear();
  snapshot.error.clear();
  snapshot.connection = 0;
  if (noServer(listed)) {
    snapshot.ok = true;
    return false;
  }
  if (!listed.ok) {
    snapshot.ok = false;
    snapshot.error = listed.error;
    return false;
  }
  snapshot.ok = true;
  snapshot.rows = parsePaneRows(listed.out, rowMark());
  snapshot.connection = listed.connection;
  return true;
}

bool complete(const std::vector<PaneRow>& rows) {
  for (const PaneRow& row : rows)
    if (row.paneKey.empty() || row.terminalKey.empty()) return false;
  return true;
}

}  // namespace

PaneSnapshot listPaneRows(const Tmux& tmux) {
  PaneSnapshot snapshot;
  listInto(tmux, snapshot, PaneDetail::full);
  return snapshot;
}

PaneSnapshot readPanes(const Tmux& tmux, PaneDetail detail) {
  PaneSnapshot snapshot;
  if (!listInto(tmux, snapshot, detail) || complete(snapshot.rows)) return snapshot;

  // Listed again under the lock, so the prefixes taken include every id that
  // another thread has just stored.
  std::lock_guard lock(idMutex());
  constexpr int rounds = 3;
  for (int round = 0; round < rounds; ++round) {
    if (!listInto(tmux, snapshot, detail) || complete(snapshot.rows)) return snapshot;
    std::vector<PaneRow> taken = snapshot.rows;
    std::vector<std::string> args;
    std::set<std::string> windowsDone;
    for (const PaneRow& row : snapshot.rows) {
      if (row.paneKey.empty()) {
        PaneRow named;
        named.paneKey = freshId(taken, randomWord);
        assignIfUnset(args, row.paneId, "-p", paneIdOption, named.paneKey);
        taken.push_back(named);
      }
      if (row.terminalKey.empty() && windowsDone.insert(row.windowId).second) {
        PaneRow named;
        named.terminalKey = freshId(taken, randomWord);
        assignIfUnset(args, row.windowId, "-w", terminalIdOption, named.terminalKey);
        taken.push_back(named);
      }
    }
    // A pane that closed meanwhile stops the rest of the list; the next
    // round names what is left.
    runTmux(tmux, args);
  }
  if (!listInto(tmux, snapshot, detail)) return snapshot;
  // Whatever still has no id cannot be addressed; it is left out rather than
  // shown without one.
  std::erase_if(snapshot.rows,
                [](const PaneRow& row) { return row.paneKey.empty() || row.terminalKey.empty(); });
  return snapshot;
}

}  // namespace tesselo::host

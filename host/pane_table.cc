// Parsing tmux's listings and looking panes up by id or focus.
#include "host/pane_table.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "host/text.h"

namespace tesselo::host {

namespace {

constexpr char fieldSeparator = '\x1f';

// Names and titles come from tmux with control characters escaped or
// refused; a pane's command and folder are taken from its process as they
// are and may hold any byte, line feeds included. So every row starts with a
// mark that nothing in a pane can know, and the folder follows the command
// behind the mark again: no value can end a row or a field early.
constexpr std::array<const char*, 12> plainPaneFields = {
    "session_id",           "session_name", "session_activity", "window_id",  "window_name",
    "window_active",        "pane_id",      "pane_active",      "pane_title", "@tesselo-pane-id",
    "@tesselo-terminal-id", "pane_pid"};
constexpr char rawSeparator = '\x1e';

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t end = line.find(fieldSeparator, start);
    fields.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return fields;
    start = end + 1;
  }
}

long long number(std::string_view text) {
  long long value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

std::string paneRowFormat(std::string_view mark, PaneDetail detail) {
  // What a listing of the panes shows; focus and folders cost tmux more
  // (the folder is read from /proc for every pane) and are left empty
  // when not asked for.
  constexpr std::string_view listed[] = {
      "session_name", "window_id",        "window_name",         "pane_id",
      "pane_title",   "@tesselo-pane-id", "@tesselo-terminal-id"};
  std::string format(mark);
  for (std::string_view field : plainPaneFields) {
    format += fieldSeparator;
    if (detail == PaneDetail::full ||
        std::find(std::begin(listed), std::end(listed), field) != std::end(listed))
      format += "#{" + std::string(field) + "}";
  }
  format += fieldSeparator + std::string("#{pane_current_command}") + rawSeparator +
            std::string(mark) + rawSeparator;
  if (detail == PaneDetail::full) format += "#{pane_current_path}";
  return format;
}

std::vector<PaneRow> parsePaneRows(std::string_view text, std::string_view mark) {
  std::vector<PaneRow> rows;
  std::string rowStart = std::string(mark) + fieldSeparator;
  std::string nextRow = "\n" + rowStart;
  std::string rawMark = rawSeparator + std::string(mark) + rawSeparator;
  if (mark.empty() || text.substr(0, rowStart.size()) != rowStart) return rows;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = text.find(nextRow, pos);
    std::string_view row =
        text.substr(pos, next == std::string_view::npos ? text.size() - pos : next - pos);
    pos = next == std::string_view::npos ? text.size() : next + 1;
    if (!row.empty() && row.back() == '\n') row.remove_suffix(1);
    row.remove_prefix(rowStart.size());
    std::array<std::string_view, plainPaneFields.size()> f;
    bool whole = true;
    for (std::string_view& field : f) {
      size_t separator = row.find(fieldSeparator);
      // Names hold no line feed: one here means a row of another shape.
      whole = separator != std::string_view::npos &&
              row.substr(0, separator).find('\n') == std::string_view::npos;
      if (!whole) break;
      field = row.substr(0, separator);
      row.remove_prefix(separator + 1);
    }
    size_t split = row.find(rawMark);
    if (!whole || split == std::string_view::npos || f[6].empty() || f[3].empty()) continue;
    PaneRow r;
    r.sessionId = f[0];
    r.sessionName = f[1];
    r.sessionActivity = number(f[2]);
    r.windowId = f[3];
    r.windowName = f[4];
    r.windowActive = f[5] == "1";
    r.paneId = f[6];
    r.paneActive = f[7] == "1";
    r.title = f[8];
    r.paneKey = f[9];
    r.terminalKey = f[10];
    r.panePid = number(f[11]);
    r.process = row.substr(0, split);
    r.path = row.substr(split + rawMark.size());
    rows.push_back(std::move(r));
  }
  return rows;
}

std::string clientRowFormat() {
  std::string format;
  for (const char* field :
       {"#{client_activity}", "#{client_name}", "#{pane_id}", "#{client_tty}", "#{client_flags}"}) {
    if (!format.empty()) format += fieldSeparator;
    format += field;
  }
  return format;
}

std::vector<ClientRow> parseClientRows(std::string_view text) {
  std::vector<ClientRow> clients;
  for (std::string_view line : splitLines(text)) {
    auto f = splitFields(line);
    if (f.size() != 5 || f[1].empty()) continue;
    // A control client that is sent no pane output (the host's own) shows
    // nothing to anyone: it is nobody's focus and cannot be asked anything.
    if (f[4].find("control-mode") != std::string_view::npos &&
        f[4].find("no-output") != std::string_view::npos)
      continue;
    clients.push_back({number(f[0]), std::string(f[1]), std::string(f[2]), std::string(f[3])});
  }
  return clients;
}

bool idMatches(std::string_view id, std::string_view query) {
  if (query.empty() || id.empty()) return false;
  if (query == id) return true;
  return query.size() >= idPrefixLength && query.size() < id.size() &&
         id.substr(0, query.size()) == query;
}

namespace {

template <typename Key>
Lookup findBy(const std::vector<PaneRow>& rows, std::string_view query, Key key,
              bool preferActive) {
  Lookup lookup;
  const std::string* matched = nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string& id = key(rows[i]);
    if (!idMatches(id, query)) continue;
    if (matched && *matched != id) return {std::nullopt, true};
    matched = &id;
    if (!lookup.row || (preferActive && rows[i].paneActive && !rows[*lookup.row].paneActive))
      lookup.row = i;
  }
  return lookup;
}

}  // namespace

Lookup findPane(const std::vector<PaneRow>& rows, std::string_view query) {
  return findBy(
      rows, query, [](const PaneRow& r) -> const std::string& { return r.paneKey; }, false);
}

Lookup findTerminal(const std::vector<PaneRow>& rows, std::string_view query) {
  return findBy(
      rows, query, [](const PaneRow& r) -> const std::string& { return r.terminalKey; }, true);
}

std::optional<size_t> latestClient(const std::vector<ClientRow>& clients) {
  std::optional<size_t> best;
  for (size_t i = 0; i < clients.size(); ++i)
    if (!best || clients[i].activity > clients[*best].activity) best = i;
  return best;
}

std::optional<size_t> focusedPane(const std::vector<PaneRow>& rows,
                                  const std::vector<ClientRow>& clients) {
  if (auto client = latestClient(clients)) {
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].paneId == clients[*client].paneId) return i;
  }
  // Ties go to the session listed last, the newest of equals.
  std::optional<size_t> best;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].windowActive || !rows[i].paneActive) continue;
    if (!best || rows[i].sessionActivity >= rows[*best].sessionActivity) best = i;
  }
  return best;
}

}  // namespace tesselo::host

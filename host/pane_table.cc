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
// refused; a pane's command and folder are taken from the process as they
// are, and may hold any byte: those two go last, each as its byte length and
// its bytes.
constexpr std::array<const char*, 11> plainPaneFields = {
    "session_id",          "session_name", "session_activity", "window_id",  "window_name",
    "window_active",       "pane_id",      "pane_active",      "pane_title", "@tesselo-pane-id",
    "@tesselo-terminal-id"};
constexpr std::array<const char*, 2> rawPaneFields = {"pane_current_command", "pane_current_path"};

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

// One "<length>:<value>" field at `pos`, moving past it; nothing when the
// text there has another shape.
std::optional<std::string_view> lengthField(std::string_view text, size_t& pos) {
  size_t colon = text.find(':', pos);
  if (colon == std::string_view::npos || colon == pos || colon - pos > 9) return std::nullopt;
  size_t length = 0;
  auto [end, error] = std::from_chars(text.data() + pos, text.data() + colon, length);
  if (error != std::errc() || end != text.data() + colon || length > text.size() - colon - 1)
    return std::nullopt;
  pos = colon + 1 + length;
  return text.substr(colon + 1, length);
}

}  // namespace

std::string paneRowFormat() {
  std::string format;
  for (const char* field : plainPaneFields)
    format += std::string("#{") + field + "}" + fieldSeparator;
  for (const char* field : rawPaneFields)
    format += std::string("#{n:") + field + "}:#{" + field + "}";
  return format;
}

std::vector<PaneRow> parsePaneRows(std::string_view text) {
  std::vector<PaneRow> rows;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t rowStart = pos;
    size_t lineEnd = std::min(text.find('\n', pos), text.size());
    std::array<std::string_view, plainPaneFields.size() + rawPaneFields.size()> f;
    bool whole = true;
    for (size_t i = 0; i < plainPaneFields.size() && whole; ++i) {
      size_t separator = text.find(fieldSeparator, pos);
      whole = separator < lineEnd;
      if (whole) f[i] = text.substr(pos, separator - pos);
      pos = separator + 1;
    }
    for (size_t i = plainPaneFields.size(); i < f.size() && whole; ++i) {
      auto value = lengthField(text, pos);
      whole = value.has_value();
      if (whole) f[i] = *value;
    }
    if (whole && (pos == text.size() || text[pos] == '\n')) {
      ++pos;
      if (f[6].empty() || f[3].empty()) continue;
      PaneRow row;
      row.sessionId = f[0];
      row.sessionName = f[1];
      row.sessionActivity = number(f[2]);
      row.windowId = f[3];
      row.windowName = f[4];
      row.windowActive = f[5] == "1";
      row.paneId = f[6];
      row.paneActive = f[7] == "1";
      row.title = f[8];
      row.paneKey = f[9];
      row.terminalKey = f[10];
      row.process = f[11];
      row.path = f[12];
      rows.push_back(std::move(row));
      continue;
    }
    // A name with a line feed (a tmux that does not escape it), or a folder
    // that changed between its length and its bytes being read: that row is
    // lost, the next line starts afresh.
    size_t feed = text.find('\n', rowStart);
    pos = feed == std::string_view::npos ? text.size() : feed + 1;
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

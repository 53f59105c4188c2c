// Parsing tmux's listings and looking panes up by id or focus.
#include "host/pane_table.h"

#include <charconv>

namespace tesselo::host {

namespace {

constexpr char fieldSeparator = '\x1f';

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

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

long long number(std::string_view text) {
  long long value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::string joinFormat(std::initializer_list<const char*> fields) {
  std::string format;
  for (const char* field : fields) {
    if (!format.empty()) format += fieldSeparator;
    format += field;
  }
  return format;
}

}  // namespace

std::string paneRowFormat() {
  return joinFormat({"#{session_id}", "#{session_name}", "#{session_activity}", "#{window_id}",
                     "#{window_name}", "#{window_active}", "#{pane_id}", "#{pane_active}",
                     "#{pane_current_command}", "#{pane_title}", "#{pane_current_path}",
                     "#{@tesselo-pane-id}", "#{@tesselo-terminal-id}"});
}

std::vector<PaneRow> parsePaneRows(std::string_view text) {
  std::vector<PaneRow> rows;
  for (std::string_view line : lines(text)) {
    auto f = splitFields(line);
    if (f.size() != 13 || f[6].empty() || f[3].empty()) continue;
    PaneRow row;
    row.sessionId = f[0];
    row.sessionName = f[1];
    row.sessionActivity = number(f[2]);
    row.windowId = f[3];
    row.windowName = f[4];
    row.windowActive = f[5] == "1";
    row.paneId = f[6];
    row.paneActive = f[7] == "1";
    row.process = f[8];
    row.title = f[9];
    row.path = f[10];
    row.paneKey = f[11];
    row.terminalKey = f[12];
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string clientRowFormat() {
  return joinFormat({"#{client_activity}", "#{client_name}", "#{pane_id}", "#{client_tty}"});
}

std::vector<ClientRow> parseClientRows(std::string_view text) {
  std::vector<ClientRow> clients;
  for (std::string_view line : lines(text)) {
    auto f = splitFields(line);
    if (f.size() != 4 || f[1].empty()) continue;
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

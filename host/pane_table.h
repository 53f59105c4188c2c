// The host's picture of the tmux server: one row per pane, read from
// "list-panes -a", and the pure rules over it (id lookup, focus).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesselo::host {

// tmux user options holding our ids: a pane option and a window option.
// Different names, because a pane's options fall back to its window's.
inline constexpr const char* paneIdOption = "@tesselo-pane-id";
inline constexpr const char* terminalIdOption = "@tesselo-terminal-id";

struct PaneRow {
  std::string sessionId;    // $N
  std::string sessionName;  // the space
  long long sessionActivity = 0;
  std::string windowId;  // @N
  std::string windowName;
  bool windowActive = false;
  std::string paneId;  // %N
  bool paneActive = false;
  std::string process;  // the pane's current command
  std::string title;
  std::string path;         // the pane's current directory
  std::string paneKey;      // our pane id, empty until assigned
  std::string terminalKey;  // our terminal id, empty until assigned
  long long panePid = 0;    // the pane's own process
};

struct ClientRow {
  long long activity = 0;
  std::string name;
  std::string paneId;  // the active pane of the client's current window
  std::string tty;
};

// The -F formats and their parsers. Pane rows start with `mark`, a text no
// pane can know, since a pane's folder and command may hold any byte; client
// fields are joined by the unit separator, which nothing in them can hold.
// The host's own control client is left out of the clients.
// The listing of "list" needs neither focus, nor folders, nor the process
// ids of the panes; everything else asks for them.
enum class PaneDetail { listed, full };
std::string paneRowFormat(std::string_view mark, PaneDetail detail = PaneDetail::full);
std::vector<PaneRow> parsePaneRows(std::string_view text, std::string_view mark);
std::string clientRowFormat();
std::vector<ClientRow> parseClientRows(std::string_view text);

// Ids are unique in their first idPrefixLength characters; a query matches
// an id it equals or that it is a prefix of, given at least that many
// characters.
inline constexpr size_t idPrefixLength = 8;
bool idMatches(std::string_view id, std::string_view query);

struct Lookup {
  std::optional<size_t> row;
  bool ambiguous = false;
};
Lookup findPane(const std::vector<PaneRow>& rows, std::string_view query);
// The terminal's active pane row.
Lookup findTerminal(const std::vector<PaneRow>& rows, std::string_view query);

// The active pane of the most recently active client; without clients, the
// active pane of the most recently active session.
std::optional<size_t> focusedPane(const std::vector<PaneRow>& rows,
                                  const std::vector<ClientRow>& clients);

// The client that was active last, if any.
std::optional<size_t> latestClient(const std::vector<ClientRow>& clients);

}  // namespace tesselo::host

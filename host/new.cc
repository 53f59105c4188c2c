// "new": a tmux window (our terminal) in a session (our space), optionally in
// a fresh git worktree.
#include <sys/stat.h>

#include <algorithm>

#include "host/handlers.h"
#include "host/pane_ids.h"
#include "host/protocol.h"
#include "host/worktree.h"

namespace tesselo::host {

namespace {

constexpr std::string_view cwdNotAbsolutePrefix = "\"cwd\" must be an absolute path: ";
constexpr std::string_view noSuchFolderPrefix = "no such folder: ";
constexpr std::string_view emptySpaceMessage = "\"space\" must not be empty";
constexpr std::string_view worktreeNeedsCwdMessage =
    "\"worktree\" needs \"cwd\" (or a focused pane to take its folder from)";

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct Placement {
  std::vector<std::string> args;  // new-window or new-session, with its target
};

// Into the named session (created when missing), else beside the focused
// pane, else into a new session when tmux has none.
Placement placement(HostContext& host, const Json& request, const std::vector<PaneRow>& rows) {
  Placement place;
  if (const std::string* space = stringMember(request, "space")) {
    std::string name = sessionName(*space);
    TmuxOutcome has = runTmux(host.tmux, {"has-session", "-t", "=" + name});
    if (has.ok)
      place.args = {"new-window", "-t", "=" + name + ":"};
    else
      place.args = {"new-session", "-d", "-s", name};
    return place;
  }
  if (auto focused = focusedRow(host, rows)) {
    place.args = {"new-window", "-t", focused->sessionId + ":"};
  } else {
    place.args = {"new-session", "-d"};
  }
  return place;
}

}  // namespace

std::string sessionName(std::string_view space) {
  std::string name(space);
  std::replace_if(
      name.begin(), name.end(), [](char c) { return c == ':' || c == '.'; }, '_');
  return name;
}

Json runNew(HostContext& host, const Call& call) {
  if (const std::string* space = stringMember(call.request, "space"))
    if (space->empty()) return errorAnswer(emptySpaceMessage);
  std::string cwd;
  if (const std::string* given = stringMember(call.request, "cwd")) {
    if (given->empty() || given->front() != '/')
      return errorAnswer(std::string(cwdNotAbsolutePrefix) + *given);
    if (!isFolder(*given)) return errorAnswer(std::string(noSuchFolderPrefix) + *given);
    cwd = *given;
  }
  PaneSnapshot snapshot = listPanes(host);
  if (!snapshot.ok) return errorAnswer("tmux: " + snapshot.error);

  Json answer = Json::object();
  if (boolMember(call.request, "worktree").value_or(false)) {
    std::string base = cwd;
    if (base.empty())
      if (auto focused = focusedRow(host, snapshot.rows)) base = focused->path;
    if (base.empty()) return errorAnswer(worktreeNeedsCwdMessage);
    WorktreeOutcome worktree = createWorktree(base);
    if (!worktree.error.empty()) return errorAnswer(worktree.error);
    answer["branch"] = worktree.branch;
    answer["worktree"] = worktree.folder;
    cwd = worktree.folder;
  }

  std::vector<std::string> args = placement(host, call.request, snapshot.rows).args;

  std::lock_guard lock(idMutex());
  std::vector<PaneRow> taken = listPaneRows(host.tmux).rows;
  std::string paneKey = freshId(taken, randomWord);
  PaneRow named;
  named.paneKey = paneKey;
  taken.push_back(named);
  std::string terminalKey = freshId(taken, randomWord);

  bool newSession = args.front() == "new-session";
  args.insert(args.end(), {"-P", "-F", "#{pane_id} #{window_id} #{session_id} #{session_name}"});
  if (!cwd.empty()) args.insert(args.end(), {"-c", cwd});
  auto env = paneEnvironmentArgs(host, paneKey);
  args.insert(args.end(), env.begin(), env.end());
  if (const std::string* command = stringMember(call.request, "command"))
    if (!command->empty()) args.push_back(*command);
  TmuxOutcome created = runTmux(host.tmux, args);
  if (!created.ok) return errorAnswer("tmux: " + created.error);

  std::string line = created.out.substr(0, created.out.find('\n'));
  std::vector<std::string> fields;
  size_t start = 0;
  // The session name comes last: it may hold blanks.
  while (fields.size() < 3) {
    size_t blank = line.find(' ', start);
    if (blank == std::string::npos) return errorAnswer("tmux: unexpected answer: " + line);
    fields.push_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  std::vector<std::string> store = storeIdArgs(fields[0], paneKey, fields[1], terminalKey);
  // new-session puts -e variables into the session's environment, from which
  // every later pane of the session would take this pane's id.
  if (newSession)
    store.insert(store.end(), {";", "set-environment", "-t", fields[2], "-u", paneIdVariable});
  TmuxOutcome stored = runTmux(host.tmux, store);
  if (!stored.ok) return errorAnswer("tmux: " + stored.error);

  answer["panel"] = paneKey;
  answer["terminal"] = terminalKey;
  answer["space"] = line.substr(start);
  return answer;
}

}  // namespace tesselo::host

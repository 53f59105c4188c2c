// "split": a new pane beside (right) or below (down) a terminal's active pane.
#include "host/handlers.h"
#include "host/pane_ids.h"
#include "host/protocol.h"

namespace tesselo::host {

namespace {

constexpr std::string_view badDirectionMessage = "\"direction\" must be \"right\" or \"down\"";

}  // namespace

Json runSplit(HostContext& host, const Call& call) {
  std::string direction = "right";
  if (const std::string* given = stringMember(call.request, "direction")) direction = *given;
  if (direction != "right" && direction != "down") return errorAnswer(badDirectionMessage);
  auto target = terminalTarget(host, call.request);
  if (auto* error = std::get_if<std::string>(&target)) return errorAnswer(*error);
  const PaneRow& active = std::get<Target>(target).pane;

  std::lock_guard lock(idMutex());
  PaneSnapshot taken = listPaneRows(host.tmux);
  std::string paneKey = freshId(taken.rows, randomWord);
  std::vector<std::string> args{"split-window", direction == "right" ? "-h" : "-v",
                                "-t",           active.paneId,
                                "-c",           "#{pane_current_path}",
                                "-P",           "-F",
                                "#{pane_id}"};
  auto env = paneEnvironmentArgs(host, paneKey);
  args.insert(args.end(), env.begin(), env.end());
  TmuxOutcome created = runTmux(host.tmux, args);
  if (!created.ok) return errorAnswer("tmux: " + created.error);
  std::string paneId = created.out.substr(0, created.out.find('\n'));
  TmuxOutcome stored = runTmux(host.tmux, storeIdArgs(paneId, paneKey, "", ""));
  if (!stored.ok) return errorAnswer("tmux: " + stored.error);
  return {{"panel", paneKey}, {"terminal", active.terminalKey}};
}

}  // namespace tesselo::host

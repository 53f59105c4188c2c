// list, read, send, split, new, wait, notify: one control request each.
#include "cli/commands.h"
#include "cli/frame.h"
#include "cli/pane_rules.h"
#include "cli/request.h"

#include <unistd.h>

#include "support/fd_io.h"

namespace tesselo {

namespace {

inline constexpr std::string_view sendNeedsTextMessage = "send needs text";
inline constexpr std::string_view waitTimeoutLine = "tesselo: timeout\n";
inline constexpr std::string_view unknownState = "unknown";
inline constexpr int waitTimedOutStatus = 2;

// A short line goes out in one write; copying a long screen to append the
// line feed would cost more than a second write.
constexpr size_t copyLimit = 65536;

void printLine(const std::string* value) {
  if (value && value->size() > copyLimit) {
    print(*value);
    print("\n");
    return;
  }
  std::string line = value ? *value : std::string();
  line.push_back('\n');
  print(line);
}

}  // namespace

int runList() {
  Json response = request({{"method", "list"}});
  print(listText(response));
  return 0;
}

int runRead() {
  Json payload = {{"method", "read"}};
  if (auto panel = flag("--panel", arguments)) payload["panel"] = *panel;
  if (auto lines = flag("--lines", arguments))
    payload["lines"] = integerValue(*lines).value_or(defaultLines);
  Json response = request(payload);
  printLine(stringMember(response, "text"));
  return 0;
}

int runSend() {
  Json payload = {{"method", "send"}};
  if (auto panel = flag("--panel", arguments)) payload["panel"] = *panel;
  bool raw = boolFlag("--raw", arguments);
  if (arguments.empty()) fail(sendNeedsTextMessage);
  payload["text"] = sendText(arguments, raw);
  request(payload);
  return 0;
}

int runSplit() {
  Json payload = {{"method", "split"}};
  if (auto terminal = flag("--terminal", arguments)) payload["terminal"] = *terminal;
  payload["direction"] = boolFlag("--down", arguments) ? "down" : "right";
  Json response = request(payload);
  printLine(stringMember(response, "panel"));
  return 0;
}

int runNew() {
  Json payload = {{"method", "new"}};
  if (auto space = flag("--space", arguments)) payload["space"] = *space;
  if (auto cwd = flag("--cwd", arguments)) payload["cwd"] = *cwd;
  if (boolFlag("--worktree", arguments)) payload["worktree"] = true;
  if (auto command = flag("--command", arguments)) payload["command"] = *command;
  Json response = request(payload);
  const std::string* branch = stringMember(response, "branch");
  const std::string* worktree = stringMember(response, "worktree");
  if (branch && worktree) print(*branch + "\t" + *worktree + "\n");
  printLine(stringMember(response, "panel"));
  return 0;
}

int runWait() {
  Json payload = {{"method", "wait"}};
  if (auto panel = flag("--panel", arguments)) payload["panel"] = *panel;
  if (auto until = flag("--until", arguments)) payload["until"] = *until;
  if (auto timeout = flag("--timeout", arguments))
    payload["timeout"] = numberValue(*timeout).value_or(defaultWaitSeconds);
  Json response = request(payload);
  bool timedOut = boolMember(response, "timeout").value_or(false);
  if (timedOut) writeAll(STDERR_FILENO, waitTimeoutLine);
  const std::string* state = stringMember(response, "state");
  std::string line(state ? std::string_view(*state) : unknownState);
  line.push_back('\n');
  print(line);
  return timedOut ? waitTimedOutStatus : 0;
}

int runNotify() {
  request({{"method", "notify"}});
  return 0;
}

}  // namespace tesselo

// "send": types a text literally into a pane; a final line feed presses Enter.
#include <functional>
#include <optional>

#include "host/approval.h"
#include "host/handlers.h"
#include "host/protocol.h"

namespace tesselo::host {

namespace {

constexpr std::string_view sendNeedsTextMessage = "send needs a string \"text\"";
// Each tmux command travels in one message of limited size.
constexpr size_t typedChunkBytes = 4000;

}  // namespace

namespace {

struct Typing {
  std::optional<std::string> error;
  bool started = false;  // some of the text may have reached the pane
};

// One tmux command list per typed chunk, with leaving copy mode in front of
// the first and Enter behind the last, so a one-line send is one command
// list. tmux stops a list at its first failing command.
Typing typeText(const std::function<TmuxOutcome(const std::vector<std::string>&)>& runList,
                const std::string& pane, const std::string& text) {
  Typing typing;
  std::vector<std::string> args;
  auto then = [&args](std::vector<std::string> command) {
    if (!args.empty()) args.push_back(";");
    args.insert(args.end(), command.begin(), command.end());
  };
  auto run = [&]() {
    TmuxOutcome outcome = runList(args);
    args.clear();
    if (!outcome.ok) typing.error = "tmux: " + outcome.error;
    // Only a failure of the very first list is known to have typed nothing.
    typing.started |= outcome.ok;
    return outcome.ok;
  };
  // In copy mode (the user scrolled back) keys would drive the mode instead
  // of reaching the program; leaving it first makes the text arrive.
  then({"copy-mode", "-q", "-t", pane});
  bool enter = !text.empty() && text.back() == '\n';
  std::string body = enter ? text.substr(0, text.size() - 1) : text;
  std::vector<std::string> chunks = literalChunks(body, typedChunkBytes);
  for (size_t i = 0; i < chunks.size(); ++i) {
    then(typeChunkArgs(pane, chunks[i]));
    if (i + 1 < chunks.size() && !run()) return typing;
  }
  if (enter) then({"send-keys", "-t", pane, "Enter"});
  run();
  return typing;
}

}  // namespace

Json runSend(HostContext& host, const Call& call) {
  const std::string* text = stringMember(call.request, "text");
  if (!text) return errorAnswer(sendNeedsTextMessage);
  // A pane known from the latest listing is typed into at once; if it has
  // gone, or tmux is another server now, nothing was typed and the pane is
  // looked up afresh.
  if (auto cached = cachedPaneTarget(host, call.request)) {
    if (auto refused = approveSend(host)) return errorAnswer(*refused);
    Typing typed = typeText(
        [&](const std::vector<std::string>& args) {
          return runTmuxOn(host.tmux, cached->connection, args);
        },
        cached->pane.paneId, *text);
    if (!typed.error) return Json::object();
    if (typed.started) return errorAnswer(*typed.error);
  }
  auto target = paneTarget(host, call.request);
  if (auto* error = std::get_if<std::string>(&target)) return errorAnswer(*error);
  if (auto refused = approveSend(host)) return errorAnswer(*refused);
  Typing typed =
      typeText([&](const std::vector<std::string>& args) { return runTmux(host.tmux, args); },
               std::get<Target>(target).pane.paneId, *text);
  if (typed.error) return errorAnswer(*typed.error);
  return Json::object();
}

}  // namespace tesselo::host

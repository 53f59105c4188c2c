// "send": types a text literally into a pane; a final line feed presses Enter.
#include "host/approval.h"
#include "host/handlers.h"
#include "host/protocol.h"

namespace tesselo::host {

namespace {

constexpr std::string_view sendNeedsTextMessage = "send needs a string \"text\"";
// Each tmux command travels in one message of limited size.
constexpr size_t typedChunkBytes = 4000;

}  // namespace

Json runSend(HostContext& host, const Call& call) {
  const std::string* text = stringMember(call.request, "text");
  if (!text) return errorAnswer(sendNeedsTextMessage);
  auto target = paneTarget(host, call.request);
  if (auto* error = std::get_if<std::string>(&target)) return errorAnswer(*error);
  if (auto refused = approveSend(host)) return errorAnswer(*refused);

  const std::string& pane = std::get<Target>(target).pane.paneId;
  // In copy mode (the user scrolled back) keys would drive the mode instead
  // of reaching the program; leaving it first makes the text arrive.
  TmuxOutcome left = runTmux(host.tmux, {"copy-mode", "-q", "-t", pane});
  if (!left.ok) return errorAnswer("tmux: " + left.error);
  bool enter = !text->empty() && text->back() == '\n';
  std::string body = enter ? text->substr(0, text->size() - 1) : *text;
  for (const std::string& chunk : literalChunks(body, typedChunkBytes)) {
    TmuxOutcome typed = runTmux(host.tmux, typeChunkArgs(pane, chunk));
    if (!typed.ok) return errorAnswer("tmux: " + typed.error);
  }
  if (enter) {
    TmuxOutcome pressed = runTmux(host.tmux, {"send-keys", "-t", pane, "Enter"});
    if (!pressed.ok) return errorAnswer("tmux: " + pressed.error);
  }
  return Json::object();
}

}  // namespace tesselo::host

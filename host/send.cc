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
  // One tmux run per typed chunk, with leaving copy mode in front of the
  // first and Enter behind the last: a one-line send starts one process.
  // tmux stops a command list at its first failing command.
  std::vector<std::string> args;
  auto then = [&args](std::vector<std::string> command) {
    if (!args.empty()) args.push_back(";");
    args.insert(args.end(), command.begin(), command.end());
  };
  auto run = [&host, &args]() -> std::optional<std::string> {
    TmuxOutcome outcome = runTmux(host.tmux, args);
    args.clear();
    if (!outcome.ok) return "tmux: " + outcome.error;
    return std::nullopt;
  };
  // In copy mode (the user scrolled back) keys would drive the mode instead
  // of reaching the program; leaving it first makes the text arrive.
  then({"copy-mode", "-q", "-t", pane});
  bool enter = !text->empty() && text->back() == '\n';
  std::string body = enter ? text->substr(0, text->size() - 1) : *text;
  std::vector<std::string> chunks = literalChunks(body, typedChunkBytes);
  for (size_t i = 0; i < chunks.size(); ++i) {
    then(typeChunkArgs(pane, chunks[i]));
    if (i + 1 < chunks.size())
      if (auto failed = run()) return errorAnswer(*failed);
  }
  if (enter) then({"send-keys", "-t", pane, "Enter"});
  if (auto failed = run()) return errorAnswer(*failed);
  return Json::object();
}

}  // namespace tesselo::host

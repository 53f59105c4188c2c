// Asking with "command-prompt -1": the key pressed is stored in a tmux user
// option that the host then reads back.
#include "host/approval.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "host/pane_ids.h"

namespace tesselo::host {

namespace {

constexpr std::chrono::seconds answerTimeLimit{60};
constexpr std::chrono::milliseconds answerPollInterval{100};

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

bool approvalGranted(std::string_view answer) {
  return answer == "y" || answer == "Y";
}

std::optional<std::string> approveSend(HostContext& host) {
  if (host.allowSend) return std::nullopt;
  std::lock_guard lock(host.approval.mutex);
  if (host.approval.granted) return std::nullopt;

  std::vector<ClientRow> clients = listClients(host.tmux).clients;
  auto client = latestClient(clients);
  if (!client) return std::string(noClientToAskMessage);

  char token[17];
  std::snprintf(token, sizeof token, "%016llx", static_cast<unsigned long long>(randomWord()));
  std::string option = std::string("@tesselo-send-answer-") + token;
  // "%%%" is the key pressed, with quotes escaped.
  std::string store = "set-option -g " + option + " \"%%%\"";
  TmuxOutcome asked = runTmux(host.tmux, {"command-prompt", "-b", "-1", "-t", clients[*client].name,
                                          "-p", std::string(approvalPrompt), store});
  if (!asked.ok) return "tmux: " + asked.error;

  std::string answer;
  auto deadline = std::chrono::steady_clock::now() + answerTimeLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    TmuxOutcome shown = runTmux(host.tmux, {"show-options", "-gqv", option});
    if (!shown.ok) return "tmux: " + shown.error;
    answer = trimmed(shown.out);
    if (!answer.empty()) break;
    std::this_thread::sleep_for(answerPollInterval);
  }
  runTmux(host.tmux, {"set-option", "-gu", option});
  if (!approvalGranted(answer)) return std::string(sendRefusedMessage);
  host.approval.granted = true;
  return std::nullopt;
}

}  // namespace tesselo::host

// Asking with "command-prompt -1": the key pressed is stored in a tmux user
// option, and a subscription on the host's control client reports it the
// moment it changes (tmux checks subscriptions every second).
#include "host/approval.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>

#include "host/pane_ids.h"
#include "host/tmux_control.h"

namespace tesselo::host {

namespace {

constexpr std::chrono::seconds answerTimeLimit{60};

// The value a "%subscription-changed <name> ... : <value>" line reports for
// the named subscription.
std::optional<std::string> subscribedValue(std::string_view line, const std::string& name) {
  std::string start = "%subscription-changed " + name + " ";
  if (line.substr(0, start.size()) != start) return std::nullopt;
  size_t colon = line.find(" : ", start.size());
  if (colon == std::string_view::npos) return std::nullopt;
  return std::string(line.substr(colon + 3));
}

struct Answer {
  std::mutex mutex;
  std::condition_variable cv;
  std::string key;
  bool lost = false;
};

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
  if (!host.tmux.control) return std::string(tmuxLostMessage);

  char token[17];
  std::snprintf(token, sizeof token, "%016llx", static_cast<unsigned long long>(randomWord()));
  std::string option = std::string("@tesselo-send-answer-") + token;
  std::string subscription = std::string("tesselo-approval-") + token;

  auto answer = std::make_shared<Answer>();
  int listening = host.tmux.control->listen([answer, subscription](std::string_view line) {
    std::optional<std::string> value = subscribedValue(line, subscription);
    bool lost = line == "%exit";
    if ((!value || value->empty()) && !lost) return;
    std::lock_guard lock(answer->mutex);
    if (value) answer->key = *value;
    answer->lost = lost;
    answer->cv.notify_one();
  });
  // "%%%" is the key pressed, with quotes escaped.
  std::string store = "set-option -g " + option + " \"%%%\"";
  TmuxOutcome asked =
      runTmux(host.tmux,
              {"refresh-client", "-B", subscription + "::#{" + option + "}", ";", "command-prompt",
               "-b", "-1", "-t", clients[*client].name, "-p", std::string(approvalPrompt), store});
  std::string key;
  bool lost = false;
  if (asked.ok) {
    std::unique_lock wait(answer->mutex);
    answer->cv.wait_for(wait, answerTimeLimit,
                        [&] { return !answer->key.empty() || answer->lost; });
    key = answer->key;
    lost = answer->lost;
  }
  host.tmux.control->unlisten(listening);
  runTmux(host.tmux, {"refresh-client", "-B", subscription, ";", "set-option", "-gu", option});
  if (!asked.ok) return "tmux: " + asked.error;
  if (lost && key.empty()) return "tmux: " + std::string(tmuxLostMessage);
  if (!approvalGranted(key)) return std::string(sendRefusedMessage);
  host.approval.granted = true;
  return std::nullopt;
}

}  // namespace tesselo::host

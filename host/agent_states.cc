// Agent state transitions and the condition variable that wakes waits.
#include "host/agent_states.h"

#include <algorithm>
#include <array>

namespace tesselo::host {

namespace {

constexpr std::array<std::string_view, 4> blockingDetails = {
    "permission_prompt", "elicitation_dialog", "elicitation_url_dialog", "agent_needs_input"};
constexpr std::string_view completedDetail = "agent_completed";

}  // namespace

bool isAgentState(std::string_view text) {
  return text == stateWorking || text == stateBlocked || text == stateIdle;
}

EventEffect agentEventEffect(std::string_view event, const std::string* detail) {
  if (event == "SessionStart" || event == "Stop") return {EffectKind::set, stateIdle};
  if (event == "UserPromptSubmit") return {EffectKind::set, stateWorking};
  if (event == "SessionEnd") return {EffectKind::forget, {}};
  if (event == "Notification" && detail) {
    if (std::find(blockingDetails.begin(), blockingDetails.end(), *detail) != blockingDetails.end())
      return {EffectKind::set, stateBlocked};
    if (*detail == completedDetail) return {EffectKind::set, stateIdle};
  }
  return {};
}

std::string terminalState(const std::vector<std::string>& paneStates) {
  for (std::string_view state : {stateBlocked, stateWorking, stateIdle})
    if (std::find(paneStates.begin(), paneStates.end(), state) != paneStates.end())
      return std::string(state);
  return {};
}

void AgentStates::apply(const std::string& pane, const std::string& agent,
                        const EventEffect& effect) {
  {
    std::lock_guard lock(mutex_);
    if (effect.kind == EffectKind::forget) {
      agents_.erase(pane);
    } else if (effect.kind == EffectKind::set) {
      Known& known = agents_[pane];
      known.agent = {agent, std::string(effect.state)};
      known.tick = tick_;
    } else {
      return;
    }
  }
  changed_.notify_all();
}

void AgentStates::agentExited(const std::string& pane) {
  {
    std::lock_guard lock(mutex_);
    agents_.erase(pane);
    auto [first, last] = waiting_.equal_range(pane);
    for (auto it = first; it != last; ++it) it->second.agentExited = true;
  }
  changed_.notify_all();
}

std::optional<AgentState> AgentStates::get(const std::string& pane) const {
  std::lock_guard lock(mutex_);
  auto it = agents_.find(pane);
  if (it == agents_.end()) return std::nullopt;
  return it->second.agent;
}

WaitResult AgentStates::waitFor(const std::string& pane, const std::string& until,
                                Clock::time_point deadline,
                                const std::function<bool()>& clientGone) {
  std::unique_lock lock(mutex_);
  auto entry = waiting_.emplace(pane, Waiter{tick_});
  WaitResult result;
  for (;;) {
    auto it = agents_.find(pane);
    result.state.reset();
    if (it != agents_.end()) result.state = it->second.agent.state;
    if (result.state == until) {
      result.end = WaitEnd::reached;
      break;
    }
    if (entry->second.paneGone || entry->second.agentExited) {
      result.end = entry->second.paneGone ? WaitEnd::paneGone : WaitEnd::agentExited;
      break;
    }
    auto now = Clock::now();
    if (now >= deadline) {
      result.end = WaitEnd::timedOut;
      break;
    }
    lock.unlock();
    bool gone = clientGone && clientGone();
    lock.lock();
    if (gone) {
      result.end = WaitEnd::clientGone;
      break;
    }
    changed_.wait_until(lock, std::min(deadline, now + clientCheck_));
  }
  waiting_.erase(entry);
  return result;
}

uint64_t AgentStates::sweepMark() {
  std::lock_guard lock(mutex_);
  return tick_++;
}

void AgentStates::retain(const std::set<std::string>& livePanes, uint64_t mark) {
  bool anyGone = false;
  {
    std::lock_guard lock(mutex_);
    for (auto it = agents_.begin(); it != agents_.end();) {
      if (it->second.tick <= mark && !livePanes.count(it->first))
        it = agents_.erase(it);
      else
        ++it;
    }
    for (auto& [pane, waiter] : waiting_)
      if (waiter.tick <= mark && !livePanes.count(pane) && !waiter.paneGone)
        anyGone = waiter.paneGone = true;
  }
  if (anyGone) changed_.notify_all();
}

bool AgentStates::watched() const {
  std::lock_guard lock(mutex_);
  return !agents_.empty() || !waiting_.empty();
}

size_t AgentStates::waiters() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

}  // namespace tesselo::host

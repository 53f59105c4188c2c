// What the host knows of the coding agent in each pane, fed by agent-event
// requests, and the waits that block until an agent reaches a state.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tesselo::host {

inline constexpr std::string_view stateWorking = "working";
inline constexpr std::string_view stateBlocked = "blocked";
inline constexpr std::string_view stateIdle = "idle";
inline constexpr std::string_view defaultAgent = "claude";

bool isAgentState(std::string_view text);

struct AgentState {
  std::string agent;
  std::string state;
};

enum class EffectKind { none, set, forget };

struct EventEffect {
  EffectKind kind = EffectKind::none;
  std::string_view state;  // for set
};

// What one hook event does to the pane's agent. Unknown events and
// notification details change nothing.
EventEffect agentEventEffect(std::string_view event, const std::string* detail);

// A terminal's state from its panes' states: blocked over working over idle;
// empty when no pane has one.
std::string terminalState(const std::vector<std::string>& paneStates);

enum class WaitEnd { reached, timedOut, paneGone, agentExited, clientGone };

struct WaitResult {
  WaitEnd end = WaitEnd::timedOut;
  std::optional<std::string> state;  // the agent's state when the wait ended
};

class AgentStates {
 public:
  using Clock = std::chrono::steady_clock;

  // How often a blocked wait looks whether its client has gone.
  explicit AgentStates(Clock::duration clientCheck = std::chrono::seconds(1))
      : clientCheck_(clientCheck) {}

  void apply(const std::string& pane, const std::string& agent, const EventEffect& effect);
  std::optional<AgentState> get(const std::string& pane) const;

  // The pane's agent process has ended without saying goodbye: its state is
  // forgotten as SessionEnd forgets it, and every wait on the pane ends.
  void agentExited(const std::string& pane);

  // Blocks until the pane's agent state equals `until`, the deadline passes,
  // the pane is found closed or its agent gone, or clientGone() says nobody
  // awaits the answer.
  WaitResult waitFor(const std::string& pane, const std::string& until, Clock::time_point deadline,
                     const std::function<bool()>& clientGone);

  // A sweep for closed panes: take a mark, list the live panes, then retain
  // them. Only what was known before the mark is judged by the listing, so a
  // pane created while it ran is never taken for closed.
  uint64_t sweepMark();
  void retain(const std::set<std::string>& livePanes, uint64_t mark);

  // Whether a sweep has anything to do.
  bool watched() const;
  size_t waiters() const;

 private:
  struct Known {
    AgentState agent;
    uint64_t tick = 0;
  };
  struct Waiter {
    uint64_t tick = 0;
    bool paneGone = false;
    bool agentExited = false;
  };
  Clock::duration clientCheck_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t tick_ = 0;
  std::map<std::string, Known> agents_;
  std::multimap<std::string, Waiter> waiting_;
};

}  // namespace tesselo::host

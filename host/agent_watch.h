// What the host learns about agents beyond their hook events: the agent's
// process, watched so that its death clears the pane at once, and, while a
// turn runs, the pane's status line and the session's transcript, so that a
// turn that ends without a Stop (Escape, an API error) or stops at a
// permission dialog shows as it is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/agent_states.h"
#include "host/process_tree.h"
#include "host/turn_signals.h"

namespace tesselo::host {

struct HostContext;

using WatchClock = std::chrono::steady_clock;

// How long a check of the screen may see the turn at rest before that counts,
// and how long after a turn began an at-rest screen is not believed unless
// the turn was seen running (the screen may still show the last turn).
inline constexpr std::chrono::milliseconds restSettles{400};
inline constexpr std::chrono::milliseconds turnDrawGrace{1500};
inline constexpr std::chrono::milliseconds turnCheckInterval{500};

// One turn as the checks have seen it.
struct TurnView {
  WatchClock::time_point since;
  bool seenRunning = false;
  std::optional<WatchClock::time_point> restSince;
};

enum class TurnVerdict { keep, working, blocked, idle };

// The state a turn's signs call for. A transcript marker ends the turn at
// once; the screen says working or blocked at once, and idle only once it
// has stayed at rest for restSettles, and only if this turn was seen running
// or the agent shows its running status at all and turnDrawGrace has passed.
// Updates the view; `showsRunning` is the agent's, across turns.
TurnVerdict judgeTurn(TurnView& view, bool& showsRunning, TranscriptSignal transcript,
                      ScreenStatus screen, WatchClock::time_point now);

struct AgentEventNote {
  std::string pane;    // our pane id
  std::string paneId;  // tmux's
  std::string agent;
  std::string event;
  EventEffect effect;
  std::optional<ProcessIdentity> process;
  std::string session;
  std::string cwd;
};

class AgentWatch {
 public:
  AgentWatch();
  ~AgentWatch();
  AgentWatch(const AgentWatch&) = delete;
  AgentWatch& operator=(const AgentWatch&) = delete;

  // Applies the event's effect to the states and starts, moves or ends the
  // watching of the pane's agent and turn accordingly.
  void note(AgentStates& states, const AgentEventNote& note);

  // Run for ever on threads of their own: one waits for agents to end, the
  // other checks the turns that run.
  void watchExits(HostContext& host);
  void followTurns(HostContext& host);

 private:
  struct Agent {
    std::string paneId;
    std::string agent;
    std::optional<ProcessIdentity> process;
    int pidfd = -1;
    std::string configFolder;
    std::string mode;
    bool showsRunning = false;
    // The turn followed while the state is working or blocked.
    bool following = false;
    uint64_t turn = 0;
    TurnView view;
    int64_t sinceMillis = 0;
    std::shared_ptr<TranscriptFollower> transcript;
  };
  void wakeExits();
  void forget(std::map<std::string, Agent>::iterator it);

  std::mutex mutex_;
  std::condition_variable turnsChanged_;
  bool turnsPoked_ = false;
  std::map<std::string, Agent> agents_;
  int wake_[2] = {-1, -1};
};

}  // namespace tesselo::host

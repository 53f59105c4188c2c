// Two threads: one sleeps in poll on the agents' pidfds (or, where the
// kernel has none, looks every second), the other checks each running turn
// twice a second. Panes at rest cost nothing.
#include "host/agent_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "host/handlers.h"
#include "support/socket_path.h"

namespace tesselo::host {

namespace {

constexpr std::chrono::seconds exitLookInterval{1};

// A descriptor that becomes readable when the process ends; -1 where the
// kernel cannot give one. Checked against the start time after opening, so
// it never stands for a process that took over a reused id.
int openPidfd(const ProcessIdentity& process) {
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, process.pid, 0));
  if (fd < 0) return -1;
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (!processAlive(process)) {
    ::close(fd);
    return -1;
  }
  return fd;
#else
  (void)process;
  return -1;
#endif
}

// Where the agent keeps its transcripts: its own CLAUDE_CONFIG_DIR or
// ~/.claude as its environment says, else the host's.
std::string configFolderOf(std::optional<pid_t> agent) {
  const char* names[] = {"CLAUDE_CONFIG_DIR", "HOME"};
  for (const char* name : names) {
    std::optional<std::string> value;
    if (agent) value = processEnvironment(*agent, name);
    if (!value) {
      const char* own = std::getenv(name);
      if (own) value = own;
    }
    if (value && !value->empty() && value->front() == '/')
      return std::string(name) == "HOME" ? *value + "/.claude" : *value;
  }
  std::string home = passwordHomeDirectory();
  return home.empty() ? std::string() : home + "/.claude";
}

int64_t wallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool busy(const std::optional<AgentState>& state) {
  return state && (state->state == stateWorking || state->state == stateBlocked);
}

}  // namespace

TurnVerdict judgeTurn(TurnView& view, bool& showsRunning, TranscriptSignal transcript,
                      ScreenStatus screen, WatchClock::time_point now) {
  if (transcript != TranscriptSignal::none) return TurnVerdict::idle;
  switch (screen) {
    case ScreenStatus::running:
      view.seenRunning = showsRunning = true;
      view.restSince.reset();
      return TurnVerdict::working;
    case ScreenStatus::dialog:
      view.restSince.reset();
      return TurnVerdict::blocked;
    case ScreenStatus::unknown:
      view.restSince.reset();
      return TurnVerdict::keep;
    case ScreenStatus::rest:
      break;
  }
  if (!view.restSince) view.restSince = now;
  bool believed = view.seenRunning || (showsRunning && now - view.since >= turnDrawGrace);
  return believed && now - *view.restSince >= restSettles ? TurnVerdict::idle : TurnVerdict::keep;
}

AgentWatch::AgentWatch() {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

AgentWatch::~AgentWatch() {
  for (auto& [pane, agent] : agents_)
    if (agent.pidfd >= 0) ::close(agent.pidfd);
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

void AgentWatch::wakeExits() {
  char byte = 1;
  // A full pipe already holds a wake-up.
  if (wake_[1] >= 0 && ::write(wake_[1], &byte, 1) < 0) return;
}

void AgentWatch::forget(std::map<std::string, Agent>::iterator it) {
  if (it->second.pidfd >= 0) ::close(it->second.pidfd);
  agents_.erase(it);
  wakeExits();
}

void AgentWatch::note(AgentStates& states, const AgentEventNote& note) {
  std::lock_guard lock(mutex_);
  states.apply(note.pane, note.agent, note.effect);
  Agent& agent = agents_[note.pane];
  agent.paneId = note.paneId;
  agent.agent = note.agent;
  if (note.process && agent.process != note.process) {
    // Another agent in the pane: what was learned of the last one goes.
    if (agent.pidfd >= 0) ::close(agent.pidfd);
    agent = Agent();
    agent.paneId = note.paneId;
    agent.agent = note.agent;
    agent.process = note.process;
    agent.pidfd = openPidfd(*note.process);
    agent.configFolder = configFolderOf(note.process->pid);
    wakeExits();
  }
  if (agent.configFolder.empty()) agent.configFolder = configFolderOf(std::nullopt);
  if (!busy(states.get(note.pane))) {
    agent.following = false;
  } else if (!agent.following || note.event == "UserPromptSubmit") {
    agent.following = true;
    ++agent.turn;
    agent.view = TurnView();
    agent.view.since = WatchClock::now();
    agent.sinceMillis = wallMillis();
    agent.transcript = std::make_shared<TranscriptFollower>(
        transcriptPath(agent.configFolder, note.cwd, note.session));
  }
  if (!agent.process && !agent.following) {
    agents_.erase(note.pane);
    return;
  }
  turnsPoked_ = true;
  turnsChanged_.notify_one();
}

void AgentWatch::watchExits(HostContext& host) {
  for (;;) {
    struct Watched {
      std::string pane;
      ProcessIdentity process;
      int pidfd;
    };
    std::vector<Watched> watched;
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
    bool looking = false;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [pane, agent] : agents_) {
        if (!agent.process) continue;
        watched.push_back({pane, *agent.process, agent.pidfd});
        if (agent.pidfd >= 0)
          fds.push_back({agent.pidfd, POLLIN, 0});
        else
          looking = true;
      }
    }
    int timeout =
        looking ? static_cast<int>(std::chrono::milliseconds(exitLookInterval).count()) : -1;
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) continue;
    char drain[64];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
    std::vector<const Watched*> ended;
    size_t next = 1;
    for (const Watched& w : watched) {
      bool gone = w.pidfd >= 0 ? (fds[next++].revents & (POLLIN | POLLHUP | POLLERR)) != 0
                               : !processAlive(w.process);
      if (gone) ended.push_back(&w);
    }
    std::lock_guard lock(mutex_);
    for (const Watched* w : ended) {
      auto it = agents_.find(w->pane);
      // Only if the pane still has that agent: another may have come since.
      if (it == agents_.end() || it->second.process != w->process) continue;
      host.states.agentExited(w->pane);
      forget(it);
    }
  }
}

void AgentWatch::followTurns(HostContext& host) {
  for (;;) {
    struct Followed {
      std::string pane, paneId, mode;
      uint64_t turn;
      int64_t sinceMillis;
      std::shared_ptr<TranscriptFollower> transcript;
    };
    std::vector<Followed> followed;
    {
      std::unique_lock lock(mutex_);
      turnsChanged_.wait_for(lock, turnCheckInterval, [&] { return turnsPoked_; });
      turnsPoked_ = false;
      for (const auto& [pane, agent] : agents_)
        if (agent.following)
          followed.push_back(
              {pane, agent.paneId, agent.mode, agent.turn, agent.sinceMillis, agent.transcript});
    }
    for (const Followed& f : followed) {
      StatusReading reading;
      TmuxOutcome screen = runTmux(host.tmux, {"capture-pane", "-p", "-t", f.paneId});
      if (screen.ok) reading = readStatusLine(screen.out, f.mode);
      TranscriptSignal signal = TranscriptSignal::none;
      if (f.transcript)
        for (const std::string& line : f.transcript->newLines())
          if (signal == TranscriptSignal::none) signal = transcriptSignal(line, f.sinceMillis);

      std::lock_guard lock(mutex_);
      auto it = agents_.find(f.pane);
      // A new turn or another agent since the screen was read: this check
      // speaks for neither.
      if (it == agents_.end() || !it->second.following || it->second.turn != f.turn) continue;
      Agent& agent = it->second;
      if (!reading.mode.empty()) agent.mode = reading.mode;
      TurnVerdict verdict =
          judgeTurn(agent.view, agent.showsRunning, signal, reading.status, WatchClock::now());
      std::string_view state = verdict == TurnVerdict::working   ? stateWorking
                               : verdict == TurnVerdict::blocked ? stateBlocked
                               : verdict == TurnVerdict::idle    ? stateIdle
                                                                 : std::string_view();
      std::optional<AgentState> now = host.states.get(f.pane);
      if (!state.empty() && now && now->state != state)
        host.states.apply(f.pane, agent.agent, {EffectKind::set, state});
      if (verdict == TurnVerdict::idle) agent.following = false;
    }
  }
}

}  // namespace tesselo::host

// What Linux tells about the processes of the user: who is whose parent, when
// each started (so a reused process id is never taken for the process it
// names), what an agent's environment says. Nothing elsewhere (the host then
// knows agents only from the pane ids their events carry).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tesselo::host {

// A process as it was when read: its id and start time together name it
// even after the id is given to another process.
struct ProcessIdentity {
  pid_t pid = 0;
  uint64_t start = 0;  // clock ticks after boot
  bool operator==(const ProcessIdentity&) const = default;
};

struct ProcessInfo {
  ProcessIdentity identity;
  pid_t parent = 0;
};

std::optional<ProcessInfo> readProcess(pid_t pid);

// The process's command line, its arguments joined by blanks.
std::string processCommandLine(pid_t pid);

// The value of one variable of the process's environment.
std::optional<std::string> processEnvironment(pid_t pid, const std::string& name);

// Whether the process still runs, as the same process.
bool processAlive(const ProcessIdentity& identity);

struct AgentLocation {
  pid_t panePid = 0;      // the pane's own process the chain reached
  ProcessIdentity agent;  // the agent: the pane's process itself when started with exec
};

// A process and its command line, its arguments joined by blanks.
struct Ancestor {
  ProcessInfo process;
  std::string commandLine;
};

// The process and its parents, read at once. A relay that gives up waiting
// ends, and its parents with it may end, before its event is placed: what
// was read stays.
std::vector<Ancestor> readLineage(pid_t pid);

// From a hook relay up its parents: the agent is the first ancestor that is
// not part of running the hook (whose command line names neither the hook
// command word nor belongs to the relay itself), the pane the first
// ancestor, from the agent up, that is a pane's own process. Nothing when the
// chain is unreadable or reaches no pane.
std::optional<AgentLocation> locateAgent(const std::vector<Ancestor>& lineage,
                                         const std::set<pid_t>& panePids,
                                         std::string_view hookWord);

}  // namespace tesselo::host

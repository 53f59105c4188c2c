// The tmux adapter: every tmux command the host runs goes through here, as an
// argument vector, against the server named at start-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesselo::host {

class TmuxControl;

// tmux answers at once unless its server hangs; a hung server must not hold
// a connection thread forever.
inline constexpr std::chrono::seconds tmuxTimeLimit{10};

struct Tmux {
  std::string socket;  // -S path; empty for the user's default server
  // The host's long-lived connection; without one (tesselo-host --pane-id)
  // each command runs a tmux client of its own.
  std::shared_ptr<TmuxControl> control;
};

struct TmuxOutcome {
  bool ok = false;
  std::string out;
  std::string error;  // tmux's own message when it has one
  // The connection it ran over: a new one for every tmux server met, so that
  // pane ids from one server are never used on another. 0: a tmux process.
  uint64_t connection = 0;
};

// Over the connection when there is one; as a tmux process when there is
// none or none can be made (no server yet: "new" starts one that way).
TmuxOutcome runTmux(const Tmux& tmux, const std::vector<std::string>& args);

// Only over the given connection: when it has been replaced, or none can be
// made, nothing runs and the outcome fails with an empty error.
TmuxOutcome runTmuxOn(const Tmux& tmux, uint64_t connection, const std::vector<std::string>& args);

// The tmux client's own arguments before a command: -u, so that a C locale
// never rewrites what tmux prints, and -S.
std::vector<std::string> tmuxClientArgs(const std::string& socket);

// True when the failure only says that no tmux server is running (so there
// is nothing to list, rather than something broken).
bool noServer(const TmuxOutcome& outcome);

// The pieces into which "send-keys -l" commands split a text: at most
// maxBytes each, never inside a UTF-8 sequence.
std::vector<std::string> literalChunks(const std::string& text, size_t maxBytes);

// The arguments that type one chunk literally into a pane. tmux reads an
// argument ending in ";" as a command separator, so trailing semicolons are
// sent as hexadecimal keys instead.
std::vector<std::string> typeChunkArgs(const std::string& target, const std::string& chunk);

}  // namespace tesselo::host

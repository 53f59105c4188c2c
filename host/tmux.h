// The tmux adapter: every tmux command the host runs goes through here, as an
// argument vector, against the server named at start-up.
#pragma once

#include <string>
#include <vector>

namespace tesselo::host {

struct Tmux {
  std::string socket;  // -S path; empty for the user's default server
};

struct TmuxOutcome {
  bool ok = false;
  std::string out;
  std::string error;  // tmux's own message when it has one
};

TmuxOutcome runTmux(const Tmux& tmux, const std::vector<std::string>& args);

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

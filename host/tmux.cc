// Running tmux commands, and the few quirks of its command line.
#include "host/tmux.h"

#include <algorithm>
#include <thread>

#include "host/process.h"
#include "host/text.h"
#include "host/tmux_control.h"

namespace tesselo::host {

namespace {

constexpr std::string_view serverExitingMessage = "server exited unexpectedly";

TmuxOutcome runTmuxProgram(const std::string& socket, const std::vector<std::string>& args) {
  std::vector<std::string> argv = tmuxClientArgs(socket);
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramResult result = runProgram(argv, tmuxTimeLimit);
  // A client that reaches a server still shutting down is cut off with this
  // message; a moment later the socket is free and a new server can start.
  for (int retry = 0; retry < 5 && result.started && result.status != 0 &&
                      trimEnd(result.err) == serverExitingMessage;
       ++retry) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    result = runProgram(argv, tmuxTimeLimit);
  }
  TmuxOutcome outcome;
  outcome.out = std::move(result.out);
  if (!result.started) {
    outcome.error = "cannot run tmux: is it installed?";
  } else if (result.timedOut) {
    outcome.error = tmuxHungMessage;
  } else if (result.status != 0) {
    outcome.error = trimEnd(result.err);
    if (outcome.error.empty()) outcome.error = "tmux failed";
  } else {
    outcome.ok = true;
  }
  return outcome;
}

}  // namespace

std::vector<std::string> tmuxClientArgs(const std::string& socket) {
  // -u: without it a tmux client in a C locale (services, containers, cron)
  // replaces every byte outside printable ASCII in its output with '_', so
  // names, titles and our field separator would not come back.
  std::vector<std::string> argv{"tmux", "-u"};
  if (!socket.empty()) argv.insert(argv.end(), {"-S", socket});
  return argv;
}

TmuxOutcome runTmux(const Tmux& tmux, const std::vector<std::string>& args) {
  if (tmux.control) {
    TmuxControl::Answer answer = tmux.control->run(args);
    if (answer.reach != TmuxControl::Reach::unreachable) return answer.outcome;
  }
  return runTmuxProgram(tmux.socket, args);
}

TmuxOutcome runTmuxOn(const Tmux& tmux, uint64_t connection, const std::vector<std::string>& args) {
  if (!tmux.control || connection == 0) return {};
  return tmux.control->run(args, connection).outcome;
}

bool noServer(const TmuxOutcome& outcome) {
  return !outcome.ok && (outcome.error.rfind("no server running", 0) == 0 ||
                         outcome.error.rfind("error connecting to", 0) == 0 ||
                         outcome.error == serverExitingMessage);
}

std::vector<std::string> literalChunks(const std::string& text, size_t maxBytes) {
  std::vector<std::string> chunks;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = std::min(text.size(), start + maxBytes);
    // Step back over continuation bytes so a character is never cut.
    while (end < text.size() && end > start + 1 &&
           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
      --end;
    chunks.push_back(text.substr(start, end - start));
    start = end;
  }
  return chunks;
}

std::vector<std::string> typeChunkArgs(const std::string& target, const std::string& chunk) {
  size_t keep = chunk.size();
  while (keep > 0 && chunk[keep - 1] == ';') --keep;
  std::vector<std::string> args;
  if (keep > 0) args = {"send-keys", "-l", "-t", target, "--", chunk.substr(0, keep)};
  if (keep < chunk.size()) {
    if (!args.empty()) args.push_back(";");
    args.insert(args.end(), {"send-keys", "-H", "-t", target});
    for (size_t i = keep; i < chunk.size(); ++i) args.push_back("3b");
  }
  return args;
}

}  // namespace tesselo::host

// Running tmux and the few quirks of its command line.
#include "host/tmux.h"

#include <algorithm>

#include "host/process.h"

namespace tesselo::host {

namespace {

// tmux answers at once unless its server hangs; a hung server must not hold
// a connection thread forever.
constexpr std::chrono::seconds tmuxTimeLimit{20};

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

}  // namespace

TmuxOutcome runTmux(const Tmux& tmux, const std::vector<std::string>& args) {
  // -u: without it a tmux client in a C locale (services, containers, cron)
  // replaces every byte outside printable ASCII in its output with '_', so
  // names, titles and our field separator would not come back.
  std::vector<std::string> argv{"tmux", "-u"};
  if (!tmux.socket.empty()) {
    argv.push_back("-S");
    argv.push_back(tmux.socket);
  }
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramResult result = runProgram(argv, tmuxTimeLimit);
  TmuxOutcome outcome;
  outcome.out = std::move(result.out);
  if (!result.started) {
    outcome.error = "cannot run tmux: is it installed?";
  } else if (result.timedOut) {
    outcome.error = "tmux did not answer";
  } else if (result.status != 0) {
    outcome.error = trimmed(result.err);
    if (outcome.error.empty()) outcome.error = "tmux failed";
  } else {
    outcome.ok = true;
  }
  return outcome;
}

bool noServer(const TmuxOutcome& outcome) {
  return !outcome.ok && (outcome.error.rfind("no server running", 0) == 0 ||
                         outcome.error.rfind("error connecting to", 0) == 0);
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

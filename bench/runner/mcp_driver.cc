// Every phase is bounded: a server that stops answering ends its figure.
#include "bench/runner/mcp_driver.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "bench/runner/app_process.h"
#include "bench/runner/clock.h"
#include "bench/runner/line_reader.h"
#include "bench/runner/stats.h"

namespace bench {

namespace {

constexpr int answerTimeoutMs = 30000;

// Ends a child whose input is closed: waits up to limitMs for it to go, then
// kills it. Microseconds until it was gone, or nothing when it had to be
// killed.
std::optional<double> closeAndReap(Child& child, int limitMs) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
  double begin = nowMicros();
  if (child.input >= 0) close(child.input);
  child.input = -1;
  bool gone = true;
  if (pidfd >= 0) {
    pollfd p = {pidfd, POLLIN, 0};
    gone = poll(&p, 1, limitMs) == 1;
    close(pidfd);
  }
  double elapsed = nowMicros() - begin;
  if (!gone) kill(child.pid, SIGKILL);
  finish(child.pid);
  if (child.output >= 0) close(child.output);
  child.output = -1;
  if (!gone) return std::nullopt;
  return elapsed;
}

double statusKiB(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  size_t length = std::strlen(field);
  while (std::getline(status, line))
    if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
      return std::strtod(line.c_str() + length + 1, nullptr);
  return 0;
}

std::string callLine(long id, const char* tool, const char* arguments) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" + arguments +
         "}}\n";
}

struct Session {
  Child child;
  LineReader reader;
};

// Starts the server and completes "initialize".
std::optional<Session> initialized(const Command& server) {
  auto child = start(server, true, true);
  if (!child) return std::nullopt;
  Session session{*child, LineReader(child->output)};
  if (!writeFully(session.child.input, std::string(initializeLine) + "\n") ||
      !session.reader.next(answerTimeoutMs)) {
    closeAndReap(session.child, 1000);
    return std::nullopt;
  }
  // What a host sends next; no answer is due.
  writeFully(session.child.input,
             std::string(R"({"jsonrpc":"2.0","method":"notifications/initialized"})") + "\n");
  return session;
}

}  // namespace

std::optional<long> topLevelId(const std::string& line) {
  int depth = 0;
  size_t n = line.size();
  for (size_t i = 0; i < n; ++i) {
    char c = line[i];
    if (c == '"') {
      size_t j = i + 1;
      while (j < n && line[j] != '"') j += line[j] == '\\' ? 2 : 1;
      if (depth == 1 && j - i - 1 == 2 && line.compare(i + 1, 2, "id") == 0) {
        size_t k = j + 1;
        while (k < n && line[k] == ' ') ++k;
        if (k < n && line[k] == ':') {
          char* end = nullptr;
          long value = std::strtol(line.c_str() + k + 1, &end, 10);
          if (end != line.c_str() + k + 1) return value;
          return std::nullopt;
        }
      }
      i = j;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return std::nullopt;
}

std::optional<double> spawnToFirstAnswer(const Command& server) {
  double begin = nowMicros();
  auto child = start(server, true, true);
  if (!child) return std::nullopt;
  LineReader reader(child->output);
  bool sent = writeFully(child->input, std::string(initializeLine) + "\n");
  auto line = sent ? reader.next(answerTimeoutMs) : std::nullopt;
  double elapsed = nowMicros() - begin;
  closeAndReap(*child, 10000);
  if (!line) return std::nullopt;
  return elapsed;
}

std::optional<QuietFigures> idleAndExit(const Command& server) {
  auto session = initialized(server);
  if (!session) return std::nullopt;
  Child* child = &session->child;
  // The host's notification needs no answer; give the server a moment to
  // have read it so the exit timing starts from a quiet server.
  usleep(20000);
  QuietFigures figures;
  figures.idleRssKiB = statusKiB(child->pid, "VmRSS");
  auto exit = closeAndReap(*child, 10000);
  if (!exit) return std::nullopt;
  figures.exitMicros = *exit;
  return figures;
}

std::optional<McpBurst> mcpBurst(const Command& server, long total, int inFlight) {
  auto session = initialized(server);
  if (!session) return std::nullopt;
  Child* child = &session->child;
  LineReader* reader = &session->reader;
  McpBurst burst;
  std::vector<char> seen(static_cast<size_t>(total) + 2, 0);
  long sent = 0, outstanding = 0;
  const long firstId = 2;
  bool stuck = false;
  double begin = nowMicros();
  while (sent < total || outstanding > 0) {
    std::string batch;
    while (sent < total && outstanding < inFlight) {
      batch += callLine(firstId + sent, "tesselo_list", "{}");
      ++sent;
      ++outstanding;
    }
    if (!batch.empty() && !writeFully(child->input, batch)) {
      stuck = true;
      break;
    }
    auto line = reader->next(answerTimeoutMs);
    if (!line) {
      stuck = true;
      break;
    }
    auto id = topLevelId(*line);
    long index = id ? *id - firstId : -1;
    if (index < 0 || index >= total || seen[static_cast<size_t>(index)]) {
      ++burst.duplicates;
      continue;
    }
    seen[static_cast<size_t>(index)] = 1;
    --outstanding;
    ++burst.answered;
    if (line->find("terminals") == std::string::npos ||
        line->find(R"("isError":true)") != std::string::npos)
      ++burst.errors;
  }
  burst.micros = nowMicros() - begin;
  burst.missing = total - burst.answered;
  burst.peakRssKiB = statusKiB(child->pid, "VmHWM");
  if (auto exit = closeAndReap(*child, 10000)) burst.exitMicros = *exit;
  if (stuck && burst.answered == 0) return std::nullopt;
  return burst;
}

std::optional<PingUnderLoad> pingWhileWaiting(const Command& server, const std::string& appSocket,
                                              int waits, int pings) {
  auto session = initialized(server);
  if (!session) return std::nullopt;
  Child* child = &session->child;
  LineReader* reader = &session->reader;
  long waitsBefore = servedCount(appSocket, "wait");
  std::string batch;
  for (int i = 0; i < waits; ++i)
    batch += callLine(1000 + i, "tesselo_wait", R"({"until":"idle","timeout":60})");
  writeFully(child->input, batch);
  // The figure needs every wait parked in the app before the first ping.
  double deadline = nowMicros() + 10e6;
  while (servedCount(appSocket, "wait") - waitsBefore < waits && nowMicros() < deadline)
    usleep(1000);
  bool parked = servedCount(appSocket, "wait") - waitsBefore >= waits;

  PingUnderLoad result;
  std::vector<double> times;
  long waitsAnswered = 0;
  for (int i = 0; parked && i < pings; ++i) {
    long id = 100000 + i;
    double begin = nowMicros();
    writeFully(child->input,
               R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})" + "\n");
    for (;;) {
      auto line = reader->next(answerTimeoutMs);
      if (!line) break;
      auto answered = topLevelId(*line);
      if (answered == id) {
        times.push_back(nowMicros() - begin);
        break;
      }
      ++waitsAnswered;  // a wait finished early: the app answered already
    }
  }
  // Drain: every wait comes back once the app lets it go.
  while (waitsAnswered < waits) {
    auto line = reader->next(answerTimeoutMs);
    if (!line) break;
    if (auto id = topLevelId(*line); id && *id >= 1000 && *id < 1000 + waits) ++waitsAnswered;
  }
  closeAndReap(*child, 10000);
  if (times.empty()) return std::nullopt;
  Summary s = summarize(times);
  result.medianMicros = s.median;
  result.minMicros = s.min;
  result.maxMicros = s.max;
  result.pings = static_cast<long>(times.size());
  result.waitsAnswered = waitsAnswered;
  return result;
}

}  // namespace bench

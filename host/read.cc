// "read": the bottom lines of a pane's visible screen.
#include <cmath>

#include "host/handlers.h"
#include "host/protocol.h"
#include "host/text.h"

namespace tesselo::host {

namespace {

constexpr std::string_view linesTooFewMessage = "\"lines\" must be at least 1";

}  // namespace

std::variant<int64_t, std::string> readLineCount(const Json& request) {
  auto it = request.find("lines");
  if (it == request.end() || !it->is_number()) return defaultReadLines;
  double value = it->get<double>();
  // A fraction is no line count; like any value of the wrong type it counts
  // as absent.
  if (value != std::floor(value)) return defaultReadLines;
  if (value < 1) return std::string(linesTooFewMessage);
  if (it->is_number_integer()) return it->get<int64_t>();
  return value > 1e9 ? int64_t{1000000000} : static_cast<int64_t>(value);
}

std::string bottomLines(std::string_view screen, int64_t count) {
  std::vector<std::string_view> lines = splitLines(screen, true);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  size_t first = lines.size() > static_cast<uint64_t>(count) ? lines.size() - count : 0;
  std::string text;
  for (size_t i = first; i < lines.size(); ++i) {
    if (i > first) text.push_back('\n');
    text.append(lines[i]);
  }
  return text;
}

Json runRead(HostContext& host, const Call& call) {
  auto count = readLineCount(call.request);
  if (auto* error = std::get_if<std::string>(&count)) return errorAnswer(*error);
  auto capture = [](const PaneRow& pane) -> std::vector<std::string> {
    return {"capture-pane", "-p", "-t", pane.paneId};
  };
  // A pane known from the latest listing is read at once; if it has gone,
  // or tmux is another server now, the pane is looked up afresh.
  if (auto cached = cachedPaneTarget(host, call.request)) {
    TmuxOutcome captured = runTmuxOn(host.tmux, cached->connection, capture(cached->pane));
    if (captured.ok) return {{"text", bottomLines(captured.out, std::get<int64_t>(count))}};
  }
  auto target = paneTarget(host, call.request);
  if (auto* error = std::get_if<std::string>(&target)) return errorAnswer(*error);
  TmuxOutcome captured = runTmux(host.tmux, capture(std::get<Target>(target).pane));
  if (!captured.ok) return errorAnswer("tmux: " + captured.error);
  return {{"text", bottomLines(captured.out, std::get<int64_t>(count))}};
}

}  // namespace tesselo::host

// Column widths from the contents; Markdown with the method beneath.
#include "bench/runner/report.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Width in characters, counting each UTF-8 sequence once.
size_t displayWidth(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++width;
  return width;
}

std::string padded(const std::string& text, size_t width) {
  return text + std::string(width > displayWidth(text) ? width - displayWidth(text) : 0, ' ');
}

void appendTable(std::string& out, const std::vector<Row>& rows, bool withGoal) {
  std::vector<std::vector<std::string>> cells;
  cells.push_back(withGoal ? std::vector<std::string>{"figure", "goal", "measured", "", "detail"}
                           : std::vector<std::string>{"figure", "measured", "detail"});
  for (const Row& r : rows)
    cells.push_back(withGoal ? std::vector<std::string>{r.figure, r.goal, r.measured,
                                                        verdictText(r.verdict), r.detail}
                             : std::vector<std::string>{r.figure, r.measured, r.detail});
  std::vector<size_t> widths(cells[0].size(), 0);
  for (const auto& line : cells)
    for (size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], displayWidth(line[i]));
  for (const auto& line : cells) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i)
      text += (i ? "  " : "") + (i + 1 < line.size() ? padded(line[i], widths[i]) : line[i]);
    out += text + "\n";
  }
}

void appendMarkdownTable(std::string& out, const std::vector<Row>& rows, bool withGoal) {
  out += withGoal ? "| figure | goal | measured | | detail |\n|---|---|---|---|---|\n"
                  : "| figure | measured | detail |\n|---|---|---|\n";
  for (const Row& r : rows) {
    if (withGoal)
      out += "| " + r.figure + " | " + r.goal + " | " + r.measured + " | " +
             verdictText(r.verdict) + " | " + r.detail + " |\n";
    else
      out += "| " + r.figure + " | " + r.measured + " | " + r.detail + " |\n";
  }
}

}  // namespace

std::string verdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::met:
      return "met";
    case Verdict::missed:
      return "MISSED";
    case Verdict::context:
      return "";
    case Verdict::notMeasured:
      return "not measured";
  }
  return "";
}

std::string ratioText(double ratio) {
  return fixed(ratio, 2) + "x";
}

std::string millisText(double micros) {
  if (micros >= 100000) return fixed(micros / 1000, 0) + " ms";
  if (micros >= 1000) return fixed(micros / 1000, 2) + " ms";
  return fixed(micros / 1000, 3) + " ms";
}

std::string rangeText(double low, double high, bool ratio) {
  if (ratio) return fixed(low, 2) + "–" + fixed(high, 2);
  return millisText(low) + "–" + millisText(high);
}

std::string tableText(const Report& report) {
  std::string out = "Goals (medians of paired runs; ratios are B/A per pair)\n\n";
  appendTable(out, report.goals, true);
  out += "\nPeers, for context\n\n";
  appendTable(out, report.peers, false);
  if (!report.notes.empty()) {
    out += "\n";
    for (const auto& note : report.notes) out += "note: " + note + "\n";
  }
  return out;
}

std::string markdown(const Report& report, const std::string& machine) {
  std::string out =
      "# Benchmark results\n\nWritten by `make bench`; every figure below comes from the same "
      "run.\n\n";
  out += machine + "\n\n## Goals\n\n";
  appendMarkdownTable(out, report.goals, true);
  out += "\n## Peers, for context\n\n";
  appendMarkdownTable(out, report.peers, false);
  if (!report.notes.empty()) {
    out += "\n## Notes\n\n";
    for (const auto& note : report.notes) out += "- " + note + "\n";
  }
  out +=
      "\n## How these figures are taken\n\n"
      "- The application is `bench/app/instant_app.c`, an epoll server that answers at once: "
      "`list` with 3 terminals of 3 panes, `read` with a screen of `lines` x 128 bytes "
      "(box drawing, quotes, backslashes, tabs), `wait` after a fixed delay.\n"
      "- Floors are static C programs built with `-static -O2`: `floor_client` connects, writes "
      "the same request line the measured command sends, copies the answer line to standard "
      "output and exits; `floor_stdio` reads one line on standard input and writes one "
      "`initialize`-sized answer.\n"
      "- Paired runs: A (the floor or baseline) and B (the measured program) alternate, "
      "A B A B ..., each timed with the monotonic clock in microseconds from spawn to exit "
      "(`posix_spawn`, output to /dev/null). A figure is the median of the per-pair ratios "
      "B/A; the range is the lowest and highest pair. Warm-up pairs are not counted. A failed "
      "run is never counted as a fast one.\n"
      "- MCP figures drive the server over pipes as an agent host does. Spawn to `initialize` "
      "answer is timed from spawn to the first answer line. The burst keeps 256 `tools/call "
      "tesselo_list` outstanding until 5000 are answered, checks every id came back once, and "
      "is paired with the driver making the same 5000 control requests itself, 256 open at "
      "once. The ping figure parks 256 `tesselo_wait` calls in the app (which holds them), "
      "then times pings one after another. Peak RSS is the kernel's `VmHWM` after the burst; "
      "idle RSS is `VmRSS` after `initialize`. Exit is timed from closing standard input to "
      "the process being gone (pidfd).\n"
      "- Peers are context, not gates: the tmux CLI against a private tmux server "
      "(`tmux -S <temp socket> -f /dev/null`), and `bench/peer-mcp`, the seven tools on the "
      "official MCP TypeScript SDK (pinned in its lockfile, installed with `npm ci`).\n";
  return out;
}

}  // namespace bench

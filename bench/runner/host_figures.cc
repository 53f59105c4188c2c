// Starts a private tmux server and a tesselo-host serving it, then pairs each
// client call with its tmux command line, alternately.
#include "bench/runner/host_figures.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/runner/app_process.h"
#include "bench/runner/paired.h"
#include "bench/runner/spawn.h"

namespace bench {

namespace {

const std::string tmuxProgram = "/usr/bin/tmux";
// What `tesselo list` shows of each pane, asked of tmux directly.
const std::string listFormat =
    "#{session_name} #{window_id} #{window_name} #{pane_id} #{pane_current_command} #{pane_title}";

Command tmuxCommand(const std::string& socket, std::vector<std::string> args) {
  Command command{{tmuxProgram, "-S", socket, "-f", "/dev/null"}};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  return command;
}

bool tmux(const std::string& socket, std::vector<std::string> args) {
  return timeRun(tmuxCommand(socket, std::move(args))).has_value();
}

// Three windows of three panes, each running cat so typed keys go nowhere.
bool startServer(const std::string& socket) {
  const std::string quiet = "cat >/dev/null";
  if (!tmux(socket, {"new-session", "-d", "-s", "bench", "-x", "160", "-y", "48", quiet}))
    return false;
  for (int window = 0; window < 3; ++window) {
    if (window > 0 && !tmux(socket, {"new-window", "-t", "bench", quiet})) return false;
    if (!tmux(socket, {"split-window", "-t", "bench", quiet}) ||
        !tmux(socket, {"split-window", "-h", "-t", "bench", quiet}))
      return false;
  }
  return tmux(socket, {"select-window", "-t", "bench:0"});
}

std::optional<double> cpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(file, stat);
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  // Fields 14 and 15 of the line: user and system time, in clock ticks.
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Row pairedRow(const std::string& figure, const Paired& p, const std::string& against) {
  Row row{figure, "<= 0.6x " + against, "", "", Verdict::notMeasured};
  if (p.ratio.count == 0) {
    row.detail = "every run failed";
    return row;
  }
  row.measured = ratioText(p.ratio.median);
  row.detail = "vs " + against + "; " + millisText(p.b.median) + " vs " + millisText(p.a.median) +
               ", pairs " + rangeText(p.ratio.min, p.ratio.max, true) +
               ", n=" + std::to_string(p.ratio.count) +
               (p.failures ? ", failed runs " + std::to_string(p.failures) : "");
  row.verdict = p.ratio.median <= 0.6 && !p.failures ? Verdict::met : Verdict::missed;
  return row;
}

}  // namespace

void hostFigures(const HostBench& bench, Report& report) {
  std::printf("  tesselo-host against the tmux command line\n");
  std::fflush(stdout);
  const std::string tmuxSocket = bench.temp + "/host-tmux.sock";
  const std::string hostSocket = bench.temp + "/host.sock";
  if (access(tmuxProgram.c_str(), X_OK) != 0 || !startServer(tmuxSocket)) {
    tmux(tmuxSocket, {"kill-server"});
    report.notes.push_back("tesselo-host not measured: no private tmux server could be started");
    return;
  }
  Command hostCommand{{bench.programDir + "/tesselo-host", "--socket", hostSocket, "--tmux-socket",
                       tmuxSocket, "--allow-send"}};
  hostCommand.env["TESSELO_PANE_ID"] = std::nullopt;
  auto host = start(hostCommand, false, false);
  std::optional<std::string> listed;
  for (int i = 0;
       host && i < 100 && !(listed = controlExchange(hostSocket, R"({"method":"list"})")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // The first pane's id: the one the tmux commands address as bench:0.0.
  std::string pane;
  if (listed) {
    size_t at = listed->find(R"("panels":[{"id":")");
    if (at != std::string::npos) pane = listed->substr(at + 17, 16);
  }
  if (pane.size() != 16) {
    report.notes.push_back("tesselo-host not measured: it did not list the panes");
  } else {
    Command cli{{bench.programDir + "/tesselo-cli"}};
    cli.env["TESSELO_SOCKET"] = hostSocket;
    auto client = [&](std::vector<std::string> args) {
      Command c = cli;
      c.argv.insert(c.argv.end(), args.begin(), args.end());
      return c;
    };
    struct Figure {
      const char* name;
      Command ours;
      Command theirs;
      const char* against;
    } figures[] = {
        {"`tesselo list` through `tesselo-host`", client({"list"}),
         tmuxCommand(tmuxSocket, {"list-panes", "-a", "-F", listFormat}),
         "`tmux list-panes -a -F …`"},
        {"`tesselo read --lines 40` through `tesselo-host`",
         client({"read", "--panel", pane.substr(0, 8), "--lines", "40"}),
         tmuxCommand(tmuxSocket, {"capture-pane", "-p", "-t", "bench:0.0"}),
         "`tmux capture-pane -p`"},
        {"`tesselo send --raw x` through `tesselo-host`",
         client({"send", "--panel", pane.substr(0, 8), "--raw", "x"}),
         tmuxCommand(tmuxSocket, {"send-keys", "-t", "bench:0.0", "-l", "x"}),
         "`tmux send-keys -l`"},
    };
    for (const Figure& f : figures) {
      std::printf("    %s\n", f.name);
      std::fflush(stdout);
      Command ours = f.ours, theirs = f.theirs;
      Paired p = runPaired([theirs] { return timeRun(theirs); }, [ours] { return timeRun(ours); },
                           bench.pairs, bench.warmup);
      report.goals.push_back(pairedRow(f.name, p, f.against));
    }

    std::printf("    host CPU time per list\n");
    std::fflush(stdout);
    auto before = cpuSeconds(host->pid);
    long answered = 0;
    for (long i = 0; i < bench.cpuRequests; ++i)
      answered += controlExchange(hostSocket, R"({"method":"list"})").has_value();
    auto after = cpuSeconds(host->pid);
    Row cpu{"host CPU time per `list` request", "<= 0.2 ms", "", "", Verdict::notMeasured};
    if (before && after && answered == bench.cpuRequests) {
      double perRequest = (*after - *before) / static_cast<double>(answered) * 1e6;
      cpu.measured = millisText(perRequest);
      cpu.detail = "user + system time of the host from /proc/<pid>/stat over " +
                   std::to_string(answered) + " sequential requests (clock ticks of " +
                   std::to_string(1000 / sysconf(_SC_CLK_TCK)) + " ms)";
      cpu.verdict = perRequest <= 200 ? Verdict::met : Verdict::missed;
    } else {
      cpu.detail =
          "answered " + std::to_string(answered) + " of " + std::to_string(bench.cpuRequests);
    }
    report.goals.push_back(cpu);
  }
  if (host) {
    kill(host->pid, SIGTERM);
    finish(host->pid);
  }
  tmux(tmuxSocket, {"kill-server"});
  unlink(tmuxSocket.c_str());
}

}  // namespace bench

// tesselo-bench: every figure of the goal table and the peers, from one run;
// prints the table and writes bench/results/latest.md.
//
//   tesselo-bench [--quick] [--no-write] [--programs DIR] [--host-only]
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/runner/app_process.h"
#include "bench/runner/control_burst.h"
#include "bench/runner/host_figures.h"
#include "bench/runner/line_reader.h"
#include "bench/runner/mcp_driver.h"
#include "bench/runner/paired.h"
#include "bench/runner/report.h"
#include "bench/runner/spawn.h"
#include "bench/runner/tmux_peer.h"

using namespace bench;

namespace {

// --programs DIR measures another build's programs (a dynamic one, say).
std::string programDir = BENCH_PROGRAM_DIR;
const std::string toolsDir = BENCH_TOOLS_DIR;
const std::string sourceDir = BENCH_SOURCE_DIR;

constexpr long screenLineBytes = 128;
constexpr long burstCalls = 5000;
constexpr int burstInFlight = 256;
constexpr int parkedWaits = 256;
constexpr int waitHoldMs = 4000;

// Scaled down by --quick for a smoke run.
struct Counts {
  size_t cliPairs = 300, cliWarmup = 30;
  size_t bigPairs = 5;
  size_t spawnPairs = 150;
  size_t burstPairs = 5;
  int pings = 300;
  size_t quietTrials = 30;
};

// The hook event Claude Code sends most: a prompt submitted in a session.
const char* typicalHookEvent =
    R"({"session_id":"4f1c2d8e-9b7a-4c3e-8d2f-1a6b5c4d3e2f","transcript_path":)"
    R"("/home/user/.claude/projects/-home-user-src-app/4f1c2d8e.jsonl","cwd":"/home/user/src/app",)"
    R"("permission_mode":"default","hook_event_name":"UserPromptSubmit","prompt":)"
    R"("Run the test suite and fix whatever fails in the parser"})";
// What the relay sends for it, as the floor client sends it.
const char* typicalHookRequest =
    R"({"agent":"claude","cwd":"/home/user/src/app","event":"UserPromptSubmit",)"
    R"("method":"agent-event","panel":"2809a33c","session":"4f1c2d8e-9b7a-4c3e-8d2f-1a6b5c4d3e2f"})";

struct Context {
  Counts counts;
  std::string temp;
  std::string socket;
  Report report;
};

Command withSocket(const Context& c, std::vector<std::string> argv) {
  Command command{std::move(argv)};
  command.env["TESSELO_SOCKET"] = c.socket;
  return command;
}

Trial trialOf(const Command& command) {
  return [command] { return timeRun(command); };
}

std::string readRequest(long lines) {
  return R"({"lines":)" + std::to_string(lines) + R"(,"method":"read"})";
}

std::string pairedDetail(const Paired& p, const std::string& against) {
  return "vs " + against + "; " + millisText(p.b.median) + " vs " + millisText(p.a.median) +
         ", pairs " + rangeText(p.ratio.min, p.ratio.max, true) +
         ", n=" + std::to_string(p.ratio.count) +
         (p.failures ? ", failed runs " + std::to_string(p.failures) : "");
}

Row ratioRow(const std::string& figure, const std::string& goal, double limit, const Paired& p,
             const std::string& against) {
  Row row{figure, goal, "", "", Verdict::notMeasured};
  if (p.ratio.count == 0) {
    row.detail = "every run failed";
    return row;
  }
  row.measured = ratioText(p.ratio.median);
  row.detail = pairedDetail(p, against);
  if (!goal.empty())
    row.verdict = p.ratio.median <= limit ? Verdict::met : Verdict::missed;
  else
    row.verdict = Verdict::context;
  return row;
}

Row notMeasured(const std::string& figure, const std::string& goal, const std::string& why) {
  return Row{figure, goal, "", why, Verdict::notMeasured};
}

// A single run that succeeds, before a figure spends its pairs on it.
bool runsCleanly(const Command& command) {
  return timeRun(command).has_value();
}

void cliFigures(Context& c) {
  const std::string cli = programDir + "/tesselo-cli";
  const std::string floorClient = toolsDir + "/floor_client";
  auto pair = [&](const Command& a, const Command& b, size_t pairs, size_t warmup) {
    return runPaired(trialOf(a), trialOf(b), pairs, warmup);
  };
  std::printf("  tesselo list\n");
  std::fflush(stdout);
  c.report.goals.push_back(ratioRow("`tesselo list`", "<= 1.25x floor client", 1.25,
                                    pair(withSocket(c, {floorClient}), withSocket(c, {cli, "list"}),
                                         c.counts.cliPairs, c.counts.cliWarmup),
                                    "static C floor client"));

  struct Screen {
    const char* name;
    long lines;
    double limit;
    const char* goal;
  } screens[] = {{"4 KB", 32, 1.25, "<= 1.25x floor client"},
                 {"48 KB", 384, 1.6, "<= 1.6x floor client"}};
  for (const Screen& s : screens) {
    std::printf("  tesselo read, %s\n", s.name);
    std::fflush(stdout);
    c.report.goals.push_back(
        ratioRow(std::string("`tesselo read`, ") + s.name + " screen", s.goal, s.limit,
                 pair(withSocket(c, {floorClient, readRequest(s.lines)}),
                      withSocket(c, {cli, "read", "--lines", std::to_string(s.lines)}),
                      c.counts.cliPairs, c.counts.cliWarmup),
                 "floor client reading the same answer"));
  }

  std::printf("  tesselo claude-hook\n");
  std::fflush(stdout);
  std::string eventFile = c.temp + "/event.json";
  std::ofstream(eventFile) << typicalHookEvent;
  Command hook = withSocket(c, {cli, "claude-hook"});
  hook.env["TESSELO_PANE_ID"] = "2809a33c";
  hook.stdinFile = eventFile;
  long eventsBefore = servedCount(c.socket, "agent-event");
  bool hookWorks = runsCleanly(hook) && servedCount(c.socket, "agent-event") == eventsBefore + 1;
  if (hookWorks)
    c.report.goals.push_back(ratioRow("`tesselo claude-hook`, typical event",
                                      "<= 1.25x floor client", 1.25,
                                      pair(withSocket(c, {floorClient, typicalHookRequest}), hook,
                                           c.counts.cliPairs, c.counts.cliWarmup),
                                      "floor client sending the same agent-event"));
  else
    c.report.goals.push_back(notMeasured("`tesselo claude-hook`, typical event",
                                         "<= 1.25x floor client",
                                         "this build's tesselo-cli sends no agent-event yet"));

  std::printf("  tesselo read, 1 / 8 / 64 MiB\n");
  std::fflush(stdout);
  auto bigRead = [&](long mib) {
    return withSocket(c, {cli, "read", "--lines", std::to_string(mib * 1048576 / screenLineBytes)});
  };
  auto bigFloor = [&](long mib) {
    return withSocket(c, {floorClient, readRequest(mib * 1048576 / screenLineBytes)});
  };
  Paired oneVsEight = pair(bigRead(1), bigRead(8), c.counts.bigPairs, 1);
  Paired eightVsSixtyFour = pair(bigRead(8), bigRead(64), c.counts.bigPairs, 1);
  Row big{"`tesselo read`, 1 / 8 / 64 MiB", "completes; 64 MiB <= 10x the 8 MiB time", "", "",
          Verdict::notMeasured};
  if (oneVsEight.ratio.count && eightVsSixtyFour.ratio.count) {
    big.measured = ratioText(eightVsSixtyFour.ratio.median) + " (64/8)";
    big.detail = millisText(oneVsEight.a.median) + " / " + millisText(oneVsEight.b.median) + " / " +
                 millisText(eightVsSixtyFour.b.median) + "; 8/1 " +
                 ratioText(oneVsEight.ratio.median) + ", 64/8 pairs " +
                 rangeText(eightVsSixtyFour.ratio.min, eightVsSixtyFour.ratio.max, true) +
                 ", n=" + std::to_string(eightVsSixtyFour.ratio.count);
    big.verdict =
        eightVsSixtyFour.ratio.median <= 10 && !eightVsSixtyFour.failures && !oneVsEight.failures
            ? Verdict::met
            : Verdict::missed;
  } else {
    big.detail = "runs failed";
  }
  c.report.goals.push_back(big);
  for (long mib : {8L, 64L}) {
    Paired p = pair(bigFloor(mib), bigRead(mib), c.counts.bigPairs, 1);
    c.report.peers.push_back(ratioRow("`tesselo read`, " + std::to_string(mib) + " MiB", "", 0, p,
                                      "floor client reading the same answer"));
  }
  c.report.peers.push_back(ratioRow(
      "`tesselo send`", "", 0,
      pair(withSocket(c, {floorClient, R"({"method":"send","panel":"2809a33c","text":"ls\n"})"}),
           withSocket(c, {cli, "send", "--panel", "2809a33c", "ls"}), c.counts.cliPairs / 2,
           c.counts.cliWarmup),
      "floor client"));
}

// Whether the program answers "initialize" at all (a placeholder does not).
bool answersInitialize(const Command& server) {
  auto child = start(server, true, true);
  if (!child) return false;
  LineReader reader(child->output);
  bool answered =
      writeFully(child->input, std::string(initializeLine) + "\n") && reader.next(5000).has_value();
  close(child->input);
  close(child->output);
  if (!answered) kill(child->pid, SIGKILL);
  finish(child->pid);
  return answered;
}

struct ServerRows {
  Row spawn, burst, ping, rss, exit;
};

ServerRows serverFigures(Context& c, const std::string& name, const Command& server) {
  ServerRows rows;
  const std::string floorStdio = toolsDir + "/floor_stdio";
  Command floor = withSocket(c, {floorStdio});

  std::printf("  %s: spawn to initialize\n", name.c_str());
  std::fflush(stdout);
  Paired spawn = runPaired([&] { return spawnToFirstAnswer(floor); },
                           [&] { return spawnToFirstAnswer(server); }, c.counts.spawnPairs, 10);
  rows.spawn = ratioRow("", "<= 1.5x stdio floor", 1.5, spawn, "static C stdio floor");

  std::printf("  %s: 5000 tools/call, 256 in flight\n", name.c_str());
  std::fflush(stdout);
  std::vector<double> directTimes, mcpTimes, ratios;
  std::vector<double> exitsAfterBurst;
  long badIds = 0, missing = 0, errors = 0, pairs = 0;
  double peakRss = 0;
  for (size_t i = 0; i < c.counts.burstPairs; ++i) {
    auto direct = directBurst(c.socket, R"({"method":"list"})", burstCalls, burstInFlight);
    auto burst = mcpBurst(server, burstCalls, burstInFlight);
    if (!direct || !burst || direct->answered != burstCalls) {
      ++missing;
      continue;
    }
    ++pairs;
    badIds += burst->duplicates;
    missing += burst->missing;
    errors += burst->errors;
    peakRss = std::max(peakRss, burst->peakRssKiB);
    if (burst->exitMicros >= 0) exitsAfterBurst.push_back(burst->exitMicros);
    directTimes.push_back(direct->micros);
    mcpTimes.push_back(burst->micros);
    ratios.push_back(burst->micros / direct->micros);
  }
  Paired burst;
  burst.a = summarize(directTimes);
  burst.b = summarize(mcpTimes);
  burst.ratio = summarize(ratios);
  rows.burst = ratioRow("", "<= 1.5x direct; every id once", 1.5, burst,
                        "the driver's own 5000 control requests, 256 in flight");
  if (pairs) {
    bool idsOk = badIds == 0 && missing == 0;
    rows.burst.detail +=
        idsOk ? "; every id once"
              : "; ids wrong " + std::to_string(badIds) + ", missing " + std::to_string(missing);
    if (errors) rows.burst.detail += "; error results " + std::to_string(errors);
    if (!idsOk || errors) rows.burst.verdict = Verdict::missed;
  }

  std::printf("  %s: ping while 256 waits are parked\n", name.c_str());
  std::fflush(stdout);
  auto ping = pingWhileWaiting(server, c.socket, parkedWaits, c.counts.pings);
  if (ping) {
    rows.ping = Row{"", "median <= 0.2 ms", millisText(ping->medianMicros),
                    "range " + rangeText(ping->minMicros, ping->maxMicros, false) +
                        ", n=" + std::to_string(ping->pings) + "; waits answered afterwards " +
                        std::to_string(ping->waitsAnswered) + "/" + std::to_string(parkedWaits),
                    ping->medianMicros <= 200 ? Verdict::met : Verdict::missed};
  } else {
    rows.ping =
        notMeasured("", "median <= 0.2 ms", "the waits were not parked or no ping came back");
  }

  std::printf("  %s: idle memory and exit\n", name.c_str());
  std::fflush(stdout);
  std::vector<double> idle, exits;
  for (size_t i = 0; i < c.counts.quietTrials; ++i) {
    if (auto q = idleAndExit(server)) {
      idle.push_back(q->idleRssKiB);
      exits.push_back(q->exitMicros);
    }
  }
  Summary idleRss = summarize(idle), exit = summarize(exits);
  char rss[160];
  std::snprintf(rss, sizeof rss, "%.1f MiB / %.1f MiB", peakRss / 1024, idleRss.median / 1024);
  rows.rss = Row{
      "", "<= 64 MiB / <= 4 MiB", rss,
      "VmHWM after the bursts / median VmRSS after initialize, n=" + std::to_string(idleRss.count),
      pairs && idleRss.count && peakRss <= 64 * 1024 && idleRss.median <= 4 * 1024
          ? Verdict::met
          : Verdict::missed};
  Summary afterBurst = summarize(exitsAfterBurst);
  rows.exit = Row{"", "<= 10 ms", exit.count ? millisText(exit.median) : "",
                  exit.count ? "after initialize: range " + rangeText(exit.min, exit.max, false) +
                                   ", n=" + std::to_string(exit.count)
                             : "never exited",
                  exit.count && exit.median <= 10000 ? Verdict::met : Verdict::missed};
  if (afterBurst.count)
    rows.exit.detail += "; right after a burst: median " + millisText(afterBurst.median) +
                        ", range " + rangeText(afterBurst.min, afterBurst.max, false) +
                        ", n=" + std::to_string(afterBurst.count);
  return rows;
}

void mcpFigures(Context& c) {
  Command ours = withSocket(c, {programDir + "/tesselo-mcp"});
  const char* labels[] = {"`tesselo-mcp` spawn to `initialize` answer",
                          "5000 `tools/call tesselo_list`, 256 in flight",
                          "`ping` while 256 `tesselo_wait` calls are blocked",
                          "peak RSS during the burst / idle after `initialize`",
                          "stdin closed with nothing in flight -> exit"};
  const char* goals[] = {"<= 1.5x stdio floor", "<= 1.5x direct; every id once", "median <= 0.2 ms",
                         "<= 64 MiB / <= 4 MiB", "<= 10 ms"};
  if (!answersInitialize(ours)) {
    for (int i = 0; i < 5; ++i)
      c.report.goals.push_back(
          notMeasured(labels[i], goals[i], "this build's tesselo-mcp does not answer initialize"));
  } else {
    ServerRows rows = serverFigures(c, "tesselo-mcp", ours);
    Row* all[] = {&rows.spawn, &rows.burst, &rows.ping, &rows.rss, &rows.exit};
    for (int i = 0; i < 5; ++i) {
      all[i]->figure = labels[i];
      c.report.goals.push_back(*all[i]);
    }
  }

  std::string peerScript = sourceDir + "/peer-mcp/server.mjs";
  std::string peerModules = sourceDir + "/peer-mcp/node_modules";
  Command peer = withSocket(c, {"/usr/bin/env", "node", peerScript});
  if (!std::filesystem::exists(peerModules) || !answersInitialize(peer)) {
    c.report.notes.push_back("MCP SDK peer not measured: run `npm ci` in bench/peer-mcp");
    return;
  }
  ServerRows rows = serverFigures(c, "SDK peer", peer);
  const char* peerLabels[] = {"SDK peer: spawn to `initialize` answer",
                              "SDK peer: 5000 `tools/call`, 256 in flight",
                              "SDK peer: `ping` while 256 waits are blocked",
                              "SDK peer: peak RSS / idle RSS", "SDK peer: stdin closed -> exit"};
  Row* all[] = {&rows.spawn, &rows.burst, &rows.ping, &rows.rss, &rows.exit};
  for (int i = 0; i < 5; ++i) {
    all[i]->figure = peerLabels[i];
    all[i]->verdict = Verdict::context;
    c.report.peers.push_back(*all[i]);
  }
}

void tmuxFigures(Context& c) {
  std::printf("  tmux peer\n");
  std::fflush(stdout);
  auto server = startTmuxPeer(c.temp + "/tmux.sock");
  if (!server) {
    c.report.notes.push_back("tmux peer not measured: no private tmux server could be started");
    return;
  }
  const std::string floorClient = toolsDir + "/floor_client";
  struct Peer {
    const char* figure;
    std::vector<std::string> args;
    std::string floorRequest;
  } peers[] = {
      {"tmux `list-panes -a`", {"list-panes", "-a"}, R"({"method":"list"})"},
      {"tmux `capture-pane -p`", {"capture-pane", "-p", "-t", server->firstPane}, readRequest(40)},
      {"tmux `send-keys`",
       {"send-keys", "-t", server->firstPane, "-l", "x"},
       R"({"method":"send","panel":"2809a33c","text":"ls\n"})"},
  };
  for (const Peer& p : peers) {
    Command tmux{{"/usr/bin/tmux", "-S", server->socket, "-f", "/dev/null"}};
    tmux.argv.insert(tmux.argv.end(), p.args.begin(), p.args.end());
    if (!runsCleanly(tmux)) {
      c.report.notes.push_back(std::string(p.figure) + " not measured: the command failed");
      continue;
    }
    Paired paired = runPaired(trialOf(withSocket(c, {floorClient, p.floorRequest})), trialOf(tmux),
                              c.counts.cliPairs / 2, c.counts.cliWarmup);
    c.report.peers.push_back(ratioRow(p.figure, "", 0, paired, "floor client, like request"));
  }
  stopTmuxPeer(*server);
}

// The first three fields of /proc/loadavg: other work on the machine widens
// the pair ranges, so the page says how busy it was.
std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string machineText(const Counts& counts, bool quick, const std::string& loadBefore) {
  utsname u{};
  uname(&u);
  std::string cpu = "unknown processor";
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line))
    if (line.rfind("model name", 0) == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  char date[32] = "";
  time_t now = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  return std::string("Run ") + date +
         ". Machine: " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + cpu + ", " +
         u.sysname + " " + u.release + ". Build: the `bench` preset (RelWithDebInfo, " +
         BENCH_LINK + "). Pairs per CLI figure: " + std::to_string(counts.cliPairs) +
         (quick ? " (quick run)" : "") + ". Load average before / after: " + loadBefore + " / " +
         loadAverage() + ".";
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, write = true, hostOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    if (std::strcmp(argv[i], "--no-write") == 0) write = false;
    // The host's figures alone, for trying a change; the page stays as it is.
    if (std::strcmp(argv[i], "--host-only") == 0) {
      hostOnly = true;
      write = false;
    }
    if (std::strcmp(argv[i], "--programs") == 0 && i + 1 < argc) {
      programDir = argv[++i];
      write = false;  // the committed page is about this build's programs
    }
  }
  Context c;
  if (quick) c.counts = Counts{40, 5, 2, 20, 1, 50, 5};
  char temp[] = "/tmp/tesselo-bench.XXXXXX";
  if (!mkdtemp(temp)) {
    std::perror("tesselo-bench: mkdtemp");
    return 1;
  }
  c.temp = temp;
  c.socket = c.temp + "/control.sock";
  auto app = startApp(toolsDir + "/instant_app", c.socket, waitHoldMs);
  if (!app) {
    std::fprintf(stderr, "tesselo-bench: the instant app did not start\n");
    return 1;
  }
  std::string loadBefore = loadAverage();
  std::printf("measuring (this takes a few minutes)\n");
  if (!hostOnly) {
    cliFigures(c);
    mcpFigures(c);
    tmuxFigures(c);
  }
  stopApp(*app);
  HostBench hostBench{programDir, c.temp, c.counts.cliPairs / 2, c.counts.cliWarmup, 1000};
  hostFigures(hostBench, c.report);
  std::filesystem::remove_all(c.temp);

  std::string machine = machineText(c.counts, quick, loadBefore);
  std::printf("\n%s\n\n%s", machine.c_str(), tableText(c.report).c_str());
  if (write) {
    std::string path = sourceDir + "/results/latest.md";
    std::filesystem::create_directories(sourceDir + "/results");
    std::ofstream(path) << markdown(c.report, machine);
    std::printf("\nwritten to %s\n", path.c_str());
  }
  return 0;
}

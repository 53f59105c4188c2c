// tesselo-host against tmux's own command line: the same private server of
// three windows of three panes, each call paired with the tmux command that
// does the same job, and the host's own CPU time per request.
#pragma once

#include <string>

#include "bench/runner/report.h"

namespace bench {

struct HostBench {
  std::string programDir;  // tesselo-cli and tesselo-host
  std::string temp;        // a private folder for the sockets
  size_t pairs = 150;
  size_t warmup = 20;
  long cpuRequests = 1000;
};

// Appends the host's goal rows, or notes saying why they were not measured.
void hostFigures(const HostBench& bench, Report& report);

}  // namespace bench

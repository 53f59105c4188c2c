// Every command of the command line, one entry point each. A command returns
// its exit status or ends the process itself through fail().
#pragma once

namespace tesselo {

int runList();
int runRead();
int runSend();
int runSplit();
int runNew();
int runWait();
int runNotify();
int runInstallHooks();
int runClaudeHook();
int runInstallMcp();
int runInstallCli();

}  // namespace tesselo

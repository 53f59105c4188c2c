// tesselo: one command per run, chosen by the first argument.
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/frame.h"
#include "cli/hook_installer.h"
#include "cli/self_path.h"

namespace {

struct Command {
  std::string_view word;
  int (*run)();
};

// In this order; the first exact match runs.
// clang-format off
constexpr Command commandTable[] = {
    {"list", tesselo::runList},
    {"read", tesselo::runRead},
    {"send", tesselo::runSend},
    {"split", tesselo::runSplit},
    {"new", tesselo::runNew},
    {"wait", tesselo::runWait},
    {"notify", tesselo::runNotify},
    {tesselo::relayCommandWord, tesselo::runClaudeHook},
    {"install-mcp", tesselo::runInstallMcp},
    {"install-hooks", tesselo::runInstallHooks},
    {"install-cli", tesselo::runInstallCli},
};
// clang-format on

}  // namespace

int main(int argc, char** argv) {
  using namespace tesselo;
  if (argc > 0) programArgument = argv[0];
  arguments.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (arguments.empty()) {
    print(std::string(usageText) + "\n");
    return 0;
  }
  std::string word = std::move(arguments.front());
  arguments.erase(arguments.begin());
  for (const Command& command : commandTable)
    if (command.word == word) return command.run();
  fail(std::string(unknownCommandMessage) + word);
}

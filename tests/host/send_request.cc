// tesselo-test-request: sends the JSON object on standard input as one
// control request to socketPath() and prints the answer line. A stand-in for
// clients this build may still lack (scripts/demo uses it only then).
#include <unistd.h>

#include <string>

#include "support/control_link.h"
#include "support/fd_io.h"

int main() {
  using namespace tesselo;
  std::string input;
  if (!readToEnd(STDIN_FILENO, input)) return 1;
  auto request = parseJson(input);
  if (!request || !request->is_object()) {
    writeAll(STDERR_FILENO, "tesselo-test-request: standard input is not a JSON object\n");
    return 1;
  }
  LinkOutcome outcome = exchange(*request);
  if (outcome.failure != LinkFailure::none) {
    writeAll(STDERR_FILENO, "tesselo-test-request: no answer at " + outcome.path + "\n");
    return 1;
  }
  auto line = compactJson(outcome.response);
  writeAll(STDOUT_FILENO, (line ? *line : std::string("{}")) + "\n");
  return 0;
}

// Option extraction and the failure path of the command line.
#include "cli/frame.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "support/fd_io.h"

namespace tesselo {

std::vector<std::string> arguments;

std::optional<std::string> flag(const std::string& name, std::vector<std::string>& list) {
  auto it = std::find(list.begin(), list.end(), name);
  if (it == list.end() || it + 1 == list.end()) return std::nullopt;
  std::string value = std::move(*(it + 1));
  list.erase(it, it + 2);
  return value;
}

bool boolFlag(const std::string& name, std::vector<std::string>& list) {
  auto it = std::find(list.begin(), list.end(), name);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

void fail(std::string_view message) {
  std::string line;
  line.reserve(failurePrefix.size() + message.size() + 1);
  line.append(failurePrefix).append(message).push_back('\n');
  writeAll(STDERR_FILENO, line);
  std::exit(1);
}

void print(std::string_view text) {
  writeAll(STDOUT_FILENO, text);
}

}  // namespace tesselo

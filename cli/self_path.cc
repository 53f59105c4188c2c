// Running-executable lookup per platform, and shell quoting.
#include "cli/self_path.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace tesselo {

std::string programArgument;

namespace {

std::string reportedExecutable() {
#ifdef __APPLE__
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(size + 1, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
  return buffer.data();
#else
  std::vector<char> buffer(PATH_MAX + 1, '\0');
  ssize_t n = readlink("/proc/self/exe", buffer.data(), PATH_MAX);
  if (n <= 0) return {};
  return std::string(buffer.data(), static_cast<size_t>(n));
#endif
}

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::vector<char> cwd(PATH_MAX + 1, '\0');
  if (!getcwd(cwd.data(), cwd.size())) return path;
  return std::string(cwd.data()) + "/" + path;
}

}  // namespace

std::string selfExecutablePath() {
  std::string path = reportedExecutable();
  if (path.empty()) path = programArgument;
  path = absolute(path);
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string result = resolved;
  free(resolved);
  return result;
}

std::string shellQuoted(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

}  // namespace tesselo

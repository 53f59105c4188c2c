// Tilde expansion through the password database (support/socket_path).
#include "cli/user_paths.h"

#include "support/socket_path.h"

namespace tesselo {

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  size_t slash = path.find('/');
  std::string name = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string home = name.empty() ? passwordHomeDirectory() : passwordHomeDirectory(name);
  if (home.empty()) return path;
  return home + (slash == std::string::npos ? std::string() : path.substr(slash));
}

}  // namespace tesselo

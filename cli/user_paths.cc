// Tilde expansion through the password database.
#include "cli/user_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "support/socket_path.h"

namespace tesselo {

namespace {

std::string namedUserHome(const std::string& name) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir)
    return {};
  return found->pw_dir;
}

}  // namespace

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  size_t slash = path.find('/');
  std::string name = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string home = name.empty() ? passwordHomeDirectory() : namedUserHome(name);
  if (home.empty()) return path;
  return home + (slash == std::string::npos ? std::string() : path.substr(slash));
}

}  // namespace tesselo

// Default control-socket location, per platform.
#include "support/socket_path.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tesselo {

std::string passwordHomeDirectory() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir)
    return {};
  return found->pw_dir;
}

namespace {

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  return passwordHomeDirectory();
}

}  // namespace

std::string applicationSupportDirectory() {
#ifdef __APPLE__
  return homeDirectory() + "/Library/Application Support";
#else
  // XDG asks that relative values be ignored.
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return data;
  return homeDirectory() + "/.local/share";
#endif
}

std::string socketPath() {
  const char* override = std::getenv(socketOverrideVariable);
  if (override && *override) return override;
  return applicationSupportDirectory() + "/" + TesseloSupport::dailyDirectory + "/" +
         socketFileName;
}

}  // namespace tesselo

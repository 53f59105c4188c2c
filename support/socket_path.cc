// Default control-socket location, per platform.
#include "support/socket_path.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include "support/password_file.h"

namespace tesselo {

namespace {

#ifdef TESSELO_PASSWORD_FILE_ONLY
// A static program must not ask the password database: for a user that the
// files do not hold, glibc loads its other modules as shared libraries into
// a process that has no dynamic loader set up, and crashes. The files are
// what it could safely read anyway.
std::optional<std::string> databaseHomeForUid(uid_t) {
  return std::nullopt;
}
std::optional<std::string> databaseHomeForName(const std::string&) {
  return std::nullopt;
}
#else
// getpw*_r with a buffer that grows while the entry does not fit. Nothing
// when the database has no entry or could not be asked.
template <typename Lookup>
std::optional<std::string> databaseHome(Lookup lookup) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = hint > 0 ? static_cast<size_t>(hint) : 16384;
  constexpr size_t largestBuffer = size_t{1} << 20;
  for (;;) {
    std::vector<char> buffer(size);
    passwd entry{};
    passwd* found = nullptr;
    int rc = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && size < largestBuffer) {
      size *= 2;
      continue;
    }
    if (rc != 0 || !found || !found->pw_dir) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

std::optional<std::string> databaseHomeForUid(uid_t uid) {
  return databaseHome([uid](passwd* entry, char* buffer, size_t size, passwd** found) {
    return getpwuid_r(uid, entry, buffer, size, found);
  });
}

std::optional<std::string> databaseHomeForName(const std::string& user) {
  return databaseHome([&user](passwd* entry, char* buffer, size_t size, passwd** found) {
    return getpwnam_r(user.c_str(), entry, buffer, size, found);
  });
}
#endif

}  // namespace

std::string passwordHomeDirectory() {
  uid_t uid = getuid();
  auto home = databaseHomeForUid(uid);
  if (!home) home = homeInPasswordFile(systemPasswordFile, uid);
  return home.value_or(std::string());
}

std::string passwordHomeDirectory(const std::string& user) {
  if (user.empty()) return {};
  auto home = databaseHomeForName(user);
  if (!home) home = homeInPasswordFile(systemPasswordFile, user);
  return home.value_or(std::string());
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

// File-system side of install-hooks: path, whole read, backup, atomic write.
#include "cli/settings_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/fd_io.h"
#include "support/folders.h"
#include "support/socket_path.h"

namespace tesselo {

namespace {

inline constexpr mode_t privateFileMode = 0600;
// Beyond this many links in a chain the platform itself gives up (ELOOP).
inline constexpr int maxLinkHops = 40;
inline constexpr std::string_view temporarySuffix = ".tesselo-XXXXXX";

std::string currentDirectory() {
  std::vector<char> buffer(PATH_MAX + 1, '\0');
  if (!getcwd(buffer.data(), buffer.size())) return {};
  return buffer.data();
}

// Drops empty and "." components. ".." is kept: with symbolic links in the
// path, a lexical "a/b/.." need not name "a".
std::string withoutRedundantComponents(const std::string& path) {
  bool absolute = !path.empty() && path[0] == '/';
  std::string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string_view part(path.data() + start, end - start);
    if (!part.empty() && part != ".") {
      if (absolute || !out.empty()) out += '/';
      out += part;
    }
    start = end + 1;
  }
  if (out.empty()) return absolute ? "/" : ".";
  return out;
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string errorText(int error) {
  return std::strerror(error);
}

std::optional<std::string> linkContent(const std::string& path) {
  std::vector<char> buffer(PATH_MAX + 1);
  for (;;) {
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

// The file a write through the path lands in: symbolic links followed to the
// end of their chain, the last one possibly dangling. Nothing (with errno
// set) for a loop.
std::optional<std::string> finalTarget(const std::string& path) {
  std::string current = path;
  for (int hops = 0;; ++hops) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    if (hops == maxLinkHops) {
      errno = ELOOP;
      return std::nullopt;
    }
    std::optional<std::string> content = linkContent(current);
    if (!content) return std::nullopt;
    current = (!content->empty() && (*content)[0] == '/') ? *content
                                                          : directoryOf(current) + "/" + *content;
  }
}

// Makes a completed rename survive a power loss as well as a crash.
void syncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  std::string value = (home && *home) ? std::string(home) : passwordHomeDirectory();
  // Without a current directory (it was removed) the value stays relative
  // rather than being silently re-rooted at "/".
  if (!value.empty() && value[0] != '/') {
    std::string cwd = currentDirectory();
    if (!cwd.empty()) value = cwd + "/" + value;
  }
  return value;
}

std::string settingsFilePath() {
  return withoutRedundantComponents(homeDirectory() + "/" + std::string(settingsRelativePath));
}

std::string backupPathFor(const std::string& settingsPath) {
  return settingsPath + "." + std::string(backupExtension);
}

SettingsRead readSettingsFile(const std::string& path) {
  SettingsRead result;
  // Non-blocking, so a FIFO at the path cannot hold the command forever.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return result;
    result.status = SettingsRead::Status::unreadable;
    result.reason = errorText(errno);
    return result;
  }
  struct stat info;
  int error = 0;
  std::string reason;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    reason = notRegularFileReason;
  } else if (!readToEnd(fd, result.bytes)) {
    error = errno;
  }
  close(fd);
  if (error != 0) reason = errorText(error);
  if (!reason.empty()) {
    result.status = SettingsRead::Status::unreadable;
    result.reason = std::move(reason);
    result.bytes.clear();
    return result;
  }
  result.status = SettingsRead::Status::read;
  return result;
}

void writeBackupOnce(const std::string& backupPath, std::string_view bytes) {
  struct stat info;
  if (lstat(backupPath.c_str(), &info) == 0 || errno != ENOENT) return;
  // Through a temporary file as well: a backup cut short by a crash would
  // never be refreshed, and would hide the original for good.
  replaceFile(backupPath, bytes);
}

void createParentDirectories(const std::string& path) {
  makeFolders(directoryOf(path), 0777);
}

std::optional<std::string> replaceFile(const std::string& path, std::string_view bytes) {
  std::optional<std::string> target = finalTarget(path);
  if (!target) return errorText(errno);
  std::string temporary =
      directoryOf(*target) + "/." + fileNameOf(*target) + std::string(temporarySuffix);
  // mkstemp creates the file with mode 0600: the content is never readable by
  // others, not even for a moment.
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return errorText(errno);
  // Exactly 0600 whatever the umask took away; a failure leaves it stricter.
  fchmod(fd, privateFileMode);
  int error = 0;
  if (!writeAll(fd, bytes) || fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), target->c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    return errorText(error);
  }
  syncDirectory(directoryOf(*target));
  return std::nullopt;
}

}  // namespace tesselo

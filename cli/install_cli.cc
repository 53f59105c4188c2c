// install-cli: makes `tesselo` a symbolic link to this executable in a
// directory on the user's command path.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/frame.h"
#include "cli/self_path.h"
#include "cli/user_paths.h"
#include "support/folders.h"

namespace tesselo {

namespace {

inline constexpr std::string_view defaultLinkDirectory = "/usr/local/bin";
inline constexpr std::string_view linkName = "/tesselo";
inline constexpr std::string_view cannotCreateStart = "cannot create ";
inline constexpr std::string_view mkdirHintStart = "\n  try: sudo mkdir -p ";
inline constexpr std::string_view cannotLinkStart = "cannot link ";
inline constexpr std::string_view linkHintStart = "\n  try: sudo ln -sf ";
inline constexpr std::string_view linkedStart = "linked ";
inline constexpr std::string_view linkedArrow = " -> ";

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

int runInstallCli() {
  std::string target = selfExecutablePath();
  std::optional<std::string> option = flag("--prefix", arguments);
  std::string prefix = option ? expandTilde(*option) : std::string(defaultLinkDirectory);
  std::string link = prefix + std::string(linkName);

  if (!exists(prefix)) {
    if (int error = makeFolders(prefix, 0777))
      fail(std::string(cannotCreateStart) + prefix + ": " + std::strerror(error) +
           std::string(mkdirHintStart) + prefix);
  }

  // Only a file or a link gives way: a directory standing here may hold the
  // user's files, so the link step below reports it instead.
  struct stat info;
  if (lstat(link.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) unlink(link.c_str());

  if (symlink(target.c_str(), link.c_str()) != 0) {
    int error = errno;
    fail(std::string(cannotLinkStart) + link + ": " + std::strerror(error) +
         std::string(linkHintStart) + target + " " + link);
  }
  print(std::string(linkedStart) + link + std::string(linkedArrow) + target + "\n");
  return 0;
}

}  // namespace tesselo

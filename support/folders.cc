#include "support/folders.h"

#include <sys/stat.h>

#include <cerrno>

namespace tesselo {

namespace {

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

int makeFolders(const std::string& path, mode_t mode) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    bool last = end == std::string::npos;
    std::string step = path.substr(0, end);
    if (last || (!step.empty() && step.back() != '/')) {
      if (::mkdir(step.c_str(), mode) != 0) {
        int error = errno;
        // An existing folder may answer EACCES or EROFS rather than EEXIST;
        // a file on the way is reported by the next step, as ENOTDIR.
        if (!isFolder(step) && (last || error != EEXIST)) return error;
      }
    }
    if (last) return 0;
  }
}

}  // namespace tesselo

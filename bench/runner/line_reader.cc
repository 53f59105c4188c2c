// poll before each read; the buffer is compacted as lines are taken.
#include "bench/runner/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench/runner/clock.h"

namespace bench {

std::optional<std::string> LineReader::next(int timeoutMs) {
  double deadline = nowMicros() + timeoutMs * 1000.0;
  size_t searched = start_;
  for (;;) {
    const void* found = std::memchr(buffer_.data() + searched, '\n', buffer_.size() - searched);
    if (found) {
      size_t end = static_cast<size_t>(static_cast<const char*>(found) - buffer_.data());
      std::string line = buffer_.substr(start_, end - start_);
      start_ = end + 1;
      if (start_ > 65536 && start_ * 2 > buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
      }
      return line;
    }
    searched = buffer_.size();
    int left = static_cast<int>((deadline - nowMicros()) / 1000.0);
    if (left < 0) return std::nullopt;
    pollfd p = {fd_, POLLIN, 0};
    int ready = poll(&p, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char piece[65536];
    ssize_t n = read(fd_, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffer_.append(piece, static_cast<size_t>(n));
  }
}

bool writeFully(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      return false;
  }
  return true;
}

}  // namespace bench

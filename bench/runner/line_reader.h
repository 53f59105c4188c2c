// Lines from a pipe or socket, with a deadline on every wait so that a
// stuck peer ends a figure instead of the run.
#pragma once

#include <optional>
#include <string>

namespace bench {

class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The next line without its line feed; nothing at end of stream, on an
  // error, or when timeoutMs passed first.
  std::optional<std::string> next(int timeoutMs);

 private:
  int fd_;
  std::string buffer_;
  size_t start_ = 0;
};

// Writes every byte (a pipe may take a line in several pieces).
bool writeFully(int fd, const std::string& bytes);

}  // namespace bench

// Write loops and EINTR handling for files, pipes and sockets.
#include "support/fd_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tesselo {

namespace {

template <typename WriteOnce>
bool writeLoop(std::string_view data, WriteOnce writeOnce) {
  size_t offset = 0;
  while (offset < data.size()) {
    ssize_t n = writeOnce(data.data() + offset, data.size() - offset);
    if (n > 0) {
      offset += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool writeAll(int fd, std::string_view data) {
  return writeLoop(data, [fd](const char* p, size_t n) { return ::write(fd, p, n); });
}

bool sendAll(int fd, std::string_view data) {
#ifdef MSG_NOSIGNAL
  return writeLoop(data, [fd](const char* p, size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
#else
  // macOS: the socket carries SO_NOSIGPIPE from its creation.
  return writeAll(fd, data);
#endif
}

ssize_t readSome(int fd, char* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool readToEnd(int fd, std::string& out) {
  char buffer[65536];
  for (;;) {
    ssize_t n = readSome(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) return false;
    out.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace tesselo

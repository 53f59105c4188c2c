// The LISTEN_PID/LISTEN_FDS convention, read directly: a handful of checks
// rather than a library.
#include "host/handed_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tesselo::host {

namespace {

constexpr int firstHandedDescriptor = 3;

std::optional<long> numberVariable(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return std::nullopt;
  long value = 0;
  std::string_view view(text);
  auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (error != std::errc() || end != view.data() + view.size()) return std::nullopt;
  return value;
}

bool socketOption(int fd, int option, int& value) {
  socklen_t size = sizeof value;
  return ::getsockopt(fd, SOL_SOCKET, option, &value, &size) == 0;
}

}  // namespace

HandedSocket takeHandedSocket() {
  HandedSocket result;
  std::optional<long> pid = numberVariable("LISTEN_PID");
  std::optional<long> count = numberVariable("LISTEN_FDS");
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  // Meant for another process (the variables leaked down to us): not ours.
  if (!pid || !count || *pid != ::getpid() || *count < 1) return result;
  result.handed = true;
  int fd = firstHandedDescriptor;
  int type = 0, listening = 0;
#ifdef SO_DOMAIN
  int domain = 0;
  bool unixSocket = socketOption(fd, SO_DOMAIN, domain) && domain == AF_UNIX;
#else
  bool unixSocket = true;
#endif
  sockaddr_un address{};
  socklen_t size = sizeof address;
  if (!unixSocket || !socketOption(fd, SO_TYPE, type) || type != SOCK_STREAM ||
      !socketOption(fd, SO_ACCEPTCONN, listening) || !listening ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      address.sun_family != AF_UNIX) {
    result.error =
        "descriptor 3, handed over by the service manager, is not a listening unix stream socket";
    return result;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  BoundSocket socket;
  socket.fd = fd;
  size_t length =
      size > offsetof(sockaddr_un, sun_path) ? size - offsetof(sockaddr_un, sun_path) : 0;
  socket.path.assign(address.sun_path, strnlen(address.sun_path, length));
  socket.owned = false;
  result.socket = socket;
  return result;
}

}  // namespace tesselo::host

// The control socket: binding it safely, checking who connects, and serving
// each connection on its own thread under caps on connections, request size
// and idle time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "support/json.h"

namespace tesselo::host {

struct ListenerLimits {
  size_t maxConnections = 64;
  // Waits parked at once, apart from the connections above.
  size_t maxWaits = 1024;
  size_t maxRequestBytes = 1 << 20;
  // The whole request line must arrive within this time of connecting.
  std::chrono::milliseconds idleTimeout{10000};
};

// Only the user who runs the host may talk to it: anyone who can connect can
// type into that user's shells. A peer whose uid cannot be read is refused.
bool peerAllowed(std::optional<uid_t> peer, uid_t self);

// Who is at the other end, as the kernel saw it connect: the user, and on
// Linux the process.
struct Peer {
  std::optional<uid_t> uid;
  std::optional<pid_t> pid;
};
Peer peerOf(int fd);

// True once the peer has closed its end (clients never half-close while
// awaiting an answer, so a close means nobody will read it).
bool peerClosed(int fd);

struct BoundSocket {
  int fd = -1;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  bool owned = true;  // created by the host, so removed by it on stop
};

struct BindOutcome {
  std::optional<BoundSocket> socket;
  std::string error;
};

// Creates missing folders 0700, replaces a stale socket file, refuses when
// another server answers at the path or the path is not a socket, and binds
// a listening socket with mode 0600.
BindOutcome bindControlSocket(const std::string& path);

// Removes the socket file, unless it has meanwhile been replaced by another.
void removeControlSocket(const BoundSocket& socket);

// Answers one request; a null answer means the client is gone and nothing is
// sent.
using RequestHandler = std::function<Json(
    const Json& request, const std::function<bool()>& clientGone, std::optional<pid_t> peer)>;

// Accepts connections forever, one thread each.
void serveConnections(const BoundSocket& socket, const ListenerLimits& limits,
                      RequestHandler handler);

enum class LineEnd { complete, tooLarge, timedOut, closed };

struct RequestLine {
  LineEnd end = LineEnd::closed;
  std::string line;  // the bytes before the first line feed
};

// Reads until the first line feed, at most maxBytes before it, until the
// deadline.
RequestLine readRequestLine(int fd, size_t maxBytes,
                            std::chrono::steady_clock::time_point deadline);

}  // namespace tesselo::host

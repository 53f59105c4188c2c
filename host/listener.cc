// Socket set-up, the accept loop and one connection's life.
#include "host/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "host/protocol.h"
#include "support/fd_io.h"
#include "support/folders.h"

namespace tesselo::host {

namespace {

using Clock = std::chrono::steady_clock;

// After an error answer to a request that is still arriving, its rest is
// read away for this long so the client is not cut off before it reads.
constexpr std::chrono::milliseconds drainTime{1000};

int newSocket() {
#ifdef SOCK_CLOEXEC
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

// Helpers that the host starts must not inherit connections.
int acceptConnection(int listening) {
#ifdef __linux__
  return ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
#else
  int fd = ::accept(listening, nullptr, nullptr);
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

bool fillAddress(sockaddr_un& address, const std::string& path) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

bool somethingAnswers(const std::string& path) {
  sockaddr_un address;
  if (!fillAddress(address, path)) return false;
  int fd = newSocket();
  if (fd < 0) return false;
  bool answered = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return answered;
}

// Created folders are 0700; folders that exist are left as they are: the
// path may run through /tmp or other shared places.
std::string makeSocketFolders(const std::string& folder) {
  if (folder.empty()) return {};
  int error = makeFolders(folder, 0700);
  if (error == EEXIST) return folder + " is not a folder";
  if (error) return "cannot create " + folder + ": " + std::strerror(error);
  return {};
}

std::string folderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

void sendAnswer(int fd, const Json& answer) {
  sendAll(fd, answerLine(answer));
}

// Answers and then reads away what the client still sends, so that closing
// with unread bytes does not cut the answer off.
void answerAndDrain(int fd, const Json& answer) {
  sendAnswer(fd, answer);
  ::shutdown(fd, SHUT_WR);
  auto deadline = Clock::now() + drainTime;
  char buffer[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
    if (readSome(fd, buffer, sizeof buffer) <= 0) return;
  }
}

struct ConnectionCounts {
  std::atomic<size_t> open{0};    // connections counted against maxConnections
  std::atomic<size_t> parked{0};  // waits, counted against maxWaits instead
};

// A wait may hold its connection for minutes: it leaves the count of short
// requests for its own, so parked waits never keep a hook event or a list
// out. Reports whether the connection moved; refused when waits are full.
bool park(ConnectionCounts& counts, const ListenerLimits& limits) {
  if (counts.parked.fetch_add(1) >= limits.maxWaits) {
    counts.parked.fetch_sub(1);
    return false;
  }
  counts.open.fetch_sub(1);
  return true;
}

// Serves one connection; true when it ended as a parked wait.
bool serveOne(int fd, const ListenerLimits& limits, const RequestHandler& handler,
              ConnectionCounts& counts) {
  Peer peer = peerOf(fd);
  if (!peerAllowed(peer.uid, ::geteuid())) {
    answerAndDrain(fd, errorAnswer(foreignUserMessage));
    return false;
  }
  RequestLine request =
      readRequestLine(fd, limits.maxRequestBytes, Clock::now() + limits.idleTimeout);
  switch (request.end) {
    case LineEnd::closed:
      return false;
    case LineEnd::timedOut:
      sendAnswer(fd, errorAnswer(idleClientMessage));
      return false;
    case LineEnd::tooLarge:
      answerAndDrain(fd, errorAnswer(std::string(requestTooLargeMessage) + " (more than " +
                                     std::to_string(limits.maxRequestBytes) + " bytes)"));
      return false;
    case LineEnd::complete:
      break;
  }
  auto object = requestObject(request.line);
  if (!object) {
    sendAnswer(fd, errorAnswer(malformedRequestMessage));
    return false;
  }
  bool parked = false;
  if (*stringMember(*object, "method") == longHeldMethod) {
    parked = park(counts, limits);
    if (!parked) {
      sendAnswer(fd, errorAnswer(tooManyConnectionsMessage));
      return false;
    }
  }
  Json answer = handler(
      *object, [fd] { return peerClosed(fd); }, peer.pid);
  if (!answer.is_null()) sendAnswer(fd, answer);
  return parked;
}

}  // namespace

bool peerAllowed(std::optional<uid_t> peer, uid_t self) {
  return peer && *peer == self;
}

Peer peerOf(int fd) {
  Peer peer;
#ifdef __APPLE__
  uid_t uid;
  gid_t gid;
  if (::getpeereid(fd, &uid, &gid) == 0) peer.uid = uid;
#else
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
      size == sizeof credentials) {
    peer.uid = credentials.uid;
    if (credentials.pid > 0) peer.pid = credentials.pid;
  }
#endif
  return peer;
}

bool peerClosed(int fd) {
  short events = POLLIN;
#ifdef POLLRDHUP
  events |= POLLRDHUP;
#endif
  pollfd p{fd, events, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR)) return true;
#ifdef POLLRDHUP
  if (p.revents & POLLRDHUP) return true;
#endif
  if (p.revents & POLLIN) {
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }
  return false;
}

BindOutcome bindControlSocket(const std::string& path) {
  BindOutcome outcome;
  sockaddr_un address;
  if (!fillAddress(address, path)) {
    outcome.error = "socket path too long for a unix socket: " + path;
    return outcome;
  }
  std::string error = makeSocketFolders(folderOf(path));
  if (!error.empty()) {
    outcome.error = error;
    return outcome;
  }
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      outcome.error = "refusing to replace " + path + ": it is not a socket";
      return outcome;
    }
    if (somethingAnswers(path)) {
      outcome.error = "another server already answers at " + path;
      return outcome;
    }
    ::unlink(path.c_str());
  }
  int fd = newSocket();
  if (fd < 0) {
    outcome.error = std::string("socket failed: ") + std::strerror(errno);
    return outcome;
  }
  // The socket is born 0600: there is no moment at which others could
  // connect. Start-up is still single-threaded, so the umask is ours alone.
  mode_t previous = ::umask(0177);
  int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int bindErrno = errno;
  ::umask(previous);
  if (rc != 0) {
    ::close(fd);
    outcome.error = bindErrno == EADDRINUSE
                        ? "another server already answers at " + path
                        : "cannot bind " + path + ": " + std::strerror(bindErrno);
    return outcome;
  }
  ::chmod(path.c_str(), 0600);
  if (::listen(fd, SOMAXCONN) != 0 || ::stat(path.c_str(), &info) != 0) {
    outcome.error = "cannot listen at " + path + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(path.c_str());
    return outcome;
  }
  outcome.socket = BoundSocket{fd, path, info.st_dev, info.st_ino};
  return outcome;
}

void removeControlSocket(const BoundSocket& socket) {
  if (!socket.owned) return;
  struct stat info;
  if (::lstat(socket.path.c_str(), &info) == 0 && info.st_dev == socket.device &&
      info.st_ino == socket.inode)
    ::unlink(socket.path.c_str());
}

RequestLine readRequestLine(int fd, size_t maxBytes, Clock::time_point deadline) {
  RequestLine result;
  char buffer[16384];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      result.end = LineEnd::timedOut;
      return result;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      result.end = LineEnd::closed;
      return result;
    }
    if (ready <= 0) continue;
    ssize_t n = readSome(fd, buffer, sizeof buffer);
    if (n <= 0) {
      result.end = LineEnd::closed;
      return result;
    }
    size_t before = result.line.size();
    result.line.append(buffer, static_cast<size_t>(n));
    size_t feed = result.line.find('\n', before);
    if (feed != std::string::npos) {
      result.line.resize(feed);
      result.end = feed > maxBytes ? LineEnd::tooLarge : LineEnd::complete;
      return result;
    }
    if (result.line.size() > maxBytes) {
      result.end = LineEnd::tooLarge;
      return result;
    }
  }
}

void serveConnections(const BoundSocket& socket, const ListenerLimits& limits,
                      RequestHandler handler) {
  auto counts = std::make_shared<ConnectionCounts>();
  auto shared = std::make_shared<RequestHandler>(std::move(handler));
  for (;;) {
    int fd = acceptConnection(socket.fd);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: back off instead of spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (counts->open.fetch_add(1) >= limits.maxConnections) {
      counts->open.fetch_sub(1);
      // Answered without reading, and without blocking the accept loop (the
      // host ignores SIGPIPE, so a vanished client costs nothing).
      std::string line = answerLine(errorAnswer(tooManyConnectionsMessage));
      ::send(fd, line.data(), line.size(), MSG_DONTWAIT);
      ::close(fd);
      continue;
    }
    try {
      std::thread([fd, limits, counts, shared] {
        bool parked = serveOne(fd, limits, *shared, *counts);
        ::close(fd);
        (parked ? counts->parked : counts->open).fetch_sub(1);
      }).detach();
    } catch (const std::system_error&) {
      ::close(fd);
      counts->open.fetch_sub(1);
    }
  }
}

}  // namespace tesselo::host

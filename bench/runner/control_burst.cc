// Blocking connect and write (a unix socket takes a short line at once),
// then epoll for the answers.
#include "bench/runner/control_burst.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "bench/runner/clock.h"

namespace bench {

namespace {

int openRequest(const sockaddr_un& address, const std::string& request) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::optional<BurstOutcome> directBurst(const std::string& socketPath, const std::string& line,
                                        long total, int inFlight) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  std::string request = line + "\n";

  int epfd = epoll_create1(EPOLL_CLOEXEC);
  BurstOutcome outcome;
  long started = 0, open = 0;
  bool failed = false;
  char piece[65536];
  double begin = nowMicros();
  while (!failed && (started < total || open > 0)) {
    while (started < total && open < inFlight) {
      int fd = openRequest(address, request);
      if (fd < 0) {
        failed = true;
        break;
      }
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = fd;
      epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
      ++started;
      ++open;
    }
    epoll_event events[256];
    int n = epoll_wait(epfd, events, 256, 30000);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      failed = true;
      break;
    }
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      // Answers are a few hundred bytes: one read holds the line. A longer
      // one is read on until its line feed.
      bool done = false;
      for (;;) {
        ssize_t got = read(fd, piece, sizeof piece);
        if (got > 0 && std::memchr(piece, '\n', static_cast<size_t>(got))) {
          ++outcome.answered;
          done = true;
          break;
        }
        if (got > 0) continue;
        done = true;
        break;
      }
      if (done) {
        epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        --open;
      }
    }
  }
  outcome.micros = nowMicros() - begin;
  close(epfd);
  if (failed) return std::nullopt;
  return outcome;
}

}  // namespace bench

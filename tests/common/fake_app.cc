// Thread per connection, so slow or hanging replies never hold up others.
#include "tests/common/fake_app.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/fd_io.h"

#ifdef __linux__
#include <linux/sockios.h>
#endif

namespace tesselo::test {

Reply jsonReply(const Json& object) {
  return {object.dump() + "\n"};
}

FakeApp::FakeApp(std::string path) : path_(std::move(path)) {
  replies_[""] = jsonReply(Json::object());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(address.sun_path, path_.c_str(), path_.size());
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 1024) != 0)
    throw std::runtime_error("cannot listen at " + path_);
  acceptor_ = std::thread([this] {
    for (;;) {
      int fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
      std::lock_guard lock(mutex_);
      if (fd >= 0 && stopping_) close(fd);
      if (fd < 0 || stopping_) return;
      clientFds_.insert(fd);
      // Detached: a stress test may open thousands of connections.
      std::thread([this, fd] {
        serve(fd);
        std::lock_guard done(mutex_);
        clientFds_.erase(fd);
        close(fd);
        changed_.notify_all();
      }).detach();
    }
  });
}

FakeApp::~FakeApp() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  shutdown(listenFd_, SHUT_RDWR);
  for (int fd : clientFds_) shutdown(fd, SHUT_RDWR);
  changed_.wait(lock, [&] { return clientFds_.empty(); });
  lock.unlock();
  acceptor_.join();
  close(listenFd_);
}

Reply FakeApp::replyFor(const std::string& line) {
  Json request = parseJson(line).value_or(Json());
  std::unique_lock lock(mutex_);
  lines_.push_back(line);
  changed_.notify_all();
  if (auto respond = respond_) {
    lock.unlock();
    return respond(request);
  }
  const std::string* method = stringMember(request, "method");
  auto it = replies_.find(method ? *method : "");
  return (it != replies_.end() ? it : replies_.find(""))->second;
}

void FakeApp::serve(int fd) {
  {
    std::lock_guard lock(mutex_);
    if (replies_[""].hangUp) return;
  }
  std::string received;
  char buffer[65536];
  for (ssize_t n; received.find('\n') == std::string::npos; received.append(buffer, size_t(n)))
    if ((n = readSome(fd, buffer, sizeof buffer)) <= 0) break;
  // A client that went away without a request line made no request.
  size_t end = received.find('\n');
  if (end == std::string::npos) return;
  Reply reply = replyFor(received.substr(0, end));
  std::this_thread::sleep_for(reply.delay);
  if (reply.byteByByte) {
    for (size_t i = 0; i < reply.bytes.size() && sendAll(fd, reply.bytes.substr(i, 1)); ++i) {
      // Returns once the client has taken the byte (or has gone).
#ifdef SIOCOUTQ
      for (int unread = 1; !stopping_ && ioctl(fd, SIOCOUTQ, &unread) == 0 && unread > 0;)
        std::this_thread::sleep_for(std::chrono::microseconds(20));
#else
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
#endif
    }
  } else if (!reply.hang) {
    sendAll(fd, reply.bytes);
  }
  // Held until the client closes or the fake app shuts down.
  if (reply.hang || reply.keepOpen)
    while (readSome(fd, buffer, sizeof buffer) > 0) {
    }
  shutdown(fd, SHUT_WR);
}

}  // namespace tesselo::test

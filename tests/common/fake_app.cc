// Thread per connection, so slow or hanging replies never hold up others.
#include "tests/common/fake_app.h"

#include <poll.h>
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

namespace {

// Returns once the peer has taken every byte written so far (or has gone).
// Where the platform cannot tell, a pause long enough for a read stands in.
void waitUntilTaken(int fd, const std::atomic<bool>& stopping) {
#ifdef SIOCOUTQ
  int unread = 0;
  while (!stopping && ioctl(fd, SIOCOUTQ, &unread) == 0 && unread > 0)
    std::this_thread::sleep_for(std::chrono::microseconds(20));
#else
  (void)fd;
  (void)stopping;
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
#endif
}

}  // namespace

Reply jsonReply(const Json& object) {
  Reply reply;
  reply.bytes = object.dump() + "\n";
  return reply;
}

FakeApp::FakeApp(std::string path) : path_(std::move(path)) {
  defaultReply_ = jsonReply(Json::object());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(address.sun_path, path_.c_str(), path_.size());
  unlink(path_.c_str());
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 1024) != 0)
    throw std::runtime_error("cannot listen at " + path_);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeApp::~FakeApp() {
  stopping_ = true;
  shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  close(listenFd_);
  std::unique_lock lock(mutex_);
  for (int fd : clientFds_) shutdown(fd, SHUT_RDWR);
  arrived_.wait(lock, [&] { return active_ == 0; });
  lock.unlock();
  unlink(path_.c_str());
}

void FakeApp::answer(const std::string& method, Reply reply) {
  std::lock_guard lock(mutex_);
  replies_[method] = std::move(reply);
}

void FakeApp::answerDefault(Reply reply) {
  std::lock_guard lock(mutex_);
  defaultReply_ = std::move(reply);
}

void FakeApp::answerWith(std::function<Reply(const Json&)> respond) {
  std::lock_guard lock(mutex_);
  respond_ = std::move(respond);
}

std::vector<std::string> FakeApp::requestLines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

Json FakeApp::lastRequest() const {
  std::lock_guard lock(mutex_);
  if (lines_.empty()) return nullptr;
  auto parsed = parseJson(lines_.back());
  return parsed ? *parsed : Json(nullptr);
}

bool FakeApp::waitForRequests(size_t n, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, limit, [&] { return lines_.size() >= n; });
}

void FakeApp::acceptLoop() {
  for (;;) {
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) {
      if (stopping_) return;
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    ++connections_;
    std::lock_guard lock(mutex_);
    clientFds_.insert(fd);
    ++active_;
    // Detached: a stress test may open thousands of connections.
    std::thread([this, fd] {
      serve(fd);
      std::lock_guard done(mutex_);
      clientFds_.erase(fd);
      close(fd);
      --active_;
      arrived_.notify_all();
    }).detach();
  }
}

Reply FakeApp::replyFor(const std::string& line) {
  auto parsed = parseJson(line);
  Json request = parsed ? *parsed : Json(nullptr);
  std::unique_lock lock(mutex_);
  lines_.push_back(line);
  arrived_.notify_all();
  if (respond_) {
    auto respond = respond_;
    lock.unlock();
    return respond(request);
  }
  if (const std::string* method = stringMember(request, "method")) {
    auto it = replies_.find(*method);
    if (it != replies_.end()) return it->second;
  }
  return defaultReply_;
}

void FakeApp::serve(int fd) {
  std::string received;
  char buffer[65536];
  size_t scanned = 0;
  for (;;) {
    ssize_t n = readSome(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
    if (received.find('\n', scanned) != std::string::npos) break;
    scanned = received.size();
  }
  size_t end = received.find('\n');
  if (end == std::string::npos) {
    // The client went away without a request line; record what came.
    if (!received.empty()) replyFor(received);
    return;
  }
  Reply reply = replyFor(received.substr(0, end));
  if (reply.delay.count()) std::this_thread::sleep_for(reply.delay);
  if (reply.hang || reply.keepOpen) {
    if (!reply.hang) sendAll(fd, reply.bytes);
    // Held until the client closes or the fake app shuts down.
    while (readSome(fd, buffer, sizeof buffer) > 0) {
    }
    return;
  }
  if (reply.byteByByte) {
    for (size_t i = 0; i < reply.bytes.size(); ++i) {
      if (!sendAll(fd, std::string_view(reply.bytes).substr(i, 1))) break;
      waitUntilTaken(fd, stopping_);
    }
    shutdown(fd, SHUT_WR);
    return;
  }
  size_t offset = 0;
  for (size_t piece : reply.pieces) {
    if (offset >= reply.bytes.size()) break;
    piece = std::min(piece, reply.bytes.size() - offset);
    sendAll(fd, std::string_view(reply.bytes).substr(offset, piece));
    offset += piece;
    // Give the client the chance to read each piece on its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  sendAll(fd, std::string_view(reply.bytes).substr(offset));
  shutdown(fd, SHUT_WR);
}

}  // namespace tesselo::test

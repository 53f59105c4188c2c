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
  size_t end;
  for (ssize_t n; (end = received.find('\n')) == std::string::npos;
       received.append(buffer, static_cast<size_t>(n)))
    if ((n = readSome(fd, buffer, sizeof buffer)) <= 0) break;
  if (end == std::string::npos) {
    // The client went away without a request line; record what came.
    if (!received.empty()) replyFor(received);
    return;
  }
  Reply reply = replyFor(received.substr(0, end));
  std::this_thread::sleep_for(reply.delay);
  std::string_view bytes = reply.bytes;
  if (reply.hang || reply.keepOpen) {
    if (!reply.hang) sendAll(fd, bytes);
    // Held until the client closes or the fake app shuts down.
    while (readSome(fd, buffer, sizeof buffer) > 0) {
    }
    return;
  }
  std::vector<size_t> pieces = reply.pieces;
  if (reply.byteByByte) pieces.assign(bytes.size(), 1);
  for (size_t piece : pieces) {
    if (bytes.empty() || !sendAll(fd, bytes.substr(0, piece))) break;
    bytes.remove_prefix(std::min(piece, bytes.size()));
    // Each piece is read on its own: a byte at a time once the client took
    // the one before, a larger piece after a pause.
    if (reply.byteByByte)
      waitUntilTaken(fd, stopping_);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  sendAll(fd, bytes);
  shutdown(fd, SHUT_WR);
}

}  // namespace tesselo::test

// A scriptable stand-in for the application's control socket: answers per
// method (or by a function), one byte per read, late, without line feed or
// not at all, and records every request line.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/json.h"

namespace tesselo::test {

struct Reply {
  std::string bytes = {};              // written as they stand
  std::chrono::milliseconds delay{0};  // before the first byte
  bool hang = false;                   // never answer; hold the connection open
  bool keepOpen = false;               // after answering, wait for the client to close
  // One byte per write, each sent only once the client has read the one
  // before, so that every read the client makes returns a single byte.
  bool byteByByte = false;
  // Close at once, before the request is read; only as the default reply,
  // since which method comes is not known then.
  bool hangUp = false;
};

// One JSON object and its line feed.
Reply jsonReply(const Json& object);

class FakeApp {
 public:
  explicit FakeApp(std::string path);
  ~FakeApp();
  FakeApp(const FakeApp&) = delete;
  FakeApp& operator=(const FakeApp&) = delete;

  const std::string& path() const { return path_; }

  // The reply for requests with this "method"; others get the default.
  void answer(const std::string& method, Reply reply) {
    std::lock_guard lock(mutex_);
    replies_[method] = std::move(reply);
  }
  void answerDefault(Reply reply) { answer("", std::move(reply)); }
  // Computes each reply from the parsed request (null when not JSON).
  void answerWith(std::function<Reply(const Json& request)> respond) {
    std::lock_guard lock(mutex_);
    respond_ = std::move(respond);
  }

  std::vector<std::string> requestLines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Waits until at least n requests have arrived.
  bool waitForRequests(size_t n, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return lines_.size() >= n; });
  }

 private:
  void serve(int fd);
  Reply replyFor(const std::string& line);

  std::string path_;
  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Reply> replies_;  // the default under ""
  std::function<Reply(const Json&)> respond_;
  std::vector<std::string> lines_;
  std::set<int> clientFds_;
  std::thread acceptor_;
};

}  // namespace tesselo::test

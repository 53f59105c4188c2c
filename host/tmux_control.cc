// The control-mode client: a writer per request, one reader thread per
// connection, replies handed back in the order the command lines went out.
#include "host/tmux_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <random>
#include <thread>

#include "host/control_stream.h"
#include "host/process.h"
#include "host/text.h"
#include "support/fd_io.h"

namespace tesselo::host {

namespace {

using Clock = std::chrono::steady_clock;

// Attached so that it neither sizes windows nor is sent what panes print.
constexpr const char* clientFlags = "ignore-size,no-output";

std::string randomHex() {
  static std::mutex mutex;
  static std::random_device device;
  std::lock_guard lock(mutex);
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", device(), device());
  return text;
}

// A pipe to tmux that stopped reading (its server hung) must not hold the
// writer past the deadline.
bool writeBefore(int fd, std::string_view bytes, Clock::time_point deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
  return true;
}

bool isQuoted(char c) {
  return c == '"' || c == '\\' || c == '$';
}

}  // namespace

std::string commandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line.push_back(' ');
    if (arg == ";") {
      line.push_back(';');
      continue;
    }
    line.push_back('"');
    for (char c : arg) {
      auto byte = static_cast<unsigned char>(c);
      if (isQuoted(c)) {
        line.push_back('\\');
        line.push_back(c);
      } else if (byte < 0x20 || byte == 0x7f) {
        // Octal, so that a line feed or any control byte never ends or
        // bends the command line.
        char octal[5];
        std::snprintf(octal, sizeof octal, "\\%03o", byte);
        line.append(octal);
      } else {
        line.push_back(c);
      }
    }
    line.push_back('"');
  }
  return line;
}

struct TmuxControl::Listeners {
  std::mutex mutex;
  int next = 0;
  std::map<int, Listener> all;

  void tell(std::string_view notification) {
    std::lock_guard lock(mutex);
    for (auto& [id, listener] : all) listener(notification);
  }
};

struct TmuxControl::Connection {
  struct Waiter {
    std::condition_variable cv;
    bool done = false;
    bool lost = false;
    ControlReply reply;
  };

  StartedProgram child;
  uint64_t number = 0;  // which connection of this host it is, from 1
  std::string tokenPrefix = randomHex();
  uint64_t nextToken = 0;
  std::mutex writeMutex;  // keeps each command line and its sentinel together
  std::mutex mutex;       // the stream, the waiters, closed
  ControlStream stream;
  std::deque<std::shared_ptr<Waiter>> waiting;
  bool closed = false;
  bool exiting = false;  // the reader saw the end and reaps the child: its pid may be reused
  bool established = false;
  std::string closeReason;

  bool isClosed() {
    std::lock_guard lock(mutex);
    return closed;
  }

  void kill() {
    std::lock_guard lock(mutex);
    if (!exiting) ::kill(child.pid, SIGKILL);
  }

  // An empty line writes the sentinel alone: its reply is the outcome of the
  // attach that started the client.
  Answer exchange(const std::string& line, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    auto waiter = std::make_shared<Waiter>();
    Answer answer;
    answer.reach = Reach::failed;
    {
      std::lock_guard writing(writeMutex);
      std::string token = "tesselo-" + tokenPrefix + "-" + std::to_string(nextToken++);
      {
        std::lock_guard lock(mutex);
        if (closed) {
          answer.outcome.error = tmuxLostMessage;
          return answer;
        }
        stream.expect(token);
        waiting.push_back(waiter);
      }
      std::string bytes = line.empty() ? std::string() : line + "\n";
      bytes += sentinelCommand(token) + "\n";
      // A failed or late write leaves the stream unusable: the reader then
      // fails every reply owed, this one included.
      if (!writeBefore(child.in, bytes, deadline)) kill();
    }
    std::unique_lock lock(mutex);
    if (!waiter->cv.wait_until(lock, deadline, [&] { return waiter->done; })) {
      lock.unlock();
      kill();
      answer.outcome.error = tmuxHungMessage;
      return answer;
    }
    if (waiter->lost) {
      answer.outcome.error = closeReason;
      return answer;
    }
    answer.reach = Reach::answered;
    answer.outcome.connection = number;
    answer.outcome.ok = waiter->reply.ok;
    answer.outcome.out = std::move(waiter->reply.output);
    answer.outcome.error = std::move(waiter->reply.error);
    if (!answer.outcome.ok && answer.outcome.error.empty()) answer.outcome.error = "tmux failed";
    return answer;
  }

  void read(const std::shared_ptr<Listeners>& listeners) {
    char buffer[65536];
    for (;;) {
      ssize_t n = readSome(child.out, buffer, sizeof buffer);
      if (n <= 0) break;
      ControlStream::Output out;
      {
        std::lock_guard lock(mutex);
        out = stream.feed(std::string_view(buffer, static_cast<size_t>(n)));
        for (ControlReply& reply : out.replies) {
          if (waiting.empty()) break;
          std::shared_ptr<Waiter> waiter = std::move(waiting.front());
          waiting.pop_front();
          waiter->reply = std::move(reply);
          waiter->done = true;
          waiter->cv.notify_one();
        }
      }
      for (const std::string& notification : out.notifications) listeners->tell(notification);
    }
    ::close(child.out);
    {
      std::lock_guard lock(mutex);
      exiting = true;
    }
    // Closed output means it is on its way out; it must not linger there.
    ::kill(child.pid, SIGKILL);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string said;
    readToEnd(child.err, said);
    ::close(child.err);
    ::close(child.in);
    bool wasEstablished;
    {
      std::lock_guard lock(mutex);
      closed = true;
      wasEstablished = established;
      // What tmux said on its way out explains a refused attach ("no
      // sessions", "no server running on ..."); once attached, any end is a
      // lost connection.
      std::string reason = stream.pendingError();
      if (reason.empty()) reason = std::string(trimEnd(said));
      closeReason = wasEstablished || reason.empty() ? std::string(tmuxLostMessage) : reason;
      for (auto& waiter : waiting) {
        waiter->lost = true;
        waiter->done = true;
        waiter->cv.notify_one();
      }
      waiting.clear();
    }
    if (wasEstablished) listeners->tell("%exit");
  }
};

TmuxControl::TmuxControl(std::string socket, std::chrono::milliseconds limit)
    : socket_(std::move(socket)), limit_(limit), listeners_(std::make_shared<Listeners>()) {}

TmuxControl::~TmuxControl() {
  std::lock_guard lock(connectMutex_);
  if (current_) current_->kill();
}

std::shared_ptr<TmuxControl::Connection> TmuxControl::connection(Answer& failure) {
  std::lock_guard lock(connectMutex_);
  if (current_ && !current_->isClosed()) return current_;
  current_.reset();

  std::vector<std::string> argv = tmuxClientArgs(socket_);
  argv.insert(argv.end(), {"-C", "attach-session", "-f", clientFlags});
  auto connection = std::make_shared<Connection>();
  connection->child = startProgram(argv, true);
  if (connection->child.pid < 0) {
    failure.reach = Reach::unreachable;
    return nullptr;
  }
  ::fcntl(connection->child.in, F_SETFL, O_NONBLOCK);
  std::thread([connection, listeners = listeners_] { connection->read(listeners); }).detach();

  Answer attached = connection->exchange("", limit_);
  if (attached.reach == Reach::answered && attached.outcome.ok) {
    std::lock_guard state(connection->mutex);
    connection->established = !connection->closed;
  }
  if (!connection->isClosed() && attached.reach == Reach::answered && attached.outcome.ok) {
    connection->number = ++connections_;
    current_ = connection;
    return current_;
  }
  connection->kill();
  // A connection that hung is reported as such: running the command as a
  // tmux process would only hang again.
  failure = attached;
  if (attached.reach != Reach::failed || attached.outcome.error != tmuxHungMessage)
    failure.reach = Reach::unreachable;
  return nullptr;
}

TmuxControl::Answer TmuxControl::run(const std::vector<std::string>& args, uint64_t only) {
  Answer failure;
  std::shared_ptr<Connection> connection = this->connection(failure);
  if (only && (!connection || connection->number != only)) return {Reach::replaced, {}};
  if (!connection) return failure;
  return connection->exchange(commandLine(args), limit_);
}

int TmuxControl::listen(Listener listener) {
  std::lock_guard lock(listeners_->mutex);
  int id = listeners_->next++;
  listeners_->all.emplace(id, std::move(listener));
  return id;
}

void TmuxControl::unlisten(int id) {
  std::lock_guard lock(listeners_->mutex);
  listeners_->all.erase(id);
}

}  // namespace tesselo::host

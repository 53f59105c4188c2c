// Socket, address, request line and response line of the control protocol.
#include "support/control_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "support/fd_io.h"
#include "support/socket_path.h"

namespace tesselo {

namespace {

constexpr size_t readPieceSize = 4096;

// Closes the descriptor on every path out of an exchange.
struct Socket {
  int fd = -1;
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
};

bool openSocket(Socket& s) {
  s.fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (s.fd < 0) return false;
#ifdef SO_NOSIGPIPE
  int on = 1;
  setsockopt(s.fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return true;
}

// A path that does not fit the address field whole is not connected: a cut
// path could name somebody else's socket.
bool connectTo(int fd, const std::string& path) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  // No retry on EINTR: an interrupted connect goes on by itself, and a second
  // call would only report that it is under way.
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

bool LineAssembler::add(std::string_view piece) {
  if (complete()) return true;
  size_t start = bytes_.size();
  bytes_.append(piece);
  const void* found = std::memchr(bytes_.data() + start, '\n', piece.size());
  if (found) lineEnd_ = static_cast<size_t>(static_cast<const char*>(found) - bytes_.data());
  return complete();
}

std::optional<Json> responseObject(const LineAssembler& assembler) {
  if (!assembler.complete()) return std::nullopt;
  auto value = parseJson(assembler.line());
  if (!value || !value->is_object()) return std::nullopt;
  return value;
}

LinkOutcome exchange(const Json& payload) {
  LinkOutcome outcome;
  Socket s;
  if (!openSocket(s)) {
    outcome.failure = LinkFailure::socket;
    return outcome;
  }
  outcome.path = socketPath();
  if (!connectTo(s.fd, outcome.path)) {
    outcome.failure = LinkFailure::connect;
    return outcome;
  }
  auto line = compactJson(payload);
  if (!line) {
    outcome.failure = LinkFailure::encode;
    return outcome;
  }
  line->push_back('\n');
  // A failed write is not reported here: the read below then finds no line.
  sendAll(s.fd, *line);

  LineAssembler assembler;
  char piece[readPieceSize];
  while (!assembler.complete()) {
    ssize_t n = readSome(s.fd, piece, sizeof piece);
    if (n <= 0) break;
    assembler.add(std::string_view(piece, static_cast<size_t>(n)));
  }
  auto response = responseObject(assembler);
  if (!response) {
    outcome.failure = LinkFailure::noResponse;
    return outcome;
  }
  outcome.response = std::move(*response);
  return outcome;
}

void deliverQuietly(const Json& payload) {
  Socket s;
  if (!openSocket(s) || !connectTo(s.fd, socketPath())) return;
  auto line = compactJson(payload);
  if (!line) return;
  line->push_back('\n');
  sendAll(s.fd, *line);
  char piece[readPieceSize];
  readSome(s.fd, piece, sizeof piece);
}

}  // namespace tesselo

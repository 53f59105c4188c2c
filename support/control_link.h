// One exchange with the application over its control socket: one connection,
// one compact JSON request line, one JSON response line. The only
// implementation of the wire format; callers decide what a failure means.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "support/json.h"

namespace tesselo {

enum class LinkFailure {
  none,
  socket,      // the socket could not be created
  connect,     // nothing answers at the path (or the path does not fit)
  encode,      // the payload has no JSON form
  noResponse,  // no line, not JSON, or not an object
};

struct LinkOutcome {
  LinkFailure failure = LinkFailure::none;
  std::string path;  // the socket path used, exactly as socketPath gave it
  Json response;     // the response object when failure is none
};

// Gathers response bytes until the first line feed. Looks for the line feed
// only in the bytes just added, so a long response costs linear time.
class LineAssembler {
 public:
  // Adds one piece; true once a line feed has arrived.
  bool add(std::string_view piece);
  bool complete() const { return lineEnd_ != std::string::npos; }
  // The bytes before the first line feed (meaningful once complete).
  std::string_view line() const { return std::string_view(bytes_).substr(0, lineEnd_); }

 private:
  std::string bytes_;
  size_t lineEnd_ = std::string::npos;
};

// The outcome of a complete assembled read: the parsed object, or nothing.
std::optional<Json> responseObject(const LineAssembler& assembler);

// Sends the payload to the application at socketPath() and waits for the
// whole response line. Never prints, never exits.
LinkOutcome exchange(const Json& payload);

// Sends the payload and waits for one read of the answer (or the close),
// without looking at it. Every failure is swallowed.
void deliverQuietly(const Json& payload);

}  // namespace tesselo

// Maps the control link's outcomes to the command line's messages.
#include "cli/request.h"

#include <cstdlib>

#include "cli/frame.h"
#include "support/control_link.h"

namespace tesselo {

std::string cannotReachMessage(const std::string& path) {
  return "cannot reach Tesselo at " + path + " \u2014 is the app running?";
}

Json request(const Json& payload) {
  LinkOutcome outcome = exchange(payload);
  switch (outcome.failure) {
    case LinkFailure::socket:
      fail(socketFailedMessage);
    case LinkFailure::connect:
      fail(cannotReachMessage(outcome.path));
    case LinkFailure::encode:
      fail(badRequestMessage);
    case LinkFailure::noResponse:
      fail(noResponseMessage);
    case LinkFailure::none:
      break;
  }
  if (const std::string* error = stringMember(outcome.response, "error")) fail(*error);
  return std::move(outcome.response);
}

void requestQuietly(const Json& payload) {
  deliverQuietly(payload);
  std::exit(0);
}

}  // namespace tesselo

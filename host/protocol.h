// The host's side of the wire format: what a request line must be, and the
// answers it gives when it cannot serve one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/json.h"

namespace tesselo::host {

inline constexpr std::string_view malformedRequestMessage =
    "malformed request: expected one JSON object with a string \"method\", on one line";
inline constexpr std::string_view requestTooLargeMessage = "request too large";
inline constexpr std::string_view tooManyConnectionsMessage =
    "too many connections to tesselo-host; try again later";
inline constexpr std::string_view idleClientMessage = "no request arrived in time";
inline constexpr std::string_view foreignUserMessage =
    "permission denied: tesselo-host serves only the user who started it";
inline constexpr std::string_view unknownMethodPrefix = "unknown method ";
// The one method that holds its connection until something happens.
inline constexpr std::string_view longHeldMethod = "wait";

// The request object of one line, when it is an object with a string
// "method"; nothing otherwise.
std::optional<Json> requestObject(std::string_view line);

Json errorAnswer(std::string_view message);

// The answer as one line with its line feed. An answer without a JSON form
// (it never should have one) becomes an error line rather than silence.
std::string answerLine(const Json& answer);

}  // namespace tesselo::host

// The command-line client's two ways of talking to the application.
#pragma once

#include "support/json.h"

namespace tesselo {

inline constexpr std::string_view socketFailedMessage = "socket failed";
inline constexpr std::string_view badRequestMessage = "bad request";
inline constexpr std::string_view noResponseMessage = "no response";

// "cannot reach Tesselo at <path> — is the app running?"
std::string cannotReachMessage(const std::string& path);

// One exchange whose answer the command needs. Returns the response object;
// every failure, and a string "error" in the response, ends the process
// through fail().
Json request(const Json& payload);

// One exchange whose answer nobody reads. Always ends the process with
// status 0, silently.
[[noreturn]] void requestQuietly(const Json& payload);

}  // namespace tesselo

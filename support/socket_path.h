// Where the application's control socket lies. Both clients and the host ask
// this one function, so they always agree on the path.
#pragma once

#include <string>

namespace TesseloSupport {
// Folder of the regular build of the application inside the user's
// application-support directory.
inline constexpr const char* dailyDirectory = "tesselo";
// Folder of the canary build; nothing looks for its socket.
inline constexpr const char* canaryDirectory = "tesselo-canary";
}  // namespace TesseloSupport

namespace tesselo {

inline constexpr const char* socketOverrideVariable = "TESSELO_SOCKET";
inline constexpr const char* socketFileName = "control.sock";

// The user's home directory from the password database, ignoring HOME.
// Empty when the database has no entry for the user. When the database does
// not answer, the entry is read from /etc/passwd; a static build reads only
// that file (see socket_path.cc).
std::string passwordHomeDirectory();

// The same for a user named in "~name": that user's home, or empty.
std::string passwordHomeDirectory(const std::string& user);

// The platform's per-user application-support directory.
std::string applicationSupportDirectory();

// The control socket's path: TESSELO_SOCKET when set and non-empty, else
// <application support>/tesselo/control.sock. Evaluated afresh on every call.
std::string socketPath();

}  // namespace tesselo

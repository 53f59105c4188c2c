// Home directories read straight from a passwd(5) file: the fallback for a
// build whose password-database lookup cannot load its modules.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tesselo {

inline constexpr const char* systemPasswordFile = "/etc/passwd";

// The home field of the first well-formed entry for the uid, or for the user
// name; nothing when no entry matches. Compatibility entries ("+", "-") and
// comment lines are skipped.
std::optional<std::string> homeInPasswordText(std::string_view text, uid_t uid);
std::optional<std::string> homeInPasswordText(std::string_view text, std::string_view user);

// The same over a file; nothing when it cannot be read.
std::optional<std::string> homeInPasswordFile(const std::string& path, uid_t uid);
std::optional<std::string> homeInPasswordFile(const std::string& path, std::string_view user);

}  // namespace tesselo

// The pure rules of the pane commands: value parsing and output layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/json.h"

namespace tesselo {

inline constexpr int64_t defaultLines = 40;
inline constexpr double defaultWaitSeconds = 300;
inline constexpr size_t idPrefixLength = 8;

// "--lines": an optional sign and decimal digits only, within int64.
std::optional<int64_t> integerValue(std::string_view text);

// "--timeout": what strtod reads, consuming the whole value, no leading
// blank, and finite (an infinite or NaN number has no JSON form).
std::optional<double> numberValue(const std::string& text);

// The text that send types: the words joined by single spaces, plus a line
// feed unless raw.
std::string sendText(const std::vector<std::string>& words, bool raw);

// The first idPrefixLength characters of an id, never cutting a character.
std::string idPrefix(std::string_view id);

// The tree printed by list; empty without a usable "terminals" array.
std::string listText(const Json& response);

}  // namespace tesselo

// Small text rules the host applies to what tmux and git print.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tesselo::host {

// The lines of a text, without their line feeds; a last line without one
// counts. Empty lines are kept only when asked for.
std::vector<std::string_view> splitLines(std::string_view text, bool keepEmpty = false);

// The text without line feeds, carriage returns and blanks at its end.
std::string_view trimEnd(std::string_view text);

// The first line of a text, trimmed at its end.
std::string firstLine(std::string_view text);

}  // namespace tesselo::host

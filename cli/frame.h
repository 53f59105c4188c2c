// The command-line frame: the argument list, option extraction, the one
// failure path and the usage text shared by every command.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesselo {

inline constexpr std::string_view usageText =
    "usage: tesselo <list|read|send|split|new|wait|notify|install-cli\n"
    "                |install-hooks|install-mcp|claude-hook> [options]";
inline constexpr std::string_view failurePrefix = "tesselo: ";
inline constexpr std::string_view unknownCommandMessage = "unknown command ";

// The process's arguments without the program path; the frame takes the
// command word off the front, commands take their options out.
extern std::vector<std::string> arguments;

// Takes the first "name value" pair out of the list. No value when the name
// is absent or is the last element (then the list is left as it was).
std::optional<std::string> flag(const std::string& name, std::vector<std::string>& list);

// Takes the first occurrence of a switch out of the list.
bool boolFlag(const std::string& name, std::vector<std::string>& list);

// "tesselo: <message>" on standard error, exit status 1.
[[noreturn]] void fail(std::string_view message);

// Writes result text to standard output.
void print(std::string_view text);

}  // namespace tesselo

// Where the running program really lies, and how to name it to a shell.
#pragma once

#include <string>
#include <string_view>

namespace tesselo {

// The name the program was started under (argv[0]); the fallback when the
// platform cannot name the running executable.
extern std::string programArgument;

// Absolute path of the running executable with every symbolic link resolved,
// so a start through the `tesselo` link still names tesselo-cli.
std::string selfExecutablePath();

// Single-quoted for a POSIX shell; every input is quoted, ' becomes '\''.
std::string shellQuoted(std::string_view text);

}  // namespace tesselo

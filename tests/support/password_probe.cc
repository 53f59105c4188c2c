// Prints the caller's home and each named user's home from the password
// database, one per line, as the shipped programs' link sees them.
#include <string>

#include "support/fd_io.h"
#include "support/socket_path.h"

int main(int argc, char** argv) {
  std::string out = tesselo::passwordHomeDirectory() + "\n";
  for (int i = 1; i < argc; ++i) out += tesselo::passwordHomeDirectory(argv[i]) + "\n";
  return tesselo::writeAll(1, out) ? 0 : 1;
}

// tesselo-mcp: placeholder until the MCP server lands; reads its input to the
// end and exits 0 so that hosts starting it see an orderly end.
#include <string>

#include "support/fd_io.h"

int main() {
  std::string input;
  tesselo::readToEnd(0, input);
  return 0;
}

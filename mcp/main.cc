// tesselo-mcp: an MCP server over standard input and output. The main thread
// reads one JSON-RPC message per line; tool calls run on workers.
#include <string>
#include <string_view>

#include "mcp/server.h"
#include "support/fd_io.h"

namespace {

// A line ending in "\r\n" counts as one ending in "\n".
void handle(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  tesselo::handleLine(line);
}

}  // namespace

int main() {
  tesselo::startUp();
  std::string partial;
  char buffer[65536];
  // A read error counts as the end of input.
  for (;;) {
    ssize_t count = tesselo::readSome(0, buffer, sizeof buffer);
    if (count <= 0) break;
    std::string_view chunk(buffer, static_cast<size_t>(count));
    for (size_t end; (end = chunk.find('\n')) != std::string_view::npos;
         chunk.remove_prefix(end + 1)) {
      if (partial.empty()) {
        handle(chunk.substr(0, end));
      } else {
        partial.append(chunk.substr(0, end));
        handle(partial);
        partial.clear();
      }
    }
    partial.append(chunk);
  }
  // The last line may lack its line ending.
  if (!partial.empty()) handle(partial);
  tesselo::drainAndExit();
}

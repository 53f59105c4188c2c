// Any bytes an agent host may send, line by line through the server's
// dispatch (tool calls answered by a stand-in for the application): every
// request with an id gets exactly one answer, a valid one-line JSON-RPC
// message carrying that id unchanged; everything else gets none.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "mcp/server.h"
#include "mcp/workers.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::Json;
using tesselo::fuzz::require;

namespace {

// Standard output is an unnamed temporary file, read back and emptied after
// each line.
int captured = -1;

// The application as the fuzzer sees it: by the payload, no answer, an
// error, a screen, or the payload itself sent back (any JSON at all).
std::optional<Json> standIn(const Json& payload) {
  std::string text = payload.dump(-1, ' ', false, Json::error_handler_t::replace);
  switch (std::hash<std::string>()(text) % 4) {
    case 0:
      return std::nullopt;
    case 1:
      return Json{{"error", "denied"}};
    case 2:
      return Json{{"text", text}};
  }
  return Json{{"echo", payload}};
}

void handle(std::string_view line) {
  // As the read loop does: a carriage return before the line feed is not
  // part of the line.
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  tesselo::handleLine(line, standIn);
  // Tool calls are answered on workers; none may be left running, and the
  // ended ones are joined so that no thread outlives the input.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  require(tesselo::inFlight.waitUntil(deadline), "every tool call finishes");
  tesselo::joinEndedWorkers(deadline);
  off_t size = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  std::string out(static_cast<size_t>(size), '\0');
  require(pread(captured, out.data(), out.size(), 0) == size && ftruncate(captured, 0) == 0 &&
              lseek(STDOUT_FILENO, 0, SEEK_SET) == 0,
          "the answers can be read back and emptied");

  std::optional<Json> message = tesselo::parseJson(line);
  bool request = message && message->is_object() && message->contains("id") &&
                 message->value("method", Json()).is_string();
  if (!request) return require(out.empty(), "no answer to a notification or a malformed line");
  require(!out.empty() && out.find('\n') == out.size() - 1, "exactly one answer, on one line");
  std::optional<Json> answer = tesselo::parseJson(std::string_view(out).substr(0, out.size() - 1));
  require(answer && answer->is_object(), "the answer is a JSON object");
  require(answer->value("jsonrpc", Json()) == "2.0", "the answer says jsonrpc 2.0");
  require(answer->contains("id") && answer->at("id") == message->at("id"),
          "the id is echoed unchanged");
  require(answer->contains("result") != answer->contains("error"),
          "a result or an error, never both");
  if (answer->contains("result"))
    return require(answer->at("result").is_object(), "results are objects");
  const Json& error = answer->at("error");
  require(error.is_object() && error.value("message", Json()).is_string(), "errors have a text");
  Json code = error.value("code", Json());
  require(code == -32601 || code == -32602, "only the two protocol error codes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (captured < 0) {
    tesselo::startUp();
    std::FILE* file = std::tmpfile();
    captured = file ? fileno(file) : -1;
    require(captured >= 0 && dup2(captured, STDOUT_FILENO) == STDOUT_FILENO,
            "standard output can be captured");
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  for (size_t end; (end = input.find('\n')) != std::string_view::npos; input.remove_prefix(end + 1))
    handle(input.substr(0, end));
  if (!input.empty()) handle(input);
  return 0;
}

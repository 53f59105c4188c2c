// Any bytes an agent host may send, line by line through the server's
// dispatch (tool calls answered by a stand-in for the application): every
// request with an id gets exactly one answer, a valid one-line JSON-RPC
// message carrying that id unchanged; everything else gets none.
#include <unistd.h>

#include "mcp/server.h"
#include "mcp/workers.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::Json;

namespace {

// The application as the fuzzer sees it: by the payload, no answer, an
// error, a screen, or the payload itself sent back (any JSON at all).
std::optional<Json> standIn(const Json& payload) {
  std::string text = payload.dump(-1, ' ', false, Json::error_handler_t::replace);
  size_t pick = std::hash<std::string>()(text) % 4;
  if (pick == 0) return std::nullopt;
  return pick == 1   ? Json{{"error", "denied"}}
         : pick == 2 ? Json{{"text", text}}
                     : Json{{"echo", payload}};
}

// Standard output is an unnamed temporary file, read back and emptied after
// each line. A carriage return the read loop would take off is JSON white
// space here.
void handle(std::string_view line, int captured) {
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
  if (!message || !message->is_object() || !message->contains("id") ||
      !message->value("method", Json()).is_string())
    return require(out.empty(), "no answer to a notification or a malformed line");
  require(!out.empty() && out.find('\n') == out.size() - 1, "exactly one answer, on one line");
  Json answer = tesselo::parseJson(out.substr(0, out.size() - 1)).value_or(Json());
  require(answer.is_object() && answer.value("jsonrpc", Json()) == "2.0", "a JSON-RPC 2.0 object");
  require(answer.contains("id") && answer["id"] == message->at("id"), "the id is echoed unchanged");
  require(answer.contains("result") != answer.contains("error"), "a result or an error, not both");
  if (answer.contains("result"))
    return require(answer["result"].is_object(), "results are objects");
  Json error = answer["error"];
  require(error.is_object() && error.value("message", Json()).is_string(), "errors have a text");
  require(error["code"] == -32601 || error["code"] == -32602, "only the two protocol error codes");
}

}  // namespace

static void check(std::string_view input) {
  static int captured = -1;
  if (captured < 0) {
    tesselo::startUp();
    std::FILE* file = std::tmpfile();
    captured = file ? fileno(file) : -1;
    require(captured >= 0 && dup2(captured, STDOUT_FILENO) == STDOUT_FILENO,
            "standard output can be captured");
  }
  for (size_t end; (end = input.find('\n')) != std::string_view::npos; input.remove_prefix(end + 1))
    handle(input.substr(0, end), captured);
  if (!input.empty()) handle(input, captured);
}

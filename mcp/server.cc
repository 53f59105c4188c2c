// Every line is judged on its own: no state carries over between lines, and
// "initialize" is neither required nor remembered.
#include "mcp/server.h"

#include <signal.h>
#include <unistd.h>

#include "mcp/catalogue.h"
#include "mcp/tool_calls.h"
#include "mcp/workers.h"
#include "support/fd_io.h"

namespace tesselo {

std::timed_mutex emitQueue;

namespace {

// When the drain ends while another thread is writing, its line is finished
// first if that is quick; a host that stopped reading does not hold us up.
constexpr auto lastLineGrace = std::chrono::milliseconds(250);

Json initializeResult(const Json& params) {
  std::string_view version = fallbackProtocolVersion;
  if (const std::string* asked = stringMember(params, "protocolVersion"))
    for (std::string_view known : knownVersions)
      if (*asked == known) version = known;
  return Json::object({
      {"protocolVersion", version},
      {"capabilities", Json::object({{"tools", Json::object()}})},
      {"serverInfo", Json::object({{"name", serverName}, {"version", serverVersion()}})},
  });
}

Json toolsListResult() {
  Json definitions = Json::array();
  for (const Tool& tool : tools) definitions.push_back(tool.definition());
  return Json::object({{"tools", std::move(definitions)}});
}

void acceptToolCall(Json id, Json& params, ControlRequest request) {
  const std::string* asked = stringMember(params, "name");
  std::string name = asked ? *asked : std::string();
  if (!findTool(name)) {
    emitError(id, invalidParamsCode, std::string(unknownToolPrefix) + name);
    return;
  }
  Json arguments = Json::object();
  if (auto given = params.find("arguments"); given != params.end() && given->is_object())
    arguments = std::move(*given);
  inFlight.enter();
  runOnWorker(
      [id = std::move(id), name = std::move(name), arguments = std::move(arguments), request] {
        emitResult(id, callTool(name, arguments, request));
        inFlight.leave();
      });
}

}  // namespace

void startUp() {
  panelProperty = makePanelProperty();
  tools = makeTools();
  signal(SIGPIPE, SIG_IGN);
}

std::string_view serverVersion() {
#ifdef TESSELO_VERSION
  constexpr std::string_view version = TESSELO_VERSION;
  if (!version.empty()) return version;
#endif
  return unknownVersion;
}

void emit(const Json& message) {
  std::optional<std::string> line = compactJson(message);
  if (!line) return;
  line->push_back('\n');
  std::lock_guard guard(emitQueue);
  if (!writeAll(STDOUT_FILENO, *line)) _exit(0);
}

void emitResult(const Json& id, Json result) {
  emit(Json::object({{"jsonrpc", jsonRpcVersion}, {"id", id}, {"result", std::move(result)}}));
}

void emitError(const Json& id, int code, std::string_view message) {
  emit(Json::object({{"jsonrpc", jsonRpcVersion},
                     {"id", id},
                     {"error", Json::object({{"code", code}, {"message", message}})}}));
}

void handleLine(std::string_view line, ControlRequest request) {
  if (line.empty()) return;
  std::optional<Json> message = parseJson(line);
  if (!message || !message->is_object()) return;
  const std::string* method = stringMember(*message, "method");
  if (!method) return;
  auto idMember = message->find("id");
  if (idMember == message->end()) return;  // a notification
  Json id = std::move(*idMember);
  Json params = Json::object();
  if (auto given = message->find("params"); given != message->end() && given->is_object())
    params = std::move(*given);

  if (*method == "initialize") {
    emitResult(id, initializeResult(params));
  } else if (*method == "ping") {
    emitResult(id, Json::object());
  } else if (*method == "tools/list") {
    emitResult(id, toolsListResult());
  } else if (*method == "tools/call") {
    acceptToolCall(std::move(id), params, request);
  } else {
    emitError(id, methodNotFoundCode, std::string(methodNotFoundPrefix) + *method);
  }
}

void drainAndExit() {
  auto deadline = std::chrono::steady_clock::now() + drainLimit;
  inFlight.waitUntil(deadline);
  joinEndedWorkers(deadline);
  // Held to the end: a call finishing now never starts a line that _exit cuts.
  (void)emitQueue.try_lock_for(lastLineGrace);
  // Not exit(): abandoned workers may still use what destructors would free.
  _exit(0);
}

}  // namespace tesselo

// Any bytes on the relay's standard input, through its parse and mapping: the
// event is dropped, or becomes a request made only of the relay's keys, each
// a string copied unchanged from where the table says.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/hook_relay.h"
#include "support/json.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::Json;
using tesselo::fuzz::require;

namespace {

const Json* member(const Json& event, const char* key) {
  auto found = event.find(key);
  return found == event.end() ? nullptr : &*found;
}

bool isString(const Json* value) {
  return value && value->is_string();
}

// The one key of the request, checked against its source in the event.
void copiedWhenString(const Json& request, const char* requestKey, const Json* source) {
  auto found = request.find(requestKey);
  if (!isString(source)) {
    require(found == request.end(), "a key without a string source is left out");
    return;
  }
  require(found != request.end() && *found == *source, "a string source is copied unchanged");
}

void checkMapping(const Json& event, const char* paneId) {
  std::optional<Json> request = tesselo::agentEventRequest(event, paneId);
  bool forwarded =
      event.is_object() && isString(member(event, "hook_event_name")) && !member(event, "agent_id");
  require(request.has_value() == forwarded, "only named events of the pane's own agent go out");
  if (!request) return;

  require(request->is_object(), "the request is an object");
  for (const auto& [key, value] : request->items()) {
    static const char* const table[] = {"method", "agent",   "event", "session",
                                        "cwd",    "message", "panel", "detail"};
    bool known = false;
    for (const char* allowed : table) known = known || key == allowed;
    require(known, "the request holds only the relay's keys");
    require(value.is_string(), "every value of the request is a string");
  }
  require(request->at("method") == "agent-event", "the method is agent-event");
  require(request->at("agent") == "claude", "the agent is claude");
  require(request->at("event") == *member(event, "hook_event_name"), "the event name is kept");
  copiedWhenString(*request, "session", member(event, "session_id"));
  copiedWhenString(*request, "cwd", member(event, "cwd"));
  copiedWhenString(*request, "message", member(event, "message"));
  const Json* type = member(event, "notification_type");
  copiedWhenString(*request, "detail", isString(type) ? type : member(event, "source"));
  if (paneId)
    require(request->value("panel", Json()) == paneId, "the pane id goes out unchanged");
  else
    require(!request->contains("panel"), "no pane id, no panel");

  std::optional<std::string> line = tesselo::compactJson(*request);
  require(line.has_value(), "every request can be sent");
  require(line->find('\n') == std::string::npos, "the request is one line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::optional<Json> event = tesselo::parseJson(input);
  if (!event) return 0;
  for (const char* paneId : {static_cast<const char*>(nullptr), "", "0f3a9c21"})
    checkMapping(*event, paneId);
  return 0;
}

// Any bytes on the relay's standard input, through its parse and mapping: the
// event is dropped, or becomes a request made only of the relay's keys, each
// a string copied unchanged from where the table says.
#include <string>
#include <string_view>

#include "cli/hook_relay.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::Json;
using tesselo::fuzz::require;

namespace {

// Null when the event has no such member.
Json member(const Json& event, const char* key) {
  return event.contains(key) ? event.at(key) : Json();
}

void checkMapping(const Json& event, const char* paneId) {
  std::optional<Json> request = tesselo::agentEventRequest(event, paneId);
  bool forwarded = event.is_object() && member(event, "hook_event_name").is_string() &&
                   !event.contains("agent_id");
  require(request.has_value() == forwarded, "only named events of the pane's own agent go out");
  if (!request) return;
  Json type = member(event, "notification_type");
  // Each key of the request and its source in the event.
  Json expected = {{"method", "agent-event"},
                   {"agent", "claude"},
                   {"event", member(event, "hook_event_name")},
                   {"session", member(event, "session_id")},
                   {"cwd", member(event, "cwd")},
                   {"message", member(event, "message")},
                   {"detail", type.is_string() ? type : member(event, "source")},
                   {"panel", paneId ? Json(paneId) : Json()}};
  for (auto it = expected.begin(); it != expected.end();)
    it = it->is_string() ? std::next(it) : expected.erase(it);
  require(*request == expected, "exactly the string sources are copied, unchanged");
  std::optional<std::string> line = tesselo::compactJson(*request);
  require(line && line->find('\n') == std::string::npos, "the request is sent as one line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (std::optional<Json> event = tesselo::parseJson(input))
    for (const char* paneId : {static_cast<const char*>(nullptr), "", "0f3a9c21"})
      checkMapping(*event, paneId);
  return 0;
}

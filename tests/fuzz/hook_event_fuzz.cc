// Any bytes on the relay's standard input, through its parse and mapping: the
// event is dropped, or becomes a request made only of the relay's keys, each
// a string copied unchanged from where the table says.
#include "cli/hook_relay.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::Json;

static void check(std::string_view input) {
  std::optional<Json> event = tesselo::parseJson(input);
  if (!event) return;
  // Null when the event has no such member.
  auto member = [&](const char* key) { return event->contains(key) ? event->at(key) : Json(); };
  for (const char* paneId : {static_cast<const char*>(nullptr), "", "0f3a9c21"}) {
    std::optional<Json> request = tesselo::agentEventRequest(*event, paneId);
    require(request.has_value() == (event->is_object() && member("hook_event_name").is_string() &&
                                    !event->contains("agent_id")),
            "only named events of the pane's own agent go out");
    if (!request) continue;
    Json type = member("notification_type");
    // Each key of the request and its source in the event.
    Json expected = {{"method", "agent-event"},
                     {"agent", "claude"},
                     {"event", member("hook_event_name")},
                     {"session", member("session_id")},
                     {"cwd", member("cwd")},
                     {"message", member("message")},
                     {"detail", type.is_string() ? type : member("source")},
                     {"panel", paneId ? Json(paneId) : Json()}};
    for (auto it = expected.begin(); it != expected.end();)
      it = it->is_string() ? std::next(it) : expected.erase(it);
    // That it goes out on one line is compactJson's, checked on any object
    // by the control_response target.
    require(*request == expected, "exactly the string sources are copied, unchanged");
  }
}

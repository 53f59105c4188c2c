// The method table: each request goes to the entry named by its "method".
#include <string_view>

#include "host/handlers.h"
#include "host/protocol.h"

namespace tesselo::host {

namespace {

struct Method {
  std::string_view name;
  Json (*run)(HostContext&, const Call&);
};

constexpr Method methodTable[] = {
    {"list", runList}, {"read", runRead}, {"send", runSend},     {"split", runSplit},
    {"new", runNew},   {"wait", runWait}, {"notify", runNotify}, {"agent-event", runAgentEvent},
};

}  // namespace

Json handleRequest(HostContext& host, const Call& call) {
  const std::string* name = stringMember(call.request, "method");
  if (!name) return errorAnswer(malformedRequestMessage);
  for (const Method& method : methodTable)
    if (method.name == *name) return method.run(host, call);
  return errorAnswer(std::string(unknownMethodPrefix) + "\"" + *name + "\"");
}

}  // namespace tesselo::host

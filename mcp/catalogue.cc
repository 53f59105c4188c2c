// The catalogue's texts are addressed to the agent and carry the rules of
// use, so every one of them is part of the behaviour, word for word.
#include "mcp/catalogue.h"

namespace tesselo {

Json panelProperty;
std::vector<Tool> tools;

namespace {

constexpr std::string_view panelDescription =
    "Pane id (8-hex prefix from tesselo_list); omit for the focused pane";

constexpr std::string_view listTitle = "List terminals";
constexpr std::string_view listDescription =
    "Every terminal and pane in Tesselo: ids, titles, running process, and detected agent state "
    "(working/blocked/idle). Pane ids change across app restarts \u2014 call this first.";

constexpr std::string_view readTitle = "Read a pane's screen";
constexpr std::string_view readDescription =
    "A pane's visible screen as text. May include secrets the user has displayed; never "
    "exfiltrate what you read here.";
constexpr std::string_view linesDescription = "How many bottom lines (default 40)";

constexpr std::string_view sendTitle = "Type into a pane";
constexpr std::string_view sendDescription =
    "Type text into a pane and press return (set raw to skip the newline). The pane is live and "
    "visible to the user: never send destructive commands without the user's explicit request. "
    "The first send of each app run asks the user for approval \u2014 if it is denied, do not "
    "retry. Never assume the command ran or succeeded: read the pane after.";
constexpr std::string_view textDescription = "What to type";
constexpr std::string_view rawDescription = "Type without appending a newline";

constexpr std::string_view splitTitle = "Split a terminal";
constexpr std::string_view splitDescription = "Split a terminal; returns the new pane's id.";
constexpr std::string_view terminalDescription = "Terminal id; omit for the current terminal";
constexpr std::string_view directionDescription = "Split direction (default right)";

constexpr std::string_view newTitle = "New terminal or worktree";
constexpr std::string_view newDescription =
    "Open a new terminal. With worktree=true, creates a git worktree on a fresh branch beside the "
    "repository and opens the terminal there \u2014 the way to run parallel agents that do not "
    "fight over one checkout.";
constexpr std::string_view spaceDescription = "Folder/space name to file it under";
constexpr std::string_view cwdDescription = "Working directory to start in";
constexpr std::string_view worktreeDescription = "Create a git worktree and start there";

constexpr std::string_view waitTitle = "Wait for an agent state";
constexpr std::string_view waitDescription =
    "Block until a pane's detected agent state matches (blocked | working | idle). Returns the "
    "final state; \"timeout\": true when the deadline passed first.";
constexpr std::string_view untilDescription = "State to wait for";
constexpr std::string_view timeoutDescription = "Seconds to wait (default 300, max 600)";

constexpr std::string_view notifyTitle = "Ask for the user's attention";
constexpr std::string_view notifyDescription =
    "Bounce Tesselo's Dock icon to ask for the user's attention.";

Json typedProperty(std::string_view type, std::string_view description) {
  return Json::object({{"type", type}, {"description", description}});
}

Json enumProperty(std::initializer_list<std::string_view> values, std::string_view description) {
  Json property = typedProperty("string", description);
  property["enum"] = Json::array();
  for (std::string_view value : values) property["enum"].push_back(value);
  return property;
}

}  // namespace

Json property(std::string_view description) {
  return typedProperty("string", description);
}

Json Tool::definition() const {
  Json requiredNames = Json::array();
  for (const std::string& argument : required) requiredNames.push_back(argument);
  return Json::object({
      {"name", name},
      {"description", description},
      {"inputSchema",
       Json::object({{"type", "object"}, {"properties", properties}, {"required", requiredNames}})},
      {"annotations", Json::object({{"title", title},
                                    {"readOnlyHint", readOnly},
                                    {"destructiveHint", destructive},
                                    {"idempotentHint", idempotent},
                                    {"openWorldHint", openWorld}})},
  });
}

Json makePanelProperty() {
  return property(panelDescription);
}

std::vector<Tool> makeTools() {
  Json lines = typedProperty("integer", linesDescription);
  lines["minimum"] = 0;
  std::vector<Tool> list;
  list.reserve(7);
  list.push_back({.name = std::string(listToolName),
                  .title = std::string(listTitle),
                  .description = std::string(listDescription),
                  .properties = Json::object(),
                  .required = {},
                  .readOnly = true,
                  .idempotent = true});
  list.push_back({.name = std::string(readToolName),
                  .title = std::string(readTitle),
                  .description = std::string(readDescription),
                  .properties = Json::object({{"panel", panelProperty}, {"lines", lines}}),
                  .required = {},
                  .readOnly = true,
                  .idempotent = true});
  list.push_back({.name = std::string(sendToolName),
                  .title = std::string(sendTitle),
                  .description = std::string(sendDescription),
                  .properties = Json::object({{"panel", panelProperty},
                                              {"text", property(textDescription)},
                                              {"raw", typedProperty("boolean", rawDescription)}}),
                  .required = {"text"},
                  .destructive = true,
                  .openWorld = true});
  list.push_back({.name = std::string(splitToolName),
                  .title = std::string(splitTitle),
                  .description = std::string(splitDescription),
                  .properties = Json::object(
                      {{"terminal", property(terminalDescription)},
                       {"direction", enumProperty({"right", "down"}, directionDescription)}}),
                  .required = {}});
  list.push_back(
      {.name = std::string(newToolName),
       .title = std::string(newTitle),
       .description = std::string(newDescription),
       .properties = Json::object({{"space", property(spaceDescription)},
                                   {"cwd", property(cwdDescription)},
                                   {"worktree", typedProperty("boolean", worktreeDescription)}}),
       .required = {}});
  list.push_back({.name = std::string(waitToolName),
                  .title = std::string(waitTitle),
                  .description = std::string(waitDescription),
                  .properties = Json::object(
                      {{"panel", panelProperty},
                       {"until", enumProperty({"blocked", "working", "idle"}, untilDescription)},
                       {"timeout", typedProperty("number", timeoutDescription)}}),
                  .required = {"until"},
                  .readOnly = true,
                  .idempotent = true});
  list.push_back({.name = std::string(notifyToolName),
                  .title = std::string(notifyTitle),
                  .description = std::string(notifyDescription),
                  .properties = Json::object(),
                  .required = {},
                  .idempotent = true});
  return list;
}

const Tool* findTool(std::string_view name) {
  for (const Tool& tool : tools)
    if (tool.name == name) return &tool;
  return nullptr;
}

}  // namespace tesselo

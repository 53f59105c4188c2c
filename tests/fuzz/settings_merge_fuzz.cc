// Any settings file through the hook installer's merge, in memory: a refusal
// with a message exactly when the document is not an object or its hooks have
// the wrong shape; otherwise installing gives what uninstalling leaves plus
// one fresh group of ours per event, installing or uninstalling again changes
// nothing, items of ours go from among the user's alone, a document with
// nothing of ours loses nothing, and the written file reads back in the same
// bytes. Which items are ours is the CLI table's.
#include <algorithm>
#include <variant>

#include "cli/hook_installer.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::HookMode;
using tesselo::Json;

namespace {

// Written out here rather than taken from the installer, so that the checks
// below do not share a mistake with the code they check.
const char* const events[] = {"SessionStart", "UserPromptSubmit", "Stop", "Notification",
                              "SessionEnd"};

bool arrayOfObjects(const Json& value) {
  return value.is_array() && std::all_of(value.begin(), value.end(),
                                         [](const Json& element) { return element.is_object(); });
}

// The merged document, or nothing when it is refused.
std::optional<Json> merge(const Json& from, const std::string& command, HookMode mode) {
  tesselo::HookMerge merged = tesselo::mergeHooks(from, command, mode);
  if (const Json* document = std::get_if<Json>(&merged)) return *document;
  const auto& failure = std::get<tesselo::HookFailure>(merged);
  require(!tesselo::failureMessage(failure, "/h/.claude/settings.json").empty(),
          "a refusal says why");
  return std::nullopt;
}

}  // namespace

static void check(std::string_view bytes) {
  const std::string commandA = tesselo::hookCommand("/usr/local/bin/tesselo-cli");
  const std::string commandB = tesselo::hookCommand("/opt/it's here/tesselo-cli");
  std::optional<Json> parsed = tesselo::parseJson(bytes), settings = tesselo::parseSettings(bytes);
  require(settings.has_value() == (parsed && parsed->is_object()),
          "exactly the JSON objects are settings");
  const Json input = settings ? *settings : parsed.value_or(Json());
  const Json hooks = input.is_object() ? input.value("hooks", Json::object()) : Json();
  bool valid = hooks.is_object() &&
               std::none_of(std::begin(events), std::end(events), [&](const char* event) {
                 return hooks.contains(event) && !arrayOfObjects(hooks[event]);
               });
  const std::optional<Json> install = merge(input, commandA, HookMode::install),
                            uninstall = merge(input, commandA, HookMode::uninstall);
  require(install.has_value() == valid && uninstall.has_value() == valid,
          "exactly the documents of the wrong shape are refused");
  if (!valid) return;
  Json expected = *uninstall;
  for (const char* event : events) {
    Json group = {{"hooks", {{{"type", "command"}, {"command", commandA}, {"timeout", 5}}}}};
    if (std::string_view(event) == "Notification")
      group["matcher"] =
          "permission_prompt|elicitation_dialog|elicitation_url_dialog|agent_needs_input|"
          "agent_completed";
    expected["hooks"][event].push_back(std::move(group));
  }
  require(install == expected, "installing adds one group per event to what uninstalling leaves");
  require(merge(*install, commandA, HookMode::install) == install, "install is idempotent");
  require(merge(*install, commandB, HookMode::install) == merge(input, commandB, HookMode::install),
          "an install from a moved executable replaces the earlier groups");
  require(merge(*install, commandA, HookMode::uninstall) == uninstall, "uninstall undoes install");
  // What uninstalling left, with an item of ours put in each group of the
  // user's that lists items, uninstalls to itself: ours go, nothing else.
  Json mixed = *uninstall;
  for (const char* event : events) {
    Json::json_pointer groups = Json::json_pointer("/hooks") / event;
    if (!mixed.contains(groups)) continue;
    for (Json& group : mixed[groups])
      if (group.contains("hooks") && arrayOfObjects(group["hooks"]) && !group["hooks"].empty())
        group["hooks"].push_back(Json{{"command", commandB}});
  }
  require(merge(mixed, commandA, HookMode::uninstall) == uninstall,
          "uninstall takes out items of ours alone, and is idempotent");
  // Nothing of ours anywhere (no string holds the relay's word): only the
  // five events' empty lists go, and "hooks" when that leaves it empty.
  if (input.dump().find("claude-hook") == std::string::npos) {
    Json kept = input;
    for (const char* event : events)
      if (hooks.contains(event) && hooks[event].empty()) kept["hooks"].erase(event);
    if (kept.contains("hooks") && kept["hooks"].empty()) kept.erase("hooks");
    require(uninstall == kept, "a document with nothing of ours loses nothing");
  }
  // The document as the next run reads it back: the same, in the same bytes.
  for (const Json& document : {*install, *uninstall}) {
    std::optional<std::string> text = tesselo::settingsJson(document);
    std::optional<Json> reread = text ? tesselo::parseSettings(*text) : std::nullopt;
    require(reread && *reread == document && tesselo::settingsJson(*reread) == text,
            "the written file reads back as the same document, in the same bytes");
  }
}

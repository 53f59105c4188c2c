// Any settings file through the hook installer's merge, in memory: a clear
// refusal, or a document that keeps every foreign setting and hook as it was
// and holds exactly one group of ours per event; installing or uninstalling
// again changes nothing, not even a byte of the written file.
#include <algorithm>
#include <variant>

#include "cli/hook_installer.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::HookMode;
using tesselo::Json;
using tesselo::fuzz::require;

namespace {

// Written out here rather than taken from the installer, so that the model
// below does not share a mistake with the code it checks.
const char* const events[] = {"SessionStart", "UserPromptSubmit", "Stop", "Notification",
                              "SessionEnd"};

bool arrayOfObjects(const Json& value) {
  return value.is_array() && std::all_of(value.begin(), value.end(),
                                         [](const Json& element) { return element.is_object(); });
}

bool ours(const Json& item) {
  const Json command = item.value("command", Json());
  if (!command.is_string()) return false;
  const std::string& text = command.get_ref<const std::string&>();
  return text.find("tesselo-cli") != text.npos && text.find("claude-hook") != text.npos;
}

// The document with every item of ours under the five events taken out;
// groups left with nothing, events left with no group and a "hooks" left
// empty are gone. This is what uninstalling must give.
Json foreign(Json settings) {
  if (!settings.contains("hooks")) return settings;
  Json& hooks = settings["hooks"];
  for (const char* event : events) {
    if (!hooks.contains(event)) continue;
    Json kept = Json::array();
    for (Json group : hooks[event]) {
      auto items = group.find("hooks");
      if (items != group.end() && arrayOfObjects(*items) && !items->empty()) {
        items->erase(std::remove_if(items->begin(), items->end(), ours), items->end());
        if (items->empty()) continue;
      }
      kept.push_back(std::move(group));
    }
    if (kept.empty())
      hooks.erase(event);
    else
      hooks[event] = std::move(kept);
  }
  if (hooks.empty()) settings.erase("hooks");
  return settings;
}

// The document as the next run reads it back: the same, in the same bytes.
void roundTrips(const Json& settings) {
  std::optional<std::string> text = tesselo::settingsJson(settings);
  std::optional<Json> reread = text ? tesselo::parseSettings(*text) : std::nullopt;
  require(reread && *reread == settings, "the written file reads back as the same document");
  require(tesselo::settingsJson(*reread) == text, "writing it again gives the same bytes");
}

void check(std::string_view bytes) {
  const std::string commandA = tesselo::hookCommand("/usr/local/bin/tesselo-cli");
  const std::string commandB = tesselo::hookCommand("/opt/it's here/tesselo-cli");
  std::optional<Json> parsed = tesselo::parseJson(bytes), settings = tesselo::parseSettings(bytes);
  require(settings.has_value() == (parsed && parsed->is_object()),
          "exactly the JSON objects are settings");
  const Json input = settings ? *settings : parsed.value_or(Json());
  auto document = [&](const Json& from, const std::string& command, HookMode mode) {
    tesselo::HookMerge merged = tesselo::mergeHooks(from, command, mode);
    require(std::holds_alternative<Json>(merged), "a valid document is never refused");
    return std::get<Json>(merged);
  };
  const Json hooks = input.is_object() ? input.value("hooks", Json::object()) : Json();
  bool wrongShape = !hooks.is_object() ||
                    std::any_of(std::begin(events), std::end(events), [&](const char* event) {
                      return hooks.contains(event) && !arrayOfObjects(hooks[event]);
                    });
  if (wrongShape) {
    for (HookMode mode : {HookMode::install, HookMode::uninstall}) {
      tesselo::HookMerge merged = tesselo::mergeHooks(input, commandA, mode);
      auto* failure = std::get_if<tesselo::HookFailure>(&merged);
      require(failure && !tesselo::failureMessage(*failure, "/h/.claude/settings.json").empty(),
              "a document of the wrong shape is refused with a message");
    }
    return;
  }
  const Json install = document(input, commandA, HookMode::install);
  const Json uninstall = document(input, commandA, HookMode::uninstall);
  require(uninstall == foreign(input), "uninstalling keeps exactly the foreign content");
  // Installing appends one fresh group per event to the foreign content.
  Json expected = uninstall;
  for (const char* event : events) {
    Json group = {{"hooks", {{{"type", "command"}, {"command", commandA}, {"timeout", 5}}}}};
    if (std::string_view(event) == "Notification")
      group["matcher"] =
          "permission_prompt|elicitation_dialog|elicitation_url_dialog|agent_needs_input|"
          "agent_completed";
    expected["hooks"][event].push_back(std::move(group));
  }
  require(install == expected, "installing keeps the foreign content and adds one group each");
  require(document(install, commandA, HookMode::install) == install, "install is idempotent");
  require(document(install, commandB, HookMode::install) ==
              document(input, commandB, HookMode::install),
          "an install from a moved executable replaces the earlier groups");
  require(document(install, commandA, HookMode::uninstall) == uninstall,
          "uninstall undoes install");
  require(document(uninstall, commandA, HookMode::uninstall) == uninstall,
          "uninstall is idempotent");
  roundTrips(install);
  roundTrips(uninstall);
}

}  // namespace

TESSELO_FUZZ_TARGET(check)

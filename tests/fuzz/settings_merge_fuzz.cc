// Any settings file through the hook installer's merge, in memory: a clear
// refusal, or a document that keeps every foreign setting and hook as it was
// and holds exactly one group of ours per event; installing again changes
// nothing, not even a byte of the written file.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "cli/hook_installer.h"
#include "support/json.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::HookFailure;
using tesselo::HookMerge;
using tesselo::HookMode;
using tesselo::Json;
using tesselo::fuzz::require;

namespace {

// Written out here rather than taken from the installer, so that the model
// below does not share a mistake with the code it checks.
const std::array<const char*, 5> events = {"SessionStart", "UserPromptSubmit", "Stop",
                                           "Notification", "SessionEnd"};
const std::string notificationMatcher =
    "permission_prompt|elicitation_dialog|elicitation_url_dialog|agent_needs_input|agent_completed";

bool arrayOfObjects(const Json& value) {
  if (!value.is_array()) return false;
  for (const Json& element : value)
    if (!element.is_object()) return false;
  return true;
}

bool ours(const Json& item) {
  auto command = item.find("command");
  if (command == item.end() || !command->is_string()) return false;
  const std::string& text = command->get_ref<const std::string&>();
  return text.find("tesselo-cli") != std::string::npos &&
         text.find("claude-hook") != std::string::npos;
}

// The refusal a document must meet, if any.
std::optional<HookFailure> expectedRefusal(const Json& settings) {
  if (!settings.is_object()) return HookFailure{HookFailure::Kind::notValidJson, {}};
  auto hooks = settings.find("hooks");
  if (hooks == settings.end()) return std::nullopt;
  if (!hooks->is_object()) return HookFailure{HookFailure::Kind::hooksShape, {}};
  for (const char* event : events) {
    auto groups = hooks->find(event);
    if (groups != hooks->end() && !arrayOfObjects(*groups))
      return HookFailure{HookFailure::Kind::eventShape, event};
  }
  return std::nullopt;
}

// The document with every item of ours under the five events taken out;
// groups left with nothing, events left with no group and a "hooks" left
// empty are gone. This is what uninstalling must give.
Json foreign(Json settings) {
  auto hooks = settings.find("hooks");
  if (hooks == settings.end()) return settings;
  for (const char* event : events) {
    auto groups = hooks->find(event);
    if (groups == hooks->end()) continue;
    Json kept = Json::array();
    for (Json group : *groups) {
      auto items = group.find("hooks");
      if (items != group.end() && arrayOfObjects(*items)) {
        Json foreignItems = Json::array();
        for (const Json& item : *items)
          if (!ours(item)) foreignItems.push_back(item);
        if (foreignItems.empty() && !items->empty()) continue;
        *items = std::move(foreignItems);
      }
      kept.push_back(std::move(group));
    }
    if (kept.empty())
      hooks->erase(event);
    else
      *groups = std::move(kept);
  }
  if (hooks->empty()) settings.erase("hooks");
  return settings;
}

// Foreign content followed by one fresh group of ours per event: what
// installing must give.
Json installed(const Json& settings, const std::string& command) {
  Json out = foreign(settings);
  for (const char* event : events) {
    Json group = {
        {"hooks", Json::array({{{"type", "command"}, {"command", command}, {"timeout", 5}}})}};
    if (std::string_view(event) == "Notification") group["matcher"] = notificationMatcher;
    out["hooks"][event].push_back(std::move(group));
  }
  return out;
}

const Json& document(const HookMerge& merge) {
  require(std::holds_alternative<Json>(merge), "a valid document is never refused");
  return std::get<Json>(merge);
}

// The file as written, read back by the next run.
void roundTrips(const Json& settings) {
  std::optional<std::string> text = tesselo::settingsJson(settings);
  require(text.has_value(), "a merged document can be written");
  std::optional<Json> reread = tesselo::parseSettings(*text);
  require(reread && *reread == settings, "the written file reads back as the same document");
  require(tesselo::settingsJson(*reread) == text, "writing it again gives the same bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string commandA = tesselo::hookCommand("/usr/local/bin/tesselo-cli");
  const std::string commandB = tesselo::hookCommand("/opt/it's here/tesselo-cli");
  std::optional<Json> parsed = tesselo::parseJson(bytes), settings = tesselo::parseSettings(bytes);
  require(settings.has_value() == (parsed && parsed->is_object()),
          "exactly the JSON objects are settings");
  const Json& input = settings ? *settings : (parsed ? *parsed : Json());
  auto merge = [](const Json& settings, const std::string& command, HookMode mode) {
    return tesselo::mergeHooks(settings, command, mode);
  };

  if (std::optional<HookFailure> refusal = expectedRefusal(input)) {
    for (HookMode mode : {HookMode::install, HookMode::uninstall}) {
      HookMerge merged = merge(input, commandA, mode);
      const HookFailure* failure = std::get_if<HookFailure>(&merged);
      require(failure && failure->kind == refusal->kind && failure->event == refusal->event,
              "a document of the wrong shape is refused, naming the first wrong part");
      require(!tesselo::failureMessage(*failure, "/h/.claude/settings.json").empty(),
              "every refusal has a message");
    }
    return 0;
  }
  const Json install = document(merge(input, commandA, HookMode::install));
  const Json uninstall = document(merge(input, commandA, HookMode::uninstall));
  require(uninstall == foreign(input), "uninstalling keeps exactly the foreign content");
  require(install == installed(input, commandA), "installing keeps the foreign content");
  require(document(merge(install, commandA, HookMode::install)) == install,
          "install after install is a fixed point");
  require(document(merge(install, commandB, HookMode::install)) ==
              document(merge(input, commandB, HookMode::install)),
          "an install from a moved executable replaces the earlier groups");
  require(document(merge(install, commandA, HookMode::uninstall)) == uninstall,
          "uninstall undoes install");
  require(document(merge(uninstall, commandA, HookMode::uninstall)) == uninstall,
          "uninstall after uninstall is a fixed point");
  roundTrips(install);
  roundTrips(uninstall);
  return 0;
}

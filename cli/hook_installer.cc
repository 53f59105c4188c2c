// Strip and append over the settings document's "hooks" member.
#include "cli/hook_installer.h"

#include "cli/self_path.h"

namespace tesselo {

namespace {

inline constexpr const char* hooksKey = "hooks";
inline constexpr const char* commandKey = "command";

bool isArrayOfObjects(const Json& value) {
  if (!value.is_array()) return false;
  for (const Json& element : value)
    if (!element.is_object()) return false;
  return true;
}

// The group as it stands after our items are taken out of it; nothing when
// only our items were in it.
std::optional<Json> stripped(const Json& group) {
  auto items = group.find(hooksKey);
  if (items == group.end() || !isArrayOfObjects(*items)) return group;
  Json kept = Json::array();
  for (const Json& item : *items)
    if (!isOwnHookItem(item)) kept.push_back(item);
  if (kept.size() == items->size()) return group;
  if (kept.empty()) return std::nullopt;
  Json changed = group;
  changed[hooksKey] = std::move(kept);
  return changed;
}

Json ownGroup(std::string_view event, std::string_view command) {
  Json item = {{"type", "command"}, {commandKey, command}, {"timeout", hookTimeoutSeconds}};
  Json group = {{hooksKey, Json::array({std::move(item)})}};
  if (event == notificationEvent) group["matcher"] = notificationMatcher;
  return group;
}

}  // namespace

std::string hookCommand(std::string_view executablePath) {
  return shellQuoted(executablePath) + " " + std::string(relayCommandWord);
}

bool isOwnHookItem(const Json& item) {
  const std::string* command = stringMember(item, commandKey);
  return command && command->find(executableFileName) != std::string::npos &&
         command->find(relayCommandWord) != std::string::npos;
}

std::optional<Json> parseSettings(std::string_view bytes) {
  std::optional<Json> parsed = parseJson(bytes);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  return parsed;
}

HookMerge mergeHooks(Json settings, std::string_view command, HookMode mode) {
  if (!settings.is_object()) return HookFailure{HookFailure::Kind::notValidJson, {}};
  Json hooks = Json::object();
  if (auto found = settings.find(hooksKey); found != settings.end()) {
    if (!found->is_object()) return HookFailure{HookFailure::Kind::hooksShape, {}};
    hooks = std::move(*found);
  }
  for (std::string_view eventName : hookEvents) {
    std::string event(eventName);
    Json groups = Json::array();
    if (auto found = hooks.find(event); found != hooks.end()) {
      if (!isArrayOfObjects(*found)) return HookFailure{HookFailure::Kind::eventShape, event};
      for (const Json& group : *found)
        if (std::optional<Json> kept = stripped(group)) groups.push_back(std::move(*kept));
    }
    if (mode == HookMode::install) groups.push_back(ownGroup(event, command));
    if (groups.empty())
      hooks.erase(event);
    else
      hooks[event] = std::move(groups);
  }
  if (hooks.empty())
    settings.erase(hooksKey);
  else
    settings[hooksKey] = std::move(hooks);
  return settings;
}

std::string failureMessage(const HookFailure& failure, std::string_view path) {
  switch (failure.kind) {
    case HookFailure::Kind::notValidJson:
      return fillTemplate(notValidJsonMessage, {{"<path>", path}});
    case HookFailure::Kind::hooksShape:
      return fillTemplate(hooksShapeMessage, {{"<path>", path}});
    case HookFailure::Kind::eventShape:
      break;
  }
  return fillTemplate(eventShapeMessage, {{"<event>", failure.event}, {"<path>", path}});
}

std::string fillTemplate(
    std::string_view pattern,
    std::initializer_list<std::pair<std::string_view, std::string_view>> values) {
  std::string out;
  out.reserve(pattern.size() + 64);
  size_t i = 0;
  while (i < pattern.size()) {
    bool replaced = false;
    for (const auto& [name, value] : values) {
      if (pattern.substr(i, name.size()) == name) {
        out += value;
        i += name.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += pattern[i++];
  }
  return out;
}

}  // namespace tesselo

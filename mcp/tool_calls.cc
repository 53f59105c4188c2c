// The mapping of tool arguments to control payloads. Optional arguments of
// the wrong JSON type are dropped silently; the defaults the descriptions
// announce (40 lines, 300 seconds) are the application's, not filled in here.
#include "mcp/tool_calls.h"

#include <cmath>
#include <limits>

#include "mcp/catalogue.h"

namespace tesselo {

namespace {

// A whole double within the wait bounds is written as an integer, the way
// the platform's JSON writer writes a whole double.
Json jsonNumber(double value) {
  if (std::trunc(value) == value) return static_cast<int64_t>(value);
  return value;
}

const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

void copyString(const Json& arguments, const char* key, Json& payload) {
  if (const std::string* value = stringMember(arguments, key)) payload[key] = *value;
}

}  // namespace

std::optional<int64_t> wholeNumber(const Json& value) {
  if (value.is_number_unsigned()) {
    uint64_t number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (!value.is_number_float()) return std::nullopt;
  double number = value.get<double>();
  // -2^63 is the least int64; 2^63 is one past the greatest.
  constexpr double bound = 9223372036854775808.0;
  if (!std::isfinite(number) || std::trunc(number) != number || number < -bound || number >= bound)
    return std::nullopt;
  return static_cast<int64_t>(number);
}

std::optional<double> waitSeconds(const Json& value) {
  if (!value.is_number()) return std::nullopt;
  double seconds = value.get<double>();
  if (seconds <= minimumWaitSeconds) return minimumWaitSeconds;
  if (seconds > maximumWaitSeconds) return maximumWaitSeconds;
  return seconds;
}

std::optional<Json> controlPayload(std::string_view name, const Json& arguments) {
  if (name == listToolName) return Json::object({{"method", "list"}});
  if (name == notifyToolName) return Json::object({{"method", "notify"}});
  if (name == readToolName) {
    Json payload = Json::object({{"method", "read"}});
    copyString(arguments, "panel", payload);
    if (const Json* lines = member(arguments, "lines"))
      if (auto whole = wholeNumber(*lines)) payload["lines"] = *whole;
    return payload;
  }
  if (name == sendToolName) {
    const std::string* text = stringMember(arguments, "text");
    if (!text) return std::nullopt;
    Json payload = Json::object({{"method", "send"}});
    copyString(arguments, "panel", payload);
    payload["text"] = boolMember(arguments, "raw") == true ? *text : *text + "\n";
    return payload;
  }
  if (name == splitToolName) {
    Json payload = Json::object({{"method", "split"}});
    copyString(arguments, "terminal", payload);
    const std::string* direction = stringMember(arguments, "direction");
    payload["direction"] = direction ? *direction : std::string(defaultSplitDirection);
    return payload;
  }
  if (name == newToolName) {
    Json payload = Json::object({{"method", "new"}});
    copyString(arguments, "space", payload);
    copyString(arguments, "cwd", payload);
    if (auto worktree = boolMember(arguments, "worktree")) payload["worktree"] = *worktree;
    return payload;
  }
  if (name == waitToolName) {
    const std::string* until = stringMember(arguments, "until");
    if (!until) return std::nullopt;
    Json payload = Json::object({{"method", "wait"}, {"until", *until}});
    copyString(arguments, "panel", payload);
    if (const Json* timeout = member(arguments, "timeout"))
      if (auto seconds = waitSeconds(*timeout)) payload["timeout"] = jsonNumber(*seconds);
    return payload;
  }
  return std::nullopt;
}

Json textContent(std::string text, bool isError) {
  return Json::object(
      {{"content", Json::array({Json::object({{"type", "text"}, {"text", std::move(text)}})})},
       {"isError", isError}});
}

Json callTool(std::string_view name, const Json& arguments, ControlRequest request) {
  std::optional<Json> payload = controlPayload(name, arguments);
  if (!payload) return textContent(std::string(missingArgumentText), true);
  std::optional<Json> response = request(*payload);
  if (!response) return textContent(std::string(notRunningText), true);
  if (const std::string* error = stringMember(*response, "error")) return textContent(*error, true);
  if (name == readToolName)
    if (const std::string* text = stringMember(*response, "text")) return textContent(*text);
  // Keys sorted at every level: Json objects are ordered maps.
  std::optional<std::string> text = compactJson(*response);
  return textContent(text ? std::move(*text) : std::string("{}"));
}

}  // namespace tesselo

// JSON reading and writing over nlohmann/json, with the edges it leaves open
// (non-finite numbers, invalid UTF-8, unbounded nesting) closed.
#include "support/json.h"

#include <cmath>

#include "support/json_quick.h"
#include "support/json_write.h"

namespace tesselo {

namespace {

// Brackets outside strings, counted in one pass; far cheaper than the parse.
bool nestingWithinLimit(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxJsonDepth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

bool allFinite(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_float:
      return std::isfinite(value.get<double>());
    case Json::value_t::array:
    case Json::value_t::object:
      for (const auto& item : value)
        if (!allFinite(item)) return false;
      return true;
    default:
      return true;
  }
}

std::optional<std::string> dump(const Json& value, int indent) {
  if (!allFinite(value)) return std::nullopt;
  try {
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<Json> parseJson(std::string_view text) {
  // What the programs exchange is read quickly; everything else, valid or
  // not, is left to the full parser.
  if (auto quick = parseQuickly(text)) return quick;
  if (!nestingWithinLimit(text)) return std::nullopt;
  Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded() || !(value.is_object() || value.is_array())) return std::nullopt;
  return value;
}

std::optional<std::string> compactJson(const Json& value) {
  // The quick writer steps aside for a non-finite number, which dump refuses.
  std::string text;
  if (writeQuickly(value, text)) return text;
  return dump(value, -1);
}

std::optional<std::string> settingsJson(const Json& value) {
  auto text = dump(value, 2);
  if (!text) return text;
  // A "/" can only stand inside a string in JSON text, so every one is escaped.
  std::string escaped;
  escaped.reserve(text->size() + text->size() / 16);
  for (char c : *text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

const std::string* stringMember(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

std::optional<bool> boolMember(const Json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

}  // namespace tesselo

// The one JSON parser of the project and its few named writers. Every piece
// of JSON text that enters a program goes through parseJson, so the parser
// can be swapped in one place.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace tesselo {

// Objects keep their keys in a std::map: every writer below sorts keys.
using Json = nlohmann::json;

// Nesting deeper than this is refused: the writers recurse, and a hostile
// peer must not be able to exhaust the stack.
inline constexpr int maxJsonDepth = 512;

// Parses a document whose top level is an object or an array (no bare
// scalars). Nothing on any syntax error, invalid UTF-8 or excessive depth.
std::optional<Json> parseJson(std::string_view text);

// Compact one-line JSON with sorted keys. Nothing when the value has no JSON
// form (a non-finite number). Invalid UTF-8 in strings is replaced by U+FFFD.
std::optional<std::string> compactJson(const Json& value);

// The settings-file form: pretty-printed, sorted keys, every "/" written as
// "\/". Nothing when the value has no JSON form.
std::optional<std::string> settingsJson(const Json& value);

// Reads a member of an object by type; a member of another type counts as
// absent.
const std::string* stringMember(const Json& object, const char* key);
std::optional<bool> boolMember(const Json& object, const char* key);

}  // namespace tesselo

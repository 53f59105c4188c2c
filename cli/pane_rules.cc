// Option value rules and the list layout of the pane commands.
#include "cli/pane_rules.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tesselo {

std::optional<int64_t> integerValue(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  // Parse with the sign so that INT64_MIN still fits. Built by appending:
  // GCC 12 at -O3 misreads `"-" + std::string(...)` as an overlapping copy.
  std::string signedDigits;
  signedDigits.reserve(digits.size() + 1);
  if (negative) signedDigits.push_back('-');
  signedDigits.append(digits);
  int64_t value = 0;
  auto [end, error] =
      std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
  if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) return std::nullopt;
  return value;
}

std::optional<double> numberValue(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string sendText(const std::vector<std::string>& words, bool raw) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i) text.push_back(' ');
    text += words[i];
  }
  if (!raw) text.push_back('\n');
  return text;
}

std::string idPrefix(std::string_view id) {
  size_t characters = 0;
  for (size_t i = 0; i < id.size(); ++i) {
    // A byte that does not continue a UTF-8 sequence starts a character.
    if ((static_cast<unsigned char>(id[i]) & 0xC0) != 0x80 && characters++ == idPrefixLength)
      return std::string(id.substr(0, i));
  }
  return std::string(id);
}

namespace {

bool isArrayOfObjects(const Json* value) {
  if (!value || !value->is_array()) return false;
  for (const auto& item : *value)
    if (!item.is_object()) return false;
  return true;
}

const Json* member(const Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string stringOrEmpty(const Json& object, const char* key) {
  const std::string* value = stringMember(object, key);
  return value ? *value : std::string();
}

}  // namespace

std::string listText(const Json& response) {
  const Json* terminals = response.is_object() ? member(response, "terminals") : nullptr;
  if (!isArrayOfObjects(terminals)) return {};
  std::string out;
  for (const auto& terminal : *terminals) {
    out += idPrefix(stringOrEmpty(terminal, "id"));
    out += "  ";
    out += stringOrEmpty(terminal, "title");
    if (const std::string* state = stringMember(terminal, "state")) out += "  [" + *state + "]";
    out += '\n';
    const Json* panels = member(terminal, "panels");
    if (!isArrayOfObjects(panels)) continue;
    for (const auto& pane : *panels) {
      out += "  ";
      out += idPrefix(stringOrEmpty(pane, "id"));
      out += "  ";
      out += stringOrEmpty(pane, "process");
      if (const std::string* agent = stringMember(pane, "agent")) out += "  " + *agent;
      if (const std::string* state = stringMember(pane, "state")) out += " [" + *state + "]";
      out += '\n';
    }
  }
  return out;
}

}  // namespace tesselo

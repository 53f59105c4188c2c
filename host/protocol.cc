// Request validation and answer lines.
#include "host/protocol.h"

namespace tesselo::host {

std::optional<Json> requestObject(std::string_view line) {
  // A carriage return before the line feed is tolerated for hand-typed tests.
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  auto value = parseJson(line);
  if (!value || !value->is_object() || !stringMember(*value, "method")) return std::nullopt;
  return value;
}

Json errorAnswer(std::string_view message) {
  return {{"error", std::string(message)}};
}

std::string answerLine(const Json& answer) {
  auto text = compactJson(answer);
  if (!text) text = compactJson(errorAnswer("internal error: answer has no JSON form"));
  text->push_back('\n');
  return *text;
}

}  // namespace tesselo::host

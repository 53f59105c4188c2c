#include "host/text.h"

namespace tesselo::host {

std::vector<std::string_view> splitLines(std::string_view text, bool keepEmpty) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (keepEmpty || end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string_view trimEnd(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.remove_suffix(1);
  return text;
}

std::string firstLine(std::string_view text) {
  return std::string(trimEnd(text.substr(0, text.find('\n'))));
}

}  // namespace tesselo::host

// Escapes exactly as nlohmann's serializer does without ensure_ascii: the
// seven short escapes, \u00xx (lower-case hex) for the other control
// characters, everything else as it stands. Fractions are formatted by
// nlohmann itself, one number at a time.
#include "support/json_write.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace tesselo {

namespace {

enum Kind : uint8_t { plain, escaped, lead };

constexpr std::array<uint8_t, 256> kinds = [] {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c)
    table[c] = c < 0x20 || c == '"' || c == '\\' ? escaped : c >= 0x80 ? lead : plain;
  return table;
}();

bool within(unsigned char c, unsigned char low, unsigned char high) {
  return c >= low && c <= high;
}

// Length of the well-formed UTF-8 sequence at p (Unicode table 3-7), or 0.
size_t sequenceLength(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  auto cont = [p](size_t i) { return within(p[i], 0x80, 0xBF); };
  if (within(c, 0xC2, 0xDF)) return left >= 2 && cont(1) ? 2 : 0;
  if (c == 0xE0) return left >= 3 && within(p[1], 0xA0, 0xBF) && cont(2) ? 3 : 0;
  if (within(c, 0xE1, 0xEC) || c == 0xEE || c == 0xEF)
    return left >= 3 && cont(1) && cont(2) ? 3 : 0;
  if (c == 0xED) return left >= 3 && within(p[1], 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (c == 0xF0) return left >= 4 && within(p[1], 0x90, 0xBF) && cont(2) && cont(3) ? 4 : 0;
  if (within(c, 0xF1, 0xF3)) return left >= 4 && cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (c == 0xF4) return left >= 4 && within(p[1], 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

void appendEscape(std::string& out, unsigned char c) {
  static constexpr char hex[] = "0123456789abcdef";
  switch (c) {
    case '\b':
      out += "\\b";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\r':
      out += "\\r";
      return;
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    default: {
      char code[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
      out.append(code, sizeof code);
    }
  }
}

bool writeString(const std::string& text, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  const auto* run = p;
  out += '"';
  while (p != end) {
    switch (kinds[*p]) {
      case plain:
        ++p;
        continue;
      case escaped:
        out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        appendEscape(out, *p);
        run = ++p;
        continue;
      default: {
        size_t length = sequenceLength(p, static_cast<size_t>(end - p));
        if (length == 0) return false;
        p += length;
      }
    }
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
  out += '"';
  return true;
}

template <typename Integer>
void writeInteger(Integer value, std::string& out) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

bool writeQuickly(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        if (!writeString(key, out)) return false;
        out += ':';
        if (!writeQuickly(member, out)) return false;
      }
      out += '}';
      return true;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : value) {
        if (!first) out += ',';
        first = false;
        if (!writeQuickly(item, out)) return false;
      }
      out += ']';
      return true;
    }
    case Json::value_t::string:
      return writeString(value.get_ref<const std::string&>(), out);
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return true;
    case Json::value_t::null:
      out += "null";
      return true;
    case Json::value_t::number_integer:
      writeInteger(value.get<Json::number_integer_t>(), out);
      return true;
    case Json::value_t::number_unsigned:
      writeInteger(value.get<Json::number_unsigned_t>(), out);
      return true;
    case Json::value_t::number_float:
      if (!std::isfinite(value.get<double>())) return false;
      out += value.dump();
      return true;
    default:
      return false;  // binary and discarded values: nlohmann's affair
  }
}

}  // namespace tesselo

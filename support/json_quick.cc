// Byte-class table, bulk appends of plain runs, UTF-8 checked with the
// well-formed ranges of Unicode (those the full parser enforces), escapes
// decoded as the full parser decodes them, integers typed as it types them.
// Any doubt means "not mine".
#include "support/json_quick.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace tesselo {

namespace {

enum ByteClass : uint8_t { plain, quote, backslash, control, lead };

constexpr std::array<uint8_t, 256> byteClasses = [] {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    if (c < 0x20)
      table[c] = control;
    else if (c == '"')
      table[c] = quote;
    else if (c == '\\')
      table[c] = backslash;
    else if (c >= 0x80)
      table[c] = lead;
    else
      table[c] = plain;
  }
  return table;
}();

class Reader {
 public:
  explicit Reader(std::string_view text)
      : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()) {}

  std::optional<Json> document() {
    skipBlanks();
    if (p_ == end_ || (*p_ != '{' && *p_ != '[')) return std::nullopt;
    auto result = value(1);
    if (!result) return std::nullopt;
    skipBlanks();
    if (p_ != end_) return std::nullopt;
    return result;
  }

 private:
  bool take(char c) {
    if (p_ == end_ || *p_ != static_cast<unsigned char>(c)) return false;
    ++p_;
    return true;
  }

  void skipBlanks() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  bool word(std::string_view w) {
    if (static_cast<size_t>(end_ - p_) < w.size()) return false;
    for (size_t i = 0; i < w.size(); ++i)
      if (p_[i] != static_cast<unsigned char>(w[i])) return false;
    p_ += w.size();
    return true;
  }

  std::optional<Json> value(int depth) {
    if (p_ == end_) return std::nullopt;
    switch (*p_) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"': {
        ++p_;
        std::string text;
        if (!string(text)) return std::nullopt;
        return Json(std::move(text));
      }
      case 't':
        if (word("true")) return Json(true);
        return std::nullopt;
      case 'f':
        if (word("false")) return Json(false);
        return std::nullopt;
      case 'n':
        if (word("null")) return Json(nullptr);
        return std::nullopt;
      default:
        return integer();
    }
  }

  std::optional<Json> object(int depth) {
    if (depth > quickReaderDepth) return std::nullopt;
    ++p_;
    Json result = Json::object();
    skipBlanks();
    if (take('}')) return result;
    for (;;) {
      std::string key;
      if (!take('"') || !string(key)) return std::nullopt;
      skipBlanks();
      if (!take(':')) return std::nullopt;
      skipBlanks();
      auto member = value(depth + 1);
      if (!member) return std::nullopt;
      // A repeated key keeps its last value, as the full parser does.
      result[std::move(key)] = std::move(*member);
      skipBlanks();
      if (take('}')) return result;
      if (!take(',')) return std::nullopt;
      skipBlanks();
    }
  }

  std::optional<Json> array(int depth) {
    if (depth > quickReaderDepth) return std::nullopt;
    ++p_;
    Json result = Json::array();
    skipBlanks();
    if (take(']')) return result;
    for (;;) {
      auto item = value(depth + 1);
      if (!item) return std::nullopt;
      result.push_back(std::move(*item));
      skipBlanks();
      if (take(']')) return result;
      if (!take(',')) return std::nullopt;
      skipBlanks();
    }
  }

  // -?(0|[1-9][0-9]*) with no fraction or exponent, small enough that the
  // full parser keeps it an integer: unsigned without a sign, signed with one.
  std::optional<Json> integer() {
    bool negative = take('-');
    const unsigned char* digits = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    size_t count = static_cast<size_t>(p_ - digits);
    if (count == 0 || (count > 1 && *digits == '0')) return std::nullopt;
    if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return std::nullopt;
    // 19 digits always fit an unsigned 64-bit value, 18 a signed one.
    if (count > (negative ? 18u : 19u)) return std::nullopt;
    uint64_t magnitude = 0;
    for (const unsigned char* d = digits; d != p_; ++d) magnitude = magnitude * 10 + (*d - '0');
    if (negative) return Json(-static_cast<int64_t>(magnitude));
    return Json(magnitude);
  }

  // Where the string's closing quote lies (or the end of the text): a quote
  // preceded by an even number of backslashes.
  size_t encodedLength() const {
    const unsigned char* q = p_;
    for (;;) {
      q = static_cast<const unsigned char*>(std::memchr(q, '"', static_cast<size_t>(end_ - q)));
      if (!q) return static_cast<size_t>(end_ - p_);
      const unsigned char* b = q;
      while (b > p_ && b[-1] == '\\') --b;
      if ((q - b) % 2 == 0) return static_cast<size_t>(q - p_);
      ++q;
    }
  }

  // The rest of a string after its opening quote, decoded into out. Decoding
  // never lengthens text, so one reservation holds a long screen whole.
  bool string(std::string& out) {
    out.reserve(encodedLength());
    const unsigned char* run = p_;
    while (p_ != end_) {
      switch (byteClasses[*p_]) {
        case plain:
          ++p_;
          continue;
        case quote:
          out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p_ - run));
          ++p_;
          return true;
        case backslash:
          out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p_ - run));
          ++p_;
          if (!escape(out)) return false;
          run = p_;
          continue;
        case lead:
          if (!utf8Sequence()) return false;
          continue;
        default:
          return false;  // a raw control character
      }
    }
    return false;  // no closing quote
  }

  static bool within(unsigned char c, unsigned char low, unsigned char high) {
    return c >= low && c <= high;
  }

  // One well-formed UTF-8 sequence (Unicode table 3-7), consumed whole.
  bool utf8Sequence() {
    unsigned char c = *p_;
    size_t left = static_cast<size_t>(end_ - p_);
    auto cont = [this](size_t i) { return within(p_[i], 0x80, 0xBF); };
    size_t length;
    bool ok;
    if (within(c, 0xC2, 0xDF)) {
      length = 2;
      ok = left >= 2 && cont(1);
    } else if (c == 0xE0) {
      length = 3;
      ok = left >= 3 && within(p_[1], 0xA0, 0xBF) && cont(2);
    } else if (within(c, 0xE1, 0xEC) || c == 0xEE || c == 0xEF) {
      length = 3;
      ok = left >= 3 && cont(1) && cont(2);
    } else if (c == 0xED) {
      length = 3;
      ok = left >= 3 && within(p_[1], 0x80, 0x9F) && cont(2);
    } else if (c == 0xF0) {
      length = 4;
      ok = left >= 4 && within(p_[1], 0x90, 0xBF) && cont(2) && cont(3);
    } else if (within(c, 0xF1, 0xF3)) {
      length = 4;
      ok = left >= 4 && cont(1) && cont(2) && cont(3);
    } else if (c == 0xF4) {
      length = 4;
      ok = left >= 4 && within(p_[1], 0x80, 0x8F) && cont(2) && cont(3);
    } else {
      return false;
    }
    if (!ok) return false;
    p_ += length;
    return true;
  }

  // Four hex digits; -1 when they are not there.
  int hex4() {
    if (end_ - p_ < 4) return -1;
    int value = 0;
    for (int i = 0; i < 4; ++i) {
      unsigned char c = *p_++;
      int digit;
      if (c >= '0' && c <= '9')
        digit = c - '0';
      else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
      else
        return -1;
      value = value * 16 + digit;
    }
    return value;
  }

  static void appendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code <= 0x7FF) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code <= 0xFFFF) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // The escape after a backslash.
  bool escape(std::string& out) {
    if (p_ == end_) return false;
    unsigned char c = *p_++;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += static_cast<char>(c);
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    int first = hex4();
    if (first < 0) return false;
    uint32_t code = static_cast<uint32_t>(first);
    if (first >= 0xDC00 && first <= 0xDFFF) return false;
    if (first >= 0xD800 && first <= 0xDBFF) {
      if (!take('\\') || !take('u')) return false;
      int second = hex4();
      if (second < 0xDC00 || second > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(second) - 0xDC00);
    }
    appendUtf8(out, code);
    return true;
  }

  const unsigned char* p_;
  const unsigned char* end_;
};

}  // namespace

std::optional<Json> parseQuickly(std::string_view text) {
  return Reader(text).document();
}

}  // namespace tesselo

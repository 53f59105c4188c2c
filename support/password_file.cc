// passwd(5) lines: name:password:uid:gid:gecos:home:shell.
#include "support/password_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <functional>

#include "support/fd_io.h"

namespace tesselo {

namespace {

constexpr size_t passwordFields = 7;
constexpr size_t nameField = 0, uidField = 2, homeField = 5;

using Fields = std::array<std::string_view, passwordFields>;

// Splits one entry; false when it has not exactly seven fields.
bool splitEntry(std::string_view line, Fields& fields) {
  size_t count = 0;
  for (;;) {
    size_t colon = line.find(':');
    if (count == passwordFields) return false;
    fields[count++] = line.substr(0, colon);
    if (colon == std::string_view::npos) break;
    line.remove_prefix(colon + 1);
  }
  return count == passwordFields;
}

std::optional<uid_t> uidValue(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > static_cast<uid_t>(-1)) return std::nullopt;
  return static_cast<uid_t>(value);
}

std::optional<std::string> firstHome(std::string_view text,
                                     const std::function<bool(const Fields&)>& matches) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line[0] == '#' || line[0] == '+' || line[0] == '-') continue;
    Fields fields;
    if (splitEntry(line, fields) && matches(fields)) return std::string(fields[homeField]);
  }
  return std::nullopt;
}

std::optional<std::string> fileText(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  bool ok = readToEnd(fd, text);
  ::close(fd);
  if (!ok) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::string> homeInPasswordText(std::string_view text, uid_t uid) {
  return firstHome(text, [uid](const Fields& f) { return uidValue(f[uidField]) == uid; });
}

std::optional<std::string> homeInPasswordText(std::string_view text, std::string_view user) {
  if (user.empty()) return std::nullopt;
  return firstHome(text, [user](const Fields& f) {
    return f[nameField] == user && uidValue(f[uidField]).has_value();
  });
}

std::optional<std::string> homeInPasswordFile(const std::string& path, uid_t uid) {
  auto text = fileText(path);
  if (!text) return std::nullopt;
  return homeInPasswordText(*text, uid);
}

std::optional<std::string> homeInPasswordFile(const std::string& path, std::string_view user) {
  auto text = fileText(path);
  if (!text) return std::nullopt;
  return homeInPasswordText(*text, user);
}

}  // namespace tesselo

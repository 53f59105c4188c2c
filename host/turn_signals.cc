// Claude Code's status line and transcript markers, read defensively: any
// text or line shape not recognised says nothing, and the state then stays
// what the hook events made it.
#include "host/turn_signals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <ctime>

#include "host/text.h"
#include "support/fd_io.h"
#include "support/json.h"

namespace tesselo::host {

namespace {

constexpr std::string_view runningMark = "esc to interrupt";
constexpr std::string_view dialogMark = "Esc to cancel";
constexpr std::string_view restMark = "? for shortcuts";
constexpr std::string_view partSeparator = " · ";
constexpr std::string_view ruleCharacter = "─";
constexpr size_t shortestRule = 8;
constexpr std::string_view interruptedMark = "[Request interrupted by user";
constexpr std::string_view ellipsis = "…";
constexpr std::string_view promptMark = "❯";
// How many lines over the input box the spinner may stand.
constexpr size_t spinnerReach = 4;

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return trimEnd(text);
}

bool isRule(std::string_view line) {
  line = trimmed(line);
  size_t count = 0;
  while (line.substr(0, ruleCharacter.size()) == ruleCharacter) {
    line.remove_prefix(ruleCharacter.size());
    ++count;
  }
  return line.empty() && count >= shortestRule;
}

// "2026-12-07T13:04:05.678Z" as milliseconds since the epoch.
std::optional<int64_t> isoMillis(std::string_view text) {
  int year, month, day, hour, minute, second;
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':')
    return std::nullopt;
  auto number = [&](size_t at, size_t length, int& out) {
    auto [end, error] = std::from_chars(text.data() + at, text.data() + at + length, out);
    return error == std::errc() && end == text.data() + at + length;
  };
  if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day) || !number(11, 2, hour) ||
      !number(14, 2, minute) || !number(17, 2, second))
    return std::nullopt;
  int millis = 0;
  size_t pos = 19;
  if (pos < text.size() && text[pos] == '.') {
    int scale = 100;
    for (++pos; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos) {
      millis += (text[pos] - '0') * scale;
      scale /= 10;
    }
  }
  if (pos >= text.size() || text[pos] != 'Z') return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  time_t seconds = ::timegm(&tm);
  if (seconds == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<int64_t>(seconds) * 1000 + millis;
}

bool textStartsInterrupted(const Json& content) {
  if (content.is_string()) return content.get<std::string>().rfind(interruptedMark, 0) == 0;
  if (!content.is_array()) return false;
  for (const Json& part : content) {
    const std::string* text = part.is_object() ? stringMember(part, "text") : nullptr;
    if (text && text->rfind(interruptedMark, 0) == 0) return true;
  }
  return false;
}

// The permission mode: what stands in front of a mark, without the " · "
// that joins them.
std::string modeBefore(std::string_view line, size_t mark) {
  std::string_view mode = line.substr(0, mark);
  if (mode.size() >= partSeparator.size() &&
      mode.substr(mode.size() - partSeparator.size()) == partSeparator)
    mode.remove_suffix(partSeparator.size());
  return std::string(trimmed(mode));
}

// The mode alone under the input box means it holds text: the prompt put
// back after Escape, or the next prompt typed while a turn runs. The turn's
// spinner ("✻ Hatching…") above the box tells the second apart.
bool spinnerAbove(const std::vector<std::string_view>& lines, size_t bottomRule) {
  size_t top = bottomRule;
  while (top > 0 && !isRule(lines[top - 1])) --top;
  if (top == 0) return false;
  --top;  // the rule over the input box
  for (size_t i = top >= spinnerReach ? top - spinnerReach : 0; i < top; ++i) {
    std::string_view line = trimmed(lines[i]);
    size_t glyphEnd = line.find(' ');
    if (glyphEnd == std::string_view::npos || glyphEnd == 0 || glyphEnd > 4) continue;
    auto first = static_cast<unsigned char>(line[0]);
    if (!std::isalnum(first) && line.substr(0, glyphEnd) != promptMark &&
        line.find(ellipsis) != std::string_view::npos)
      return true;
  }
  return false;
}

}  // namespace

StatusReading readStatusLine(std::string_view screen, std::string_view knownMode) {
  StatusReading reading;
  reading.mode = std::string(knownMode);
  std::vector<std::string_view> lines = splitLines(screen, true);
  size_t rule = lines.size();
  for (size_t i = lines.size(); i-- > 0;)
    if (isRule(lines[i])) {
      rule = i;
      break;
    }
  if (rule == lines.size()) return reading;
  bool rest = false;
  for (size_t i = rule + 1; i < lines.size(); ++i) {
    std::string_view line = trimmed(lines[i]);
    size_t running = line.find(runningMark);
    if (running != std::string_view::npos) {
      reading.status = ScreenStatus::running;
      reading.mode = modeBefore(line, running);
      return reading;
    }
    if (line.find(dialogMark) != std::string_view::npos) {
      reading.status = ScreenStatus::dialog;
      return reading;
    }
    // The mode in front of "? for shortcuts" is the one a prompt put back
    // leaves alone on the line.
    size_t atRest = line.find(restMark);
    if (atRest != std::string_view::npos) {
      std::string mode = modeBefore(line, atRest);
      if (!mode.empty()) reading.mode = mode;
      rest = true;
    } else if (!knownMode.empty() && line == knownMode && !spinnerAbove(lines, rule)) {
      rest = true;
    }
  }
  if (rest) reading.status = ScreenStatus::rest;
  return reading;
}

TranscriptSignal transcriptSignal(std::string_view line, int64_t notBeforeMillis) {
  std::optional<Json> parsed = parseJson(line);
  if (!parsed || !parsed->is_object()) return TranscriptSignal::none;
  const std::string* stamp = stringMember(*parsed, "timestamp");
  std::optional<int64_t> written = stamp ? isoMillis(*stamp) : std::nullopt;
  if (!written || *written < notBeforeMillis) return TranscriptSignal::none;
  const std::string* type = stringMember(*parsed, "type");
  if (!type) return TranscriptSignal::none;
  if (*type == "assistant" && boolMember(*parsed, "isApiErrorMessage").value_or(false))
    return TranscriptSignal::apiError;
  if (*type == "user") {
    auto message = parsed->find("message");
    if (message != parsed->end() && message->is_object()) {
      auto content = message->find("content");
      if (content != message->end() && textStartsInterrupted(*content))
        return TranscriptSignal::interrupted;
    }
  }
  return TranscriptSignal::none;
}

bool isSessionId(std::string_view session) {
  if (session.empty() || session.size() > 128) return false;
  for (char c : session)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  return true;
}

std::string transcriptPath(const std::string& configFolder, std::string_view cwd,
                           std::string_view session) {
  if (configFolder.empty() || cwd.empty() || cwd.front() != '/' || !isSessionId(session)) return {};
  std::string project(cwd);
  for (char& c : project)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
  return configFolder + "/projects/" + project + "/" + std::string(session) + ".jsonl";
}

TranscriptFollower::TranscriptFollower(std::string path, size_t cap)
    : path_(std::move(path)), cap_(cap) {
  if (!path_.empty()) open(true);
}

TranscriptFollower::~TranscriptFollower() {
  if (fd_ >= 0) ::close(fd_);
}

bool TranscriptFollower::open(bool fromEnd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  partial_.clear();
  skipping_ = false;
  // Non-blocking, so a FIFO put at the path cannot hold the host.
  int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  device_ = info.st_dev;
  inode_ = info.st_ino;
  offset_ = fromEnd ? info.st_size : 0;
  return true;
}

std::vector<std::string> TranscriptFollower::newLines() {
  std::vector<std::string> lines;
  if (path_.empty()) return lines;
  struct stat named;
  bool exists = ::stat(path_.c_str(), &named) == 0;
  // Written for the first time during the turn, or replaced: all of it is
  // new to this turn's follower.
  if (exists && (fd_ < 0 || named.st_dev != device_ || named.st_ino != inode_)) open(false);
  if (fd_ < 0) return lines;
  struct stat info;
  if (::fstat(fd_, &info) != 0) return lines;
  if (info.st_size < offset_) {
    offset_ = 0;
    partial_.clear();
  }
  if (static_cast<size_t>(info.st_size - offset_) > cap_) {
    // More than a turn writes in a moment: what lies before the cap is
    // passed over, and the line cut there with it.
    offset_ = info.st_size - static_cast<off_t>(cap_);
    partial_.clear();
    skipping_ = true;
  }
  std::string bytes(static_cast<size_t>(info.st_size - offset_), '\0');
  ssize_t got = bytes.empty() ? 0 : ::pread(fd_, bytes.data(), bytes.size(), offset_);
  if (got <= 0) return lines;
  offset_ += got;
  bytes.resize(static_cast<size_t>(got));
  size_t start = 0;
  for (;;) {
    size_t feed = bytes.find('\n', start);
    if (feed == std::string::npos) break;
    if (!skipping_ && partial_.size() + (feed - start) <= cap_) {
      partial_.append(bytes, start, feed - start);
      lines.push_back(std::move(partial_));
    }
    partial_.clear();
    skipping_ = false;
    start = feed + 1;
  }
  if (!skipping_) partial_.append(bytes, start, std::string::npos);
  if (partial_.size() > cap_) {
    partial_.clear();
    skipping_ = true;
  }
  return lines;
}

}  // namespace tesselo::host

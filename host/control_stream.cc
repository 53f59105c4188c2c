// Splitting the control-mode stream into replies and notifications.
#include "host/control_stream.h"

#include <optional>

namespace tesselo::host {

namespace {

constexpr std::string_view beginPrefix = "%begin ";
constexpr std::string_view endPrefix = "%end ";
constexpr std::string_view errorPrefix = "%error ";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool terminates(std::string_view line, std::string_view arguments) {
  for (std::string_view prefix : {endPrefix, errorPrefix})
    if (startsWith(line, prefix) && line.substr(prefix.size()) == arguments) return true;
  return false;
}

bool isNotification(std::string_view line) {
  return startsWith(line, "%") && !startsWith(line, beginPrefix) && !startsWith(line, endPrefix) &&
         !startsWith(line, errorPrefix);
}

// The reply held in a region's lines (the sentinel's own %begin excluded),
// and the notifications between its blocks. tmux stops a command list at its
// first failing command, so a failed block is the reply's last.
ControlReply parseRegion(const std::vector<std::string>& lines, size_t end,
                         std::vector<std::string>* notifications) {
  ControlReply reply;
  size_t i = 0;
  while (i < end) {
    const std::string& line = lines[i];
    if (!startsWith(line, beginPrefix)) {
      if (notifications && isNotification(line)) notifications->push_back(line);
      ++i;
      continue;
    }
    std::string_view arguments = std::string_view(line).substr(beginPrefix.size());
    std::optional<size_t> close;
    for (size_t j = end; j-- > i + 1;)
      if (terminates(lines[j], arguments)) {
        close = j;
        break;
      }
    size_t bodyEnd = close.value_or(end);
    bool failed = close && startsWith(lines[*close], errorPrefix);
    std::string body;
    for (size_t k = i + 1; k < bodyEnd; ++k) {
      body += lines[k];
      body += '\n';
    }
    // Notifications after a failed block still count; output does not.
    if (failed && reply.ok) {
      reply.ok = false;
      if (!body.empty()) body.pop_back();
      reply.error = std::move(body);
    } else if (reply.ok) {
      reply.output += body;
    }
    if (!close) return reply;
    i = *close + 1;
  }
  return reply;
}

}  // namespace

std::string sentinelCommand(std::string_view token) {
  return "display-message -p '" + std::string(token) + "'";
}

void ControlStream::expect(std::string token) {
  tokens_.push_back(std::move(token));
}

ControlStream::Output ControlStream::feed(std::string_view bytes) {
  Output out;
  size_t start = 0;
  for (;;) {
    size_t feed = bytes.find('\n', start);
    if (feed == std::string_view::npos) break;
    partial_.append(bytes.substr(start, feed - start));
    takeLine(std::move(partial_), out);
    partial_.clear();
    start = feed + 1;
  }
  partial_.append(bytes.substr(start));
  return out;
}

void ControlStream::takeLine(std::string line, Output& out) {
  if (sentinelTerminatorDue_) {
    sentinelTerminatorDue_ = false;
    if (startsWith(line, endPrefix) || startsWith(line, errorPrefix)) return;
  }
  if (tokens_.empty()) {
    // Nothing is awaited: only notifications matter, and the lines of a
    // block nobody asked for are passed over.
    if (!unawaitedBlock_.empty()) {
      if (terminates(line, unawaitedBlock_)) unawaitedBlock_.clear();
    } else if (startsWith(line, beginPrefix)) {
      unawaitedBlock_ = line.substr(beginPrefix.size());
    } else if (isNotification(line)) {
      out.notifications.push_back(std::move(line));
    }
    return;
  }
  if (line == tokens_.front() && !region_.empty() && startsWith(region_.back(), beginPrefix)) {
    out.replies.push_back(parseRegion(region_, region_.size() - 1, &out.notifications));
    region_.clear();
    tokens_.pop_front();
    sentinelTerminatorDue_ = true;
    return;
  }
  region_.push_back(std::move(line));
}

std::string ControlStream::pendingError() const {
  ControlReply reply = parseRegion(region_, region_.size(), nullptr);
  return reply.ok ? std::string() : reply.error;
}

}  // namespace tesselo::host

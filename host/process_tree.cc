// /proc readers. Every read is of the user's own processes (peers of other
// users are refused before any of this runs); a hidden or vanished entry
// reads as nothing.
#include "host/process_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <string_view>

#include "support/fd_io.h"

namespace tesselo::host {

namespace {

constexpr size_t longestChain = 64;
// A whole environment or command line is rarely more than a few pages; a
// larger one is cut rather than read without bound.
constexpr size_t largestProcFile = 1 << 20;

std::optional<std::string> readProcFile(pid_t pid, const char* name) {
  std::string path = "/proc/" + std::to_string(pid) + "/" + name;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = readSome(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > largestProcFile) break;
  }
  ::close(fd);
  return text;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<ProcessInfo> readProcess(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::optional<std::string> stat = readProcFile(pid, "stat");
  if (!stat) return std::nullopt;
  // The command name in parentheses may hold blanks and parentheses itself;
  // the fields after the last ')' are plain numbers.
  size_t close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::string_view rest = std::string_view(*stat).substr(close + 1);
  ProcessInfo info;
  info.identity.pid = pid;
  // After ")": state (field 3), ppid (4), ... starttime (22).
  int field = 2;
  size_t pos = 0;
  while (pos < rest.size() && field < 22) {
    while (pos < rest.size() && rest[pos] == ' ') ++pos;
    size_t end = rest.find(' ', pos);
    if (end == std::string_view::npos) end = rest.size();
    ++field;
    std::string_view value = rest.substr(pos, end - pos);
    if (field == 4 && !parseNumber(value, info.parent)) return std::nullopt;
    if (field == 22 && !parseNumber(value, info.identity.start)) return std::nullopt;
    pos = end;
  }
  if (field < 22) return std::nullopt;
  return info;
}

std::string processCommandLine(pid_t pid) {
  std::string text = readProcFile(pid, "cmdline").value_or(std::string());
  for (char& c : text)
    if (c == '\0') c = ' ';
  return text;
}

std::optional<std::string> processEnvironment(pid_t pid, const std::string& name) {
  std::optional<std::string> environment = readProcFile(pid, "environ");
  if (!environment) return std::nullopt;
  std::string_view all = *environment;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find('\0', pos);
    if (end == std::string_view::npos) end = all.size();
    std::string_view entry = all.substr(pos, end - pos);
    if (entry.size() > name.size() && entry.substr(0, name.size()) == name &&
        entry[name.size()] == '=')
      return std::string(entry.substr(name.size() + 1));
    pos = end + 1;
  }
  return std::nullopt;
}

bool processAlive(const ProcessIdentity& identity) {
  std::optional<ProcessInfo> now = readProcess(identity.pid);
  return now && now->identity == identity;
}

std::vector<Ancestor> readLineage(pid_t pid) {
  std::vector<Ancestor> lineage;
  for (auto at = readProcess(pid); at && lineage.size() <= longestChain;
       at = readProcess(at->parent)) {
    lineage.push_back({*at, processCommandLine(at->identity.pid)});
    if (at->parent <= 1) break;
  }
  return lineage;
}

std::optional<AgentLocation> locateAgent(const std::vector<Ancestor>& lineage,
                                         const std::set<pid_t>& panePids,
                                         std::string_view hookWord) {
  auto isPane = [&](size_t i) { return panePids.count(lineage[i].process.identity.pid) > 0; };
  // The relay and the shell that runs the hook command name the hook in
  // their command lines; the first ancestor that does not is the agent.
  size_t i = 0;
  for (; i < lineage.size() && lineage[i].commandLine.find(hookWord) != std::string::npos; ++i)
    if (isPane(i)) return std::nullopt;
  if (i == lineage.size()) return std::nullopt;
  AgentLocation location;
  location.agent = lineage[i].process.identity;
  for (; i < lineage.size(); ++i) {
    if (isPane(i)) {
      location.panePid = lineage[i].process.identity.pid;
      return location;
    }
  }
  return std::nullopt;
}

}  // namespace tesselo::host

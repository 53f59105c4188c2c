// What a tmux control client prints, read back into replies. The input
// describes a conversation: replies whose blocks hold any lines at all (among
// them terminators carrying the block's own arguments, %begin lines and
// notification look-alikes), lists that stop at a failing command, and
// notifications between blocks; it is printed as tmux would print it and fed
// in reads of any sizes. Each reply must reach its own command whole, and
// exactly the notifications tmux sent must come out. With the first byte's
// top bit set the rest is fed raw instead, against three awaited replies:
// nothing may crash, and nothing may come back that was not sent.
//
// Layout: byte 0: read size (low six bits; 0 feeds everything at once).
// Then records separated by 0x00; each record's first byte says what it is:
// low two bits 0 or 1: a command (bit 2: it fails; bit 3: a list of two
// commands; bit 4: the first body line is repeated as a terminator of the
// block; bit 5: the sentinel's terminator is forged too), its lines after
// that byte; 2: a notification; 3: a notification between the blocks of the
// next reply.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/control_stream.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::fuzz::require;
using tesselo::host::ControlReply;
using tesselo::host::ControlStream;

namespace {

std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string tokenOf(size_t i) {
  return "tesselo-f0cacc1a-" + std::to_string(i);
}

struct Conversation {
  std::string printed;
  std::vector<std::string> tokens;
  std::vector<ControlReply> replies;
  std::vector<std::string> notifications;
  long number = 100;
  size_t lastTerminator = 0;  // where the latest block's terminator starts
  std::string earlierArgs;    // the arguments of the block before, in a list

  std::string arguments() { return "1700000000 " + std::to_string(number++) + " 1"; }

  void block(std::vector<std::string> body, bool fails, bool forge, const std::string& notification,
             ControlReply& reply) {
    std::string args = arguments();
    // Only a list's first command may print text from outside (the host
    // sends no list whose later commands print a pane or a name), so no
    // later block repeats an earlier one's terminator.
    for (std::string& line : body)
      if (line == "%end " + earlierArgs || line == "%error " + earlierArgs) line = "x";
    earlierArgs = args;
    printed += "%begin " + args + "\n";
    std::string text;
    for (const std::string& line : body) {
      printed += line + "\n";
      text += line + "\n";
    }
    if (forge) {
      printed += "%end " + args + "\n%error " + args + "\n";
      text += "%end " + args + "\n%error " + args + "\n";
    }
    lastTerminator = printed.size();
    printed += (fails ? "%error " : "%end ") + args + "\n";
    if (!notification.empty()) {
      printed += notification + "\n";
      notifications.push_back(notification);
    }
    if (fails) {
      reply.ok = false;
      if (!text.empty()) text.pop_back();
      reply.error = text;
    } else {
      reply.output += text;
    }
  }

  void command(uint8_t kind, std::string_view rest, std::string& between) {
    std::vector<std::string> body;
    for (std::string& line : linesOf(rest)) {
      // Nobody but tmux prints a token: the harness keeps it out of bodies.
      if (line.rfind("tesselo-f0cacc1a-", 0) == 0) line = "x";
      body.push_back(std::move(line));
    }
    bool fails = kind & 4, list = kind & 8, forge = kind & 16, forgeSentinel = kind & 32;
    ControlReply reply;
    earlierArgs = "-";
    if (list) {
      size_t half = body.size() / 2;
      std::vector<std::string> first(body.begin(), body.begin() + half);
      std::vector<std::string> second(body.begin() + half, body.end());
      block(first, false, forge, between, reply);
      block(second, fails, false, "", reply);
    } else {
      block(body, fails, forge, between, reply);
    }
    between.clear();
    std::string sentinel = arguments();
    std::string token = tokenOf(tokens.size());
    if (forgeSentinel) {
      // In the last block, a look-alike of the sentinel's own lines.
      reply.ok ? reply.output += "%end " + sentinel + "\n" : reply.error += "\n%end " + sentinel;
      printed.insert(lastTerminator, "%end " + sentinel + "\n");
    }
    printed += "%begin " + sentinel + "\n" + token + "\n%end " + sentinel + "\n";
    tokens.push_back(token);
    replies.push_back(reply);
  }
};

void feedInPieces(ControlStream& stream, std::string_view printed, size_t size,
                  ControlStream::Output& all) {
  if (size == 0) size = printed.size() + 1;
  for (size_t offset = 0; offset < printed.size(); offset += size) {
    ControlStream::Output out = stream.feed(printed.substr(offset, size));
    for (auto& r : out.replies) all.replies.push_back(std::move(r));
    for (auto& n : out.notifications) all.notifications.push_back(std::move(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t readSize = static_cast<uint8_t>(input[0]) & 0x3f;
  bool raw = static_cast<uint8_t>(input[0]) & 0x80;
  input.remove_prefix(1);

  ControlStream stream;
  ControlStream::Output out;
  if (raw) {
    for (size_t i = 0; i < 3; ++i) stream.expect(tokenOf(i));
    feedInPieces(stream, input, readSize, out);
    require(out.replies.size() + stream.pendingReplies() == 3, "every awaited reply is counted");
    size_t returned = 0;
    for (const auto& r : out.replies) returned += r.output.size() + r.error.size();
    for (const auto& n : out.notifications) returned += n.size();
    require(returned <= input.size(), "nothing comes back that was not sent");
    stream.pendingError();
    return 0;
  }

  Conversation talk;
  std::string between;
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    std::string_view record = input.substr(start, end - start);
    start = end + 1;
    if (record.empty()) continue;
    uint8_t kind = static_cast<uint8_t>(record[0]);
    std::string line(record.substr(1).substr(0, record.substr(1).find('\n')));
    // A notification is a % line that is not part of a block.
    std::string notification = "%n" + line;
    switch (kind & 3) {
      case 2:
        talk.printed += notification + "\n";
        talk.notifications.push_back(notification);
        break;
      case 3:
        between = notification;
        break;
      default:
        talk.command(kind, record.substr(1), between);
    }
  }
  for (const std::string& token : talk.tokens) stream.expect(token);
  feedInPieces(stream, talk.printed, readSize, out);
  require(out.replies.size() == talk.replies.size(), "every reply arrives once");
  require(stream.pendingReplies() == 0, "nothing is still awaited");
  for (size_t i = 0; i < talk.replies.size(); ++i) {
    require(out.replies[i].ok == talk.replies[i].ok, "a reply keeps its outcome");
    require(out.replies[i].output == talk.replies[i].output, "a reply gets its own output whole");
    require(out.replies[i].error == talk.replies[i].error, "a failure keeps its message");
  }
  require(out.notifications == talk.notifications, "exactly the notifications sent come out");
  return 0;
}

// What a tmux control client prints, read back into replies. The input
// describes commands whose blocks hold any lines at all (terminators carrying
// the block's own arguments, %begin lines and notification look-alikes among
// them) and notifications; it is printed as tmux would print it, each command
// followed by its sentinel, and fed in reads of any sizes. Each reply must
// reach its own command whole, and exactly the notifications tmux sent must
// come out. With the first byte's top bit set the rest is fed raw instead,
// against three awaited replies: nothing may crash, and nothing may come back
// that was not sent. The exact rules are the host's unit table.
//
// Layout: byte 0: read size (low six bits; 0 feeds everything at once). Then
// records separated by 0x00, each record's first byte saying what it is:
// bit 0: a notification alone (the record's first line); else a command
// whose block holds the record's lines (bit 1: it fails; bit 2: its body
// repeats its own terminators; bit 3: the notification follows its block).
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "host/control_stream.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::host::ControlReply;
using tesselo::host::ControlStream;

static void check(std::string_view input) {
  if (input.empty()) return;
  size_t readSize = input[0] & 0x3f;
  bool raw = input[0] & 0x80;
  input.remove_prefix(1);
  std::string printed, tokenPrefix = "tesselo-f0cacc1a-";
  std::vector<std::string> tokens, notifications;
  std::vector<ControlReply> replies;
  for (size_t start = 0, end, number = 100; !raw && start < input.size(); start = end + 1) {
    end = std::min(input.find('\0', start), input.size());
    std::string_view record = input.substr(start, end - start);
    if (record.empty()) continue;
    std::string_view body = record.substr(1);
    std::vector<std::string> lines;
    for (size_t from = 0, to = 0; to != body.npos; from = to + 1) {
      lines.emplace_back(body.substr(from, (to = body.find('\n', from)) - from));
      // Nobody but tmux prints a token: the harness keeps it out of bodies.
      if (lines.back().starts_with(tokenPrefix)) lines.back() = "x";
    }
    // A notification is a % line outside every block.
    std::string notification = "%n" + lines[0],
                args = "1700000000 " + std::to_string(number++) + " 1";
    bool command = !(record[0] & 1);
    if (command) {
      if (record[0] & 4) lines.insert(lines.end(), {"%end " + args, "%error " + args});
      std::string text;
      for (const std::string& line : lines) text += line + "\n";
      // A failed block's lines are tmux's message.
      ControlReply& reply = replies.emplace_back();
      reply.ok = !(record[0] & 2);
      (reply.ok ? reply.output : reply.error) = text.substr(0, text.size() - !reply.ok);
      printed += "%begin " + args + "\n" + text + (reply.ok ? "%end " : "%error ") + args + "\n";
    }
    if (record[0] & 9) {
      printed += notification + "\n";
      notifications.push_back(notification);
    }
    if (command) {
      tokens.push_back(tokenPrefix + std::to_string(tokens.size()));
      args = "1700000000 " + std::to_string(number++) + " 1";
      printed += "%begin " + args + "\n" + tokens.back() + "\n%end " + args + "\n";
    }
  }
  if (raw) tokens = {tokenPrefix + "0", tokenPrefix + "1", tokenPrefix + "2"};
  if (raw) printed = input;

  ControlStream stream;
  for (const std::string& token : tokens) stream.expect(token);
  ControlStream::Output out;
  if (readSize == 0) readSize = printed.size() + 1;
  for (size_t offset = 0; offset < printed.size(); offset += readSize) {
    ControlStream::Output got = stream.feed(std::string_view(printed).substr(offset, readSize));
    out.replies.insert(out.replies.end(), got.replies.begin(), got.replies.end());
    out.notifications.insert(out.notifications.end(), got.notifications.begin(),
                             got.notifications.end());
  }
  if (raw) {
    require(out.replies.size() + stream.pendingReplies() == 3, "every awaited reply is counted");
    size_t returned = 0;
    for (const auto& r : out.replies) returned += r.output.size() + r.error.size();
    for (const auto& n : out.notifications) returned += n.size();
    require(returned <= input.size(), "nothing comes back that was not sent");
    stream.pendingError();
    return;
  }
  require(out.replies.size() == replies.size() && stream.pendingReplies() == 0,
          "every reply arrives once, and nothing is still awaited");
  for (size_t i = 0; i < replies.size(); ++i)
    require(out.replies[i].ok == replies[i].ok && out.replies[i].output == replies[i].output &&
                out.replies[i].error == replies[i].error,
            "each command gets its own reply whole, its outcome and message kept");
  require(out.notifications == notifications, "exactly the notifications sent come out");
}

// What a tmux control-mode client prints, read as the replies to the command
// lines written to it and the notifications between them.
//
// Every command line is followed by a sentinel command that prints a token
// nobody else knows; a reply is everything from the command's first block up
// to that token. tmux prints screen text, paths and names inside a block as
// they are, so a line reading "%end ..." may be a pane's content: a block ends
// at the last terminator carrying its own arguments before the sentinel,
// never at the first, and pane content can never end a reply early, pass for
// a notification, or land in another command's reply. In a list of commands
// only the first may print such text: a later block could otherwise repeat
// an earlier one's terminator (the host sends no such list).
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace tesselo::host {

struct ControlReply {
  bool ok = true;
  std::string output;  // the output of the command's blocks, each line with its line feed
  std::string error;   // tmux's message when a command failed
};

// The line that prints `token`, written after each command line.
std::string sentinelCommand(std::string_view token);

class ControlStream {
 public:
  // The token that ends the next reply; called in the order in which the
  // command lines are written, before they are.
  void expect(std::string token);
  size_t pendingReplies() const { return tokens_.size(); }

  struct Output {
    std::vector<ControlReply> replies;  // in the order of expect()
    std::vector<std::string> notifications;
  };
  // Takes bytes as they arrive, cut anywhere.
  Output feed(std::string_view bytes);

  // The message of a failed block in the reply still being collected: what
  // tmux said before it closed the connection (a refused attach, say).
  std::string pendingError() const;

 private:
  void takeLine(std::string line, Output& out);

  std::string partial_;
  std::deque<std::string> tokens_;
  std::vector<std::string> region_;
  bool sentinelTerminatorDue_ = false;
  std::string unawaitedBlock_;  // arguments of a block nobody waits for
};

}  // namespace tesselo::host

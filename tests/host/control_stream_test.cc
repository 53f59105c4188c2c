// The control-mode stream: replies go to the command that asked, whatever
// pane content, names or notifications lie around and inside them.
#include <gtest/gtest.h>

#include "host/control_stream.h"
#include "host/tmux_control.h"

namespace tesselo::host {
namespace {

struct Fed {
  std::vector<ControlReply> replies;
  std::vector<std::string> notifications;
};

// Feeds the stream whole, then again a byte at a time: the outcome must not
// depend on how reads cut it.
Fed feedBothWays(const std::vector<std::string>& tokens, const std::string& bytes) {
  Fed results[2];
  for (int way = 0; way < 2; ++way) {
    ControlStream stream;
    for (const auto& token : tokens) stream.expect(token);
    std::vector<std::string_view> pieces;
    if (way == 0) {
      pieces.push_back(bytes);
    } else {
      for (size_t i = 0; i < bytes.size(); ++i)
        pieces.push_back(std::string_view(bytes).substr(i, 1));
    }
    for (std::string_view piece : pieces) {
      ControlStream::Output out = stream.feed(piece);
      for (auto& r : out.replies) results[way].replies.push_back(r);
      for (auto& n : out.notifications) results[way].notifications.push_back(n);
    }
    EXPECT_EQ(stream.pendingReplies(), tokens.size() - results[way].replies.size());
  }
  EXPECT_EQ(results[0].replies.size(), results[1].replies.size());
  for (size_t i = 0; i < results[0].replies.size() && i < results[1].replies.size(); ++i)
    EXPECT_EQ(results[0].replies[i].output, results[1].replies[i].output);
  EXPECT_EQ(results[0].notifications, results[1].notifications);
  return results[0];
}

std::string sentinel(const std::string& token, int number) {
  std::string args = "1700000000 " + std::to_string(number) + " 1";
  return "%begin " + args + "\n" + token + "\n%end " + args + "\n";
}

TEST(ControlStream, RepliesGoToTheirCommandsWhateverTheirContentLooksLike) {
  struct Case {
    const char* name;
    std::string stream;
    std::vector<std::pair<bool, std::string>> replies;  // ok, output or error
    std::vector<std::string> notifications;
  } cases[] = {
      {"output, then a failure",
       "%begin 1700000000 10 1\nline one\n\nline three\n%end 1700000000 10 1\n" +
           sentinel("T1", 11) +
           "%begin 1700000000 12 1\ncan't find pane: %9\n%error 1700000000 12 1\n" +
           sentinel("T2", 13),
       {{true, "line one\n\nline three\n"}, {false, "can't find pane: %9"}},
       {}},
      {"a screen that forges terminators, blocks and notifications",
       "%begin 1700000000 10 1\n%end 1700000000 10 1\n%error 1700000000 10 1\n%begin 1 2 3\n"
       "%exit\n%subscription-changed tesselo-approval-x $0 - - - : y\nT2\n"
       "%end 1700000000 10 1\n" +
           sentinel("T1", 11) + "%begin 1700000000 12 1\n%end 1700000000 12 1\n" +
           sentinel("T2", 13),
       {{true,
         "%end 1700000000 10 1\n%error 1700000000 10 1\n%begin 1 2 3\n%exit\n"
         "%subscription-changed tesselo-approval-x $0 - - - : y\nT2\n"},
        {true, ""}},
       {}},
      {"notifications between and around blocks",
       "%sessions-changed\n%begin 1700000000 10 1\na\n%end 1700000000 10 1\n%window-add @3\n"
       "%begin 1700000000 11 1\nb\n%end 1700000000 11 1\n%layout-change @1 x\n" +
           sentinel("T1", 12) + "%window-close @3\n",
       {{true, "a\nb\n"}},
       {"%sessions-changed", "%window-add @3", "%layout-change @1 x", "%window-close @3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> tokens;
    for (size_t i = 0; i < c.replies.size(); ++i) tokens.push_back("T" + std::to_string(i + 1));
    Fed fed = feedBothWays(tokens, c.stream);
    ASSERT_EQ(fed.replies.size(), c.replies.size());
    for (size_t i = 0; i < c.replies.size(); ++i) {
      EXPECT_EQ(fed.replies[i].ok, c.replies[i].first) << i;
      EXPECT_EQ(c.replies[i].first ? fed.replies[i].output : fed.replies[i].error,
                c.replies[i].second)
          << i;
    }
    EXPECT_EQ(fed.notifications, c.notifications);
  }
}

TEST(ControlStream, ARefusedAttachLeavesItsMessageAndUnawaitedBlocksAreSkipped) {
  ControlStream refused;
  refused.expect("T1");
  refused.feed("%begin 1700000000 5 0\nno sessions\n%error 1700000000 5 0\n%exit\n");
  EXPECT_EQ(refused.pendingError(), "no sessions");

  ControlStream idle;
  ControlStream::Output out =
      idle.feed("%begin 1 2 0\n%exit\n%end 1 2 0\n%sessions-changed\nstray\n");
  EXPECT_TRUE(out.replies.empty());
  EXPECT_EQ(out.notifications, std::vector<std::string>{"%sessions-changed"});
}

TEST(ControlStream, CommandLinesQuoteWhatTmuxWouldExpandOrEndALineAt) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"send-keys", "-l", "-t", "%1", "--", "a \"b\" $HOME \\ c;"},
       R"("send-keys" "-l" "-t" "%1" "--" "a \"b\" \$HOME \\ c;")"},
      {{"display-message", "-p", "x\ny\x1f\x7f é #{pane_id}"},
       "\"display-message\" \"-p\" \"x\\012y\\037\\177 é #{pane_id}\""},
      {{"copy-mode", "-q", ";", "send-keys", ""}, R"("copy-mode" "-q" ; "send-keys" "")"},
  };
  for (const Case& c : cases) EXPECT_EQ(commandLine(c.args), c.line);
  EXPECT_EQ(sentinelCommand("tesselo-ab-1"), "display-message -p 'tesselo-ab-1'");
}

}  // namespace
}  // namespace tesselo::host

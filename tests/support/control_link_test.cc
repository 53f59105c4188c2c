// The control link reads the answer's first line and goes on without waiting
// for the application to hang up. What else an answer may be, cut anywhere,
// is the CLI runner's and the control_response fuzz target's part.
#include "support/control_link.h"

#include <gtest/gtest.h>

#include "tests/common/fake_app.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

TEST(ControlLink, TheAnswerLineIsTakenWhileTheConnectionStaysOpen) {
  test::TempDir dir;
  test::FakeApp app(dir.file("s"));
  test::ScopedEnv socket("TESSELO_SOCKET", app.path());
  test::Reply reply = test::jsonReply({{"text", "x"}});
  reply.keepOpen = true;
  app.answerDefault(reply);
  LinkOutcome outcome = exchange({{"method", "read"}});
  EXPECT_EQ(outcome.failure, LinkFailure::none);
  EXPECT_EQ(outcome.response, Json({{"text", "x"}}));
}

}  // namespace
}  // namespace tesselo

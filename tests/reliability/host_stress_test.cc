// tesselo-host with five hundred clients at once: waits that hold their
// connection, malformed and oversized lines, lists and reads, clients that
// leave mid-request or mid-wait. Every client that stays gets its own
// answer, and a second burst shows every connection slot was given back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/fd_io.h"
#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

// One kind of client: what it sends, the start its answer must have (none:
// it leaves once its bytes are out).
struct Kind {
  std::string request, answer;
};

// All clients connect first, and nothing is sent until the host holds every
// one of them at once (it runs with exactly as many slots); then every
// request goes out, and the answers are collected.
std::vector<std::string> burst(const HostWorld& world, const std::vector<const Kind*>& plan) {
  std::vector<int> fds(plan.size(), -1);
  if (!holdConnections(world.socket, fds))
    ADD_FAILURE() << "the host never held all " << plan.size() << " clients at once";
  for (size_t i = 0; i < plan.size(); ++i) {
    if (fds[i] >= 0) sendAll(fds[i], plan[i]->request);
    if (fds[i] >= 0 && plan[i]->answer.empty()) close(std::exchange(fds[i], -1));
  }
  // The host ends every connection once it has answered.
  std::vector<std::string> answers(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    if (fds[i] < 0) continue;
    readToEnd(fds[i], answers[i]);
    close(fds[i]);
  }
  return answers;
}

TEST(HostStress, FiveHundredClientsAtOnceAreEachAnsweredAndTheHostServesOn) {
  constexpr size_t clientCount = 500;
  HostWorld world;
  ASSERT_TRUE(world.startHost({"--allow-send", "--max-connections", std::to_string(clientCount)}));
  const std::string pane = world.paneIds().at(0);
  auto line = [](const Json& request) { return request.dump() + "\n"; };
  auto wait = [&](int seconds) {
    return line({{"method", "wait"}, {"panel", pane}, {"until", "blocked"}, {"timeout", seconds}});
  };
  const Kind kinds[] = {
      {wait(1), R"({"timeout":true)"},
      {wait(1), R"({"timeout":true)"},
      {"[1,2]\n", R"({"error":"malformed request)"},
      {line({{"method", "send"}, {"panel", pane}, {"text", std::string((1 << 20) + 4096, 'a')}}),
       R"({"error":"request too large)"},
      {"{\"method\":\"list\"}\n", R"({"terminals":[{)"},
      {line({{"method", "read"}, {"panel", pane}, {"lines", 5}}), R"({"text":)"},
      {"{\"method\":\"li", ""},
      {wait(600), ""},
  };
  std::vector<const Kind*> plan;
  for (size_t i = 0; i < clientCount; ++i) plan.push_back(&kinds[i % std::size(kinds)]);
  std::vector<std::string> answers = burst(world, plan);
  for (size_t i = 0; i < answers.size(); ++i)
    EXPECT_TRUE(answers[i].starts_with(plan[i]->answer)) << i << ": " << answers[i].substr(0, 200);

  // The clients that left, waits included, are noticed (within a second or
  // so) and let go, so a second burst of as many lists is held and answered
  // whole.
  size_t listed = 0;
  eventually([&] {
    listed = 0;
    for (const std::string& answer : burst(world, std::vector(clientCount, &kinds[4])))
      listed += answer.starts_with(kinds[4].answer);
    return listed == clientCount;
  });
  EXPECT_EQ(listed, clientCount) << "connection slots were not given back";
  EXPECT_EQ(world.stopHost(), 0);
}

}  // namespace
}  // namespace tesselo::test

// tesselo-host with five hundred clients at once: waits that hold their
// connection, malformed and oversized lines, lists and reads, clients that
// leave mid-request or mid-wait. Every client that stays gets its own
// answer, and a second burst shows every connection slot was given back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/host/host_fixture.h"

namespace tesselo::test {
namespace {

// One kind of client: what it sends, the start its answer must have, and
// whether it leaves once its bytes are out.
struct Kind {
  std::string request;
  std::string answer;
  bool leaves = false;
};

struct Client {
  int fd = -1;
  std::string out;
  std::string answer;
  bool done = false;
};

// All clients connect first, and nothing is sent until the host holds every
// one of them at once (it runs with exactly as many slots); then all requests
// go out together and the answers are collected as they come.
std::vector<Client> burst(const HostWorld& world, const std::vector<const Kind*>& plan) {
  std::vector<int> fds(plan.size(), -1);
  if (!holdConnections(world.socket, fds))
    ADD_FAILURE() << "the host never held all " << plan.size() << " clients at once";
  std::vector<Client> clients(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    clients[i] = {fds[i], plan[i]->request, "", fds[i] < 0};
    if (fds[i] >= 0) fcntl(fds[i], F_SETFL, O_NONBLOCK);
  }
  auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (std::chrono::steady_clock::now() < guard) {
    std::vector<pollfd> polled;
    std::vector<size_t> owners;
    for (size_t i = 0; i < clients.size(); ++i)
      if (!clients[i].done) {
        polled.push_back(
            {clients[i].fd, short(POLLIN | (clients[i].out.empty() ? 0 : POLLOUT)), 0});
        owners.push_back(i);
      }
    if (polled.empty() || poll(polled.data(), polled.size(), 1000) < 0) break;
    for (size_t j = 0; j < polled.size(); ++j) {
      Client& c = clients[owners[j]];
      if (polled[j].revents & POLLOUT) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) c.out.erase(0, size_t(n));
        if (n < 0 && errno != EAGAIN) c.out.clear();
        if (c.out.empty() && plan[owners[j]]->leaves) c.done = true;
      }
      if (!c.done && (polled[j].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buffer[65536];
        ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) c.answer.append(buffer, size_t(n));
        c.done = n == 0 || (n < 0 && errno != EAGAIN) || c.answer.find('\n') != std::string::npos;
      }
    }
  }
  for (Client& c : clients)
    if (c.fd >= 0) close(c.fd);
  return clients;
}

TEST(HostStress, FiveHundredClientsAtOnceAreEachAnsweredAndTheHostServesOn) {
  constexpr size_t clientCount = 500;
  HostWorld world;
  ASSERT_TRUE(world.startHost({"--allow-send", "--max-connections", std::to_string(clientCount)}));
  const std::string pane = world.paneIds().at(0);
  auto wait = [&](int seconds) {
    return Json({{"method", "wait"}, {"panel", pane}, {"until", "blocked"}, {"timeout", seconds}})
               .dump() +
           "\n";
  };
  const Kind kinds[] = {
      {wait(1), R"({"timeout":true)"},
      {wait(1), R"({"timeout":true)"},
      {"[1,2]\n", R"({"error":"malformed request)"},
      {R"({"method":"send","panel":")" + pane + R"(","text":")" +
           std::string((1 << 20) + 4096, 'a') + "\"}\n",
       R"({"error":"request too large)"},
      {"{\"method\":\"list\"}\n", R"({"terminals":[{)"},
      {Json({{"method", "read"}, {"panel", pane}, {"lines", 5}}).dump() + "\n", R"({"text":)"},
      {"{\"method\":\"li", "", true},
      {wait(600), "", true},
  };
  std::vector<const Kind*> plan;
  for (size_t i = 0; i < clientCount; ++i) plan.push_back(&kinds[i % std::size(kinds)]);
  std::vector<Client> clients = burst(world, plan);
  for (size_t i = 0; i < clients.size(); ++i) {
    if (plan[i]->leaves) continue;
    EXPECT_EQ(clients[i].answer.substr(0, plan[i]->answer.size()), plan[i]->answer)
        << "client " << i << ": " << clients[i].answer.substr(0, 200);
  }

  // The clients that left, waits included, are noticed (within a second or
  // so) and let go, so a second burst of as many lists is held and answered
  // whole.
  std::vector<const Kind*> lists(clientCount, &kinds[4]);
  size_t listed = 0;
  eventually([&] {
    listed = 0;
    for (const Client& c : burst(world, lists)) listed += c.answer.rfind(kinds[4].answer, 0) == 0;
    return listed == clientCount;
  });
  EXPECT_EQ(listed, clientCount) << "connection slots were not given back";
  EXPECT_EQ(world.stopHost(), 0);
}

}  // namespace
}  // namespace tesselo::test

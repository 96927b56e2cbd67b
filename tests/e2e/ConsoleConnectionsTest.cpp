// The console's connection limit against idle and half-sent requests: the
// operator still gets the page, and the gateway says what it closed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <thread>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"

namespace {

uint16_t ConsolePort(TGatewayRig& rig) {
  const int line = rig.WaitGate("Console http://127.0.0.1:", 3s);
  if (line < 0) return 0;
  std::smatch m;
  const std::string text = rig.gateway->Lines()[static_cast<size_t>(line)];
  return std::regex_search(text, m, std::regex(":(\\d+)/")) ? std::stoi(m[1]) : 0;
}

// Everything the server sends until it closes or `timeout` passes.
std::string ReadReply(int fd, std::chrono::milliseconds timeout) {
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
    if (reply.find("</html>") != std::string::npos) break;
  }
  return reply;
}

TEST(ConsoleConnections, EightyIdleConnectionsDoNotLockTheOperatorOut) {
  TGatewayRig rig;
  rig.StartGateway();
  const uint16_t port = ConsolePort(rig);
  ASSERT_NE(port, 0);
  const size_t from = rig.gateway->LineCount();

  // Half of them say nothing, half send part of a request.
  std::vector<int> idle;
  for (int i = 0; i < 80; ++i) {
    const int fd = ConnectTcp(port);
    ASSERT_GE(fd, 0);
    if (i % 2) {
      const std::string part = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
      ASSERT_EQ(write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    }
    idle.push_back(fd);
  }

  const int op = ConnectTcp(port);
  ASSERT_GE(op, 0);
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(write(op, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  const std::string reply = ReadReply(op, 10s);
  close(op);
  EXPECT_TRUE(reply.starts_with("HTTP/1.1 200")) << reply.substr(0, 200);
  EXPECT_NE(reply.find("</html>"), std::string::npos);

  // Named with their peer address, a few lines and then a count.
  EXPECT_GE(rig.WaitGate("more connections closed to admit others", 10s, from), 0);
  const std::vector<std::string> lines = rig.gateway->Lines();
  const auto named = std::count_if(
      lines.begin() + static_cast<ptrdiff_t>(from), lines.end(), [](const std::string& l) {
        return l.find("Console: connection from 127.0.0.1:") != std::string::npos;
      });
  EXPECT_GE(named, 1);
  EXPECT_LE(named, 5);
  for (int fd : idle) close(fd);
}

// Sixty-four connections that pipeline requests for a large file and never read
// a reply: the health check is still answered, as a balancer must see it.
TEST(ConsoleConnections, PipeliningReadersThatNeverReadDoNotSilenceTheHealthCheck) {
  TGatewayRig rig;
  ASSERT_TRUE(rig.StartLinked());
  const uint16_t port = ConsolePort(rig);
  ASSERT_NE(port, 0);
  std::string burst;
  // The largest file the console serves, 200 times over.
  for (int i = 0; i < 200; ++i)
    burst += "GET /vendor/chart.min.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<int> hostile;
  for (int i = 0; i < 64; ++i) {
    // A small receive buffer: the first reply already stalls.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    // What the socket takes; the rest of the burst is not needed.
    const ssize_t sent = send(fd, burst.data(), burst.size(), MSG_DONTWAIT);
    EXPECT_GT(sent, 0);
    hostile.push_back(fd);
  }
  std::this_thread::sleep_for(1500ms);  // every reply stalls
  int answered = 0;
  for (int i = 0; i < 10; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = ConsoleGet(rig, "/healthz");
    if (reply.starts_with("HTTP/1.1 200") && std::chrono::steady_clock::now() - start < 1s)
      ++answered;
  }
  EXPECT_EQ(answered, 10);
  EXPECT_GE(rig.WaitGate("without taking its reply", 3s), 0);
  for (int fd : hostile) close(fd);
}

}  // namespace

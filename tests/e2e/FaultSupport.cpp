#include "e2e/FaultSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <stdexcept>

#include <boost/asio/post.hpp>

// --- FakeServerTest ---------------------------------------------------------

TGatewayRig::TOptions FakeServerTest::FakeServerOptions() {
  TGatewayRig::TOptions options;
  options.startGameServer = false;
  options.connectOutTime = 60;
  return options;
}

void FakeServerTest::StartLinked(const TGatewayRig::TOptions& options) {
  rig = std::make_unique<TGatewayRig>(options);
  server = std::make_unique<TFakeGameServer>(rig->serverPort);
  rig->StartGateway();
  ASSERT_TRUE(server->WaitLinks(1, 10s));
  ASSERT_GE(rig->WaitGate(kLinkUp, 5s), 0);
}

void FakeServerTest::TearDown() {
  if (!HasFailure() || !rig || !rig->gateway) return;
  const auto lines = rig->gateway->Lines();
  const size_t first = lines.size() > shownGatewayLines ? lines.size() - shownGatewayLines : 0;
  for (size_t i = first; i < lines.size(); ++i)
    std::fprintf(stderr, "gateway| %s\n", lines[i].c_str());
}

// --- TFakeGameServer ----------------------------------------------------------

TFakeGameServer::TFakeGameServer(uint16_t port) : work_(io_.get_executor()), server_(io_, *this) {
  server_.Listen("127.0.0.1", port);
  thread_ = std::thread([this] { io_.run(); });
}

TFakeGameServer::~TFakeGameServer() {
  OnLoop([this] { server_.Stop(); });
  work_.reset();
  io_.stop();
  thread_.join();
}

void TFakeGameServer::OnLoop(const std::function<void()>& work) {
  std::promise<void> done;
  boost::asio::post(io_, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void TFakeGameServer::OnLinkUp(int link) {
  if (link_) server_.DropLink(link_);
  std::lock_guard<std::mutex> lock(mutex_);
  link_ = link;
  ++links_;
  cv_.notify_all();
}

void TFakeGameServer::OnFrame(int link, const testkit::Frame& f) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.push_back(TLinkFrame{link, f.Header, f.Payload});
  cv_.notify_all();
}

void TFakeGameServer::OnGarbage(int, size_t skipped) {
  std::lock_guard<std::mutex> lock(mutex_);
  skipped_ += skipped;
}

void TFakeGameServer::OnLinkDown(int link) {
  server_.DropLink(link);
  std::lock_guard<std::mutex> lock(mutex_);
  if (link == link_) link_ = 0;
  cv_.notify_all();
}

bool TFakeGameServer::WaitLinks(int n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return links_ >= n && link_ != 0; });
}

int TFakeGameServer::Links() {
  std::lock_guard<std::mutex> lock(mutex_);
  return links_;
}

bool TFakeGameServer::WaitLinkClosed(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return link_ == 0; });
}

void TFakeGameServer::SetReading(bool reading) {
  OnLoop([&] { server_.SetReading(reading); });
}

bool TFakeGameServer::Send(const std::string& bytes) {
  std::promise<bool> written;
  OnLoop([&] {
    auto done = [&written](bool ok) { written.set_value(ok); };
    if (!link_ || !server_.Send(link_, bytes, 1, 0, done)) written.set_value(false);
  });
  return written.get_future().get();
}

std::string TFakeGameServer::Frame(uint16_t ident, int32_t handle, const std::string& payload,
                                   int32_t nLength) {
  return testkit::BuildFrame(ident, 0, handle, 0, nLength, payload);
}

bool TFakeGameServer::SendData(int32_t handle, const TDefaultMessage& m, const std::string& body) {
  std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
  if (!body.empty()) payload += body + '\0';
  return SendFrame(GM_DATA, handle, payload);
}

void TFakeGameServer::DropLink(bool reset) {
  OnLoop([&] {
    if (!link_) return;
    server_.DropLink(link_, reset);
    std::lock_guard<std::mutex> lock(mutex_);
    link_ = 0;
    cv_.notify_all();
  });
}

std::vector<TLinkFrame> TFakeGameServer::Frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

size_t TFakeGameServer::SkippedBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return skipped_;
}

size_t TFakeGameServer::FrameCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_.size();
}

std::optional<TLinkFrame> TFakeGameServer::WaitFrame(
    const std::function<bool(const TLinkFrame&)>& match, std::chrono::milliseconds timeout,
    size_t from) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<TLinkFrame> found;
  cv_.wait_for(lock, timeout, [&] {
    for (size_t i = from; i < frames_.size(); ++i)
      if (match(frames_[i])) {
        found = frames_[i];
        return true;
      }
    return false;
  });
  return found;
}

int32_t TFakeGameServer::WaitOpen(std::chrono::milliseconds timeout, size_t from) {
  auto f = WaitFrame([](const TLinkFrame& x) { return x.header.wIdent == GM_OPEN; }, timeout, from);
  return f ? f->header.wGSocketIdx : -1;
}

// --- raw clients, memory, logs ------------------------------------------------

int ConnectTcp(uint16_t port, const std::string& sourceAddr) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (!sourceAddr.empty()) {
    inet_pton(AF_INET, sourceAddr.c_str(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      return -1;
    }
  }
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void ResetClose(int fd) {
  const linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

int64_t WaitRssAtMost(pid_t pid, int64_t limitKb, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int64_t rss = testkit::ResidentKb(pid);
  while (rss > limitKb && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(100ms);
    rss = testkit::ResidentKb(pid);
  }
  return rss;
}

bool WaitLogFileLine(const TGatewayRig& rig, const std::string& text,
                     std::chrono::milliseconds timeout) {
  namespace fs = std::filesystem;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(rig.dir.File("Log"), ec), end; !ec && it != end;
         it.increment(ec)) {
      if (!it->is_regular_file()) continue;
      std::ifstream in(it->path(), std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      if (ss.str().find(text) != std::string::npos) return true;
    }
    std::this_thread::sleep_for(200ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool AddressCountIsIdle(uint16_t port, const std::string& addr, int ipCount,
                        const std::function<void()>& whileHeld) {
  std::vector<std::unique_ptr<TWsClient>> admitted;
  bool idle = true;
  for (int i = 0; i < ipCount - 1 && idle; ++i) {
    auto c = std::make_unique<TWsClient>();
    bool text = false;
    idle = c->Connect(port, addr) && c->ReadRaw(3s, &text) == std::optional<std::string>("ok");
    admitted.push_back(std::move(c));
  }
  if (idle) {
    TWsClient refused;
    idle = !refused.Connect(port, addr) || refused.WaitClosed(3s);
  }
  if (idle && whileHeld) whileHeld();
  for (auto& c : admitted) c->Close();
  return idle;
}

void RaiseFdLimit() {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
}

TPortHolder::TPortHolder() {
  fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 4) == 0) {
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
}

TPortHolder::~TPortHolder() {
  close(fd);
}

int CountClosedByPeer(const std::vector<int>& fds) {
  int closed = 0;
  for (int fd : fds) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) ++closed;
  }
  return closed;
}

namespace {

// One request to the console on the port its start-up line names; the whole
// reply, empty when the console does not answer.
std::string ConsoleExchange(TGatewayRig& rig, const std::string& request) {
  uint16_t port = 0;
  for (const std::string& line : rig.gateway->Lines())
    if (const size_t at = line.find("Console http://127.0.0.1:"); at != std::string::npos)
      port = static_cast<uint16_t>(std::atoi(line.c_str() + at + 25));
  const int fd = port ? ConnectTcp(port) : -1;
  if (fd < 0) return {};
  std::string reply;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 3000) > 0) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      reply.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return reply;
}

}  // namespace

std::string ConsoleGet(TGatewayRig& rig, const std::string& target, const std::string& headers) {
  return ConsoleExchange(rig, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
                                  "Connection: close\r\n\r\n");
}

std::string ConsolePost(TGatewayRig& rig, const std::string& target, const std::string& token,
                        const std::string& body) {
  return ConsoleExchange(rig, "POST " + target +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://127.0.0.1\r\n"
                                  "Authorization: Bearer " +
                                  token + "\r\nContent-Type: application/json\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                  body);
}

void FakeServerTest::ExpectDelivered(TWsClient& ws, int32_t handle, const std::string& tag) {
  ASSERT_TRUE(server->SendData(handle, SM_HEAR, tag));
  for (;;) {
    auto msg = ws.ReadMsg(std::chrono::seconds(30));
    ASSERT_TRUE(msg) << tag;
    if (!msg->isText && msg->body == tag) return;
  }
}

void FakeServerTest::ExpectRoundTrip(TWsClient& ws, int32_t handle, const std::string& tag) {
  const size_t from = server->FrameCount();
  ws.SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, tag));
  EXPECT_TRUE(server->WaitFrame(
      [&](const TLinkFrame& f) { return f.payload.find(tag) != std::string::npos; },
      std::chrono::seconds(10), from))
      << tag;
  ExpectDelivered(ws, handle, "re:" + tag);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool WaitNoOpenConnections(TGatewayRig& rig, std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        auto m = ReadMetrics(rig);
        return m.count("tavrel_open_connections") && m["tavrel_open_connections"] == 0;
      },
      timeout);
}

std::map<std::string, double> ReadMetrics(TGatewayRig& rig) {
  std::map<std::string, double> out;
  const std::string reply = ConsoleGet(rig, "/metrics");
  std::istringstream body(reply.substr(std::min(reply.size(), reply.find("\r\n\r\n"))));
  for (std::string line; std::getline(body, line);) {
    if (line.empty() || line[0] == '#' || line[0] == '\r') continue;
    const size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    out[line.substr(0, space)] = std::atof(line.c_str() + space + 1);
  }
  return out;
}

int32_t JoinThroughFakeServer(TGatewayRig& rig, TFakeGameServer& server, TWsClient& ws,
                              const std::string& account, const std::string& source) {
  const size_t from = server.FrameCount();
  EXPECT_TRUE(ws.Connect(rig.gatePort, source));
  EXPECT_TRUE(ws.Login(account, account, account));
  auto login = server.WaitFrame(
      [&](const TLinkFrame& f) {
        return f.header.wIdent == GM_H5DATA &&
               f.payload.find("*#" + account + "/") != std::string::npos;
      },
      5s, from);
  EXPECT_TRUE(login) << account;
  return login ? static_cast<int32_t>(login->header.wGSocketIdx) : -1;
}

#include "e2e/FaultSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "protocol/GateFrame.h"

// --- TFakeGameServer ----------------------------------------------------------

TFakeGameServer::TFakeGameServer(uint16_t port) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 8) != 0 || pipe2(wakeFd_, O_CLOEXEC) != 0)
    throw std::runtime_error("fake game server: cannot listen");
  thread_ = std::thread([this] { Loop(); });
}

TFakeGameServer::~TFakeGameServer() {
  stop_ = true;
  if (write(wakeFd_[1], "x", 1) < 0) {
  }
  thread_.join();
  if (linkFd_ >= 0) close(linkFd_);
  close(listenFd_);
  close(wakeFd_[0]);
  close(wakeFd_[1]);
}

void TFakeGameServer::Loop() {
  std::vector<char> buf(1 << 16);
  while (!stop_) {
    pollfd fds[3] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}, {-1, 0, 0}};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fds[2].fd = linkFd_;
      // Not reading: only a hang-up is noticed, the data stays unread.
      fds[2].events = reading_ ? POLLIN : POLLRDHUP;
    }
    if (poll(fds, 3, 50) <= 0) continue;
    if (fds[1].revents) {
      char c[16];
      if (read(wakeFd_[0], c, sizeof c) < 0) {
      }
    }
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (linkFd_ >= 0) close(linkFd_);
        linkFd_ = fd;
        ++links_;
        inbound_.clear();
        cv_.notify_all();
      }
      continue;
    }
    if (fds[2].fd < 0 || !fds[2].revents) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (linkFd_ != fds[2].fd) continue;
    ssize_t n = 0;
    if (reading_ && (fds[2].revents & POLLIN)) n = read(linkFd_, buf.data(), buf.size());
    if (n > 0) {
      inbound_.append(buf.data(), static_cast<size_t>(n));
      CutFrames(links_);
    } else if (n < 0 || (fds[2].revents & (POLLHUP | POLLERR | POLLRDHUP)) || reading_) {
      close(linkFd_);
      linkFd_ = -1;
    }
    cv_.notify_all();
  }
}

void TFakeGameServer::CutFrames(int link) {
  size_t consumed = 0, framed = 0;
  CutGateFrames(
      inbound_.data(), inbound_.size(), consumed,
      [&](const TGateFrame& f) {
        framed += sizeof(TMsgHeader) + f.payloadSize;
        frames_.push_back(TLinkFrame{link, f.header, std::string(f.payload, f.payloadSize)});
      },
      [](const TMsgHeader&) {});
  skipped_ += consumed - framed;
  inbound_.erase(0, consumed);
}

bool TFakeGameServer::WaitLinks(int n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return links_ >= n && linkFd_ >= 0; });
}

int TFakeGameServer::Links() {
  std::lock_guard<std::mutex> lock(mutex_);
  return links_;
}

bool TFakeGameServer::WaitLinkClosed(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return linkFd_ < 0; });
}

void TFakeGameServer::SetReading(bool reading) {
  std::lock_guard<std::mutex> lock(mutex_);
  reading_ = reading;
  if (write(wakeFd_[1], "x", 1) < 0) {
  }
}

bool TFakeGameServer::Send(const std::string& bytes) {
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd = linkFd_ >= 0 ? dup(linkFd_) : -1;
  }
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == bytes.size();
}

std::string TFakeGameServer::Frame(uint16_t ident, int32_t handle, const std::string& payload,
                                   int32_t nLength) {
  std::string out;
  const TMsgHeader header = MakeGateHeader(ident, 0, handle, 0, nLength);
  out.append(reinterpret_cast<const char*>(&header), sizeof header);
  out.append(payload);
  return out;
}

bool TFakeGameServer::SendData(int32_t handle, const TDefaultMessage& m, const std::string& body) {
  std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
  if (!body.empty()) payload += body + '\0';
  return SendFrame(GM_DATA, handle, payload);
}

void TFakeGameServer::DropLink(bool reset) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (linkFd_ < 0) return;
  if (reset)
    ResetClose(linkFd_);
  else
    close(linkFd_);
  linkFd_ = -1;
  cv_.notify_all();
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

int64_t RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  return 0;
}

int64_t WaitRssAtMost(pid_t pid, int64_t limitKb, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int64_t rss = RssKb(pid);
  while (rss > limitKb && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(100ms);
    rss = RssKb(pid);
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

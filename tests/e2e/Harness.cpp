#include "e2e/Harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <random>
#include <stdexcept>

#include "loadgen/ClientStream.h"
#include "protocol/EDcode.h"
#include "translate/Zlib.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// Binds 127.0.0.1:`port` (0: any) and returns the port bound, 0 on failure.
uint16_t BindLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  close(fd);
  return bound ? ntohs(addr.sin_port) : 0;
}

}  // namespace

uint16_t FreePort() {
  // Below the range the kernel hands out to outgoing connections: a port
  // from it could be taken by another test's client socket before the
  // server it was chosen for listens on it.
  static std::mt19937 random(std::random_device{}());
  int low = 32768;
  if (std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range"); range) range >> low;
  const int from = std::max(1024, low - 12000);
  for (int attempt = 0; attempt < 50 && from < low - 1; ++attempt) {
    const int port = std::uniform_int_distribution<int>(from, low - 1)(random);
    if (BindLoopback(static_cast<uint16_t>(port)) != 0) return static_cast<uint16_t>(port);
  }
  return BindLoopback(0);
}

// --- TProcess ---------------------------------------------------------------

TProcess::TProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::string& cwd, int keepFd) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  reader_ = std::thread([this] { ReadLoop(stdout_); });
}

TProcess::~TProcess() {
  if (!exited_) {
    kill(pid_, SIGKILL);
    WaitExit(5s);
  }
  if (stdin_ >= 0) close(stdin_);
  if (reader_.joinable()) reader_.join();
  close(stdout_);
}

void TProcess::ReadLoop(int fd) {
  std::string partial;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    partial.append(buf, static_cast<size_t>(n));
    size_t nl;
    std::lock_guard<std::mutex> lock(mutex_);
    while ((nl = partial.find('\n')) != std::string::npos) {
      lines_.push_back(partial.substr(0, nl));
      partial.erase(0, nl + 1);
    }
    cv_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!partial.empty()) lines_.push_back(partial);
  cv_.notify_all();
}

int TProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout, size_t from) {
  std::unique_lock<std::mutex> lock(mutex_);
  int found = -1;
  cv_.wait_for(lock, timeout, [&] {
    for (size_t i = from; i < lines_.size(); ++i)
      if (lines_[i].find(text) != std::string::npos) {
        found = static_cast<int>(i);
        return true;
      }
    return false;
  });
  return found;
}

std::vector<std::string> TProcess::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

size_t TProcess::LineCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

void TProcess::WriteLine(const std::string& line) {
  std::string l = line + "\n";
  if (write(stdin_, l.data(), l.size()) < 0) {
  }
}

void TProcess::Signal(int sig) {
  kill(pid_, sig);
}

std::optional<int> TProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (exited_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    std::this_thread::sleep_for(5ms);
  }
  return std::nullopt;
}

// --- TWsClient ---------------------------------------------------------------
// Blocking calls over asynchronous operations: one read is always pending and
// fills an inbox, and every wait runs the client's own io_context against a
// deadline (socket timeouts do not bound Asio's synchronous calls).

struct TWsClient::TImpl {
  asio::io_context io;
  // Without it the context stops itself whenever no operation is pending.
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  asio::ssl::context ssl{asio::ssl::context::tls_client};
  std::unique_ptr<websocket::stream<tcp::socket>> plain;
  std::unique_ptr<websocket::stream<beast::ssl_stream<tcp::socket>>> secure;
  beast::flat_buffer buffer;
  std::deque<std::pair<bool, std::string>> inbox;
  bool closed = false;
  boost::system::error_code closeReason;
  // The binary messages as one stream of client messages, bodies as sent.
  loadgen::TClientStream cutter;
  std::deque<TClientMsg> messages;

  tcp::socket& Socket() { return plain ? plain->next_layer() : beast::get_lowest_layer(*secure); }

  // Runs until `done` or the deadline; false on timeout.
  bool RunUntil(const bool& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done && io.run_one_until(deadline) > 0) {
    }
    return done;
  }

  void StartRead() {
    auto handler = [this](boost::system::error_code ec, size_t) {
      if (ec) {
        closed = true;
        closeReason = ec;
        return;
      }
      const bool text = plain ? plain->got_text() : secure->got_text();
      inbox.emplace_back(text, beast::buffers_to_string(buffer.data()));
      buffer.consume(buffer.size());
      StartRead();
    };
    if (plain)
      plain->async_read(buffer, handler);
    else
      secure->async_read(buffer, handler);
  }

  template <typename Start>
  bool Await(std::chrono::milliseconds timeout, Start start) {
    bool done = false;
    boost::system::error_code result;
    start([&](boost::system::error_code ec, auto&&...) {
      done = true;
      result = ec;
    });
    if (!RunUntil(done, timeout)) {
      boost::system::error_code ignored;
      Socket().close(ignored);
      RunUntil(done, 5s);
      return false;
    }
    return !result;
  }
};

TWsClient::TWsClient() : impl_(std::make_unique<TImpl>()) {}
TWsClient::~TWsClient() {
  boost::system::error_code ignored;
  if (impl_->plain || impl_->secure) impl_->Socket().close(ignored);
  impl_->io.poll();
}

bool TWsClient::Connect(uint16_t port, const std::string& sourceAddr, bool tls) {
  try {
    tcp::socket sock(impl_->io);
    // From an IPv6 source the gateway is reached on ::1.
    const bool v6 = sourceAddr.find(':') != std::string::npos;
    sock.open(v6 ? tcp::v6() : tcp::v4());
    if (!sourceAddr.empty()) sock.bind(tcp::endpoint(asio::ip::make_address(sourceAddr), 0));
    const tcp::endpoint to(asio::ip::make_address(v6 ? "::1" : "127.0.0.1"), port);
    if (tls) {
      impl_->ssl.set_verify_mode(asio::ssl::verify_none);
      impl_->secure = std::make_unique<websocket::stream<beast::ssl_stream<tcp::socket>>>(
          std::move(sock), impl_->ssl);
      auto& s = *impl_->secure;
      if (!impl_->Await(3s, [&](auto h) { beast::get_lowest_layer(s).async_connect(to, h); }) ||
          !impl_->Await(
              3s,
              [&](auto h) { s.next_layer().async_handshake(asio::ssl::stream_base::client, h); }) ||
          !impl_->Await(3s, [&](auto h) { s.async_handshake("127.0.0.1", "/", h); }))
        return false;
    } else {
      impl_->plain = std::make_unique<websocket::stream<tcp::socket>>(std::move(sock));
      auto& s = *impl_->plain;
      if (!impl_->Await(3s, [&](auto h) { s.next_layer().async_connect(to, h); })) return false;
      if (!preamble_.empty()) {
        boost::system::error_code ec;
        asio::write(s.next_layer(), asio::buffer(preamble_), ec);
        if (ec) return false;
      }
      if (!impl_->Await(3s, [&](auto h) { s.async_handshake("127.0.0.1", "/", h); })) return false;
    }
    impl_->StartRead();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void TWsClient::SendText(const std::string& text) {
  boost::system::error_code ec;
  if (impl_->plain) {
    impl_->plain->text(true);
    impl_->plain->write(asio::buffer(text), ec);
  } else if (impl_->secure) {
    impl_->secure->text(true);
    impl_->secure->write(asio::buffer(text), ec);
  }
}

void TWsClient::SendBinary(const std::string& bytes) {
  boost::system::error_code ec;
  if (impl_->plain) {
    impl_->plain->binary(true);
    impl_->plain->write(asio::buffer(bytes), ec);
  } else if (impl_->secure) {
    impl_->secure->binary(true);
    impl_->secure->write(asio::buffer(bytes), ec);
  }
}

std::optional<std::string> TWsClient::ReadRaw(std::chrono::milliseconds timeout, bool* isText) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (impl_->inbox.empty() && !impl_->closed && impl_->io.run_one_until(deadline) > 0) {
  }
  if (impl_->inbox.empty()) return std::nullopt;
  auto [text, data] = std::move(impl_->inbox.front());
  impl_->inbox.pop_front();
  if (isText) *isText = text;
  if (!text) binarySizes_.push_back(data.size());
  return data;
}

std::optional<TClientMsg> TWsClient::ReadMsg(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (impl_->messages.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) return std::nullopt;
    bool text = false;
    auto raw = ReadRaw(left, &text);
    if (!raw) return std::nullopt;
    if (text) continue;
    const uint64_t errors = impl_->cutter.Errors();
    impl_->cutter.Feed(*raw, [&](const loadgen::TClientMessage& m) {
      TClientMsg msg;
      msg.isText = m.IsText;
      msg.text = m.Text;
      msg.header = m.Header;
      msg.body = m.Body;
      impl_->messages.push_back(std::move(msg));
    });
    if (impl_->cutter.Errors() != errors) return std::nullopt;
  }
  TClientMsg msg = std::move(impl_->messages.front());
  impl_->messages.pop_front();
  return msg;
}

bool TWsClient::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!impl_->closed && impl_->io.run_one_until(deadline) > 0) {
  }
  return impl_->closed;
}

uint16_t TWsClient::CloseCode() const {
  if (impl_->plain) return impl_->plain->reason().code;
  return impl_->secure ? impl_->secure->reason().code : 0;
}

std::string TWsClient::CloseReason() const {
  if (impl_->plain) return std::string(impl_->plain->reason().reason.c_str());
  return impl_->secure ? std::string(impl_->secure->reason().reason.c_str()) : std::string();
}

void TWsClient::Close() {
  if (!impl_->plain && !impl_->secure) return;
  bool done = false;
  auto h = [&](boost::system::error_code) { done = true; };
  if (impl_->plain)
    impl_->plain->async_close(websocket::close_code::normal, h);
  else
    impl_->secure->async_close(websocket::close_code::normal, h);
  impl_->RunUntil(done, 2s);
  boost::system::error_code ignored;
  impl_->Socket().close(ignored);
  impl_->io.poll();
}

bool TWsClient::Login(const std::string& account, const std::string& name,
                      const std::string& userId, bool enterGame) {
  bool text = false;
  auto ok = ReadRaw(3s, &text);
  if (!ok || *ok != "ok" || !text) return false;
  SendText(
      ClientMessage(0, 0, 0, 0, 0, "*#" + account + "/" + name + "/" + userId + "/1/0/0/0/0/0/0"));
  if (enterGame) SendText(ClientMessage(CM_LOGINNOTICEOK));
  return true;
}

std::string ClientMessage(int32_t ident, int32_t recog, int32_t param, int32_t tag, int32_t series,
                          const std::string& body, int32_t index) {
  TDefaultMessage msg;
  msg.Recog = recog;
  msg.Ident = ident;
  msg.Param = param;
  msg.Tag = tag;
  msg.Series = series;
  msg.nLength = static_cast<int32_t>(body.size());
  msg.nIndex = index;
  return EncodeMessage(msg) + body;
}

// --- TGatewayRig ------------------------------------------------------------

TGatewayRig::TGatewayRig() : TGatewayRig(TOptions{}) {}

TGatewayRig::TGatewayRig(TOptions opts) : options(std::move(opts)) {
  gatePort = FreePort();
  serverPort = FreePort();
  if (options.flush.empty()) {
    if (const char* mode = std::getenv("TAVREL_E2E_FLUSH")) options.flush = mode;
  }
  std::string run;
  if (!options.flush.empty()) run += "Flush=" + options.flush + "\n";
  if (options.testScanMs > 0) run += "TestScanMs=" + std::to_string(options.testScanMs) + "\n";
  // Before [Console], which extraIni may go on filling.
  if (!run.empty()) run = "[Run]\n" + run;
  std::string ini = "[Tavrel]\nGatePort=" + std::to_string(gatePort) +
                    "\nServerPort=" + std::to_string(serverPort) +
                    "\nConnectOutTime=" + std::to_string(options.connectOutTime) +
                    "\nOpenSSL=" + (options.tls ? "1" : "0") + "\n" + run +
                    "[Listen]\nAddr=" + options.listenAddr +
                    "\n[Console]\nPort=" + std::to_string(FreePort()) + "\n" + options.extraIni;
  dir.Write("Tavrel.ini", ini);
  if (options.startGameServer) StartGameServer();
}

TGatewayRig::~TGatewayRig() {
  if (gateway) {
    gateway->Signal(SIGTERM);
    gateway->WaitExit(3s);
  }
}

void TGatewayRig::StartGameServer() {
  std::vector<std::string> args{"--port", std::to_string(serverPort)};
  args.insert(args.end(), options.gamesimArgs.begin(), options.gamesimArgs.end());
  gamesim = std::make_unique<TProcess>(TAVREL_GAMESIM_BIN, args, dir.Path());
  gamesim->WaitForLine("listening on", 5s);
}

void TGatewayRig::StartGateway(const std::vector<std::string>& args) {
  std::vector<std::string> argv = args;
  if (options.controlFd >= 0 && argv.empty())
    argv = {std::to_string(options.controlFd), "", "", "0", "0"};
  gateway = std::make_unique<TProcess>(TAVRELH5_BIN, argv, dir.Path(), options.controlFd);
}

bool TGatewayRig::WaitLinked(std::chrono::milliseconds timeout) {
  return gateway->WaitForLine("链接游戏引擎成功！", timeout) >= 0;
}

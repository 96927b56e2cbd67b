#include "e2e/Harness.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <cstdlib>
#include <deque>
#include <stdexcept>

#include "loadgen/ClientStream.h"
#include "protocol/EDcode.h"
#include "testkit/WsClient.h"
#include "translate/Zlib.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// --- TWsClient ---------------------------------------------------------------
// Blocking calls over the test kit's asynchronous client: it always reads
// into an inbox, and every wait runs the client's own io_context against a
// deadline.

struct TWsClient::TImpl : testkit::WsClientEvents {
  asio::io_context io;
  // Without it the context stops itself whenever no operation is pending.
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  asio::ssl::context ssl{asio::ssl::context::tls_client};
  std::shared_ptr<testkit::WsClient> client;
  std::deque<std::pair<bool, std::string>> inbox;
  bool open = false;
  bool closed = false;
  // The binary messages as one stream of client messages, bodies as sent.
  loadgen::TClientStream cutter;
  std::deque<TClientMsg> messages;

  void OnOpen(testkit::WsClient&) override { open = true; }
  void OnMessage(testkit::WsClient&, bool text, std::string_view bytes) override {
    inbox.emplace_back(text, std::string(bytes));
  }
  void OnEnd(testkit::WsClient&, boost::system::error_code) override { closed = true; }

  // Runs until `done` or the deadline; false on timeout.
  template <typename Done>
  bool RunUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && io.run_one_until(deadline) > 0) {
    }
    return done();
  }

  void Send(std::string bytes, bool text) {
    if (!client) return;
    client->Send(std::move(bytes), text);
    // Written before the call returns, as a browser's send would have left.
    RunUntil([&] { return client->Queued() == 0 || closed; }, 60s);
  }
};

TWsClient::TWsClient() : impl_(std::make_unique<TImpl>()) {}
TWsClient::~TWsClient() {
  if (impl_->client) impl_->client->Abort();
  impl_->io.poll();
}

bool TWsClient::Connect(uint16_t port, const std::string& sourceAddr, bool tls) {
  testkit::WsTarget target;
  // From an IPv6 source the gateway is reached on ::1.
  const bool v6 = sourceAddr.find(':') != std::string::npos;
  target.To = tcp::endpoint(asio::ip::make_address(v6 ? "::1" : "127.0.0.1"), port);
  target.Source = sourceAddr;
  target.Preamble = preamble_;
  target.Timeout = 3s;
  impl_->ssl.set_verify_mode(asio::ssl::verify_none);
  impl_->client =
      std::make_shared<testkit::WsClient>(impl_->io, *impl_, 0, tls ? &impl_->ssl : nullptr);
  impl_->client->Connect(std::move(target));
  return impl_->RunUntil([&] { return impl_->open || impl_->closed; }, 10s) && impl_->open;
}

void TWsClient::SendText(const std::string& text) {
  impl_->Send(text, true);
}

void TWsClient::SendBinary(const std::string& bytes) {
  impl_->Send(bytes, false);
}

std::optional<std::string> TWsClient::ReadRaw(std::chrono::milliseconds timeout, bool* isText) {
  impl_->RunUntil([&] { return !impl_->inbox.empty() || impl_->closed; }, timeout);
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
  return impl_->RunUntil([&] { return impl_->closed; }, timeout);
}

uint16_t TWsClient::CloseCode() const {
  return impl_->client ? impl_->client->CloseCode() : 0;
}

std::string TWsClient::CloseReason() const {
  return impl_->client ? impl_->client->CloseReason() : std::string();
}

void TWsClient::Close() {
  if (!impl_->client) return;
  impl_->client->Close();
  impl_->RunUntil([&] { return impl_->closed; }, 2s);
  impl_->client->Abort();
  impl_->io.poll();
}

void TWsClient::Drop() {
  if (!impl_->client) return;
  impl_->client->Abort();
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

TControlChannel::TControlChannel() {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return;
  fd = pair[0];
  gatewayFd = pair[1];
}

TControlChannel::~TControlChannel() {
  CloseGatewayEnd();
  if (fd >= 0) close(fd);
}

void TControlChannel::CloseGatewayEnd() {
  if (gatewayFd >= 0) close(gatewayFd);
  gatewayFd = -1;
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
  if (options.sessions > 0) run += "Sessions=" + std::to_string(options.sessions) + "\n";
  if (options.ioThreads < 0) {
    if (const char* n = std::getenv("TAVREL_IO_THREADS")) options.ioThreads = std::atoi(n);
  }
  if (options.ioThreads >= 0) run += "IoThreads=" + std::to_string(options.ioThreads) + "\n";
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
  control.reset();  // as a control program that goes first
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
  control.reset();
  int controlFd = -1;
  if (options.controlChannel) {
    control = std::make_unique<TControlChannel>();
    if (control->fd < 0) throw std::runtime_error("no socket pair for the control channel");
    controlFd = control->gatewayFd;
  }
  std::vector<std::string> argv = args;
  if (controlFd >= 0 && argv.empty()) argv = {std::to_string(controlFd), "", "", "0", "0"};
  gateway = std::make_unique<TProcess>(TAVRELH5_BIN, argv, dir.Path(), controlFd);
  // The gateway holds its own copy now: the channel ends with it.
  if (control) control->CloseGatewayEnd();
}

bool TGatewayRig::WaitLinked(std::chrono::milliseconds timeout) {
  return gateway->WaitForLine(kLinkUp, timeout) >= 0;
}

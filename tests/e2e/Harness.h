// End-to-end test harness: temporary working directories, child processes
// with captured output (the test kit's launcher), free loopback ports, and a
// blocking WebSocket client over the test kit's that reads the gateway's
// binary stream as client messages. Every wait has a deadline so that a test
// ends by itself.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Grobal2.h"
#include "support/TempDir.h"
#include "testkit/Process.h"

using namespace std::chrono_literals;

using testkit::FreePort;

using TProcess = testkit::Process;

// The gateway's line once its link to the game server is up.
inline constexpr const char* kLinkUp = "链接游戏引擎成功！";

// A client message as the browser sees it: a header and body, or a text line.
struct TClientMsg {
  bool isText = false;
  std::string text;  // "#...!" without the marks, for a text line
  TDefaultMessage header{};
  std::string body;  // as sent (still compressed when nIsZlib is 1)
};

class TWsClient {
 public:
  TWsClient();
  ~TWsClient();

  // Connects and completes the handshake; false on failure. `sourceAddr`
  // binds the client side (for example 127.0.0.2, or ::1 to reach the
  // gateway over IPv6).
  bool Connect(uint16_t port, const std::string& sourceAddr = "", bool tls = false);
  // Bytes a plain connection writes before its handshake (a PROXY header).
  void SetPreamble(std::string bytes) { preamble_ = std::move(bytes); }
  void SendText(const std::string& text);
  void SendBinary(const std::string& bytes);
  // The next WebSocket message; nullopt on timeout or close.
  std::optional<std::string> ReadRaw(std::chrono::milliseconds timeout, bool* isText = nullptr);
  // The next client message from the binary stream; nullopt on timeout or
  // when the stream breaks (a header that cannot be one, a body too large).
  std::optional<TClientMsg> ReadMsg(std::chrono::milliseconds timeout);
  // True when the server closed the connection within the timeout.
  bool WaitClosed(std::chrono::milliseconds timeout);
  // The code and reason of the server's close frame; 0 and empty when none came.
  uint16_t CloseCode() const;
  std::string CloseReason() const;
  void Close();
  // Drops the TCP connection without a close frame, as a lost network does.
  void Drop();
  // Raw binary messages received so far (sizes), for checking block sizes.
  const std::vector<size_t>& BinarySizes() const { return binarySizes_; }

  // Logs in: the "ok" greeting, the login text and, when `enterGame`,
  // CM_LOGINNOTICEOK. Returns false when any step fails.
  bool Login(const std::string& account, const std::string& name, const std::string& userId,
             bool enterGame = true);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
  std::vector<size_t> binarySizes_;
  std::string preamble_;
};

// A client message text: the encoded header followed by the body.
std::string ClientMessage(int32_t ident, int32_t recog = 0, int32_t param = 0, int32_t tag = 0,
                          int32_t series = 0, const std::string& body = "", int32_t index = 0);

// A control program's side of the gateway's control channel: a socket pair
// whose other end, `gatewayFd`, the gateway is started with. The ends still
// open close with it.
struct TControlChannel {
  TControlChannel();
  ~TControlChannel();
  TControlChannel(const TControlChannel&) = delete;
  TControlChannel& operator=(const TControlChannel&) = delete;
  // Once the gateway holds its copy, so that the channel ends with the gateway.
  void CloseGatewayEnd();

  int fd = -1;  // -1 when the pair could not be made
  int gatewayFd = -1;
};

// A gateway with its game server, in a fresh working directory, on free
// loopback ports. The game server is tavrel-gamesim driven through stdin.
class TGatewayRig {
 public:
  struct TOptions {
    int connectOutTime = 15;
    bool tls = false;
    bool startGameServer = true;
    std::string extraIni;  // appended to Tavrel.ini
    // [Run] Flush; empty: TAVREL_E2E_FLUSH when set (the suite runs once per
    // mode), else left to the default.
    std::string flush;
    int testScanMs = 0;  // [Run] TestScanMs: the tick visits sessions this rarely
    int sessions = 0;    // [Run] Sessions; 0: the default
    // [Run] IoThreads; -1: TAVREL_IO_THREADS when set (the transport suites run once more
    // with it), else the default.
    int ioThreads = -1;
    bool controlChannel = false;           // started under `control`
    std::vector<std::string> gamesimArgs;  // beyond --port
    std::string listenAddr = "127.0.0.1";  // [Listen] Addr
  };
  TGatewayRig();
  explicit TGatewayRig(TOptions options);
  ~TGatewayRig();

  TTempDir dir;
  uint16_t gatePort = 0;
  uint16_t serverPort = 0;
  std::unique_ptr<TProcess> gamesim;
  std::unique_ptr<TProcess> gateway;
  // The control program's end when options.controlChannel, from StartGateway on.
  std::unique_ptr<TControlChannel> control;

  // Waits until the gateway's link to the game server is up. The gateway
  // retries every 2 s, so a game server slow to listen on a loaded machine
  // costs it a few tries.
  bool WaitLinked(std::chrono::milliseconds timeout = 10s);
  // The gateway started and its link up; false when the link never came.
  bool StartLinked(const std::vector<std::string>& args = {}) {
    StartGateway(args);
    return WaitLinked();
  }
  void Sim(const std::string& command) { gamesim->WriteLine(command); }
  // Waits for a game-server log line containing `text` after line `from`.
  int WaitSim(const std::string& text, std::chrono::milliseconds timeout = 3s, size_t from = 0) {
    return gamesim->WaitForLine(text, timeout, from);
  }
  int WaitGate(const std::string& text, std::chrono::milliseconds timeout = 3s, size_t from = 0) {
    return gateway->WaitForLine(text, timeout, from);
  }
  void StartGameServer();
  void StartGateway(const std::vector<std::string>& args = {});

  TOptions options;
};

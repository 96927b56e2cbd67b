// Helpers for the fault-injection tests: a game server played by the test
// itself (so that it can misbehave: stop reading, send garbage, cut frames,
// vanish) and a fixture of a gateway linked to it, raw TCP clients that
// reset instead of closing, the gateway's resident memory, its log files,
// and a probe of the per-address count.
// The game server is the test kit's, run on its own thread; its methods
// may be called from the test thread and wait for the loop to act.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "e2e/Harness.h"
#include "protocol/Grobal2.h"
#include "testkit/GateServer.h"

struct TLinkFrame {
  int link = 0;  // 1 for the first link the gateway made, 2 for the next, ...
  TMsgHeader header{};
  std::string payload;
};

class TFakeGameServer : private testkit::GateServerEvents {
 public:
  explicit TFakeGameServer(uint16_t port);
  ~TFakeGameServer();
  TFakeGameServer(const TFakeGameServer&) = delete;
  TFakeGameServer& operator=(const TFakeGameServer&) = delete;

  // Waits until the gateway has made its `n`-th link.
  bool WaitLinks(int n, std::chrono::milliseconds timeout);
  int Links();
  // Waits until the current link is gone (the gateway closed it).
  bool WaitLinkClosed(std::chrono::milliseconds timeout);

  // While off, the server neither reads the link nor notices it closing:
  // the gateway's frames pile up in the socket buffers.
  void SetReading(bool reading);

  // Writes to the current link and waits until the bytes are written;
  // false when there is no link or it went first.
  bool Send(const std::string& bytes);
  static std::string Frame(uint16_t ident, int32_t handle, const std::string& payload,
                           int32_t nLength);
  bool SendFrame(uint16_t ident, int32_t handle, const std::string& payload) {
    return Send(Frame(ident, handle, payload, static_cast<int32_t>(payload.size())));
  }
  // A per-user message: a header and, when given, a body and its trailing zero.
  bool SendData(int32_t handle, const TDefaultMessage& msg, const std::string& body = "");
  bool SendData(int32_t handle, int32_t ident, const std::string& body = "") {
    TDefaultMessage m;
    m.Ident = ident;
    return SendData(handle, m, body);
  }
  // Closes the current link; with `reset` the gateway sees a reset.
  void DropLink(bool reset = false);

  // Frames received so far, over every link.
  std::vector<TLinkFrame> Frames();
  // The first frame after index `from` that `match` accepts.
  std::optional<TLinkFrame> WaitFrame(const std::function<bool(const TLinkFrame&)>& match,
                                      std::chrono::milliseconds timeout, size_t from = 0);
  // The handle of the next GM_OPEN (after frame index `from`).
  int32_t WaitOpen(std::chrono::milliseconds timeout, size_t from = 0);
  size_t FrameCount();
  // Bytes skipped between frames (a stream that was not cut at frame bounds).
  size_t SkippedBytes();

 private:
  // A new link replaces the current one.
  void OnLinkUp(int link) override;
  void OnFrame(int link, const testkit::Frame& f) override;
  void OnGarbage(int link, size_t skipped) override;
  void OnLinkDown(int link) override;
  // Runs `work` on the loop thread and waits for it.
  void OnLoop(const std::function<void()>& work);

  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  testkit::GateServer server_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  // Changed on the loop thread under the mutex.
  int link_ = 0;  // the current link, 0 when none
  int links_ = 0;
  std::vector<TLinkFrame> frames_;
  size_t skipped_ = 0;
};

// A gateway linked to a game server played by the test. When a test fails,
// the gateway's output is shown, its last `shownGatewayLines` lines.
class FakeServerTest : public ::testing::Test {
 protected:
  // No game server of the harness's, and a login timeout that stays out of
  // the way of a slow test.
  static TGatewayRig::TOptions FakeServerOptions();
  // The game server, then the gateway with `options`; returns once the link
  // is up (a fatal failure when it never comes).
  void StartLinked(const TGatewayRig::TOptions& options = FakeServerOptions());
  void TearDown() override;

  // A message from the game server reaches the client: what the link
  // carried before it has been dealt with.
  void ExpectDelivered(TWsClient& ws, int32_t handle, const std::string& tag);
  // The client's message reaches the game server and an answer comes back.
  void ExpectRoundTrip(TWsClient& ws, int32_t handle, const std::string& tag);

  std::unique_ptr<TGatewayRig> rig;
  std::unique_ptr<TFakeGameServer> server;
  size_t shownGatewayLines = SIZE_MAX;
};

// `ws` connects (from `source` when given) and logs in as `account`; the
// handle the fake game server sees for it, -1 (with a failure) when its
// login text never arrived.
int32_t JoinThroughFakeServer(TGatewayRig& rig, TFakeGameServer& server, TWsClient& ws,
                              const std::string& account, const std::string& source = "");

// A plain TCP connection to the gateway, optionally from a given loopback
// source address; -1 on failure.
int ConnectTcp(uint16_t port, const std::string& sourceAddr = "");
// Closes with a reset (SO_LINGER 0) instead of an orderly close.
void ResetClose(int fd);

// Resident memory of a process in KiB (0 when it is gone).
inline int64_t RssKb(pid_t pid) {
  return testkit::ResidentKb(pid);
}
// Waits until the process's RSS is at most `limitKb`; the last reading.
int64_t WaitRssAtMost(pid_t pid, int64_t limitKb, std::chrono::milliseconds timeout);

// Waits until some file under the rig's Log/ directory contains `text`.
bool WaitLogFileLine(const TGatewayRig& rig, const std::string& text,
                     std::chrono::milliseconds timeout);

// The per-address count of `addr` is idle when exactly IpCount - 1 clients
// from it are admitted (greeted with "ok") and the next one is refused.
// `whileHeld` runs while the admitted ones are connected.
bool AddressCountIsIdle(uint16_t port, const std::string& addr, int ipCount = 5,
                        const std::function<void()>& whileHeld = {});

// A listening TCP socket on 127.0.0.1, held by the test (a port taken).
struct TPortHolder {
  TPortHolder();
  ~TPortHolder();
  TPortHolder(const TPortHolder&) = delete;
  TPortHolder& operator=(const TPortHolder&) = delete;
  int fd = -1;
  uint16_t port = 0;
};

// How many of `fds` the peer has closed (or reset) by now.
int CountClosedByPeer(const std::vector<int>& fds);

// One GET of `target` from the gateway's console (on the port its start-up
// line names), with `headers` ("Name: value\r\n" each); the whole reply,
// empty when the console does not answer.
std::string ConsoleGet(TGatewayRig& rig, const std::string& target,
                       const std::string& headers = "");
// One POST of the JSON `body` to the console with `token` as its bearer.
std::string ConsolePost(TGatewayRig& rig, const std::string& target, const std::string& token,
                        const std::string& body);

// The gateway's console /metrics as name (with labels) -> value; empty when
// the console does not answer. The port is the one its start-up line names.
std::map<std::string, double> ReadMetrics(TGatewayRig& rig);

// Until /metrics reports no open connection; false once `timeout` passes.
bool WaitNoOpenConnections(TGatewayRig& rig, std::chrono::milliseconds timeout);

// Polls `done` every 20 ms until it holds (true) or `timeout` passes (false).
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// AddressSanitizer's heap keeps what is freed for a while and its allocator is
// slower: memory bounds and long fills do not apply under it.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Keeps the fd limit of this process (and of the programs it starts) at its
// hard maximum, for tests that hold a thousand connections.
void RaiseFdLimit();

// WebSocket front end of the gateway: listens on one port (plain or TLS), carries the browser
// connections over Boost.Beast and reports their events through four callbacks. Owns the
// listening socket and every connection. Runs on the caller's io_context thread only: every
// operation must be called there and every callback runs there, one at a time. Callbacks may
// call any operation, on any connection; they must not destroy the TWsLib. With transport
// threads (SetIoThreads) the connections' handshakes and frame I/O run on those, and every
// event and call crosses to and from the caller's thread, so for the caller nothing changes.
//
// Connection identifiers are decimal numbers 1..2147483647, unique among open connections and
// passed as text ("sUid") as the engine keeps them; the numeric forms take the same number.
// Remote addresses are dotted IPv4 for IPv4 and IPv4-mapped peers, "[addr]:port" otherwise;
// behind a trusted load balancer they are the client's address from its PROXY header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/CloseCode.h"
#include "platform/Limits.h"
#include "platform/SharedBytes.h"

namespace boost::asio {
class io_context;
}

// A connection has completed its WebSocket handshake / has ended. Every connect is followed by
// exactly one disconnect, also when the engine closed the connection itself.
using TWsConnectHandler =
    std::function<void(const std::string& sUid, const std::string& sRemoteIP)>;
using TWsDisconnectHandler = TWsConnectHandler;
using TWsConnId = uint32_t;

// One whole incoming message (text as UTF-8, or binary taken as the same bytes), with the
// connection's number: the hot path names connections without text.
using TWsMessageHandler = std::function<void(TWsConnId id, std::string_view sMsg)>;
// A text of the library about something that went wrong (slow consumer, oversize message,
// bad PROXY header, accept failure).
using TWsLogHandler = std::function<void(const std::string& sText)>;
// A connection from this address may begin its handshakes (false: it is closed at once).
using TWsAdmitHandler = std::function<bool(const std::string& sRemoteIP)>;
// An admitted connection is through its handshakes or gone before the end of them.
using TWsHandshakeEndHandler = std::function<void(const std::string& sRemoteIP)>;

class TWsLib {
 public:
  // Incoming messages above this close their connection.
  static constexpr size_t kMaxMessageBytes = kLimits.nMessageBytes;
  // A connection with more unsent bytes than this is closed as a slow consumer.
  static constexpr size_t kMaxUnsentBytes = kLimits.nLayerUnsentBytes;

  explicit TWsLib(boost::asio::io_context& ioc);
  // Closes the listener and every connection; no callback runs afterwards. The io_context must
  // outlive this object.
  ~TWsLib();
  TWsLib(const TWsLib&) = delete;
  TWsLib& operator=(const TWsLib&) = delete;

  // Before Init: run the connections' transport (TLS and WebSocket handshakes, reading and
  // writing) on this many threads of the library's own, each connection on one of them in
  // turn. 0 (the default): everything on the caller's thread, with no crossing at all.
  void SetIoThreads(size_t nThreads);

  // Address to listen on, set before Init. Default: IPv6 any, dual-stack (IPv4 any where the
  // host has no IPv6).
  void SetListenAddress(std::string sAddress);
  // Comma-separated addresses of load balancers whose connections start with a PROXY header
  // (v1 or v2). Connections from other addresses are never parsed for one. Applies to
  // connections accepted afterwards. Returns false when an entry is not an address (the valid
  // ones still apply).
  bool SetTrustedProxies(std::string_view sList);
  // Asked as each connection is accepted (behind a trusted proxy: once its PROXY header names
  // the client) whether it may begin its handshakes; every admitted connection is reported
  // to `onEnd` once when its handshakes end, before its connect callback or without one.
  void SetHandshakeAdmission(TWsAdmitHandler onAdmit, TWsHandshakeEndHandler onEnd);

  // Start listening; false (with LastError) when the port cannot be bound, when already
  // started, or, for TLS, when the PEM certificate or key file cannot be loaded.
  [[nodiscard]] bool Init(uint16_t wPort, TWsConnectHandler onConnect,
                          TWsDisconnectHandler onDisconnect, TWsMessageHandler onMessage,
                          TWsLogHandler onLog);
  [[nodiscard]] bool InitTLS(uint16_t wPort, const std::string& sCertFile,
                             const std::string& sKeyFile, TWsConnectHandler onConnect,
                             TWsDisconnectHandler onDisconnect, TWsMessageHandler onMessage,
                             TWsLogHandler onLog);
  const std::string& LastError() const { return sLastError_; }
  // The bound port (useful after listening on port 0); 0 before Init.
  uint16_t LocalPort() const;

  // One text message / one binary message, queued behind what is still unsent; unknown
  // or closing connections are ignored. A connection's id is the number its identifier
  // text spells.
  void SendMsg(TWsConnId id, std::string_view sText);
  void SendBuff(TWsConnId id, const void* pBuf, size_t nLen);
  // SendBuff of `nLen` bytes at `nOffset` of `bytes`, kept by reference until
  // written rather than copied (bytes beyond their end are not sent).
  void SendShared(TWsConnId id, const TSharedBytes& bytes, size_t nOffset, size_t nLen);
  // Sends what is queued, then closes with `code` and its reason; the disconnect callback
  // follows later, never from inside this call.
  void CloseSocket(TWsConnId id, ECloseCode code = ECloseCode::Normal);
  // Inside the disconnect callback: how that connection ended ("the client closed 1000 'bye'",
  // "the gateway closed 4002 'kicked'", "no close frame: <error>"); empty elsewhere.
  std::string EndingText() const;
  EConnEnd EndingKind() const;  // the same, for the engine's rules

  // Bytes queued for the connection and not yet written; 0 for an unknown one.
  size_t Unsent(TWsConnId id) const;
  size_t TotalUnsent() const;  // the same over every connection not being closed
  // Stops reading the connection's socket (its sender meets TCP back-pressure)
  // or resumes; a closing connection reads on for the close handshake.
  void PauseReading(TWsConnId id, bool pause);

  // Closes the listener; connections not yet through their handshakes are dropped, the
  // others stay until closed.
  void StopAccepting();

  // The hand-over (SIGUSR2) to a new image of the binary. Before Init: listen on `fd`, a
  // listening TCP socket passed in, instead of binding (this object owns it from then on).
  void AdoptListener(int fd);
  // Keeps the listener open but takes no connection while paused: the kernel queues them for
  // whoever accepts next. A connection whose accept had completed is still served.
  void PauseAccepting(bool pause);
  // The listening socket's descriptor, -1 when not listening.
  int ListenDescriptor() const;
  // From now on the engine hears no connect (connections that complete their handshake are
  // cut) and no end (ends are held back), and no connection reads on. Messages read before
  // still reach the engine, those of the transport threads too; then `onQuiet` runs (never
  // inside this call), and from then on the engine hears nothing. Open connections go on
  // sending as they are.
  void BeginHandover(std::function<void()> onQuiet = {});
  // Closes every connection the engine knows with `code`, after what is queued for it.
  void CloseAllForHandover(ECloseCode code);
  // Connections not yet ended, handshakes included.
  size_t LiveConnections() const;
  // The number the next connection gets (then on, skipping those in use). Sessions carried
  // over keep their connections' numbers as handles: the new image numbers on after them.
  TWsConnId NextConnectionId() const;
  void SetNextConnectionId(TWsConnId id);
  // The hand-over did not happen: the ends held back are reported now, as connections lost
  // (`EndingText` says how each ended), and the engine hears everything again.
  void AbandonHandover();
  // The address actually listened on ("127.0.0.1", "[::]"); empty when not listening.
  std::string ListenAddress() const;
  bool IsTLS() const;
  // Loads a new certificate and key for connections accepted from now on; open connections
  // keep theirs. False (with LastError, the old files staying in use) when they cannot be
  // loaded or TLS is not in use.
  [[nodiscard]] bool ReloadTLS(const std::string& sCertFile, const std::string& sKeyFile);
  // Whether InitTLS and ReloadTLS would load these files: regular files of at most 1 MiB, a
  // PEM certificate chain and an unencrypted PEM key that belongs to it. False with `sError`.
  static bool CheckTLSFiles(const std::string& sCertFile, const std::string& sKeyFile,
                            std::string& sError);

  // Counters for metrics.
  uint64_t SlowConsumerCloses() const;
  uint64_t OversizeCloses() const;
  // Connections dropped before their WebSocket handshake completed (bad or missing PROXY
  // header, failed TLS or WebSocket handshake).
  uint64_t RefusedConnections() const;
  size_t OpenConnections() const;  // reported to the connect callback and not yet ended

  class TImpl;

 private:
  bool Start(uint16_t wPort, const std::string* pCertFile, const std::string* pKeyFile,
             TWsConnectHandler onConnect, TWsDisconnectHandler onDisconnect,
             TWsMessageHandler onMessage, TWsLogHandler onLog);

  std::shared_ptr<TImpl> impl_;  // shared with the connections' pending handlers
  std::string sLastError_;
};

// Event-driven, non-blocking TCP client of the game-server link. The
// component (TClientSocket) holds the settings, the Active switch and the
// handlers and owns one connection (TClientWinSocket), which turns readiness
// on the io_context into events. Everything runs on the thread that runs the
// io_context; events come from its completion handlers. Handlers must not
// throw (an exception would leave io_context::run()); they may close the
// socket or destroy the component. The io_context must outlive the socket.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TErrorEvent : uint8_t {
  eeGeneral,
  eeSend,
  eeReceive,
  eeConnect,
  eeDisconnect,
  eeAccept,
  eeLookup
};

// Error code reported with eeLookup when no address is given.
constexpr int SOCKET_NO_ADDRESS = 1110;

class TClientSocket;

class TClientWinSocket {
 public:
  TClientWinSocket(TClientSocket& Owner, boost::asio::io_context& IoContext);
  ~TClientWinSocket();
  TClientWinSocket(const TClientWinSocket&) = delete;
  TClientWinSocket& operator=(const TClientWinSocket&) = delete;

  // Starts connecting to a numeric IPv4 or IPv6 address (names are not
  // looked up). A pending attempt is closed first, silently.
  void Open(const std::string& Address, uint16_t Port);
  // Closes the connection or the attempt, then reports the disconnect.
  void Close();
  // Takes `fd`, a TCP socket connected already (passed by the image before
  // this one), as the connection: connected at once, reading armed, no
  // connect event. False (the descriptor closed) when it cannot be used.
  bool Adopt(int fd);

  // The calls below report a failure to OnError, which may clear the code:
  // then the socket closes and the call returns -1, else it also raises.
  //
  // Bytes the OS accepted (maybe fewer than Count), -1 when it would block,
  // 0 when not connected. The rest is the caller's to send again later.
  int SendBuf(const void* Buf, int Count);
  // Bytes read; 0 when the peer closed (the disconnect follows from the loop,
  // after what was read is handled) or when not connected; -1 when it would
  // block, also without asking the OS after a read that found the socket
  // drained. A read event comes once there is something after a -1 or a
  // short read, and again after an event whose handler took bytes but
  // stopped before either.
  int ReceiveBuf(void* Buf, int Count);

  bool Connected() const { return FConnected; }
  int SocketHandle() { return FTcp.is_open() ? FTcp.native_handle() : -1; }
  // Of the attempt in progress or of the connection.
  std::string RemoteAddress() const { return FRemote.address().to_string(); }
  uint16_t RemotePort() const { return FRemote.port(); }

 private:
  template <typename Handler>
  auto Bound(Handler&& H);
  void OnConnect(const boost::system::error_code& Ec);
  void ArmRead();
  void OnReadable();
  int Report(TErrorEvent Event, int Code);
  void Shut();

  TClientSocket& FOwner;
  boost::asio::ip::tcp::socket FTcp;
  boost::asio::ip::tcp::endpoint FRemote;
  // Completions hold a weak copy: none touches a destroyed socket.
  std::shared_ptr<bool> FAlive;
  uint64_t FGeneration = 0;  // per connection: completions of a closed one are dropped
  bool FConnected = false;
  bool FReadArmed = false;  // a read wait is pending: receives are left to its event
  bool FTookBytes = false;  // by a receive since the current read event began
  bool FPeerClosed = false;
};

using TSocketNotifyEvent = std::function<void(TClientSocket& Sender, TClientWinSocket& Socket)>;
using TSocketErrorEvent = std::function<void(TClientSocket& Sender, TClientWinSocket& Socket,
                                             TErrorEvent ErrorEvent, int& ErrorCode)>;

class TClientSocket {
 public:
  explicit TClientSocket(boost::asio::io_context& IoContext);
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  TSocketNotifyEvent OnConnect;
  TSocketNotifyEvent OnDisconnect;
  TSocketNotifyEvent OnRead;
  // A failed connect is only reported: nothing is raised from the loop.
  TSocketErrorEvent OnError;

  // Switching on starts an attempt; switching off closes a connection but
  // leaves an attempt in progress, whose connect switches it on again.
  bool Active() const { return FActive; }
  void SetActive(bool Value);
  // Settings change only while inactive (else ESocketError).
  const std::string& Address() const { return FAddress; }
  void SetAddress(std::string_view Value);
  int Port() const { return FPort; }
  void SetPort(int Value);

  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  // A connection made by the image before this one, taken as it is: active
  // and connected, without a connect event (see TClientWinSocket::Adopt).
  bool Adopt(int fd);
  TClientWinSocket& Socket() { return FSocket; }

 private:
  friend class TClientWinSocket;
  void Notify(const TSocketNotifyEvent& Handler) {
    if (Handler) Handler(*this, FSocket);
  }
  void NotifyError(TErrorEvent Event, int& Code) {
    if (OnError) OnError(*this, FSocket, Event, Code);
  }

  bool FActive = false;
  int FPort = 0;
  std::string FAddress;
  TClientWinSocket FSocket;
};

// The names the handlers' parameters were declared with.
using TCustomSocket = TClientSocket;
using TCustomWinSocket = TClientWinSocket;

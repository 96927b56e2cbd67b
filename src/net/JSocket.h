// Event-driven, non-blocking TCP client of the game-server link. The socket
// object (TClientWinSocket) owns the OS socket and turns readiness on the
// io_context into socket events; the component (TClientSocket) holds the
// settings, the Active switch and the handlers and owns one socket object.
// Everything runs on the thread that runs the io_context (the main thread);
// events are delivered from its handlers, never from another thread. An
// exception thrown by a handler (or an ESocketError raised inside an event)
// leaves io_context::run() like any Asio handler exception. The io_context
// must outlive the socket.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TAsyncStyle : uint8_t { asRead, asWrite, asOOB, asAccept, asConnect, asClose };
// A set of TAsyncStyle as the readiness mask: read 1, write 2, out-of-band 4,
// accept 8, connect 16, close 32.
using TAsyncStyles = uint8_t;
constexpr TAsyncStyles AsyncStyle(TAsyncStyle Style) {
  return TAsyncStyles(1u << Style);
}
constexpr TAsyncStyles DefaultAsyncStyles = 51;  // read, write, connect, close

enum TLookupState : uint8_t { lsIdle, lsLookupAddress, lsLookupService };
enum TSocketEvent : uint8_t {
  seLookup,
  seConnecting,
  seConnect,
  seDisconnect,
  seListen,
  seAccept,
  seWrite,
  seRead
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
enum TClientType : uint8_t { ctNonBlocking, ctBlocking };

// Error code reported with eeLookup when neither host nor address is given.
constexpr int SOCKET_NO_ADDRESS = 1110;

class TCustomWinSocket {
 public:
  using TSocketEventProc = std::function<void(TCustomWinSocket& Socket, TSocketEvent SocketEvent)>;
  using TSocketErrorProc =
      std::function<void(TCustomWinSocket& Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

  explicit TCustomWinSocket(boost::asio::io_context& IoContext);
  virtual ~TCustomWinSocket();
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

  // Starts a connection attempt: host name (looked up asynchronously) or
  // dotted address, service name (looked up) or port. A pending attempt is
  // closed first, silently.
  void Open(std::string_view Name, std::string_view Address, std::string_view Service,
            uint16_t Port, bool Block);
  void Close();

  // Bytes the OS accepted (maybe fewer than Count), -1 when it would block
  // or after a handled error, 0 when not connected. The rest is the caller's.
  int SendBuf(const void* Buf, int Count);
  // Bytes read (0 when the peer closed), -1 when it would block or after a
  // handled error, 0 when not connected; Count -1 asks for the readable count.
  int ReceiveBuf(void* Buf, int Count);
  int ReceiveLength();

  void Lock();
  void Unlock();

  int SocketHandle() const { return FSocket; }
  bool Connected() const { return FConnected; }
  TLookupState LookupState() const { return FLookupState; }
  TAsyncStyles ASyncStyles() const { return FAsyncStyles; }
  void SetASyncStyles(TAsyncStyles Value);
  // Address and port of the attempt in progress or of the connection.
  std::string RemoteAddress() const;
  uint16_t RemotePort() const;
  void* Data() const { return FData; }
  void SetData(void* Value) { FData = Value; }

  void SetOnSocketEvent(TSocketEventProc Proc) { FOnSocketEvent = std::move(Proc); }
  void SetOnErrorEvent(TSocketErrorProc Proc) { FOnErrorEvent = std::move(Proc); }

  int nIndex = 0;

 protected:
  virtual void Accept(int Socket);
  virtual void Connect(int Socket);
  virtual void Disconnect(int Socket);
  virtual void Read(int Socket);
  virtual void Write(int Socket);
  virtual void Event(TSocketEvent SocketEvent);
  virtual void Error(TErrorEvent ErrorEvent, int& ErrorCode);

  // Returns 0, the would-block code, or the error code after reporting it;
  // raises unless the error handler cleared the code.
  int CheckSocketResult(int ResultCode, const char* Op);

  bool FConnected = false;

 private:
  using ResolveResults = boost::asio::ip::tcp::resolver::results_type;

  void AsyncInitSocket(std::string_view Name, std::string_view Address, std::string_view Service,
                       uint16_t Port, bool Client);
  void DoOpen();
  void DoSetAsyncStyles();
  void OnLookupAddress(uint64_t Lookup, const boost::system::error_code& Ec,
                       const ResolveResults& Results);
  void OnLookupService(uint64_t Lookup, const boost::system::error_code& Ec,
                       const ResolveResults& Results);
  void LookupFailed(const boost::system::error_code& Ec);
  void CancelLookup();
  int CloseSocketHandle();
  void CloseQuietly();

  // Readiness waits of the current socket: the notification mechanism.
  void ArmConnect();
  void ArmRead();
  void ArmWrite();
  void OnConnectReady(uint64_t Id, const boost::system::error_code& Ec);
  void OnReadReady(uint64_t Id, const boost::system::error_code& Ec);
  void OnWriteReady(uint64_t Id, const boost::system::error_code& Ec);
  void CMSocketMessage(int Socket, TAsyncStyle SelectEvent, int SelectError);

  boost::asio::io_context& FIoContext;
  // Handlers hold a copy; cleared by the destructor so that late completions
  // never touch a destroyed object.
  std::shared_ptr<TCustomWinSocket*> FAlive;
  int FSocket = -1;
  std::unique_ptr<boost::asio::posix::stream_descriptor> FDescriptor;
  uint64_t FGeneration = 0;  // one per OS socket opened
  // Ids of the pending waits (0: none); a completion reports only while its
  // id is still the recorded one.
  uint64_t FConnectWait = 0;
  uint64_t FReadWait = 0;
  uint64_t FWriteWait = 0;
  uint64_t FWaitCounter = 0;
  bool FReadEnabled = false;  // cleared by a read event until the next receive
  bool FCloseSeen = false;
  bool FDisconnecting = false;
  sockaddr_in FAddr{};
  TAsyncStyles FAsyncStyles = DefaultAsyncStyles;
  TLookupState FLookupState = lsIdle;
  uint64_t FLookupHandle = 0;  // id of the pending lookup, 0 when none
  uint64_t FLookupCounter = 0;
  boost::asio::ip::tcp::resolver FResolver;
  TSocketEventProc FOnSocketEvent;
  TSocketErrorProc FOnErrorEvent;
  std::recursive_mutex FSocketLock;
  void* FData = nullptr;
  std::string FService;
  uint16_t FPort = 0;
  bool FClient = false;
};

class TClientWinSocket : public TCustomWinSocket {
 public:
  using TCustomWinSocket::TCustomWinSocket;

  TClientType ClientType() const { return FClientType; }
  void SetClientType(TClientType Value);

 protected:
  void Connect(int Socket) override;

 private:
  TClientType FClientType = ctNonBlocking;
};

class TCustomSocket;

using TSocketNotifyEvent = std::function<void(TCustomSocket& Sender, TCustomWinSocket& Socket)>;
using TSocketErrorEvent = std::function<void(TCustomSocket& Sender, TCustomWinSocket& Socket,
                                             TErrorEvent ErrorEvent, int& ErrorCode)>;

class TAbstractSocket {
 public:
  virtual ~TAbstractSocket() = default;

  bool Active() const { return FActive; }
  void SetActive(bool Value);
  const std::string& Address() const { return FAddress; }
  void SetAddress(std::string_view Value);
  const std::string& Host() const { return FHost; }
  void SetHost(std::string_view Value);
  int Port() const { return FPort; }
  void SetPort(int Value);
  const std::string& Service() const { return FService; }
  void SetService(std::string_view Value);

  void Open() { SetActive(true); }
  void Close() { SetActive(false); }

 protected:
  virtual void Event(TCustomWinSocket& Socket, TSocketEvent SocketEvent) = 0;
  virtual void Error(TCustomWinSocket& Socket, TErrorEvent ErrorEvent, int& ErrorCode) = 0;
  virtual void DoActivate(bool Value) = 0;

  bool FActive = false;
  int FPort = 0;
  std::string FAddress;
  std::string FHost;
  std::string FService;

 private:
  void SetText(std::string& Field, std::string_view Value);
};

class TCustomSocket : public TAbstractSocket {
 public:
  TSocketNotifyEvent OnLookup;
  TSocketNotifyEvent OnConnect;
  TSocketNotifyEvent OnConnecting;
  TSocketNotifyEvent OnDisconnect;
  TSocketNotifyEvent OnListen;
  TSocketNotifyEvent OnAccept;
  TSocketNotifyEvent OnRead;
  TSocketNotifyEvent OnWrite;
  TSocketErrorEvent OnError;

 protected:
  void Event(TCustomWinSocket& Socket, TSocketEvent SocketEvent) override;
  void Error(TCustomWinSocket& Socket, TErrorEvent ErrorEvent, int& ErrorCode) override;
};

class TClientSocket : public TCustomSocket {
 public:
  explicit TClientSocket(boost::asio::io_context& IoContext);
  ~TClientSocket() override;

  TClientWinSocket& Socket() { return *FClientSocket; }
  TClientType ClientType() const { return FClientSocket->ClientType(); }
  void SetClientType(TClientType Value);

 protected:
  void DoActivate(bool Value) override;

 private:
  std::unique_ptr<TClientWinSocket> FClientSocket;
};

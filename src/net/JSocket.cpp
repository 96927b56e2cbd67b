#include "net/JSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <boost/asio/post.hpp>

namespace {

constexpr const char* kCantChangeWhileActive = "Can't change value while socket is active";

// Codes that mean "try again later" rather than a failure: a non-blocking
// connect in progress, a full send buffer, nothing to read yet.
bool IsWouldBlock(int Code) {
  return Code == EAGAIN || Code == EWOULDBLOCK || Code == EINPROGRESS || Code == EINTR;
}

std::string SocketErrorText(const std::string& Text, int Code, const char* Op) {
  char buf[512];
  std::snprintf(buf, sizeof(buf), "Windows socket error: %s (%d), on API '%s'", Text.c_str(), Code,
                Op);
  return buf;
}

std::string SocketErrorText(int Code, const char* Op) {
  return SocketErrorText(std::strerror(Code), Code, Op);
}

TErrorEvent ErrorEventOf(TAsyncStyle SelectEvent) {
  switch (SelectEvent) {
    case asConnect:
      return eeConnect;
    case asClose:
      return eeDisconnect;
    case asRead:
      return eeReceive;
    case asWrite:
      return eeSend;
    case asAccept:
      return eeAccept;
    default:
      return eeGeneral;
  }
}

bool PollNow(int Fd, short Events) {
  pollfd p{Fd, Events, 0};
  return ::poll(&p, 1, 0) > 0;
}

void SetBlocking(int Fd, bool Blocking) {
  int flags = ::fcntl(Fd, F_GETFL, 0);
  if (flags < 0) return;
  ::fcntl(Fd, F_SETFL, Blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

}  // namespace

// ---------------------------------------------------------------------------
// TCustomWinSocket

TCustomWinSocket::TCustomWinSocket(boost::asio::io_context& IoContext)
    : FIoContext(IoContext),
      FAlive(std::make_shared<TCustomWinSocket*>(this)),
      FResolver(IoContext) {
  FAddr.sin_family = AF_INET;
}

TCustomWinSocket::~TCustomWinSocket() {
  // Nothing reaches the component while the object goes away.
  FOnSocketEvent = nullptr;
  FOnErrorEvent = nullptr;
  *FAlive = nullptr;
  CloseQuietly();
}

void TCustomWinSocket::Lock() {
  FSocketLock.lock();
}
void TCustomWinSocket::Unlock() {
  FSocketLock.unlock();
}

std::string TCustomWinSocket::RemoteAddress() const {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &FAddr.sin_addr, text, sizeof(text));
  return text;
}

uint16_t TCustomWinSocket::RemotePort() const {
  return ntohs(FAddr.sin_port);
}

void TCustomWinSocket::Event(TSocketEvent SocketEvent) {
  if (FOnSocketEvent) FOnSocketEvent(*this, SocketEvent);
}

void TCustomWinSocket::Error(TErrorEvent ErrorEvent, int& ErrorCode) {
  if (FOnErrorEvent) FOnErrorEvent(*this, ErrorEvent, ErrorCode);
}

int TCustomWinSocket::CheckSocketResult(int ResultCode, const char* Op) {
  const int errorCode = errno;
  if (ResultCode == 0) return 0;
  if (IsWouldBlock(errorCode)) return errorCode;
  int code = ResultCode;  // the handler sees the call's result, not the error code
  Error(eeConnect, code);
  if (code != 0) throw ESocketError(SocketErrorText(errorCode, Op));
  return errorCode;
}

void TCustomWinSocket::Open(std::string_view Name, std::string_view Address,
                            std::string_view Service, uint16_t Port, bool Block) {
  std::lock_guard lock(FSocketLock);
  if (FConnected) throw ESocketError("Socket already open");
  // A reconnect may find the previous attempt still pending: close it so
  // that it neither leaks nor reports a late outcome as this one's.
  CloseQuietly();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) throw ESocketError("Can't create new socket");
  // Writers batch their bytes themselves (the gateway once per loop turn or
  // tick); Nagle would only hold a batch back for the last one's ACK.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  boost::system::error_code ec;
  auto descriptor = std::make_unique<boost::asio::posix::stream_descriptor>(FIoContext);
  descriptor->assign(fd, ec);
  if (ec) {
    ::close(fd);
    throw ESocketError("Can't create new socket");
  }
  FSocket = fd;
  FDescriptor = std::move(descriptor);
  const uint64_t generation = ++FGeneration;
  try {
    Event(seLookup);
    if (!Block) {
      AsyncInitSocket(Name, Address, Service, Port, true);
      return;
    }
    // Blocking mode resolves at once and waits for the connect.
    FAddr = sockaddr_in{};
    FAddr.sin_family = AF_INET;
    if (!Name.empty()) {
      auto results = FResolver.resolve(boost::asio::ip::tcp::v4(), Name, "", ec);
      if (ec || results.empty()) {
        LookupFailed(ec ? ec : boost::asio::error::host_not_found);
        return;
      }
      FAddr.sin_addr.s_addr = htonl(results.begin()->endpoint().address().to_v4().to_uint());
    } else if (!Address.empty()) {
      FAddr.sin_addr.s_addr = ::inet_addr(std::string(Address).c_str());
    } else {
      throw ESocketError("No address specified");
    }
    if (!Service.empty()) {
      auto results = FResolver.resolve(boost::asio::ip::tcp::v4(), "", Service,
                                       boost::asio::ip::resolver_base::passive, ec);
      if (ec || results.empty()) {
        LookupFailed(ec ? ec : boost::asio::error::service_not_found);
        return;
      }
      FAddr.sin_port = htons(results.begin()->endpoint().port());
    } else {
      FAddr.sin_port = htons(Port);
    }
    DoOpen();
  } catch (...) {
    if (FGeneration == generation) Disconnect(FSocket);
    throw;
  }
}

void TCustomWinSocket::AsyncInitSocket(std::string_view Name, std::string_view Address,
                                       std::string_view Service, uint16_t Port, bool Client) {
  switch (FLookupState) {
    case lsIdle:
      FLookupState = lsLookupAddress;
      FAddr.sin_addr.s_addr = 0;
      if (!Name.empty()) {
        FService = std::string(Service);
        FPort = Port;
        FClient = Client;
        const uint64_t lookup = FLookupHandle = ++FLookupCounter;
        FResolver.async_resolve(
            boost::asio::ip::tcp::v4(), Name, "",
            [alive = FAlive, lookup](const boost::system::error_code& ec, ResolveResults results) {
              if (TCustomWinSocket* self = *alive) self->OnLookupAddress(lookup, ec, results);
            });
        return;
      }
      if (Address.empty()) {
        int code = SOCKET_NO_ADDRESS;
        Error(eeLookup, code);
        Disconnect(FSocket);
        if (code != 0) throw ESocketError("No address specified");
        return;
      }
      // Text that is not a dotted address becomes 255.255.255.255; the
      // connect then fails and reports it.
      FAddr.sin_addr.s_addr = ::inet_addr(std::string(Address).c_str());
      [[fallthrough]];
    case lsLookupAddress:
      if (!Service.empty()) {
        FClient = Client;
        const uint64_t lookup = FLookupHandle = ++FLookupCounter;
        FResolver.async_resolve(
            boost::asio::ip::tcp::v4(), "", Service, boost::asio::ip::resolver_base::passive,
            [alive = FAlive, lookup](const boost::system::error_code& ec, ResolveResults results) {
              if (TCustomWinSocket* self = *alive) self->OnLookupService(lookup, ec, results);
            });
        return;
      }
      FLookupState = lsLookupService;
      FAddr.sin_port = htons(Port);
      [[fallthrough]];
    case lsLookupService:
      FLookupState = lsIdle;
      if (Client) DoOpen();
      break;
  }
}

void TCustomWinSocket::OnLookupAddress(uint64_t Lookup, const boost::system::error_code& Ec,
                                       const ResolveResults& Results) {
  if (Lookup != FLookupHandle) return;  // cancelled or superseded
  FLookupHandle = 0;
  if (Ec || Results.empty()) {
    LookupFailed(Ec ? Ec : boost::asio::error::host_not_found);
    return;
  }
  FAddr.sin_addr.s_addr = htonl(Results.begin()->endpoint().address().to_v4().to_uint());
  const std::string service = FService;
  try {
    AsyncInitSocket("", "", service, FPort, FClient);
  } catch (...) {
    Disconnect(FSocket);
    throw;
  }
}

void TCustomWinSocket::OnLookupService(uint64_t Lookup, const boost::system::error_code& Ec,
                                       const ResolveResults& Results) {
  if (Lookup != FLookupHandle) return;
  FLookupHandle = 0;
  if (Ec || Results.empty()) {
    LookupFailed(Ec ? Ec : boost::asio::error::service_not_found);
    return;
  }
  FAddr.sin_port = htons(Results.begin()->endpoint().port());
  FPort = 0;
  FService.clear();
  FLookupState = lsLookupService;
  try {
    AsyncInitSocket("", "", "", 0, FClient);
  } catch (...) {
    Disconnect(FSocket);
    throw;
  }
}

void TCustomWinSocket::LookupFailed(const boost::system::error_code& Ec) {
  int code = Ec.value();
  Error(eeLookup, code);
  Disconnect(FSocket);
  if (code != 0) {
    const std::string text = code == Ec.value() ? Ec.message() : std::strerror(code);
    throw ESocketError(SocketErrorText(text, code, "ASync Lookup"));
  }
}

void TCustomWinSocket::CancelLookup() {
  if (FLookupHandle == 0) return;
  FResolver.cancel();
  FLookupHandle = 0;
}

void TCustomWinSocket::DoSetAsyncStyles() {
  if (FSocket < 0) return;
  if (FAsyncStyles != 0) {
    SetBlocking(FSocket, false);
    return;
  }
  // No notifications wanted: the socket blocks like a plain one.
  FReadWait = FWriteWait = FConnectWait = 0;
  if (FDescriptor) {
    boost::system::error_code ec;
    FDescriptor->cancel(ec);
  }
  SetBlocking(FSocket, true);
}

void TCustomWinSocket::SetASyncStyles(TAsyncStyles Value) {
  if (Value == FAsyncStyles) return;
  FAsyncStyles = Value;
  if (FSocket < 0) return;
  DoSetAsyncStyles();
  if (FConnected) ArmRead();
}

void TCustomWinSocket::DoOpen() {
  DoSetAsyncStyles();
  Event(seConnecting);
  if (FSocket < 0) return;  // the handler closed it
  const int result = ::connect(FSocket, reinterpret_cast<const sockaddr*>(&FAddr), sizeof(FAddr));
  const int code = CheckSocketResult(result, "connect");
  FLookupState = lsIdle;
  if (FSocket < 0) return;
  if (FAsyncStyles & AsyncStyle(asConnect)) {
    // A connect that failed outright has nothing left to report.
    if (result == 0 || IsWouldBlock(code)) ArmConnect();
    return;
  }
  FConnected = true;
  FReadEnabled = true;
  ArmRead();
  Event(seConnect);
}

void TCustomWinSocket::Close() {
  Disconnect(FSocket);
}

int TCustomWinSocket::CloseSocketHandle() {
  FReadWait = FWriteWait = FConnectWait = 0;
  const int fd = FSocket;
  if (FDescriptor) {
    FDescriptor->release();  // pending waits complete as aborted
    FDescriptor.reset();
  }
  int result = 0;
  int errorCode = 0;
  if (fd >= 0 && ::close(fd) != 0) {
    result = -1;
    errorCode = errno;
  }
  FSocket = -1;
  FAddr = sockaddr_in{};
  FAddr.sin_family = AF_INET;
  FConnected = false;
  FLookupState = lsIdle;
  FReadEnabled = false;
  FCloseSeen = false;
  errno = errorCode;
  return result;
}

void TCustomWinSocket::CloseQuietly() {
  CancelLookup();
  if (FSocket >= 0) CloseSocketHandle();
}

void TCustomWinSocket::Disconnect(int Socket) {
  std::lock_guard lock(FSocketLock);
  CancelLookup();
  if (Socket < 0 || Socket != FSocket || FDisconnecting) return;
  FDisconnecting = true;
  try {
    Event(seDisconnect);
  } catch (...) {
    // The socket is closed all the same: the component already counts it
    // as gone, and a half-closed object would never reconnect.
    CloseSocketHandle();
    FDisconnecting = false;
    throw;
  }
  const int result = CloseSocketHandle();
  FDisconnecting = false;
  CheckSocketResult(result, "closesocket");
}

void TCustomWinSocket::Accept(int /*Socket*/) {}

void TCustomWinSocket::Connect(int /*Socket*/) {}

void TCustomWinSocket::Read(int Socket) {
  if (Socket == FSocket) Event(seRead);
}

void TCustomWinSocket::Write(int Socket) {
  if (Socket == FSocket) Event(seWrite);
}

int TCustomWinSocket::SendBuf(const void* Buf, int Count) {
  std::lock_guard lock(FSocketLock);
  if (!FConnected || Count <= 0 || Buf == nullptr) return 0;
  const ssize_t sent = ::send(FSocket, Buf, size_t(Count), MSG_NOSIGNAL);
  if (sent >= 0) return int(sent);
  const int errorCode = errno;
  if (IsWouldBlock(errorCode)) {
    ArmWrite();  // a write event follows once there is room again
    return -1;
  }
  int code = errorCode;
  Error(eeSend, code);
  Disconnect(FSocket);
  if (code != 0) throw ESocketError(SocketErrorText(code, "send"));
  return -1;
}

int TCustomWinSocket::ReceiveBuf(void* Buf, int Count) {
  std::lock_guard lock(FSocketLock);
  if (Count == -1 && FConnected) {
    int readable = 0;
    if (::ioctl(FSocket, FIONREAD, &readable) != 0) return 0;
    return readable;
  }
  if (!FConnected || Count < 0 || (Buf == nullptr && Count > 0)) return 0;
  const ssize_t received = ::recv(FSocket, Buf, size_t(Count), 0);
  const int errorCode = errno;
  if (received >= 0 || IsWouldBlock(errorCode)) {
    // Reading re-enables the read event, as the platform's receive does.
    FReadEnabled = true;
    ArmRead();
    return received >= 0 ? int(received) : -1;
  }
  int code = errorCode;
  Error(eeReceive, code);
  Disconnect(FSocket);
  if (code != 0) throw ESocketError(SocketErrorText(code, "recv"));
  return -1;
}

int TCustomWinSocket::ReceiveLength() {
  return ReceiveBuf(nullptr, -1);
}

// ---------------------------------------------------------------------------
// Readiness waits. Each wait carries an id; only the wait whose id is still
// recorded may report, so a completion for a closed or replaced socket, or a
// wait that was cancelled and re-armed, is dropped.

void TCustomWinSocket::ArmConnect() {
  if (FSocket < 0 || FConnectWait != 0) return;
  const uint64_t id = FConnectWait = ++FWaitCounter;
  FDescriptor->async_wait(boost::asio::posix::stream_descriptor::wait_write,
                          [alive = FAlive, id](const boost::system::error_code& ec) {
                            if (TCustomWinSocket* self = *alive) self->OnConnectReady(id, ec);
                          });
}

void TCustomWinSocket::ArmRead() {
  if (FSocket < 0 || FReadWait != 0 || !FReadEnabled || FCloseSeen) return;
  if (!(FAsyncStyles & (AsyncStyle(asRead) | AsyncStyle(asClose)))) return;
  const uint64_t id = FReadWait = ++FWaitCounter;
  auto handler = [alive = FAlive, id](const boost::system::error_code& ec) {
    if (TCustomWinSocket* self = *alive) self->OnReadReady(id, ec);
  };
  // The reactor reports edges; readiness that is already there (bytes left
  // unread by the last event) would otherwise never be reported again.
  if (PollNow(FSocket, POLLIN))
    boost::asio::post(FIoContext, [handler] { handler(boost::system::error_code()); });
  else
    FDescriptor->async_wait(boost::asio::posix::stream_descriptor::wait_read, handler);
}

void TCustomWinSocket::ArmWrite() {
  if (FSocket < 0 || FWriteWait != 0 || !(FAsyncStyles & AsyncStyle(asWrite))) return;
  const uint64_t id = FWriteWait = ++FWaitCounter;
  auto handler = [alive = FAlive, id](const boost::system::error_code& ec) {
    if (TCustomWinSocket* self = *alive) self->OnWriteReady(id, ec);
  };
  if (PollNow(FSocket, POLLOUT))
    boost::asio::post(FIoContext, [handler] { handler(boost::system::error_code()); });
  else
    FDescriptor->async_wait(boost::asio::posix::stream_descriptor::wait_write, handler);
}

void TCustomWinSocket::OnConnectReady(uint64_t Id, const boost::system::error_code& Ec) {
  if (Id != FConnectWait) return;
  FConnectWait = 0;
  if (Ec) return;
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0) {
    // Queued before the connect event so that a throwing handler cannot
    // leave the connection deaf; they run after it.
    FReadEnabled = true;
    ArmWrite();
    ArmRead();
  }
  CMSocketMessage(FSocket, asConnect, error);
}

void TCustomWinSocket::OnReadReady(uint64_t Id, const boost::system::error_code& Ec) {
  if (Id != FReadWait) return;
  FReadWait = 0;
  if (Ec) return;
  int readable = 0;
  if (::ioctl(FSocket, FIONREAD, &readable) != 0) readable = 0;
  if (readable <= 0) {
    // Readable with nothing to read: the peer closed, or the connection
    // failed, or the wake-up was spurious.
    char probe;
    const ssize_t peeked = ::recv(FSocket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    const int errorCode = errno;
    if (peeked < 0 && IsWouldBlock(errorCode)) {
      ArmRead();
      return;
    }
    if (peeked <= 0) {
      FCloseSeen = true;
      if (FAsyncStyles & AsyncStyle(asClose))
        CMSocketMessage(FSocket, asClose, peeked == 0 ? 0 : errorCode);
      return;
    }
  }
  // Without the read style nobody drains the bytes; stop waiting rather
  // than spin on them.
  if (!(FAsyncStyles & AsyncStyle(asRead))) return;
  FReadEnabled = false;  // until the next receive
  CMSocketMessage(FSocket, asRead, 0);
}

void TCustomWinSocket::OnWriteReady(uint64_t Id, const boost::system::error_code& Ec) {
  if (Id != FWriteWait) return;
  FWriteWait = 0;
  if (Ec) return;
  CMSocketMessage(FSocket, asWrite, 0);
}

void TCustomWinSocket::CMSocketMessage(int Socket, TAsyncStyle SelectEvent, int SelectError) {
  if (Socket < 0 || Socket != FSocket) return;
  if (SelectError != 0) {
    // Only the error is reported; the readiness itself is not delivered and
    // nothing is raised whatever the handler leaves in the code.
    int code = SelectError;
    Error(ErrorEventOf(SelectEvent), code);
    return;
  }
  switch (SelectEvent) {
    case asRead:
      Read(Socket);
      break;
    case asWrite:
      Write(Socket);
      break;
    case asAccept:
      Accept(Socket);
      break;
    case asConnect:
      Connect(Socket);
      break;
    case asClose:
      Disconnect(Socket);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// TClientWinSocket

void TClientWinSocket::SetClientType(TClientType Value) {
  if (Value == FClientType) return;
  if (FConnected) throw ESocketError(kCantChangeWhileActive);
  FClientType = Value;
  SetASyncStyles(Value == ctBlocking ? TAsyncStyles(0) : DefaultAsyncStyles);
}

void TClientWinSocket::Connect(int /*Socket*/) {
  FConnected = true;
  Event(seConnect);
}

// ---------------------------------------------------------------------------
// TAbstractSocket, TCustomSocket

void TAbstractSocket::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  DoActivate(Value);
}

void TAbstractSocket::SetText(std::string& Field, std::string_view Value) {
  if (Value.size() == Field.size() &&
      ::strncasecmp(Field.data(), std::string(Value).c_str(), Value.size()) == 0)
    return;
  if (FActive) throw ESocketError(kCantChangeWhileActive);
  Field = std::string(Value);
}

void TAbstractSocket::SetAddress(std::string_view Value) {
  SetText(FAddress, Value);
}
void TAbstractSocket::SetHost(std::string_view Value) {
  SetText(FHost, Value);
}
void TAbstractSocket::SetService(std::string_view Value) {
  SetText(FService, Value);
}

void TAbstractSocket::SetPort(int Value) {
  if (Value == FPort) return;
  if (FActive) throw ESocketError(kCantChangeWhileActive);
  FPort = Value;
}

void TCustomSocket::Event(TCustomWinSocket& Socket, TSocketEvent SocketEvent) {
  const TSocketNotifyEvent* handler = nullptr;
  switch (SocketEvent) {
    case seLookup:
      handler = &OnLookup;
      break;
    case seConnecting:
      handler = &OnConnecting;
      break;
    case seConnect:
      FActive = true;
      handler = &OnConnect;
      break;
    case seDisconnect:
      FActive = false;
      handler = &OnDisconnect;
      break;
    case seListen:
      FActive = true;
      handler = &OnListen;
      break;
    case seAccept:
      handler = &OnAccept;
      break;
    case seWrite:
      handler = &OnWrite;
      break;
    case seRead:
      handler = &OnRead;
      break;
  }
  if (handler && *handler) (*handler)(*this, Socket);
}

void TCustomSocket::Error(TCustomWinSocket& Socket, TErrorEvent ErrorEvent, int& ErrorCode) {
  if (OnError) OnError(*this, Socket, ErrorEvent, ErrorCode);
}

// ---------------------------------------------------------------------------
// TClientSocket

TClientSocket::TClientSocket(boost::asio::io_context& IoContext)
    : FClientSocket(std::make_unique<TClientWinSocket>(IoContext)) {
  FClientSocket->SetOnSocketEvent(
      [this](TCustomWinSocket& socket, TSocketEvent event) { Event(socket, event); });
  FClientSocket->SetOnErrorEvent([this](TCustomWinSocket& socket, TErrorEvent event, int& code) {
    Error(socket, event, code);
  });
}

TClientSocket::~TClientSocket() {
  FClientSocket.reset();
}

void TClientSocket::SetClientType(TClientType Value) {
  FClientSocket->SetClientType(Value);
}

void TClientSocket::DoActivate(bool Value) {
  if (Value == FClientSocket->Connected()) return;
  if (FClientSocket->Connected())
    FClientSocket->Close();
  else
    FClientSocket->Open(FHost, FAddress, FService, uint16_t(FPort), ClientType() == ctBlocking);
}

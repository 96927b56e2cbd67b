#include "net/JSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// A plain blocking listener on 127.0.0.1 with a port picked by the kernel.
class Listener {
 public:
  explicit Listener(int RcvBuf = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (RcvBuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &RcvBuf, sizeof(RcvBuf));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    EXPECT_EQ(::listen(fd_, 16), 0);
    socklen_t len = sizeof(a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  uint16_t Port() const { return port_; }
  // Accepted peer or -1 after the timeout.
  int Accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A port on which nothing listens: connections to it are refused.
uint16_t RefusedPort() {
  Listener l;
  return l.Port();
}

std::string ReadExactly(int Fd, size_t Count) {
  std::string out;
  char buf[65536];
  while (out.size() < Count) {
    pollfd p{Fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = ::recv(Fd, buf, std::min(sizeof(buf), Count - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

bool RunUntil(boost::asio::io_context& Io, const std::function<bool()>& Done,
              std::chrono::milliseconds Timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  while (!Done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (Io.stopped()) Io.restart();
    if (Io.run_for(5ms) == 0) std::this_thread::sleep_for(1ms);
  }
  return true;
}

size_t OpenFdCount() {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Records every event of a client socket as a short word.
struct Recorder {
  std::vector<std::string> Events;
  std::string Received;
  int ReadChunk = 65536;      // bytes taken per read event
  bool HandleErrors = false;  // act like the engine: clear the code, close

  explicit Recorder(TClientSocket& S) {
    auto note = [this](const char* word) {
      return [this, word](TCustomSocket&, TCustomWinSocket&) { Events.push_back(word); };
    };
    S.OnLookup = note("lookup");
    S.OnConnecting = note("connecting");
    S.OnConnect = note("connect");
    S.OnDisconnect = note("disconnect");
    S.OnWrite = note("write");
    S.OnRead = [this](TCustomSocket&, TCustomWinSocket& Socket) {
      Events.push_back("read");
      const int n = std::min(Socket.ReceiveLength(), ReadChunk);
      std::string buf(size_t(std::max(n, 0)), '\0');
      const int got = Socket.ReceiveBuf(buf.data(), n);
      if (got > 0) Received.append(buf.data(), size_t(got));
    };
    S.OnError = [this](TCustomSocket&, TCustomWinSocket& Socket, TErrorEvent Event, int& Code) {
      Events.push_back("error:" + std::to_string(int(Event)) + ":" + std::to_string(Code));
      if (HandleErrors) {
        Code = 0;
        Socket.Close();
      }
    };
  }
  size_t Count(const std::string& Word) const {
    return size_t(std::count(Events.begin(), Events.end(), Word));
  }
  bool HasPrefix(const std::string& Prefix) const {
    for (auto& e : Events)
      if (e.rfind(Prefix, 0) == 0) return true;
    return false;
  }
};

std::string ErrorWord(TErrorEvent Event, int Code) {
  return "error:" + std::to_string(int(Event)) + ":" + std::to_string(Code);
}

void Start(TClientSocket& S, uint16_t Port) {
  S.SetAddress("127.0.0.1");
  S.SetPort(Port);
  S.SetActive(true);
}

TEST(ClientSocket, ConnectThenReadEventsInOrder) {
  boost::asio::io_context io;
  Listener listener;
  TClientSocket s(io);
  Recorder rec(s);

  EXPECT_EQ(s.Socket().SendBuf("x", 1), 0);
  EXPECT_EQ(s.Socket().ReceiveLength(), 0);
  char c;
  EXPECT_EQ(s.Socket().ReceiveBuf(&c, 1), 0);

  Start(s, listener.Port());
  // Non-blocking: the outcome arrives later, on the loop.
  EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup", "connecting"}));
  EXPECT_TRUE(s.Active());
  EXPECT_FALSE(s.Socket().Connected());

  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("write") == 1; }));
  EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup", "connecting", "connect", "write"}));
  EXPECT_TRUE(s.Socket().Connected());
  EXPECT_EQ(s.Socket().RemotePort(), listener.Port());
  EXPECT_EQ(s.Socket().RemoteAddress(), "127.0.0.1");

  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(::send(peer, "hello", 5, 0), 5);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Received == "hello"; }));
  ASSERT_EQ(::send(peer, "world", 5, 0), 5);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Received == "helloworld"; }));
  EXPECT_EQ(rec.Count("read"), 2u);

  // A handler that leaves bytes unread is told again until they are gone.
  rec.ReadChunk = 4;
  ASSERT_EQ(::send(peer, "0123456789", 10, 0), 10);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Received == "helloworld0123456789"; }));
  EXPECT_EQ(rec.Count("read"), 5u);

  EXPECT_EQ(s.Socket().SendBuf("ping", 4), 4);
  EXPECT_EQ(ReadExactly(peer, 4), "ping");

  s.SetActive(false);
  EXPECT_EQ(rec.Events.back(), "disconnect");
  EXPECT_FALSE(s.Active());
  EXPECT_FALSE(s.Socket().Connected());
  EXPECT_EQ(s.Socket().SocketHandle(), -1);
  EXPECT_EQ(ReadExactly(peer, 1), "");  // the peer sees the close
  ::close(peer);
}

TEST(ClientSocket, RefusedConnectionReportsConnectError) {
  boost::asio::io_context io;
  const uint16_t port = RefusedPort();
  {
    // Left unhandled: only the error is reported, nothing is raised and the
    // socket is not closed.
    TClientSocket s(io);
    Recorder rec(s);
    Start(s, port);
    ASSERT_TRUE(RunUntil(io, [&] { return rec.HasPrefix("error:"); }));
    io.run_for(20ms);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup", "connecting",
                                                    ErrorWord(eeConnect, ECONNREFUSED)}));
    EXPECT_TRUE(s.Active());
    EXPECT_FALSE(s.Socket().Connected());
    EXPECT_GE(s.Socket().SocketHandle(), 0);
  }
  {
    // The engine's handler clears the code and closes: a disconnect follows.
    TClientSocket s(io);
    Recorder rec(s);
    rec.HandleErrors = true;
    Start(s, port);
    ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("disconnect") == 1; }));
    EXPECT_EQ(rec.Events,
              (std::vector<std::string>{"lookup", "connecting", ErrorWord(eeConnect, ECONNREFUSED),
                                        "disconnect"}));
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.Socket().SocketHandle(), -1);

    // The reconnect step deactivates and activates: a fresh attempt.
    s.SetActive(false);
    s.SetActive(true);
    ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("disconnect") == 2; }));
    EXPECT_EQ(rec.Count("connect"), 0u);
  }
}

TEST(ClientSocket, MissingOrBadAddress) {
  boost::asio::io_context io;
  {
    TClientSocket s(io);
    Recorder rec(s);
    try {
      s.SetActive(true);
      FAIL() << "no exception";
    } catch (const ESocketError& e) {
      EXPECT_STREQ(e.what(), "No address specified");
    }
    EXPECT_EQ(rec.Events,
              (std::vector<std::string>{"lookup", ErrorWord(eeLookup, 1110), "disconnect"}));
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.Socket().SocketHandle(), -1);
  }
  {
    TClientSocket s(io);
    Recorder rec(s);
    s.OnError = [&](TCustomSocket&, TCustomWinSocket&, TErrorEvent, int& Code) { Code = 0; };
    EXPECT_NO_THROW(s.SetActive(true));
    EXPECT_EQ(rec.Count("disconnect"), 1u);
    EXPECT_EQ(s.Socket().SocketHandle(), -1);

    // A later attempt with an address starts from scratch.
    Listener listener;
    s.SetAddress("127.0.0.1");
    s.SetPort(listener.Port());
    s.SetActive(true);
    ASSERT_TRUE(RunUntil(io, [&] { return s.Socket().Connected(); }));
    EXPECT_EQ(s.Socket().RemoteAddress(), "127.0.0.1");
  }
  {
    // A host name in Address is not looked up: the connect fails.
    TClientSocket s(io);
    Recorder rec(s);
    rec.HandleErrors = true;
    s.SetAddress("localhost");
    s.SetPort(RefusedPort());
    EXPECT_NO_THROW(s.SetActive(true));
    ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("disconnect") == 1; }));
    EXPECT_TRUE(rec.HasPrefix("error:" + std::to_string(int(eeConnect)) + ":"));
    EXPECT_EQ(rec.Count("connect"), 0u);
  }
}

TEST(ClientSocket, SettingsLockedWhileActive) {
  boost::asio::io_context io;
  Listener listener;
  TClientSocket s(io);
  Recorder rec(s);
  s.SetHost("LocalHost");
  s.SetHost("localhost");  // same text in another case: unchanged
  EXPECT_EQ(s.Host(), "LocalHost");
  s.SetHost("");
  Start(s, listener.Port());
  ASSERT_TRUE(RunUntil(io, [&] { return s.Socket().Connected(); }));

  EXPECT_NO_THROW(s.SetAddress("127.0.0.1"));
  EXPECT_NO_THROW(s.SetPort(listener.Port()));
  try {
    s.SetAddress("127.0.0.2");
    FAIL() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Can't change value while socket is active");
  }
  EXPECT_THROW(s.SetPort(listener.Port() + 1), ESocketError);
  EXPECT_THROW(s.SetHost("localhost"), ESocketError);
  EXPECT_THROW(s.SetService("http"), ESocketError);
  EXPECT_THROW(s.SetClientType(ctBlocking), ESocketError);
  try {
    s.Socket().Open("", "127.0.0.1", "", listener.Port(), false);
    FAIL() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Socket already open");
  }
  EXPECT_EQ(s.Address(), "127.0.0.1");
  EXPECT_TRUE(s.Socket().Connected());

  s.Close();
  EXPECT_NO_THROW(s.SetPort(1));
  EXPECT_EQ(s.Port(), 1);
}

TEST(ClientSocket, PeerCloseDisconnectsAfterLastRead) {
  boost::asio::io_context io;
  Listener listener;
  TClientSocket s(io);
  Recorder rec(s);
  Start(s, listener.Port());
  ASSERT_TRUE(RunUntil(io, [&] { return s.Socket().Connected(); }));
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(::send(peer, "bye", 3, 0), 3);
  ::close(peer);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("disconnect") == 1; }));
  EXPECT_EQ(rec.Received, "bye");
  EXPECT_EQ(rec.Events.back(), "disconnect");
  EXPECT_EQ(rec.Events[rec.Events.size() - 2], "read");
  EXPECT_FALSE(rec.HasPrefix("error:"));
  EXPECT_FALSE(s.Active());
  EXPECT_FALSE(s.Socket().Connected());
  EXPECT_EQ(s.Socket().SocketHandle(), -1);
}

TEST(ClientSocket, ResetPeerThenSendRaisesUnlessHandled) {
  boost::asio::io_context io;
  Listener listener;
  for (const bool handled : {false, true}) {
    SCOPED_TRACE(handled ? "handled" : "unhandled");
    TClientSocket s(io);
    Recorder rec(s);
    Start(s, listener.Port());
    ASSERT_TRUE(RunUntil(io, [&] { return s.Socket().Connected(); }));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    linger hard{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    ::close(peer);  // reset

    // A close carrying an error reports only the error.
    ASSERT_TRUE(RunUntil(io, [&] { return rec.HasPrefix("error:"); }));
    EXPECT_EQ(rec.Events.back(), ErrorWord(eeDisconnect, ECONNRESET));
    EXPECT_TRUE(s.Socket().Connected());
    EXPECT_EQ(rec.Count("disconnect"), 0u);

    s.OnError = [&](TCustomSocket&, TCustomWinSocket&, TErrorEvent Event, int& Code) {
      rec.Events.push_back(ErrorWord(Event, Code));
      if (handled) Code = 0;
    };
    if (handled) {
      EXPECT_EQ(s.Socket().SendBuf("data", 4), -1);
    } else {
      try {
        s.Socket().SendBuf("data", 4);
        FAIL() << "no exception";
      } catch (const ESocketError& e) {
        EXPECT_EQ(std::string(e.what()), "Windows socket error: " + std::string(strerror(EPIPE)) +
                                             " (" + std::to_string(EPIPE) + "), on API 'send'");
      }
    }
    EXPECT_EQ(rec.Events[rec.Events.size() - 2], ErrorWord(eeSend, EPIPE));
    EXPECT_EQ(rec.Events.back(), "disconnect");
    EXPECT_FALSE(s.Socket().Connected());
    EXPECT_FALSE(s.Active());
  }
}

TEST(ClientSocket, PartialSendAndWouldBlock) {
  boost::asio::io_context io;
  Listener listener(4096);
  TClientSocket s(io);
  Recorder rec(s);
  Start(s, listener.Port());
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("write") == 1; }));
  const int peer = listener.Accept();  // never reads until the end
  ASSERT_GE(peer, 0);
  const int sndbuf = 16384;
  ::setsockopt(s.Socket().SocketHandle(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));

  std::string data(8 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char((i * 7 + i / 251) & 0xFF);
  const int chunk = 256 * 1024;
  size_t offset = 0;
  bool partial = false;
  bool wouldBlock = false;
  while (offset + chunk <= data.size()) {
    const int n = s.Socket().SendBuf(data.data() + offset, chunk);
    if (n < 0) {
      wouldBlock = true;
      break;
    }
    ASSERT_GT(n, 0);
    if (n < chunk) partial = true;
    offset += size_t(n);
  }
  EXPECT_TRUE(partial);
  ASSERT_TRUE(wouldBlock);
  EXPECT_EQ(s.Socket().SendBuf(data.data() + offset, chunk), -1);  // still full
  EXPECT_TRUE(s.Socket().Connected());
  EXPECT_FALSE(rec.HasPrefix("error:"));

  // Every accepted byte arrives once, in order; then a write event says
  // there is room again.
  const std::string got = ReadExactly(peer, offset);
  ASSERT_EQ(got.size(), offset);
  EXPECT_TRUE(got == data.substr(0, offset));
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("write") == 2; }));
  EXPECT_GT(s.Socket().SendBuf(data.data() + offset, 100), 0);
  ::close(peer);
}

TEST(ClientSocket, NewOpenClosesPendingAttemptAndDropsItsNotifications) {
  boost::asio::io_context io;
  boost::asio::posix::stream_descriptor warmReactor(io);
  Listener good;
  const uint16_t refused = RefusedPort();
  TClientSocket s(io);
  Recorder rec(s);
  const size_t fdsBefore = OpenFdCount();

  Start(s, refused);  // its refusal is on its way, not yet seen
  const int pending = s.Socket().SocketHandle();
  ASSERT_GE(pending, 0);
  s.SetActive(false);  // only the flag: the attempt stays
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.Socket().SocketHandle(), pending);

  s.SetPort(good.Port());
  s.SetActive(true);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("write") == 1; }));
  io.run_for(50ms);
  EXPECT_EQ(rec.Count("connect"), 1u);
  EXPECT_FALSE(rec.HasPrefix("error:"));
  EXPECT_EQ(rec.Count("disconnect"), 0u);
  EXPECT_EQ(s.Socket().RemotePort(), good.Port());
  EXPECT_EQ(OpenFdCount(), fdsBefore + 1);

  // Deactivating while a connect is pending does not stop it: the connect
  // event makes the component active again.
  TClientSocket late(io);
  Recorder lateRec(late);
  Start(late, good.Port());
  late.SetActive(false);
  ASSERT_TRUE(RunUntil(io, [&] { return lateRec.Count("connect") == 1; }));
  EXPECT_TRUE(late.Active());
}

TEST(ClientSocket, HostAndServiceLookups) {
  boost::asio::io_context io;
  Listener listener;
  {
    TClientSocket s(io);
    Recorder rec(s);
    s.SetHost("localhost");
    s.SetPort(listener.Port());
    s.SetActive(true);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup"}));
    EXPECT_EQ(s.Socket().LookupState(), lsLookupAddress);
    ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("connect") == 1; }));
    ASSERT_GE(rec.Events.size(), 3u);
    rec.Events.resize(3);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup", "connecting", "connect"}));
    EXPECT_EQ(s.Socket().RemoteAddress(), "127.0.0.1");
    EXPECT_EQ(s.Socket().LookupState(), lsIdle);
  }
  {
    TClientSocket s(io);
    Recorder rec(s);
    s.SetHost("localhost");
    s.SetService(std::to_string(listener.Port()));
    s.SetActive(true);
    ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("connect") == 1; }));
    EXPECT_EQ(s.Socket().RemotePort(), listener.Port());
  }
  {
    // Closing while the lookup is pending drops its completion.
    TClientSocket s(io);
    Recorder rec(s);
    s.SetHost("localhost");
    s.SetPort(listener.Port());
    s.SetActive(true);
    s.Socket().Close();
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup", "disconnect"}));
    RunUntil(
        io, [] { return false; }, 300ms);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup", "disconnect"}));
  }
  for (const bool handled : {false, true}) {
    TClientSocket s(io);
    Recorder rec(s);
    rec.HandleErrors = handled;
    s.SetAddress("127.0.0.1");
    s.SetService("no-such-service-tavrel");
    s.SetActive(true);
    bool raised = false;
    try {
      RunUntil(io, [&] { return rec.Count("disconnect") == 1; });
    } catch (const ESocketError& e) {
      raised = true;
      EXPECT_NE(std::string(e.what()).find("on API 'ASync Lookup'"), std::string::npos);
    }
    EXPECT_EQ(raised, !handled);
    EXPECT_TRUE(rec.HasPrefix("error:" + std::to_string(int(eeLookup)) + ":"));
    EXPECT_EQ(rec.Count("disconnect"), 1u);
    EXPECT_EQ(rec.Count("connecting"), 0u);
  }
}

TEST(ClientSocket, BlockingClientConnectsAtOnce) {
  boost::asio::io_context io;
  Listener listener;
  TClientSocket s(io);
  Recorder rec(s);
  s.SetClientType(ctBlocking);
  EXPECT_EQ(s.Socket().ASyncStyles(), 0);
  Start(s, listener.Port());
  EXPECT_EQ(rec.Events, (std::vector<std::string>{"lookup", "connecting", "connect"}));
  ASSERT_TRUE(s.Socket().Connected());
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
  char buf[3];
  EXPECT_EQ(s.Socket().ReceiveBuf(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  s.Close();
  s.SetClientType(ctNonBlocking);
  EXPECT_EQ(s.Socket().ASyncStyles(), DefaultAsyncStyles);
  ::close(peer);
}

}  // namespace

#include "net/JSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
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

// Lets whatever is already on its way arrive and be handled.
void Settle(boost::asio::io_context& Io) {
  RunUntil(
      Io, [] { return false; }, 50ms);
}

size_t OpenFdCount() {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

std::string ErrorWord(TErrorEvent Event, int Code) {
  return "error:" + std::to_string(int(Event)) + ":" + std::to_string(Code);
}

// Records every event of a client socket as a short word and reads like the
// engine: until the socket would block or closes.
struct Recorder {
  std::vector<std::string> Events;
  std::vector<int> Results;  // of every ReceiveBuf in a read event
  std::string Received;
  int ReadChunk = 65536;           // bytes asked per receive
  int ReceivesPerEvent = INT_MAX;  // 0: the handler takes nothing
  bool HandleErrors = false;       // act like the engine: clear the code, close

  explicit Recorder(TClientSocket& S) {
    auto note = [this](const char* word) {
      return [this, word](TCustomSocket&, TCustomWinSocket&) { Events.push_back(word); };
    };
    S.OnConnect = note("connect");
    S.OnDisconnect = note("disconnect");
    S.OnRead = [this](TCustomSocket&, TCustomWinSocket& Socket) {
      Events.push_back("read");
      for (int i = 0; i < ReceivesPerEvent; ++i)
        if (Receive(Socket) <= 0) break;
    };
    S.OnError = [this](TCustomSocket&, TCustomWinSocket& Socket, TErrorEvent Event, int& Code) {
      Events.push_back(ErrorWord(Event, Code));
      if (HandleErrors) {
        Code = 0;
        Socket.Close();
      }
    };
  }
  int Receive(TCustomWinSocket& Socket) {
    std::string buf(size_t(ReadChunk), '\0');
    const int got = Socket.ReceiveBuf(buf.data(), ReadChunk);
    Results.push_back(got);
    if (got > 0) Received.append(buf.data(), size_t(got));
    return got;
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

void Start(TClientSocket& S, uint16_t Port) {
  S.SetAddress("127.0.0.1");
  S.SetPort(Port);
  S.SetActive(true);
}

// Connects `S` to the listener; the listener's end, -1 when either fails.
int ConnectTo(boost::asio::io_context& Io, TClientSocket& S, Listener& L) {
  Start(S, L.Port());
  if (!RunUntil(Io, [&] { return S.Socket().Connected(); })) return -1;
  return L.Accept();
}

TEST(ClientSocket, ConnectThenReadEventsInOrder) {
  boost::asio::io_context io;
  Listener listener;
  TClientSocket s(io);
  Recorder rec(s);

  EXPECT_EQ(s.Socket().SendBuf("x", 1), 0);
  char c;
  EXPECT_EQ(s.Socket().ReceiveBuf(&c, 1), 0);

  Start(s, listener.Port());
  // Non-blocking: the outcome arrives later, on the loop.
  EXPECT_TRUE(rec.Events.empty());
  EXPECT_TRUE(s.Active());
  EXPECT_FALSE(s.Socket().Connected());
  EXPECT_GE(s.Socket().SocketHandle(), 0);
  EXPECT_EQ(s.Socket().RemotePort(), listener.Port());

  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("connect") == 1; }));
  EXPECT_EQ(rec.Events, (std::vector<std::string>{"connect"}));
  EXPECT_TRUE(s.Socket().Connected());
  EXPECT_EQ(s.Socket().RemotePort(), listener.Port());
  EXPECT_EQ(s.Socket().RemoteAddress(), "127.0.0.1");

  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(::send(peer, "hello", 5, 0), 5);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Received == "hello"; }));
  ASSERT_EQ(::send(peer, "world", 5, 0), 5);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Received == "helloworld"; }));
  Settle(io);
  // One event each, read until the socket would block.
  EXPECT_EQ(rec.Count("read"), 2u);
  EXPECT_EQ(rec.Results, (std::vector<int>{5, -1, 5, -1}));
  EXPECT_EQ(s.Socket().ReceiveBuf(&c, 1), -1);

  // A handler that leaves bytes unread is told again until they are gone.
  rec.ReadChunk = 4;
  rec.ReceivesPerEvent = 1;
  rec.Results.clear();
  ASSERT_EQ(::send(peer, "0123456789", 10, 0), 10);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Received == "helloworld0123456789"; }));
  Settle(io);
  EXPECT_EQ(rec.Results, (std::vector<int>{4, 4, 2}));
  EXPECT_EQ(rec.Count("read"), 5u);

  EXPECT_EQ(s.Socket().SendBuf("ping", 4), 4);
  EXPECT_EQ(ReadExactly(peer, 4), "ping");

  s.SetActive(false);
  EXPECT_EQ(rec.Events.back(), "disconnect");
  EXPECT_FALSE(s.Active());
  EXPECT_FALSE(s.Socket().Connected());
  EXPECT_EQ(s.Socket().SocketHandle(), -1);
  EXPECT_EQ(s.Socket().SendBuf("x", 1), 0);
  EXPECT_EQ(ReadExactly(peer, 1), "");  // the peer sees the close
  ::close(peer);
}

// The engine's receipt stops at its buffer's cap without draining the
// socket, and resumes outside any event once its slices made room.
TEST(ClientSocket, AReaderThatStopsResumesWithItsOwnReceive) {
  boost::asio::io_context io;
  Listener listener;
  TClientSocket s(io);
  Recorder rec(s);
  rec.ReceivesPerEvent = 0;
  const int peer = ConnectTo(io, s, listener);
  ASSERT_GE(peer, 0);

  ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("read") == 1; }));
  ASSERT_EQ(::send(peer, "def", 3, 0), 3);
  Settle(io);
  EXPECT_EQ(rec.Count("read"), 1u);  // took nothing: not told again

  // A full read leaves nothing armed: the reader goes on by itself.
  rec.ReadChunk = 2;
  EXPECT_EQ(rec.Receive(s.Socket()), 2);
  Settle(io);
  EXPECT_EQ(rec.Count("read"), 1u);
  rec.ReadChunk = 100;
  EXPECT_EQ(rec.Receive(s.Socket()), 4);
  EXPECT_EQ(rec.Received, "abcdef");

  // The short read found the socket drained: what comes next is left to the
  // read event, without asking the OS again.
  ASSERT_EQ(::send(peer, "g", 1, 0), 1);
  EXPECT_EQ(rec.Receive(s.Socket()), -1);
  EXPECT_EQ(rec.Received, "abcdef");
  rec.ReceivesPerEvent = INT_MAX;
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Received == "abcdefg"; }));
  EXPECT_EQ(rec.Count("read"), 2u);
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
    Settle(io);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{ErrorWord(eeConnect, ECONNREFUSED)}));
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
              (std::vector<std::string>{ErrorWord(eeConnect, ECONNREFUSED), "disconnect"}));
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
              (std::vector<std::string>{ErrorWord(eeLookup, SOCKET_NO_ADDRESS), "disconnect"}));
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
    // A host name is not looked up: the attempt fails at once.
    TClientSocket s(io);
    Recorder rec(s);
    s.SetAddress("localhost");
    s.SetPort(RefusedPort());
    EXPECT_THROW(s.SetActive(true), ESocketError);
    rec.HandleErrors = true;
    EXPECT_NO_THROW(s.SetActive(true));
    EXPECT_EQ(rec.Events, (std::vector<std::string>{ErrorWord(eeLookup, EINVAL), "disconnect",
                                                    ErrorWord(eeLookup, EINVAL), "disconnect"}));
    Settle(io);
    EXPECT_EQ(rec.Count("connect"), 0u);
    EXPECT_FALSE(s.Active());
  }
}

TEST(ClientSocket, SettingsLockedWhileActive) {
  boost::asio::io_context io;
  Listener listener;
  TClientSocket s(io);
  Recorder rec(s);
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
  try {
    s.Socket().Open("127.0.0.1", listener.Port());
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
  const int peer = ConnectTo(io, s, listener);
  ASSERT_GE(peer, 0);
  // Bytes and close arrive together (on loopback nearly always): one
  // readiness edge for both, and the close is still seen.
  ASSERT_EQ(::send(peer, "bye", 3, 0), 3);
  ::close(peer);
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("disconnect") == 1; }));
  EXPECT_EQ(rec.Received, "bye");
  EXPECT_EQ(rec.Events.back(), "disconnect");
  EXPECT_EQ(rec.Events[rec.Events.size() - 2], "read");
  EXPECT_EQ(rec.Results.back(), 0);
  EXPECT_FALSE(rec.HasPrefix("error:"));
  EXPECT_FALSE(s.Active());
  EXPECT_FALSE(s.Socket().Connected());
  EXPECT_EQ(s.Socket().SocketHandle(), -1);
}

TEST(ClientSocket, ResetPeerReportsTheFailingCall) {
  boost::asio::io_context io;
  Listener listener;
  auto resetPeer = [&](TClientSocket& s) {
    EXPECT_TRUE(RunUntil(io, [&] { return s.Socket().Connected(); }));
    const int peer = listener.Accept();
    EXPECT_GE(peer, 0);
    linger hard{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    ::close(peer);
  };
  for (const bool handled : {false, true}) {
    SCOPED_TRACE(handled ? "handled" : "unhandled");
    TClientSocket s(io);
    Recorder rec(s);
    rec.HandleErrors = handled;
    Start(s, listener.Port());
    resetPeer(s);
    bool raised = false;
    try {
      RunUntil(io, [&] { return rec.Count("disconnect") == 1; });
    } catch (const ESocketError& e) {
      raised = true;
      EXPECT_EQ(std::string(e.what()),
                "Windows socket error: " + std::string(strerror(ECONNRESET)) + " (" +
                    std::to_string(ECONNRESET) + "), on API 'recv'");
    }
    EXPECT_EQ(raised, !handled);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{
                              "connect", "read", ErrorWord(eeReceive, ECONNRESET), "disconnect"}));
    EXPECT_FALSE(s.Socket().Connected());
    EXPECT_FALSE(s.Active());
  }
  for (const bool handled : {false, true}) {
    SCOPED_TRACE(handled ? "send handled" : "send unhandled");
    TClientSocket s(io);
    Recorder rec(s);
    rec.HandleErrors = handled;
    rec.ReceivesPerEvent = 0;  // the reset waits for a send to find it
    Start(s, listener.Port());
    resetPeer(s);
    ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("read") == 1; }));
    try {
      EXPECT_EQ(s.Socket().SendBuf("data", 4), -1);
      EXPECT_TRUE(handled);
    } catch (const ESocketError& e) {
      EXPECT_FALSE(handled);
      EXPECT_NE(std::string(e.what()).find("on API 'send'"), std::string::npos) << e.what();
    }
    ASSERT_EQ(rec.Events.size(), 4u);
    EXPECT_TRUE(rec.Events[2] == ErrorWord(eeSend, ECONNRESET) ||
                rec.Events[2] == ErrorWord(eeSend, EPIPE))
        << rec.Events[2];
    EXPECT_EQ(rec.Events.back(), "disconnect");
    EXPECT_FALSE(s.Socket().Connected());
  }
}

TEST(ClientSocket, PartialSendAndWouldBlock) {
  boost::asio::io_context io;
  Listener listener(4096);
  TClientSocket s(io);
  Recorder rec(s);
  const int peer = ConnectTo(io, s, listener);  // never reads until the end
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

  // Every accepted byte arrives once, in order; then there is room again.
  const std::string got = ReadExactly(peer, offset);
  ASSERT_EQ(got.size(), offset);
  EXPECT_TRUE(got == data.substr(0, offset));
  EXPECT_GT(s.Socket().SendBuf(data.data() + offset, 100), 0);
  ::close(peer);
}

TEST(ClientSocket, NewOpenClosesPendingAttemptAndDropsItsNotifications) {
  boost::asio::io_context io;
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
  ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("connect") == 1; }));
  Settle(io);
  EXPECT_EQ(rec.Events, (std::vector<std::string>{"connect"}));
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

  // Closing the attempt itself reports the disconnect and nothing after it.
  TClientSocket closed(io);
  Recorder closedRec(closed);
  Start(closed, good.Port());
  closed.Socket().Close();
  Settle(io);
  EXPECT_EQ(closedRec.Events, (std::vector<std::string>{"disconnect"}));
}

// A handler may close the socket or destroy the component; the socket then
// neither touches itself afterwards nor reports anything more.
TEST(ClientSocket, HandlersMayCloseOrDestroyTheSocket) {
  boost::asio::io_context io;
  Listener listener;
  {
    TClientSocket s(io);
    Recorder rec(s);
    s.OnConnect = [&](TCustomSocket&, TCustomWinSocket& Socket) {
      rec.Events.push_back("connect");
      Socket.Close();
    };
    Start(s, listener.Port());
    ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("disconnect") == 1; }));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(::send(peer, "x", 1, MSG_NOSIGNAL), 1);
    Settle(io);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"connect", "disconnect"}));
    ::close(peer);
  }
  {
    // Closed in the read event after bytes and the peer's close were seen:
    // neither the second read event nor the pending close comes.
    TClientSocket s(io);
    Recorder rec(s);
    s.OnRead = [&](TCustomSocket& Sender, TCustomWinSocket& Socket) {
      rec.Events.push_back("read");
      rec.Receive(Socket);
      rec.Receive(Socket);
      Sender.Close();
    };
    const int peer = ConnectTo(io, s, listener);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::send(peer, "ab", 2, 0), 2);
    ::close(peer);
    ASSERT_TRUE(RunUntil(io, [&] { return rec.Count("disconnect") == 1; }));
    Settle(io);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"connect", "read", "disconnect"}));
    ASSERT_EQ(rec.Results.size(), 2u);
    EXPECT_EQ(rec.Results[0], 2);
  }
  for (const bool inError : {false, true}) {
    SCOPED_TRACE(inError ? "destroyed in the error event" : "destroyed in the read event");
    auto s = std::make_unique<TClientSocket>(io);
    std::vector<std::string> events;
    if (inError) {
      // Nothing of this handler may be touched once the receive returns.
      s->OnRead = [](TCustomSocket&, TCustomWinSocket& Socket) {
        char buf[1];
        Socket.ReceiveBuf(buf, 1);
      };
    } else {
      s->OnRead = [&](TCustomSocket&, TCustomWinSocket& Socket) {
        char buf[1];
        events.push_back("read:" + std::to_string(Socket.ReceiveBuf(buf, 1)));
        s.reset();
      };
    }
    s->OnError = [&](TCustomSocket&, TCustomWinSocket&, TErrorEvent Event, int& Code) {
      events.push_back(ErrorWord(Event, Code));
      Code = 0;
      s.reset();
    };
    s->OnDisconnect = [&](TCustomSocket&, TCustomWinSocket&) { events.push_back("disconnect"); };
    Start(*s, listener.Port());
    ASSERT_TRUE(RunUntil(io, [&] { return s->Socket().Connected(); }));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    if (inError) {
      linger hard{1, 0};
      ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    } else {
      ASSERT_EQ(::send(peer, "xy", 2, 0), 2);
    }
    ::close(peer);
    ASSERT_TRUE(RunUntil(io, [&] { return s == nullptr; }));
    Settle(io);
    EXPECT_EQ(events, (std::vector<std::string>{inError ? ErrorWord(eeReceive, ECONNRESET)
                                                        : std::string("read:1")}));
  }
}

}  // namespace

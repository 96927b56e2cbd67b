#include "platform/wslib.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "TcpInfo.h"
#include "platform/AsioNames.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

template <class TStream>
struct TClient {
  template <class... A>
  explicit TClient(A&&... args) : ws(std::forward<A>(args)...) {}
  TStream ws;
  beast::flat_buffer buf;
};
using TPlainClient = TClient<websocket::stream<beast::tcp_stream>>;
using TTlsClient = TClient<websocket::stream<beast::ssl_stream<beast::tcp_stream>>>;
using TMsg = std::pair<std::string, bool>;  // bytes, binary?

struct TEvent {
  char kind;  // 'C'onnect, 'D'isconnect, 'M'essage
  std::string uid, text;
};

// The connection a connect callback's identifier names.
TWsConnId Id(const std::string& uid) {
  return static_cast<TWsConnId>(std::stoul(uid));
}

// Transport threads for the library under test: TAVREL_IO_THREADS, else none (the suite runs
// once per mode).
size_t IoThreads() {
  const char* n = std::getenv("TAVREL_IO_THREADS");
  return n ? static_cast<size_t>(std::strtoul(n, nullptr, 10)) : 0;
}

// The library and its test clients share one io_context on the test thread; every wait runs
// the loop until its condition holds or a deadline passes. With transport threads the
// library's connections run on those, its callbacks still on the test thread.
class WsLibTest : public ::testing::Test {
 protected:
  void TearDown() override { lib_.reset(); }

  // Like the engine, the connect callback answers "ok" (and closes when told to refuse).
  void Start(bool boTls = false, std::string_view trusted = {}) {
    lib_ = std::make_unique<TWsLib>(ioc_);
    lib_->SetIoThreads(ioThreads_.value_or(IoThreads()));
    lib_->SetListenAddress("127.0.0.1");
    lib_->SetTrustedProxies(trusted);
    auto onConnect = [this](const std::string& uid, const std::string& ip) {
      events_.push_back({'C', uid, ip});
      lib_->SendMsg(Id(uid), "ok");
      if (std::exchange(boRefuseNext_, false)) lib_->CloseSocket(Id(uid));
    };
    auto onDisconnect = [this](const std::string& uid, const std::string& ip) {
      events_.push_back({'D', uid, ip});
      ends_[uid] = lib_->EndingKind();
    };
    auto onMessage = [this](TWsConnId id, std::string_view msg) {
      if (messageHook_) return messageHook_(id, msg);
      events_.push_back({'M', std::to_string(id), std::string(msg)});
    };
    auto onLog = [this](const std::string& text) {
      logs_.push_back(text);
      if (logHook_) logHook_(text);
    };
    if (boTls) {
      certFile_ = tmpDir_.File("Tavrel.crt");
      keyFile_ = tmpDir_.File("Tavrel.key");
      const std::string cmd =
          "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
          "-nodes -days 1 -subj /CN=localhost -keyout " +
          keyFile_ + " -out " + certFile_ + " 2>/dev/null";
      ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
      ASSERT_TRUE(lib_->InitTLS(0, certFile_, keyFile_, onConnect, onDisconnect, onMessage, onLog))
          << lib_->LastError();
    } else {
      ASSERT_TRUE(lib_->Init(0, onConnect, onDisconnect, onMessage, onLog)) << lib_->LastError();
    }
    port_ = lib_->LocalPort();
    ASSERT_NE(port_, 0);
  }

  template <class P>
  bool RunUntil(P done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      ioc_.run_one_for(10ms);
    }
    return true;
  }

  // Runs the loop until the asynchronous operation that `start` begins has completed.
  template <class F>
  error_code Complete(F start) {
    auto result = std::make_shared<std::optional<error_code>>();
    start([result](error_code ec, auto&&...) { *result = ec; });
    if (!RunUntil([&] { return result->has_value(); })) return asio::error::timed_out;
    return **result;
  }

  // Connects (sending `preamble` first) and returns the identifier the connect callback got;
  // empty when the handshake failed, with the error in lastError_.
  template <class C>
  std::string Connect(C& c, const std::string& preamble = {}) {
    auto& sock = beast::get_lowest_layer(c.ws);
    const size_t nBefore = events_.size();
    lastError_ = Complete([&](auto h) { sock.async_connect(tcp::endpoint(LoopBack(), port_), h); });
    if (!lastError_ && !preamble.empty()) {
      lastError_ = Complete([&](auto h) { asio::async_write(sock, asio::buffer(preamble), h); });
    }
    if constexpr (std::is_same_v<C, TTlsClient>) {
      if (!lastError_) {
        lastError_ = Complete(
            [&](auto h) { c.ws.next_layer().async_handshake(ssl::stream_base::client, h); });
      }
    }
    if (!lastError_)
      lastError_ = Complete([&](auto h) { c.ws.async_handshake("localhost", "/", h); });
    if (lastError_) return "";
    // The first connect since; an earlier connection's end may come before it.
    const auto connect = [&] {
      return std::find_if(events_.begin() + static_cast<std::ptrdiff_t>(nBefore), events_.end(),
                          [](const TEvent& e) { return e.kind == 'C'; });
    };
    EXPECT_TRUE(RunUntil([&] { return connect() != events_.end(); }));
    return connect() != events_.end() ? connect()->uid : "";
  }

  // One message; on an error an empty text, with the error in lastError_.
  template <class C>
  TMsg Read(C& c) {
    c.buf.clear();
    lastError_ = Complete([&](auto h) { c.ws.async_read(c.buf, h); });
    if (lastError_) return {"", false};
    return {beast::buffers_to_string(c.buf.data()), c.ws.got_binary()};
  }

  template <class C>
  error_code Write(C& c, const std::string& msg, bool binary) {
    c.ws.binary(binary);
    return Complete([&](auto h) { c.ws.async_write(asio::buffer(msg), h); });
  }

  static asio::ip::address LoopBack() { return asio::ip::make_address("127.0.0.1"); }

  int Count(char kind, const std::string& uid) const {
    return std::count_if(events_.begin(), events_.end(),
                         [&](const TEvent& e) { return e.kind == kind && e.uid == uid; });
  }
  TEvent Last(char kind) const {
    auto it =
        std::find_if(events_.rbegin(), events_.rend(), [&](auto& e) { return e.kind == kind; });
    return it == events_.rend() ? TEvent{} : *it;
  }
  bool HasLog(std::string_view needle) const {
    return std::any_of(logs_.begin(), logs_.end(),
                       [&](const std::string& l) { return l.find(needle) != std::string::npos; });
  }

  asio::io_context ioc_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(ioc_);
  std::unique_ptr<TWsLib> lib_;
  uint16_t port_ = 0;
  std::vector<TEvent> events_;
  std::map<std::string, EConnEnd> ends_;  // how each connection ended, as the engine is told
  std::vector<std::string> logs_;
  bool boRefuseNext_ = false;
  std::function<void(const std::string&)> logHook_;  // runs on every log line
  // Takes the messages instead of events_ when set.
  std::function<void(TWsConnId, std::string_view)> messageHook_;
  error_code lastError_;
  std::optional<size_t> ioThreads_;  // set: these threads whatever the mode
  TTempDir tmpDir_{"tavrel-wslib"};
  std::string certFile_, keyFile_;
};

TEST_F(WsLibTest, MessagesLimitAndClientClose) {
  Start();
  TPlainClient a(ioc_), b(ioc_);
  const std::string uidA = Connect(a), uidB = Connect(b);
  ASSERT_FALSE(uidA.empty() || uidB.empty()) << lastError_.message();
  EXPECT_NE(uidA, uidB);
  EXPECT_EQ(Last('C').text, "127.0.0.1");
  EXPECT_EQ(Read(a), TMsg("ok", false));

  // Each incoming message is one whole callback, text or binary alike; 64 KiB is allowed.
  const std::string big(TWsLib::kMaxMessageBytes, 'x');
  ASSERT_FALSE(Write(a, "hello", false));
  ASSERT_FALSE(Write(a, "\x00\x01\xFF"s, true));
  ASSERT_FALSE(Write(a, big, true));
  ASSERT_TRUE(RunUntil([&] { return Count('M', uidA) == 3; }));
  EXPECT_EQ(events_[2].text, "hello");
  EXPECT_EQ(events_[3].text, "\x00\x01\xFF"s);
  EXPECT_EQ(events_[4].text, big);

  // SendBuff is binary, SendMsg text, in call order.
  lib_->SendBuff(Id(uidA), "abc", 3);
  lib_->SendMsg(Id(uidA), "text");
  lib_->SendBuff(Id(uidA), "\x00z", 2);
  EXPECT_EQ(Read(a), TMsg("abc", true));
  EXPECT_EQ(Read(a), TMsg("text", false));
  EXPECT_EQ(Read(a), TMsg("\x00z"s, true));

  // One byte more closes that connection only.
  Write(a, big + "x", true);
  Read(a);
  EXPECT_EQ(lastError_, websocket::error::closed);
  EXPECT_EQ(a.ws.reason().code, websocket::close_code::too_big);
  EXPECT_EQ(std::string(a.ws.reason().reason.c_str()), "message too big");
  ASSERT_TRUE(RunUntil([&] { return Count('D', uidA) == 1; }));
  EXPECT_EQ(lib_->OversizeCloses(), 1u);
  EXPECT_TRUE(HasLog("message over 65536 bytes"));
  EXPECT_EQ(Read(b), TMsg("ok", false));
  ASSERT_FALSE(Write(b, "still here", false));
  ASSERT_TRUE(RunUntil([&] { return Count('M', uidB) == 1; }));

  ASSERT_FALSE(Complete([&](auto h) { b.ws.async_close(websocket::close_code::normal, h); }));
  ASSERT_TRUE(RunUntil([&] { return Count('D', uidB) == 1; }));
  EXPECT_EQ(Last('D').text, "127.0.0.1");
  // Identifiers of ended or unknown connections are harmless.
  for (const TWsConnId id : {Id(uidA), Id(uidB), TWsConnId{999999}, TWsConnId{0}, ~TWsConnId{0}}) {
    lib_->SendBuff(id, "x", 1);
    lib_->SendMsg(id, "x");
    lib_->CloseSocket(id);
  }
  ioc_.run_for(100ms);
  EXPECT_EQ(Count('D', uidA), 1);
  EXPECT_EQ(Count('D', uidB), 1);
  EXPECT_EQ(lib_->OpenConnections(), 0u);
}

// Between messages a connection reads in a small piece and gives a grown
// read buffer back, and an idle one holds no send queue: messages of every
// size around those bounds, in one frame or many, arrive whole and in order,
// and what is sent after each pause leaves in order with its kind.
TEST_F(WsLibTest, MessagesArriveWholeAsTheBuffersGrowAndGoBack) {
  Start();
  TPlainClient a(ioc_);
  const std::string uid = Connect(a);
  ASSERT_FALSE(uid.empty()) << lastError_.message();
  EXPECT_EQ(Read(a), TMsg("ok", false));
  std::vector<std::string> sent;
  int n = 0;
  for (const bool fragmented : {false, true}) {
    a.ws.auto_fragment(fragmented);
    a.ws.write_buffer_bytes(fragmented ? 256 : 4096);
    for (const size_t size : {1, 255, 256, 257, 300, 2048, 2049, 5000, 70, 65536, 3}) {
      std::string msg(size, '\0');
      for (size_t i = 0; i < size; ++i) msg[i] = static_cast<char>('a' + (i * 7 + size) % 26);
      sent.push_back(msg);
      ASSERT_FALSE(Write(a, msg, size % 2 == 0));
      ASSERT_TRUE(RunUntil([&] { return Count('M', uid) == static_cast<int>(sent.size()); }));
      // Idle again: the reply goes out of an emptied queue.
      const std::string reply = std::to_string(++n) + ":" + std::to_string(size);
      if (n % 2 == 0) {
        lib_->SendMsg(Id(uid), reply);
        lib_->SendBuff(Id(uid), reply.data(), reply.size());
      } else {
        lib_->SendBuff(Id(uid), reply.data(), reply.size());
        lib_->SendMsg(Id(uid), reply);
      }
      EXPECT_EQ(Read(a), TMsg(reply, n % 2 != 0));
      EXPECT_EQ(Read(a), TMsg(reply, n % 2 == 0));
    }
  }
  std::vector<std::string> got;
  for (const TEvent& e : events_)
    if (e.kind == 'M' && e.uid == uid) got.push_back(e.text);
  EXPECT_EQ(got, sent);
}

// The engine keeps a session only for a connection that was lost: the end of
// each connection says who ended it and whether the client meant it (1000).
TEST_F(WsLibTest, TellsHowEachConnectionEnded) {
  Start();
  TPlainClient normal(ioc_), other(ioc_), lost(ioc_), closed(ioc_);
  const std::string uidNormal = Connect(normal), uidOther = Connect(other);
  const std::string uidLost = Connect(lost), uidClosed = Connect(closed);
  ASSERT_FALSE(uidNormal.empty() || uidOther.empty() || uidLost.empty() || uidClosed.empty());
  ASSERT_FALSE(Complete([&](auto h) { normal.ws.async_close(websocket::close_code::normal, h); }));
  ASSERT_FALSE(Complete([&](auto h) { other.ws.async_close(websocket::close_reason(4900), h); }));
  beast::get_lowest_layer(lost.ws).socket().close();
  lib_->CloseSocket(Id(uidClosed), ECloseCode::Kicked);
  EXPECT_EQ(Read(closed), TMsg("ok", false));
  Read(closed);  // the close frame, answered
  ASSERT_TRUE(RunUntil([&] { return ends_.size() == 4; }));
  EXPECT_EQ(ends_[uidNormal], EConnEnd::ClientNormal);
  EXPECT_EQ(ends_[uidOther], EConnEnd::ClientClose);
  EXPECT_EQ(ends_[uidLost], EConnEnd::Lost);
  EXPECT_EQ(ends_[uidClosed], EConnEnd::Gateway);
}

// What the connect callback sends leaves with the handshake reply, one segment for both, so
// that a connect costs one transmission rather than two.
TEST_F(WsLibTest, HandshakeReplyAndFirstMessageShareASegment) {
  Start();
  TPlainClient a(ioc_);
  ASSERT_FALSE(Connect(a).empty()) << lastError_.message();
  EXPECT_EQ(Read(a), TMsg("ok", false));
  EXPECT_EQ(DataSegmentsIn(beast::get_lowest_layer(a.ws).socket().native_handle()), 1);
  // Later messages are not held back.
  lib_->SendMsg(Id(Last('C').uid), "next");
  EXPECT_EQ(Read(a), TMsg("next", false));
}

TEST_F(WsLibTest, CloseSocketFlushesAndReportsOneDisconnect) {
  Start();
  TPlainClient a(ioc_), refused(ioc_), c(ioc_);
  const std::string uidA = Connect(a);
  lib_->SendBuff(Id(uidA), "bye", 3);
  lib_->CloseSocket(Id(uidA), ECloseCode::LoginTimeout);
  lib_->CloseSocket(Id(uidA), ECloseCode::Kicked);  // the first close decides
  lib_->SendMsg(Id(uidA), "too late");
  EXPECT_EQ(Count('D', uidA), 0);  // never from inside the call
  EXPECT_EQ(Read(a), TMsg("ok", false));
  EXPECT_EQ(Read(a), TMsg("bye", true));
  Read(a);
  EXPECT_EQ(lastError_, websocket::error::closed);
  EXPECT_EQ(a.ws.reason().code, 4000);
  EXPECT_EQ(std::string(a.ws.reason().reason.c_str()), "login timeout");

  // Closed from inside its own connect callback, as the engine refuses an address.
  boRefuseNext_ = true;
  const std::string uidR = Connect(refused);
  EXPECT_EQ(Read(refused), TMsg("ok", false));
  Read(refused);
  EXPECT_EQ(lastError_, websocket::error::closed);
  EXPECT_EQ(refused.ws.reason().code, 1000);  // no code given: a normal close

  const std::string uidC = Connect(c);
  Read(c);
  ioc_.run_for(100ms);
  EXPECT_EQ(Count('D', uidA), 1);
  EXPECT_EQ(Count('D', uidR), 1);

  // No new connections once accepting stops; the open one stays.
  lib_->StopAccepting();
  EXPECT_TRUE(lib_->ListenAddress().empty());
  TPlainClient late(ioc_);
  EXPECT_TRUE(Connect(late).empty());
  lib_->SendMsg(Id(uidC), "still here");
  EXPECT_EQ(Read(c), TMsg("still here", false));

  // Tearing the library down ends the remaining connection without further callbacks.
  const size_t nEvents = events_.size();
  lib_.reset();
  Read(c);
  EXPECT_TRUE(lastError_ && lastError_ != asio::error::timed_out) << lastError_.message();
  EXPECT_EQ(events_.size(), nEvents);
}

TEST_F(WsLibTest, TlsWithProxyHeaderBeforeIt) {
  Start(true, "127.0.0.1");
  ssl::context ctx(ssl::context::tls_client);
  TTlsClient a(ioc_, ctx);
  // v2, src 198.51.100.9:4242, dst 127.0.0.1:443
  const std::string uid = Connect(a, "\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0C"s +
                                         "\xC6\x33\x64\x09\x7F\x00\x00\x01\x10\x92\x01\xBB"s);
  ASSERT_FALSE(uid.empty()) << lastError_.message();
  EXPECT_EQ(Last('C').text, "198.51.100.9");
  EXPECT_EQ(Read(a), TMsg("ok", false));
  ASSERT_FALSE(Write(a, "over tls", false));
  ASSERT_TRUE(RunUntil([&] { return Count('M', uid) == 1; }));
  EXPECT_EQ(Last('M').text, "over tls");
  lib_->SendBuff(Id(uid), "\x01\x02", 2);
  EXPECT_EQ(Read(a), TMsg("\x01\x02", true));
  lib_->CloseSocket(Id(uid));
  Read(a);
  EXPECT_EQ(lastError_, websocket::error::closed);
  ASSERT_TRUE(RunUntil([&] { return Count('D', uid) == 1; }));

  // Unreadable certificate or key files, or a port already taken, fail the start.
  TWsLib other(ioc_);
  EXPECT_FALSE(other.InitTLS(0, certFile_, tmpDir_.File("missing.key"), {}, {}, {}, {}));
  EXPECT_NE(other.LastError().find("missing.key"), std::string::npos);
  EXPECT_FALSE(other.InitTLS(0, tmpDir_.File("none.crt"), keyFile_, {}, {}, {}, {}));
  EXPECT_EQ(other.LocalPort(), 0);
  other.SetListenAddress("127.0.0.1");
  EXPECT_FALSE(other.Init(port_, {}, {}, {}, {}));
  EXPECT_FALSE(other.LastError().empty());
}

TEST_F(WsLibTest, ProxyHeaderFromTrustedPeersOnly) {
  Start(false, "10.1.1.1, 127.0.0.1");
  EXPECT_FALSE(lib_->SetTrustedProxies("bogus, 127.0.0.1"));  // the valid entry still holds
  TPlainClient v1(ioc_), v2(ioc_), bare(ioc_), spoof(ioc_), plain(ioc_);
  EXPECT_FALSE(Connect(v1, "PROXY TCP4 203.0.113.7 127.0.0.1 5555 80\r\n").empty());
  EXPECT_EQ(Last('C').text, "203.0.113.7");
  EXPECT_FALSE(Connect(v2, "\r\n\r\n\0\r\nQUIT\n\x21\x21\x00\x24\x20\x01\x0d\xb8"s +
                               std::string(11, 0) + "\x07"s + std::string(16, 0) +
                               "\x10\x92\x00\x50"s)
                   .empty());
  EXPECT_EQ(Last('C').text, "[2001:db8::7]:4242");
  // A trusted peer must send a header.
  EXPECT_TRUE(Connect(bare).empty());
  EXPECT_EQ(lib_->RefusedConnections(), 1u);
  EXPECT_TRUE(HasLog("Bad PROXY header from 127.0.0.1: GET /"));

  // From an untrusted peer a PROXY line is never parsed: it spoils the handshake.
  lib_->SetTrustedProxies("10.9.8.7");
  EXPECT_TRUE(Connect(spoof, "PROXY TCP4 203.0.113.8 127.0.0.1 5555 80\r\n").empty());
  ASSERT_TRUE(RunUntil([&] { return lib_->RefusedConnections() == 2; }));
  EXPECT_FALSE(Connect(plain).empty());
  EXPECT_EQ(Last('C').text, "127.0.0.1");
  EXPECT_EQ(lib_->OpenConnections(), 3u);
}

TEST_F(WsLibTest, SlowConsumerIsClosed) {
  Start();
  TPlainClient a(ioc_);
  const std::string uid = Connect(a);
  // The client never reads: kernel buffers fill, then the adapter's queue passes its cap.
  const std::string chunk(256 * 1024, 's');
  size_t nSent = 0;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (Count('D', uid) == 0 && nSent < 256u << 20 &&
         std::chrono::steady_clock::now() < deadline) {
    lib_->SendBuff(Id(uid), chunk.data(), chunk.size());
    nSent += chunk.size();
    ioc_.run_for(1ms);
  }
  ASSERT_TRUE(RunUntil([&] { return Count('D', uid) == 1; }));
  EXPECT_GT(nSent, TWsLib::kMaxUnsentBytes);
  EXPECT_EQ(lib_->SlowConsumerCloses(), 1u);
  EXPECT_TRUE(HasLog("Slow consumer: connection " + uid));
}

}  // namespace

// A peer that completes the close handshake but keeps its TCP connection
// open is gone for the engine at once, not when a timeout cuts it.
TEST_F(WsLibTest, APeerThatClosesButKeepsTcpOpenEndsAtOnce) {
  Start();
  TPlainClient a(ioc_);
  const std::string uid = Connect(a);
  ASSERT_FALSE(uid.empty()) << lastError_.message();
  EXPECT_EQ(Read(a), TMsg("ok", false));
  // A close frame (code 1000, masked as a client's must be) written on the
  // socket itself: nothing on this side reads the reply or ends TCP.
  auto& sock = beast::get_lowest_layer(a.ws).socket();
  const std::string frame = "\x88\x82\x01\x02\x03\x04"s + "\x02\xea"s;  // 0x03e8 ^ 0x0102
  asio::write(sock, asio::buffer(frame));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunUntil([&] { return Count('D', uid) == 1; }, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  // The socket follows shortly: the peer then reads the reply and the end.
  std::string rest(64, '\0');
  error_code ec;
  size_t got = 0;
  sock.non_blocking(true);
  EXPECT_TRUE(RunUntil(
      [&] {
        got += sock.read_some(asio::buffer(rest.data() + got, rest.size() - got), ec);
        if (ec != asio::error::would_block) return bool(ec);
        ec = {};
        return false;
      },
      5s));
  EXPECT_EQ(ec, asio::error::eof);
  EXPECT_EQ(rest.substr(0, 2), "\x88\x02"s);  // the reply: close, code 1000
  EXPECT_EQ(lib_->OpenConnections(), 0u);
}

// A connection the listener takes just as it stops is dropped, and no
// accept is started on the closed listener (which would fail every 100 ms
// until the process ends).
TEST_F(WsLibTest, AConnectionAcceptedAsTheListenerStopsIsDropped) {
  Start(false, "127.0.0.1");
  ioc_.poll();
  // Both complete in the kernel before the loop runs. Taking the first reads
  // its bad PROXY header at once, and the next accept takes the second at
  // once: both handlers queue in that order, and the listener stops in the
  // first (as a stop signal's handler would run between them).
  tcp::socket first(ioc_), second(ioc_);
  first.connect(tcp::endpoint(LoopBack(), port_));
  asio::write(first, asio::buffer("not a proxy header\r\n"s));
  second.connect(tcp::endpoint(LoopBack(), port_));
  logHook_ = [&](const std::string& text) {
    if (text.starts_with("Bad PROXY header")) lib_->StopAccepting();
  };
  RunUntil([] { return false; }, 400ms);
  EXPECT_TRUE(HasLog("Bad PROXY header"));
  EXPECT_FALSE(HasLog("Accept failed"));
  // The second connection is not served: its socket was closed.
  const timeval limit{2, 0};
  ::setsockopt(second.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte;
  error_code ec;
  second.read_some(asio::buffer(&byte, 1), ec);
  EXPECT_TRUE(ec == asio::error::eof || ec == asio::error::connection_reset) << ec.message();
}

// Near the descriptor limit the listener stops taking connections for a
// moment, says so once, and takes them again once descriptors are free.
TEST_F(WsLibTest, NearTheDescriptorLimitConnectionsWaitWithOneLine) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  const int next = ::dup(0);  // the lowest free descriptor
  ::close(next);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(next + 64 + 12);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  struct TRestore {
    rlimit limit;
    ~TRestore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
  } restore{old};
  Start();  // the listener reads the limit as it starts
  std::vector<std::unique_ptr<tcp::socket>> clients;
  for (int i = 0; i < 12; ++i) {
    clients.push_back(std::make_unique<tcp::socket>(ioc_));
    clients.back()->connect(tcp::endpoint(LoopBack(), port_));
    RunUntil([] { return false; }, 20ms);
  }
  RunUntil([] { return false; }, 300ms);
  EXPECT_EQ(std::count_if(logs_.begin(), logs_.end(),
                          [](const std::string& l) {
                            return l.find("Descriptors near the limit") != std::string::npos;
                          }),
            1);
  EXPECT_FALSE(HasLog("Accept failed"));
  clients.clear();
  // The library's ends of them close as their EOFs are read, on a transport thread perhaps.
  RunUntil([] { return false; }, 300ms);
  TPlainClient a(ioc_);
  const std::string uid = Connect(a);
  EXPECT_FALSE(uid.empty()) << lastError_.message();
  EXPECT_TRUE(HasLog("Accepting connections again"));
}

// A paused connection is not read: its messages wait in the socket until
// reading resumes, and then arrive in order.
TEST_F(WsLibTest, APausedConnectionIsReadAgainOnResume) {
  Start();
  TPlainClient a(ioc_);
  const std::string uid = Connect(a);
  ASSERT_FALSE(uid.empty()) << lastError_.message();
  const TWsConnId id = Id(uid);
  EXPECT_EQ(Read(a), TMsg("ok", false));
  ASSERT_FALSE(Write(a, "before", false));
  ASSERT_TRUE(RunUntil([&] { return Count('M', uid) == 1; }));
  lib_->PauseReading(id, true);
  ASSERT_FALSE(Write(a, "during-1", false));
  ASSERT_FALSE(Write(a, "during-2", false));
  RunUntil([] { return false; }, 200ms);
  EXPECT_LE(Count('M', uid), 2);  // a read already under way may still deliver
  lib_->PauseReading(id, false);
  ASSERT_TRUE(RunUntil([&] { return Count('M', uid) == 3; }));
  EXPECT_EQ(Last('M').text, "during-2");
  // Closing reads on for the close handshake, paused or not.
  lib_->PauseReading(id, true);
  lib_->CloseSocket(Id(uid));
  Read(a);
  EXPECT_EQ(lastError_, websocket::error::closed);
  EXPECT_TRUE(RunUntil([&] { return Count('D', uid) == 1; }, 3s));
}

namespace {

// The crossing between transport threads and the caller's thread, with two threads whatever
// the mode: the engine must see each connection's events in order, exactly one end per
// connect, figures it can trust, and nothing once the library is gone.
class WsTransportThreadsTest : public WsLibTest {
 protected:
  WsTransportThreadsTest() { ioThreads_ = 2; }

  static std::string Numbered(int n) { return std::string("m").append(std::to_string(n)); }

  // Index of the first event of `kind` for `uid` (-1: none), and of the last.
  std::pair<int, int> Span(char kind, const std::string& uid) const {
    int first = -1, last = -1;
    for (size_t i = 0; i < events_.size(); ++i) {
      if (events_[i].kind != kind || events_[i].uid != uid) continue;
      if (first < 0) first = static_cast<int>(i);
      last = static_cast<int>(i);
    }
    return {first, last};
  }
};

// Clients on both threads send numbered messages and leave, some with a close frame, some by
// cutting TCP: each connection's messages come whole and in order, its end after the last.
TEST_F(WsTransportThreadsTest, MessagesComeInOrderAndTheEndAfterTheLast) {
  Start();
  constexpr int kClients = 8, kMessages = 400;
  std::vector<std::unique_ptr<TPlainClient>> clients;
  std::vector<std::string> uids;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<TPlainClient>(ioc_));
    uids.push_back(Connect(*clients.back()));
    ASSERT_FALSE(uids.back().empty()) << lastError_.message();
  }
  // Small messages fit the socket buffers: the writes finish without the loop.
  for (int m = 0; m < kMessages; ++m) {
    const std::string text = Numbered(m);
    for (auto& client : clients) client->ws.write(asio::buffer(text));
  }
  for (int c = 0; c < kClients; ++c) {
    auto& ws = clients[c]->ws;
    if (c % 2 == 0) {
      ASSERT_FALSE(Complete([&](auto h) { ws.async_close(websocket::close_code::normal, h); }));
    } else {
      beast::get_lowest_layer(ws).socket().close();
    }
  }
  ASSERT_TRUE(RunUntil([&] {
    return std::all_of(uids.begin(), uids.end(), [&](auto& u) { return Count('D', u) == 1; });
  }));
  for (const std::string& uid : uids) {
    SCOPED_TRACE(uid);
    std::vector<std::string> got;
    for (const TEvent& e : events_) {
      if (e.kind == 'M' && e.uid == uid) got.push_back(e.text);
    }
    ASSERT_EQ(got.size(), static_cast<size_t>(kMessages));
    for (int m = 0; m < kMessages; ++m) EXPECT_EQ(got[m], Numbered(m));
    EXPECT_LT(Span('C', uid).first, Span('M', uid).first);
    EXPECT_LT(Span('M', uid).second, Span('D', uid).first);
  }
  EXPECT_EQ(lib_->OpenConnections(), 0u);
}

// A churn of TLS connections: some cut during their handshakes, some closed by the engine
// from their connect callback, some later, some leaving themselves. Every connect is
// followed by exactly one disconnect, every admitted handshake ends once, and the figures
// come back to zero.
TEST_F(WsTransportThreadsTest, ChurnGivesEachConnectOneDisconnectAndEachAdmissionOneEnd) {
  Start(true);
  int nAdmitted = 0, nEnded = 0;
  lib_->SetHandshakeAdmission(
      [&](const std::string&) {
        ++nAdmitted;
        return true;
      },
      [&](const std::string&) { ++nEnded; });
  ssl::context ctx(ssl::context::tls_client);
  std::vector<std::string> uids;
  for (int round = 0; round < 40; ++round) {
    auto client = std::make_unique<TTlsClient>(ioc_, ctx);
    auto& sock = beast::get_lowest_layer(client->ws);
    const int kind = round % 5;
    if (kind == 0) {  // cut during the TLS handshake
      ASSERT_FALSE(
          Complete([&](auto h) { sock.async_connect(tcp::endpoint(LoopBack(), port_), h); }));
      sock.socket().close();
      continue;
    }
    boRefuseNext_ = kind == 1;  // closed from its connect callback
    const std::string uid = Connect(*client);
    ASSERT_FALSE(uid.empty()) << lastError_.message();
    uids.push_back(uid);
    if (kind == 2) lib_->CloseSocket(Id(uid), ECloseCode::Kicked);
    if (kind == 3) {
      ASSERT_FALSE(Write(*client, "hi", false));
    }
    if (kind == 4) {  // leaves with a close frame
      ASSERT_FALSE(
          Complete([&](auto h) { client->ws.async_close(websocket::close_code::normal, h); }));
    } else {
      sock.socket().close();
    }
  }
  ASSERT_TRUE(RunUntil([&] {
    return nEnded == nAdmitted &&
           std::all_of(uids.begin(), uids.end(), [&](auto& u) { return Count('D', u) == 1; });
  }));
  ioc_.run_for(200ms);  // nothing more comes
  EXPECT_EQ(nAdmitted, 40);
  EXPECT_EQ(nEnded, 40);
  for (const std::string& uid : uids) {
    EXPECT_EQ(Count('C', uid), 1) << uid;
    EXPECT_EQ(Count('D', uid), 1) << uid;
  }
  EXPECT_EQ(lib_->OpenConnections(), 0u);
  EXPECT_EQ(lib_->TotalUnsent(), 0u);
}

// What the engine reads at once: bytes handed over count as unsent from the call on, and
// leave the figures as they are written, or with a close.
TEST_F(WsTransportThreadsTest, UnsentCountsFromTheCallUntilWritten) {
  Start();
  TPlainClient a(ioc_), b(ioc_);
  const std::string uidA = Connect(a), uidB = Connect(b);
  ASSERT_FALSE(uidA.empty() || uidB.empty()) << lastError_.message();
  EXPECT_EQ(Read(a), TMsg("ok", false));
  EXPECT_EQ(Read(b), TMsg("ok", false));
  ASSERT_TRUE(RunUntil([&] { return lib_->TotalUnsent() == 0; }));
  const std::string block(300 * 1024, 'u');
  lib_->SendBuff(Id(uidA), block.data(), block.size());
  lib_->SendBuff(Id(uidA), block.data(), block.size());
  lib_->SendBuff(Id(uidB), block.data(), block.size());
  EXPECT_EQ(lib_->Unsent(Id(uidA)), 2 * block.size());
  EXPECT_EQ(lib_->Unsent(Id(uidB)), block.size());
  EXPECT_EQ(lib_->TotalUnsent(), 3 * block.size());
  // b is closed with what it has: out of the total at once.
  lib_->CloseSocket(Id(uidB));
  EXPECT_EQ(lib_->TotalUnsent(), 2 * block.size());
  EXPECT_EQ(Read(a), TMsg(block, true));
  EXPECT_EQ(Read(a), TMsg(block, true));
  ASSERT_TRUE(RunUntil([&] { return lib_->Unsent(Id(uidA)) == 0; }));
  EXPECT_EQ(lib_->TotalUnsent(), 0u);
  EXPECT_EQ(Read(b), TMsg(block, true));
  Read(b);
  EXPECT_EQ(lastError_, websocket::error::closed);
  ASSERT_TRUE(RunUntil([&] { return Count('D', uidB) == 1; }));
  EXPECT_EQ(lib_->Unsent(Id(uidB)), 0u);
}

// Bytes held by reference cross to the transport as the reference: they stay held while a
// client that does not read leaves them queued there, and are let go on that thread once
// written.
TEST_F(WsTransportThreadsTest, SharedBytesCrossAsAReferenceAndAreLetGoThere) {
  Start();
  TPlainClient a(ioc_);
  auto& sock = beast::get_lowest_layer(a.ws).socket();
  sock.open(tcp::v4());
  // A small window: the kernel holds a few MiB at most of what is written to it.
  sock.set_option(asio::socket_base::receive_buffer_size(64 * 1024));
  const std::string uid = Connect(a);
  ASSERT_FALSE(uid.empty()) << lastError_.message();
  ASSERT_EQ(Read(a), TMsg("ok", false));
  std::string text(1 << 20, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 13);
  const TSharedBytes bytes = TSharedBytes::From(text);
  constexpr int kSends = 6;  // 6 MiB, under the slow-consumer cap
  for (int i = 0; i < kSends; ++i) lib_->SendShared(Id(uid), bytes, 0, text.size());
  RunUntil([] { return false; }, 300ms);
  EXPECT_GT(bytes.use_count(), 1u) << "queued on the transport by reference";
  for (int i = 0; i < kSends; ++i) ASSERT_EQ(Read(a), TMsg(text, true)) << i;
  EXPECT_TRUE(RunUntil([&] { return bytes.use_count() == 1; }));
  EXPECT_TRUE(RunUntil([&] { return lib_->TotalUnsent() == 0; }));
}

// The hand-over with messages read on a transport thread and not yet taken by the engine's
// busy thread: every one of them reaches the engine, in order, before the hand-over's quiet
// callback; what a client sends after the hand-over began does not; once abandoned, reading
// goes on.
TEST_F(WsTransportThreadsTest, AHandoverHearsWhatWasReadBeforeItThenNothing) {
  Start();
  TPlainClient a(ioc_), b(ioc_);
  const std::string uidA = Connect(a), uidB = Connect(b);
  ASSERT_FALSE(uidA.empty() || uidB.empty()) << lastError_.message();
  constexpr int kMessages = 200;
  for (int m = 0; m < kMessages; ++m) {
    const std::string text = Numbered(m);
    a.ws.write(asio::buffer(text));
    b.ws.write(asio::buffer(text));
  }
  std::this_thread::sleep_for(300ms);  // read there meanwhile, and waiting for this thread
  int nQuiet = 0;
  size_t nAtQuiet = 0;
  lib_->BeginHandover([&] {
    ++nQuiet;
    nAtQuiet = events_.size();
  });
  EXPECT_EQ(nQuiet, 0) << "never inside the call";
  a.ws.write(asio::buffer("after"s));
  ASSERT_TRUE(RunUntil([&] { return nQuiet > 0; }));
  RunUntil([] { return false; }, 200ms);
  EXPECT_EQ(nQuiet, 1);
  EXPECT_EQ(events_.size(), nAtQuiet) << "nothing heard after the quiet";
  for (const std::string& uid : {uidA, uidB}) {
    std::vector<std::string> got;
    for (const TEvent& e : events_) {
      if (e.kind == 'M' && e.uid == uid) got.push_back(e.text);
    }
    ASSERT_EQ(got.size(), static_cast<size_t>(kMessages)) << uid;
    for (int m = 0; m < kMessages; ++m) EXPECT_EQ(got[m], Numbered(m));
  }

  lib_->AbandonHandover();
  b.ws.write(asio::buffer("again"s));
  ASSERT_TRUE(RunUntil([&] { return Last('M').text == "again"; }));
  EXPECT_EQ(Last('M').uid, uidB);
  EXPECT_EQ(Count('M', uidA), kMessages) << "what came during the hand-over stays unheard";
}

// While the engine's thread is busy a fast sender is read only so far ahead: the rest waits in
// TCP, and all of it arrives, in order, once the engine takes what came.
TEST_F(WsTransportThreadsTest, ABusyEngineHoldsAFastSenderBack) {
  Start();
  TPlainClient a(ioc_);
  const std::string uid = Connect(a);
  ASSERT_FALSE(uid.empty()) << lastError_.message();
  EXPECT_EQ(Read(a), TMsg("ok", false));
  constexpr size_t kMessages = 32 * 1024;  // 32 MiB in all
  // The client writes from a thread of its own, with blocking writes, and a small send
  // buffer: what it has written is what the gateway's side holds.
  TPlainClient sender(ioc_);
  const std::string senderUid = Connect(sender);
  ASSERT_FALSE(senderUid.empty()) << lastError_.message();
  beast::get_lowest_layer(sender.ws).socket().set_option(
      asio::socket_base::send_buffer_size(64 * 1024));
  const TWsConnId senderId = Id(senderUid);
  size_t nGot = 0;
  bool boInOrder = true;
  messageHook_ = [&](TWsConnId id, std::string_view msg) {
    if (id != senderId) return;
    size_t n = kMessages;
    if (msg.size() >= sizeof n) std::memcpy(&n, msg.data(), sizeof n);
    boInOrder = boInOrder && n == nGot;
    ++nGot;
  };
  std::atomic<size_t> nWritten{0};
  std::thread writer([&] {
    std::string msg(1024, 'f');
    error_code ec;
    sender.ws.binary(true);
    for (size_t i = 0; i < kMessages && !ec; ++i) {
      std::memcpy(msg.data(), &i, sizeof i);
      sender.ws.write(asio::buffer(msg), ec);
      nWritten = i + 1;
    }
  });
  std::this_thread::sleep_for(700ms);  // the engine's thread is busy elsewhere
  // The kernel's receive buffer (a few MiB at most) and the bytes in transit hold the rest.
  EXPECT_LT(nWritten.load(), kMessages / 2) << "read on without the engine";
  const bool boAll = RunUntil([&] { return nGot == kMessages; }, 60s);
  if (!boAll) beast::get_lowest_layer(sender.ws).socket().shutdown(tcp::socket::shutdown_both);
  writer.join();
  EXPECT_TRUE(boAll) << nGot;
  EXPECT_TRUE(boInOrder);
}

// Destroyed with handshakes under way, messages on their way in and bytes on their way out:
// no callback runs afterwards, and every client sees its connection end.
TEST_F(WsTransportThreadsTest, DestroyedWithWorkPendingCallsNothingMore) {
  bool boGone = false, boCalledAfter = false;
  logHook_ = [&](const std::string&) { boCalledAfter = boCalledAfter || boGone; };
  Start(true);
  lib_->SetHandshakeAdmission(
      [&](const std::string&) {
        boCalledAfter = boCalledAfter || boGone;
        return true;
      },
      [&](const std::string&) { boCalledAfter = boCalledAfter || boGone; });
  ssl::context ctx(ssl::context::tls_client);
  std::vector<std::unique_ptr<TTlsClient>> open, halfway;
  std::vector<std::string> uids;
  for (int i = 0; i < 6; ++i) {
    open.push_back(std::make_unique<TTlsClient>(ioc_, ctx));
    uids.push_back(Connect(*open.back()));
    ASSERT_FALSE(uids.back().empty()) << lastError_.message();
  }
  for (int i = 0; i < 6; ++i) {  // TCP only: their TLS handshakes wait
    halfway.push_back(std::make_unique<TTlsClient>(ioc_, ctx));
    auto& sock = beast::get_lowest_layer(halfway.back()->ws);
    ASSERT_FALSE(
        Complete([&](auto h) { sock.async_connect(tcp::endpoint(LoopBack(), port_), h); }));
  }
  const std::string block(1 << 20, 'p');
  for (size_t i = 0; i < open.size(); ++i) {
    lib_->SendBuff(Id(uids[i]), block.data(), block.size());
    open[i]->ws.async_write(asio::buffer("in flight"), [](error_code, size_t) {});
  }
  ioc_.poll();
  const size_t nEvents = events_.size();
  lib_.reset();
  boGone = true;
  ioc_.run_for(300ms);
  EXPECT_EQ(events_.size(), nEvents);
  EXPECT_FALSE(boCalledAfter);
  for (auto& c : open) {
    c->buf.clear();
    error_code ec;
    for (int i = 0; i < 4 && !ec; ++i) {
      ec = Complete([&](auto h) { c->ws.async_read(c->buf, h); });
    }
    EXPECT_TRUE(ec && ec != asio::error::timed_out) << ec.message();
  }
}

// The hand-over: while paused the listener keeps its port and the kernel
// queues connections; the engine hears nothing of the connections meanwhile
// (messages dropped, ends held) until the hand-over is abandoned, when each
// end is told as a lost connection; and another library adopts the listener
// and serves what queued, numbering on from where it is told.
TEST_F(WsLibTest, APausedListenerQueuesForTheLibraryThatAdoptsIt) {
  Start();
  TPlainClient a(ioc_);
  const std::string uidA = Connect(a);
  ASSERT_FALSE(uidA.empty()) << lastError_.message();
  ASSERT_EQ(Read(a), TMsg("ok", false));
  lib_->PauseAccepting(true);
  lib_->BeginHandover();
  ASSERT_FALSE(Write(a, "dropped", false));
  TPlainClient b(ioc_);
  beast::get_lowest_layer(b.ws).connect(tcp::endpoint(LoopBack(), port_));  // queued by the kernel
  const size_t before = events_.size();
  RunUntil([] { return false; }, 200ms);
  EXPECT_EQ(events_.size(), before) << "no message, no connection while handing over";

  lib_->CloseAllForHandover(ECloseCode::ServiceRestart);
  EXPECT_EQ(Read(a).first, "");
  EXPECT_EQ(a.ws.reason().code, 1012);
  EXPECT_EQ(std::string(a.ws.reason().reason.c_str()), "service restart");
  ASSERT_TRUE(RunUntil([&] { return lib_->LiveConnections() == 0; }));
  EXPECT_EQ(Count('D', uidA), 0) << "held back";
  lib_->AbandonHandover();
  EXPECT_EQ(Count('D', uidA), 1);
  EXPECT_EQ(ends_[uidA], EConnEnd::Lost) << "its client resumes";

  const int fd = ::dup(lib_->ListenDescriptor());
  ASSERT_GE(fd, 0);
  TWsLib next(ioc_);
  next.AdoptListener(fd);
  next.SetNextConnectionId(500);
  std::vector<std::string> connected;
  ASSERT_TRUE(next.Init(
      0, [&](const std::string& uid, const std::string&) { connected.push_back(uid); },
      [](const std::string&, const std::string&) {}, [](TWsConnId, std::string_view) {},
      [](const std::string&) {}))
      << next.LastError();
  EXPECT_EQ(next.LocalPort(), port_);
  EXPECT_EQ(next.ListenDescriptor(), fd);
  ASSERT_FALSE(Complete([&](auto h) { b.ws.async_handshake("localhost", "/", h); }));
  ASSERT_TRUE(RunUntil([&] { return !connected.empty(); }));
  EXPECT_EQ(connected.front(), "500");
  EXPECT_EQ(next.NextConnectionId(), 501u);
  EXPECT_EQ(Count('C', "500"), 0) << "the paused library took nothing";
}

}  // namespace

// Bytes held by reference go out as the same binary messages SendBuff makes
// of a copy, in call order with the others, and are let go once written.
TEST_F(WsLibTest, SharedBytesGoOutAsTheSameMessagesAndAreLetGoWhenWritten) {
  Start();
  TPlainClient a(ioc_), b(ioc_);
  const std::string uidA = Connect(a);
  const std::string uidB = Connect(b);
  ASSERT_EQ(Read(a), TMsg("ok", false));
  ASSERT_EQ(Read(b), TMsg("ok", false));
  std::string text(5000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
  const TSharedBytes bytes = TSharedBytes::From(text);
  for (const std::string& uid : {uidA, uidB}) {
    lib_->SendShared(Id(uid), bytes, 0, 2048);
    lib_->SendBuff(Id(uid), "own", 3);
    lib_->SendShared(Id(uid), bytes, 2048, 2048);
    lib_->SendShared(Id(uid), bytes, 4096, 2048);  // beyond the end: the rest only
    lib_->SendShared(Id(uid), bytes, 5000, 10);    // nothing there: nothing sent
  }
  // A transport thread may have written them all by now (its own test holds them there).
  if (IoThreads() == 0) {
    EXPECT_GT(bytes.use_count(), 1u);
  }
  for (TPlainClient* c : {&a, &b}) {
    EXPECT_EQ(Read(*c), TMsg(text.substr(0, 2048), true));
    EXPECT_EQ(Read(*c), TMsg("own", true));
    EXPECT_EQ(Read(*c), TMsg(text.substr(2048, 2048), true));
    EXPECT_EQ(Read(*c), TMsg(text.substr(4096), true));
  }
  EXPECT_TRUE(RunUntil([&] { return bytes.use_count() == 1; }));
  EXPECT_EQ(lib_->Unsent(Id(uidA)), 0u);
  EXPECT_EQ(lib_->TotalUnsent(), 0u);
}

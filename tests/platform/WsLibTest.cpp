#include "platform/wslib.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
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

struct TEvent {
  char kind;  // 'C'onnect, 'D'isconnect, 'M'essage
  std::string uid, text;
};

// A self-signed P-256 certificate and its key as PEM files.
void WriteSelfSigned(const std::string& certPath, const std::string& keyPath) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  ASSERT_TRUE(key && cert);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
  FILE* f = std::fopen(certPath.c_str(), "w");
  ASSERT_TRUE(f);
  PEM_write_X509(f, cert.get());
  std::fclose(f);
  f = std::fopen(keyPath.c_str(), "w");
  ASSERT_TRUE(f);
  PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

class WsLibTest : public ::testing::Test {
 protected:
  void TearDown() override {
    lib_.reset();
    if (!tmpDir_.empty()) std::filesystem::remove_all(tmpDir_);
  }

  void Start(bool boTls = false, std::string_view trusted = {}) {
    lib_ = std::make_unique<TWsLib>(ioc_);
    lib_->SetListenAddress("127.0.0.1");
    if (!trusted.empty()) lib_->SetTrustedProxies(trusted);
    auto onConnect = [this](const std::string& uid, const std::string& ip) {
      events_.push_back({'C', uid, ip});
      lib_->SendMsg(uid, "ok");
      if (boRefuseNext_) {
        boRefuseNext_ = false;
        lib_->CloseSocket(uid);
      }
    };
    auto onDisconnect = [this](const std::string& uid, const std::string& ip) {
      events_.push_back({'D', uid, ip});
    };
    auto onMessage = [this](const std::string& uid, std::string_view msg) {
      events_.push_back({'M', uid, std::string(msg)});
    };
    auto onLog = [this](const std::string& text) { logs_.push_back(text); };
    if (boTls) {
      MakeCert();
      ASSERT_TRUE(lib_->InitTLS(0, certFile_, keyFile_, onConnect, onDisconnect, onMessage, onLog))
          << lib_->LastError();
    } else {
      ASSERT_TRUE(lib_->Init(0, onConnect, onDisconnect, onMessage, onLog)) << lib_->LastError();
    }
    port_ = lib_->LocalPort();
    ASSERT_NE(port_, 0);
  }

  void MakeCert() {
    tmpDir_ = std::filesystem::temp_directory_path() / ("wslib-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(tmpDir_);
    certFile_ = (tmpDir_ / "Tavrel.crt").string();
    keyFile_ = (tmpDir_ / "Tavrel.key").string();
    WriteSelfSigned(certFile_, keyFile_);
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

  template <class C>
  error_code Connect(C& c, const std::string& preamble = {}) {
    auto& sock = beast::get_lowest_layer(c.ws);
    if (auto ec =
            Complete([&](auto h) { sock.async_connect(tcp::endpoint(LoopBack(), port_), h); }))
      return ec;
    if (!preamble.empty()) {
      if (auto ec = Complete([&](auto h) { asio::async_write(sock, asio::buffer(preamble), h); })) {
        return ec;
      }
    }
    if constexpr (!std::is_same_v<C, TPlainClient>) {
      if (auto ec = Complete(
              [&](auto h) { c.ws.next_layer().async_handshake(ssl::stream_base::client, h); })) {
        return ec;
      }
    }
    return Complete([&](auto h) { c.ws.async_handshake("localhost", "/", h); });
  }

  // One message as (bytes, binary?); empty text and false on an error, left in lastError_.
  template <class C>
  std::pair<std::string, bool> Read(C& c) {
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
    int n = 0;
    for (const auto& e : events_) n += e.kind == kind && e.uid == uid;
    return n;
  }
  const TEvent* Last(char kind) const {
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
      if (it->kind == kind) return &*it;
    }
    return nullptr;
  }
  // The connect event of the most recent connection, after its handshake.
  std::string LastUid() const { return Last('C') ? Last('C')->uid : ""; }
  bool Disconnected(const std::string& uid) const { return Count('D', uid) > 0; }
  bool HasLog(std::string_view needle) const {
    for (const auto& l : logs_) {
      if (l.find(needle) != std::string::npos) return true;
    }
    return false;
  }

  asio::io_context ioc_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(ioc_);
  std::unique_ptr<TWsLib> lib_;
  uint16_t port_ = 0;
  std::vector<TEvent> events_;
  std::vector<std::string> logs_;
  bool boRefuseNext_ = false;
  error_code lastError_;
  std::filesystem::path tmpDir_;
  std::string certFile_, keyFile_;
};

TEST_F(WsLibTest, MessagesBothWaysAndClientClose) {
  Start();
  TPlainClient a(ioc_), b(ioc_);
  ASSERT_FALSE(Connect(a));
  const std::string uidA = LastUid();
  ASSERT_FALSE(uidA.empty());
  EXPECT_EQ(Last('C')->text, "127.0.0.1");
  EXPECT_EQ(Read(a), std::make_pair("ok"s, false));  // the connect callback's reply comes first

  // Each incoming message is one callback, whole, text or binary alike; 64 KiB is allowed.
  const std::string big(TWsLib::kMaxMessageBytes, 'x');
  ASSERT_FALSE(Write(a, "hello", false));
  ASSERT_FALSE(Write(a, "\x00\x01\xFF"s, true));
  ASSERT_FALSE(Write(a, big, true));
  ASSERT_TRUE(RunUntil([&] { return Count('M', uidA) == 3; }));
  EXPECT_EQ(events_[1].text, "hello");
  EXPECT_EQ(events_[2].text, "\x00\x01\xFF"s);
  EXPECT_EQ(events_[3].text, big);

  // SendBuff is binary, SendMsg text, in call order.
  lib_->SendBuff(uidA, "abc", 3);
  lib_->SendMsg(uidA, "text");
  lib_->SendBuff(std::stoul(uidA), "\x00z", 2);
  EXPECT_EQ(Read(a), std::make_pair("abc"s, true));
  EXPECT_EQ(Read(a), std::make_pair("text"s, false));
  EXPECT_EQ(Read(a), std::make_pair("\x00z"s, true));

  ASSERT_FALSE(Connect(b));
  const std::string uidB = LastUid();
  EXPECT_NE(uidB, uidA);
  EXPECT_EQ(lib_->OpenConnections(), 2u);

  ASSERT_FALSE(Complete([&](auto h) { a.ws.async_close(websocket::close_code::normal, h); }));
  ASSERT_TRUE(RunUntil([&] { return Disconnected(uidA); }));
  EXPECT_EQ(Last('D')->text, "127.0.0.1");
  // Identifiers of ended, unknown or malformed connections are harmless.
  for (const std::string& uid : {uidA, "999999"s, "0"s, "abc"s, ""s, "99999999999"s}) {
    lib_->SendBuff(uid, "x", 1);
    lib_->SendMsg(uid, "x");
    lib_->CloseSocket(uid);
  }
  ioc_.run_for(100ms);
  EXPECT_EQ(Count('D', uidA), 1);
  EXPECT_EQ(Count('D', uidB), 0);
  EXPECT_EQ(lib_->OpenConnections(), 1u);
}

TEST_F(WsLibTest, OversizeMessageClosesOnlyItsConnection) {
  Start();
  TPlainClient a(ioc_), b(ioc_);
  ASSERT_FALSE(Connect(a));
  const std::string uidA = LastUid();
  ASSERT_FALSE(Connect(b));
  const std::string uidB = LastUid();
  Read(a);
  Read(b);

  Write(a, std::string(TWsLib::kMaxMessageBytes + 1, 'y'), true);
  EXPECT_EQ(Read(a).first, "");
  EXPECT_EQ(lastError_, websocket::error::closed);
  EXPECT_EQ(a.ws.reason().code, websocket::close_code::too_big);
  ASSERT_TRUE(RunUntil([&] { return Disconnected(uidA); }));
  EXPECT_EQ(Count('M', uidA), 0);
  EXPECT_EQ(lib_->OversizeCloses(), 1u);
  EXPECT_TRUE(HasLog("65536"));

  ASSERT_FALSE(Write(b, "still here", false));
  ASSERT_TRUE(RunUntil([&] { return Count('M', uidB) == 1; }));
  EXPECT_EQ(Count('D', uidB), 0);
}

TEST_F(WsLibTest, CloseSocketFlushesAndReportsOneDisconnect) {
  Start();
  TPlainClient a(ioc_), refused(ioc_), c(ioc_);
  ASSERT_FALSE(Connect(a));
  const std::string uidA = LastUid();
  Read(a);
  lib_->SendBuff(uidA, "bye", 3);
  lib_->CloseSocket(uidA);
  lib_->CloseSocket(uidA);
  lib_->SendMsg(uidA, "too late");
  EXPECT_EQ(Count('D', uidA), 0);  // never from inside the call
  EXPECT_EQ(Read(a), std::make_pair("bye"s, true));
  Read(a);
  EXPECT_EQ(lastError_, websocket::error::closed);
  ASSERT_TRUE(RunUntil([&] { return Disconnected(uidA); }));

  // Closed from inside its own connect callback, as a refused address is.
  boRefuseNext_ = true;
  ASSERT_FALSE(Connect(refused));
  const std::string uidR = LastUid();
  Read(refused);  // "ok" was queued before the close
  Read(refused);
  EXPECT_EQ(lastError_, websocket::error::closed);
  ASSERT_TRUE(RunUntil([&] { return Disconnected(uidR); }));

  ASSERT_FALSE(Connect(c));
  const std::string uidC = LastUid();
  Read(c);
  ioc_.run_for(100ms);
  EXPECT_EQ(Count('D', uidA), 1);
  EXPECT_EQ(Count('D', uidR), 1);

  // Tearing the library down ends the remaining connection without further callbacks.
  const size_t nEvents = events_.size();
  lib_.reset();
  Read(c);
  EXPECT_TRUE(lastError_);
  EXPECT_NE(lastError_, asio::error::timed_out);
  EXPECT_EQ(events_.size(), nEvents);
  EXPECT_EQ(Count('D', uidC), 0);
}

TEST_F(WsLibTest, TlsRoundTripAndProxyHeaderBeforeTls) {
  Start(true, "127.0.0.1");
  ssl::context ctx(ssl::context::tls_client);
  ctx.set_verify_mode(ssl::verify_none);

  // src 198.51.100.9:4242, dst 127.0.0.1:443
  const std::string v2 =
      "\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0C"s + "\xC6\x33\x64\x09\x7F\x00\x00\x01\x10\x92\x01\xBB"s;
  TTlsClient a(ioc_, ctx);
  ASSERT_FALSE(Connect(a, v2));
  const std::string uid = LastUid();
  EXPECT_EQ(Last('C')->text, "198.51.100.9");
  EXPECT_EQ(Read(a), std::make_pair("ok"s, false));
  ASSERT_FALSE(Write(a, "over tls", false));
  ASSERT_TRUE(RunUntil([&] { return Count('M', uid) == 1; }));
  EXPECT_EQ(Last('M')->text, "over tls");
  lib_->SendBuff(uid, "\x01\x02", 2);
  EXPECT_EQ(Read(a), std::make_pair("\x01\x02"s, true));
  lib_->CloseSocket(uid);
  Read(a);
  EXPECT_EQ(lastError_, websocket::error::closed);
  ASSERT_TRUE(RunUntil([&] { return Disconnected(uid); }));

  // Key or certificate files that cannot be read fail the start.
  TWsLib other(ioc_);
  EXPECT_FALSE(other.InitTLS(0, certFile_, (tmpDir_ / "missing.key").string(), {}, {}, {}, {}));
  EXPECT_NE(other.LastError().find("missing.key"), std::string::npos);
  EXPECT_FALSE(other.InitTLS(0, (tmpDir_ / "none.crt").string(), keyFile_, {}, {}, {}, {}));
  EXPECT_EQ(other.LocalPort(), 0);
  // So does a port already taken.
  other.SetListenAddress("127.0.0.1");
  EXPECT_FALSE(other.Init(port_, {}, {}, {}, {}));
  EXPECT_FALSE(other.LastError().empty());
}

TEST_F(WsLibTest, ProxyHeaderFromTrustedPeerOnly) {
  Start(false, "10.1.1.1, 127.0.0.1");
  EXPECT_FALSE(lib_->SetTrustedProxies("bogus, 127.0.0.1"));  // the valid entry still holds

  TPlainClient v1(ioc_), v2(ioc_), bare(ioc_);
  ASSERT_FALSE(Connect(v1, "PROXY TCP4 203.0.113.7 127.0.0.1 5555 80\r\n"));
  EXPECT_EQ(Last('C')->text, "203.0.113.7");
  const std::string v2Header = "\r\n\r\n\0\r\nQUIT\n\x21\x21\x00\x24"s + "\x20\x01\x0d\xb8"s +
                               std::string(11, '\0') + "\x07"s + std::string(16, '\0') +
                               "\x10\x92\x00\x50"s;
  ASSERT_FALSE(Connect(v2, v2Header));
  EXPECT_EQ(Last('C')->text, "[2001:db8::7]:4242");
  // A trusted peer must send a header: a bare handshake is refused.
  EXPECT_TRUE(Connect(bare));
  EXPECT_EQ(lib_->RefusedConnections(), 1u);
  EXPECT_TRUE(HasLog("Bad PROXY header from 127.0.0.1: GET /"));

  // From an untrusted peer a PROXY line is never parsed: it spoils the handshake.
  lib_->SetTrustedProxies("10.9.8.7");
  TPlainClient spoof(ioc_), plain(ioc_);
  EXPECT_TRUE(Connect(spoof, "PROXY TCP4 203.0.113.8 127.0.0.1 5555 80\r\n"));
  ASSERT_TRUE(RunUntil([&] { return lib_->RefusedConnections() == 2; }));
  ASSERT_FALSE(Connect(plain));
  EXPECT_EQ(Last('C')->text, "127.0.0.1");
  EXPECT_EQ(std::count_if(events_.begin(), events_.end(), [](auto& e) { return e.kind == 'C'; }),
            3);
  EXPECT_EQ(lib_->OpenConnections(), 3u);
}

TEST_F(WsLibTest, SlowConsumerIsClosed) {
  Start();
  TPlainClient a(ioc_);
  ASSERT_FALSE(Connect(a));
  const std::string uid = LastUid();
  // The client never reads: kernel buffers fill, then the adapter's queue passes its cap.
  const std::string chunk(256 * 1024, 's');
  size_t nSent = 0;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!Disconnected(uid) && nSent < 256u * 1024 * 1024 &&
         std::chrono::steady_clock::now() < deadline) {
    lib_->SendBuff(uid, chunk.data(), chunk.size());
    nSent += chunk.size();
    ioc_.run_for(1ms);
  }
  ASSERT_TRUE(RunUntil([&] { return Disconnected(uid); }));
  EXPECT_GT(nSent, TWsLib::kMaxUnsentBytes);
  EXPECT_EQ(lib_->SlowConsumerCloses(), 1u);
  EXPECT_TRUE(HasLog("Slow consumer: connection " + uid));
  EXPECT_EQ(Count('D', uid), 1);
}

}  // namespace

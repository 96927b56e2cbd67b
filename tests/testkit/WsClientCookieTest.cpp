// The test kit's WebSocket client with a cookie jar, against a server on
// loopback: the Set-Cookie of an upgrade's response (or of a refusal) is
// kept, and the next upgrade to that host carries it back as a browser's
// would; a client without a jar sends none.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "platform/AsioNames.h"
#include "testkit/CookieJar.h"
#include "testkit/WsClient.h"

namespace testkit {
namespace {

using namespace std::chrono_literals;
namespace http = beast::http;

// Accepts upgrades one after another; each answer sets SetCookie (when not
// empty), upgrading or, with Refuse, answering 503 instead.
class CookieServer {
 public:
  explicit CookieServer(asio::io_context& Io)
      : acceptor_(Io, {asio::ip::make_address("127.0.0.1"), 0}) {
    Accept();
  }
  uint16_t Port() const { return acceptor_.local_endpoint().port(); }

  std::string SetCookie;
  bool Refuse = false;
  std::vector<std::optional<std::string>> CookiesSeen;  // per upgrade; nullopt: no field

 private:
  struct Conn {
    explicit Conn(tcp::socket S) : Ws(std::move(S)) {}
    websocket::stream<beast::tcp_stream> Ws;
    beast::flat_buffer Buf;
    http::request<http::string_body> Req;
    http::response<http::string_body> Res;
  };

  void Accept() {
    acceptor_.async_accept([this](error_code ec, tcp::socket s) {
      if (ec) return;
      auto c = std::make_shared<Conn>(std::move(s));
      http::async_read(c->Ws.next_layer(), c->Buf, c->Req, [this, c](error_code e, size_t) {
        if (e) return;
        const auto it = c->Req.find(http::field::cookie);
        CookiesSeen.push_back(it == c->Req.end() ? std::nullopt
                                                 : std::optional<std::string>(it->value()));
        if (Refuse) {
          c->Res.result(http::status::service_unavailable);
          c->Res.version(11);
          if (!SetCookie.empty()) c->Res.set(http::field::set_cookie, SetCookie);
          c->Res.prepare_payload();
          http::async_write(c->Ws.next_layer(), c->Res, [c](error_code, size_t) {});
          return;
        }
        c->Ws.set_option(
            websocket::stream_base::decorator([cookie = SetCookie](websocket::response_type& res) {
              if (!cookie.empty()) res.set(http::field::set_cookie, cookie);
            }));
        c->Ws.async_accept(c->Req, [c](error_code ae) {
          // Reads until the client's close, which it answers.
          if (!ae) c->Ws.async_read(c->Buf, [c](error_code, size_t) {});
        });
      });
      Accept();
    });
  }

  tcp::acceptor acceptor_;
};

struct Ends : WsClientEvents {
  int Opened = 0, Ended = 0;
  void OnOpen(WsClient& C) override {
    ++Opened;
    C.Close();
  }
  void OnMessage(WsClient&, bool, std::string_view) override {}
  void OnEnd(WsClient&, error_code) override { ++Ended; }
};

class WsClientCookies : public ::testing::Test {
 protected:
  WsClientCookies() : server(io) {}

  // One upgrade to the server with Jar (none: nullptr), to its end.
  void Upgrade(CookieJar* Jar) {
    auto client = std::make_shared<WsClient>(io, events, 0);
    WsTarget target;
    target.To = tcp::endpoint(asio::ip::make_address("127.0.0.1"), server.Port());
    target.Host = "127.0.0.1:" + std::to_string(server.Port());
    target.Timeout = 5s;
    target.Cookies = Jar;
    const int before = events.Ended;
    client->Connect(std::move(target));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (events.Ended == before && std::chrono::steady_clock::now() < deadline)
      io.run_one_for(10ms);
    ASSERT_EQ(events.Ended, before + 1);
  }

  asio::io_context io;
  CookieServer server;
  Ends events;
};

TEST_F(WsClientCookies, TheUpgradesCookieComesBackWithTheNextUpgrade) {
  CookieJar jar;
  server.SetCookie = "GW=gw2; path=/";
  Upgrade(&jar);
  server.SetCookie.clear();
  Upgrade(&jar);
  // Another client of the same browser, and a client without a jar.
  Upgrade(&jar);
  Upgrade(nullptr);
  EXPECT_EQ(events.Opened, 4);
  ASSERT_EQ(server.CookiesSeen.size(), 4u);
  EXPECT_EQ(server.CookiesSeen[0], std::nullopt);
  EXPECT_EQ(server.CookiesSeen[1], "GW=gw2");
  EXPECT_EQ(server.CookiesSeen[2], "GW=gw2");
  EXPECT_EQ(server.CookiesSeen[3], std::nullopt);

  // A refused upgrade's cookie is kept too; one that is not a cookie is not.
  server.Refuse = true;
  server.SetCookie = "GW=gw1";
  Upgrade(&jar);
  server.Refuse = false;
  server.SetCookie = "junk";
  Upgrade(&jar);
  Upgrade(&jar);
  EXPECT_EQ(events.Opened, 6);
  ASSERT_EQ(server.CookiesSeen.size(), 7u);
  EXPECT_EQ(server.CookiesSeen[5], "GW=gw1");
  EXPECT_EQ(server.CookiesSeen[6], "GW=gw1");
}

}  // namespace
}  // namespace testkit

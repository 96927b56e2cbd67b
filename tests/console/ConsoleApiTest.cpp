#include "console/ConsoleApi.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "console/Metrics.h"
#include "engine/GameSocket.h"
#include "engine/MainUnit.h"
#include "protocol/EDcode.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "traffic/Pacing.h"

namespace {

constexpr uint16_t kPort = 8303;
const std::string kHost = "127.0.0.1:8303";
const std::string kOrigin = "http://127.0.0.1:8303";

uint64_t g_now = 7'000'000;
uint64_t TestClock() {
  return g_now;
}

class TNullFrontEnd final : public TFrontEnd {
 public:
  void SendMsg(const std::string&, std::string_view) override {}
  void SendBuff(const std::string&, const char*, size_t) override {}
  void CloseSocket(const std::string&, ECloseCode) override {}
};

class ConsoleApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boShowLog = false;
    api.Broadcast = [this](const std::string& e) { events.push_back(e); };
  }
  void TearDown() override { boShowLog = false; }

  TConsoleReply Get(const std::string& target) {
    TConsoleRequest req;
    req.sMethod = "GET";
    req.sTarget = target;
    req.sHost = kHost;
    return api.Handle(req);
  }
  TConsoleReply Post(const std::string& target, const std::string& body) {
    TConsoleRequest req;
    req.sMethod = "POST";
    req.sTarget = target;
    req.sHost = kHost;
    req.sOrigin = kOrigin;
    req.sBody = body;
    return api.Handle(req);
  }

  boost::asio::io_context io;
  TMainForm form{io, {}};
  TConsoleApi api{form, MakeConsoleAccess("127.0.0.1", kPort, "")};
  std::vector<std::string> events;
};

TEST_F(ConsoleApiTest, ServesThePageAndTheDemoClientFromTheBinary) {
  TConsoleReply page = Get("/");
  EXPECT_EQ(page.nStatus, 200);
  EXPECT_EQ(page.sContentType, "text/html; charset=utf-8");
  EXPECT_NE(page.sBody.find("查看日志"), std::string::npos);
  EXPECT_EQ(Get("/console.js").sContentType, "text/javascript; charset=utf-8");
  EXPECT_NE(Get("/demo/").sBody.find("tavrel-client.js"), std::string::npos);
  EXPECT_NE(Get("/demo/tavrel-client.js").sBody.find("DecompressionStream('deflate')"),
            std::string::npos);
  TConsoleReply bare = Get("/demo?token=x");
  EXPECT_EQ(bare.nStatus, 301);
  EXPECT_EQ(bare.sLocation, "/demo/?token=x");
  EXPECT_EQ(Get("/demo/../index.html").nStatus, 404);
  EXPECT_EQ(Get("/nothing").nStatus, 404);
  EXPECT_EQ(Post("/", "").nStatus, 405);
}

TEST_F(ConsoleApiTest, RoutesStreamsAndTheCloseRequest) {
  EXPECT_TRUE(Get("/events").boEventStream);
  EXPECT_EQ(Post("/events", "").nStatus, 405);
  EXPECT_FALSE(Get("/api/state").boCloseGateway);
  EXPECT_TRUE(Post("/api/close", "").boCloseGateway);
  EXPECT_EQ(Get("/api/close").nStatus, 405);
  EXPECT_EQ(Post("/api/nothing", "{}").nStatus, 404);
  // A change from another page does nothing.
  TConsoleRequest req;
  req.sMethod = "POST";
  req.sTarget = "/api/close";
  req.sHost = kHost;
  req.sOrigin = "http://evil.example";
  TConsoleReply refused = api.Handle(req);
  EXPECT_EQ(refused.nStatus, 403);
  EXPECT_FALSE(refused.boCloseGateway);
}

TEST_F(ConsoleApiTest, LogSwitchFollowsTheCheckMarkAndReachesEveryPage) {
  TConsoleReply on = Post("/api/showlog", R"({"on":true})");
  EXPECT_EQ(on.nStatus, 200);
  EXPECT_TRUE(boShowLog);
  EXPECT_EQ(Post("/api/showlog", R"({"on":"yes"})").nStatus, 400);
  EXPECT_EQ(Post("/api/showlog", "[").nStatus, 400);
  EXPECT_TRUE(boShowLog);
  Post("/api/showlog", R"({"on":false})");
  EXPECT_FALSE(boShowLog);
  EXPECT_EQ(events, (std::vector<std::string>{"event: showlog\ndata: true\n\n",
                                              "event: showlog\ndata: false\n\n"}));
  events.clear();
  Post("/api/clearlog", "");
  EXPECT_EQ(events, std::vector<std::string>{"event: clear\ndata: {}\n\n"});
  EXPECT_EQ(TConsoleApi::LogEvent("a\"b\nc"), "event: log\ndata: \"a\\\"b\\nc\"\n\n");
  EXPECT_NE(api.SnapshotEvent().find("\"caption\":\"TavrelH5 x64\""), std::string::npos);
}

TEST_F(ConsoleApiTest, TokenInTheUrlBecomesACookie) {
  TConsoleApi guarded(form, MakeConsoleAccess("127.0.0.1", kPort, "tok"));
  TConsoleRequest req;
  req.sMethod = "GET";
  req.sTarget = "/";
  req.sHost = "anything:1";
  EXPECT_EQ(guarded.Handle(req).nStatus, 401);
  req.sTarget = "/?token=tok";
  TConsoleReply reply = guarded.Handle(req);
  EXPECT_EQ(reply.nStatus, 200);
  EXPECT_EQ(reply.sSetCookie, "tavrel_console_8303=746f6b; Path=/; HttpOnly; SameSite=Strict");
  req.sTarget = "/api/state";
  req.sCookie = "tavrel_console_8303=746f6b";
  EXPECT_EQ(guarded.Handle(req).nStatus, 200);
}

TEST_F(ConsoleApiTest, CodecTablesForBrowserClients) {
  TConsoleReply codec = Get("/api/codec");
  ASSERT_EQ(codec.nStatus, 200);
  const std::regex table(R"("EncodeBitMasks":"[0-9A-F]{512}","DecodeBitMasks":"[0-9A-F]{512}")");
  EXPECT_TRUE(std::regex_search(codec.sBody, table)) << codec.sBody;
}

// Metrics over a live engine: connections, sessions and the pace check's verdicts.
TEST_F(ConsoleApiTest, MetricsInPrometheusTextFormat) {
  SetTickSourceForTests(TestClock);
  g_nUserConnect = g_nSuccessCount = 0;
  g_IPNumberList.clear();
  g_GateConfig = TGateConfig();
  g_nPunishThreshold = 0;
  g_PacingStats = TPacingStats{};
  g_TavrelSocket = std::make_unique<TTavrelSocket>(io, std::make_unique<TNullFrontEnd>());
  g_TavrelSocket->ServerConnect("1", "10.0.0.1");
  g_TavrelSocket->ServerConnect("2", "10.0.0.2");
  TDefaultMessage walk;
  walk.Ident = CM_WALK;
  g_TavrelSocket->ServerMessage("1", EncodeMessage(walk));  // on time
  g_TavrelSocket->ServerMessage("1", EncodeMessage(walk));  // too soon
  TDefaultMessage heart;
  heart.Ident = CM_HEART;
  g_TavrelSocket->ServerMessage("2", EncodeMessage(heart));

  TConsoleReply reply = Get("/metrics");
  g_TavrelSocket.reset();
  SetTickSourceForTests(nullptr);
  ASSERT_EQ(reply.nStatus, 200);
  EXPECT_EQ(reply.sContentType, "text/plain; version=0.0.4; charset=utf-8");
  const std::string& text = reply.sBody;
  for (const char* sample :
       {"tavrel_open_connections 2\n", "tavrel_session_records 2\n", "tavrel_server_link_up 0\n",
        "tavrel_client_messages_received_total 3\n",
        "tavrel_client_messages_total{kind=\"walk\",result=\"accepted\"} 1\n",
        "tavrel_client_messages_total{kind=\"walk\",result=\"refused\"} 1\n",
        "tavrel_client_messages_total{kind=\"other\",result=\"accepted\"} 1\n",
        "tavrel_refused_connections_total{reason=\"address_limit\"} 0\n"})
    EXPECT_NE(text.find(sample), std::string::npos) << sample;

  // Every sample belongs to a family announced with HELP and TYPE before it.
  const std::regex sampleLine(R"(([a-z_]+)(\{[a-z_]+="[a-z_]+"(,[a-z_]+="[a-z_]+")*\})? [0-9]+)");
  std::set<std::string> announced;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (line.starts_with("# TYPE ")) {
      announced.insert(line.substr(7, line.find(' ', 7) - 7));
    } else if (!line.starts_with("# HELP ")) {
      ASSERT_TRUE(std::regex_match(line, m, sampleLine)) << line;
      EXPECT_TRUE(announced.count(m[1])) << line;
    }
  }
}

TEST_F(ConsoleApiTest, TheHiddenButtonRunsTheCompressionSelfTest) {
  TakeMainLogLines();
  form.Button1Click();
  const std::vector<std::string> lines = TakeMainLogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("] Zip Code x"), std::string::npos) << lines[0];  // zlib's 0x78 header
  EXPECT_TRUE(lines[1].ends_with("] UnZip Code 1234567890")) << lines[1];
}

TEST_F(ConsoleApiTest, UsersAndMetricsWithoutAnEngine) {
  EXPECT_EQ(Get("/api/users").sBody, R"({"rows":[],"status":"在线人数:0"})");
  EXPECT_EQ(Post("/api/disconnect", R"({"rows":[{"index":0,"uid":"1"}]})").sBody,
            R"({"marked":0})");
  EXPECT_EQ(Post("/api/disconnect", R"({"rows":5})").nStatus, 400);
  EXPECT_NE(RenderMetrics(nullptr).find("tavrel_open_connections 0\n"), std::string::npos);
}

}  // namespace

#include "console/ConsoleApi.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "console/Metrics.h"
#include "engine/GameSocket.h"
#include "engine/MainUnit.h"
#include "platform/IniFile.h"
#include "protocol/EDcode.h"
#include "protocol/ProtocolVersion.h"
#include "shared/Share.h"
#include "shared/Version.h"
#include "support/EngineRig.h"
#include "traffic/Pacing.h"

namespace {

constexpr uint16_t kPort = 8303;
const std::string kHost = "127.0.0.1:8303";
const std::string kOrigin = "http://127.0.0.1:8303";

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
  EXPECT_NE(Get("/client/tavrel-client.js").sBody.find("DecompressionStream('deflate')"),
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

// Every change is written with who asked; refused ones are sampled, as
// anyone who reaches the port can send them.
TEST_F(ConsoleApiTest, ChangesAreLoggedWithTheirPeerAndRefusalsSampled) {
  TakeMainLogLines();
  TConsoleRequest req;
  req.sMethod = "POST";
  req.sTarget = "/api/speeddebug";
  req.sHost = kHost;
  req.sOrigin = kOrigin;
  req.sPeer = "127.0.0.9";
  req.sBody = R"({"on":false})";
  ASSERT_EQ(api.Handle(req).nStatus, 200);
  std::vector<std::string> lines = TakeMainLogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(
      R"(Console request from 127.0.0.9: POST /api/speeddebug -> 200 {"on":false})"))
      << lines[0];
  EXPECT_TRUE(Get("/api/state").nStatus == 200 && TakeMainLogLines().empty());

  // A token given in the query stays out of the line.
  req.sTarget = "/api/speeddebug?token=s3cret";
  api.Handle(req);
  lines = TakeMainLogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find("s3cret"), std::string::npos) << lines[0];

  req.sOrigin = "http://evil.example";
  for (int i = 0; i < 50; ++i) api.Handle(req);
  lines = TakeMainLogLines();
  EXPECT_GE(lines.size(), 1u);
  EXPECT_LE(lines.size(), TLogSampler::kFirstLines);
  EXPECT_NE(lines[0].find("Console refused from 127.0.0.9: POST /api/speeddebug -> 403"),
            std::string::npos)
      << lines[0];
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

// A line logged just before a clear, still waiting for the pane's timer, must
// not show in the pane the operator has just cleared.
TEST_F(ConsoleApiTest, ClearingTheLogTakesTheLinesNotYetShownAlong) {
  TakeMainLogLines();
  MainOutMessage("logged before the clear");
  std::vector<std::string> shown;
  form.OnLogLine = [&](const std::string& line) { shown.push_back(line); };
  Post("/api/clearlog", "");
  EXPECT_TRUE(form.MemoLog().empty());
  EXPECT_TRUE(shown.empty());
  const std::vector<std::string> waiting = TakeMainLogLines();
  for (const std::string& line : waiting)
    EXPECT_EQ(line.find("logged before the clear"), std::string::npos) << line;
}

// /api/state and the page's first event are one text, protocol version included.
TEST_F(ConsoleApiTest, StateReportsTheWindowAndTheProtocolVersion) {
  boShowLog = true;
  TConsoleReply state = Get("/api/state");
  ASSERT_EQ(state.nStatus, 200);
  EXPECT_EQ(state.sContentType, "application/json; charset=utf-8");
  EXPECT_EQ(state.sBody, std::string(R"({"caption":"TavrelH5 x64","lines":[],"panels":["",""],)") +
                             R"("showLog":true,"protocolVersion":")" + kProtocolVersion + "\"}");
  EXPECT_EQ(api.SnapshotEvent(), "event: snapshot\ndata: " + state.sBody + "\n\n");
  EXPECT_EQ(Post("/api/state", "").nStatus, 405);
}

TEST_F(ConsoleApiTest, TokenInTheUrlBecomesACookie) {
  TConsoleApi guarded(form, MakeConsoleAccess("127.0.0.1", kPort, "tok"));
  TConsoleRequest req;
  req.sMethod = "GET";
  req.sTarget = "/";
  req.sHost = "anything:1";
  EXPECT_EQ(guarded.Handle(req).nStatus, 403);  // a rebound name, without the token
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
  ResetProcessState();
  UseTestClock();
  g_nPunishThreshold = 0;
  auto recording = std::make_unique<TRecordingLink>();
  TRecordingLink& link = *recording;
  g_TavrelSocket = std::make_unique<TTavrelSocket>(io, std::move(recording),
                                                   std::make_unique<TRecordingFrontEnd>());
  link.SetUp(true);  // with the link down a connection gets no session
  g_TavrelSocket->ServerConnect("1", "10.0.0.1");
  g_TavrelSocket->ServerConnect("2", "10.0.0.2");
  // Logged in: a first message that is no login text is refused unpaced.
  for (const char* uid : {"1", "2"})
    g_TavrelSocket->GetUser(std::string_view(uid))->boNewLogon = false;
  TDefaultMessage walk;
  walk.Ident = CM_WALK;
  g_TavrelSocket->ServerMessage(1, EncodeMessage(walk));  // on time
  g_TavrelSocket->ServerMessage(1, EncodeMessage(walk));  // too soon
  TDefaultMessage heart;
  heart.Ident = CM_HEART;
  g_TavrelSocket->ServerMessage(2, EncodeMessage(heart));
  // One message for client 2, handed over at the end of the turn, beside the
  // refusal the pace check composed for client 1.
  const std::string hello("hello\0", 6);
  g_TavrelSocket->ProcessMakeSocketStr(0, 2, hello.data(), -static_cast<int32_t>(hello.size()));
  io.restart();
  io.poll();          // the end of the turn
  link.SetUp(false);  // the sessions stay

  TConsoleReply reply = Get("/metrics");
  g_TavrelSocket.reset();
  ReleaseTestClock();
  ResetProcessState();
  ASSERT_EQ(reply.nStatus, 200);
  EXPECT_EQ(reply.sContentType, "text/plain; version=0.0.4; charset=utf-8");
  const std::string& text = reply.sBody;
  for (const char* sample :
       {"tavrel_open_connections 2\n", "tavrel_session_records 2\n", "tavrel_server_link_up 0\n",
        "tavrel_client_messages_received_total 3\n",
        "tavrel_client_messages_total{kind=\"walk\",result=\"accepted\"} 1\n",
        "tavrel_client_messages_total{kind=\"walk\",result=\"refused\"} 1\n",
        "tavrel_client_messages_total{kind=\"other\",result=\"accepted\"} 1\n",
        "tavrel_refused_connections_total{reason=\"address_limit\"} 0\n",
        "# TYPE tavrel_dwell_seconds histogram\n",
        "tavrel_dwell_seconds_bucket{direction=\"to_client\",le=\"+Inf\"} 2\n",
        "tavrel_dwell_seconds_bucket{direction=\"to_client\",le=\"0.1\"} 2\n",
        "tavrel_dwell_seconds_count{direction=\"to_client\"} 2\n",
        "tavrel_dwell_seconds_bucket{direction=\"to_server\",le=\"0.0001\"} 0\n",
        "tavrel_dwell_seconds_count{direction=\"to_server\"} 0\n"})
    EXPECT_NE(text.find(sample), std::string::npos) << sample;
  // The build carries the one project version, the one the package and --version show.
  EXPECT_TRUE(std::regex_match(std::string(kTavrelVersion), std::regex(R"(\d+\.\d+\.\d+)")))
      << kTavrelVersion;
  const size_t build =
      text.find("\ntavrel_build_info{protocol_version=\"" + std::string(kProtocolVersion) + "\",");
  ASSERT_NE(build, std::string::npos);
  const std::string buildLine = text.substr(build + 1, text.find('\n', build + 1) - build - 1);
  EXPECT_TRUE(buildLine.ends_with(",version=\"" + std::string(kTavrelVersion) + "\"} 1"))
      << buildLine;

  // Every sample belongs to a family announced with HELP and TYPE before it.
  const std::regex sampleLine(
      R"(([a-z_]+)(\{[a-z_]+="[^"\\]*"(,[a-z_]+="[^"\\]*")*\})? [0-9]+(\.[0-9]+)?(e[+-]?[0-9]+)?)");
  std::set<std::string> announced;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (line.starts_with("# TYPE ")) {
      announced.insert(line.substr(7, line.find(' ', 7) - 7));
    } else if (!line.starts_with("# HELP ")) {
      ASSERT_TRUE(std::regex_match(line, m, sampleLine)) << line;
      // A histogram's series carry a suffix to the family's name.
      std::string family = m[1];
      for (const char* suffix : {"_bucket", "_sum", "_count"})
        if (!announced.count(family) && family.ends_with(suffix))
          family.resize(family.size() - std::strlen(suffix));
      EXPECT_TRUE(announced.count(family)) << line;
    }
  }
}

// The dashboard's figures each second, a sample when 5 s have passed, and
// the history for a page that opens later.
TEST_F(ConsoleApiTest, DashboardFiguresSamplesAndHistory) {
  ResetProcessState();
  UseTestClock();
  auto link = std::make_unique<TRecordingLink>();
  link->SetUp(true);
  g_TavrelSocket =
      std::make_unique<TTavrelSocket>(io, std::move(link), std::make_unique<TRecordingFrontEnd>());
  g_TavrelSocket->ServerConnect("1", "10.0.0.1");
  g_TavrelSocket->ServerConnect("2", "10.0.0.2");

  // "#hi!" waits in session 1's stream until a run tick hands it over.
  g_TavrelSocket->ProcessMakeSocketStr(0, 1, "hi", -3);

  const std::string first = api.DashboardEvents();
  EXPECT_TRUE(first.starts_with("event: figures\ndata: {\"linkUp\":true,\"linkSince\":")) << first;
  EXPECT_NE(first.find("\"connections\":2,\"inGame\":0,"), std::string::npos) << first;
  EXPECT_EQ(first.find("event: sample"), std::string::npos);
  // Two GM_OPEN frames wait in the link queue, and the metrics say so.
  const std::string metrics = Get("/metrics").sBody;
  EXPECT_NE(
      first.find("\"linkQueueBytes\":" + std::to_string(g_TavrelSocket->Link().Queued().size())),
      std::string::npos);
  EXPECT_GT(g_TavrelSocket->Link().Queued().size(), 0u);
  EXPECT_NE(metrics.find("\ntavrel_server_link_queue_bytes " +
                         std::to_string(g_TavrelSocket->Link().Queued().size()) + "\n"),
            std::string::npos);
  EXPECT_NE(metrics.find("\ntavrel_connections_accepted_total 2\n"), std::string::npos);
  EXPECT_NE(metrics.find("\ntavrel_client_stream_bytes 4\n"), std::string::npos);
  EXPECT_NE(first.find("\"clientStreamBytes\":4}"), std::string::npos) << first;

  TDefaultMessage heart;
  heart.Ident = CM_HEART;
  for (int i = 0; i < 10; ++i) g_TavrelSocket->ServerMessage(1, EncodeMessage(heart));
  g_now += 4999;
  EXPECT_EQ(api.DashboardEvents().find("event: sample"), std::string::npos);
  g_now += 1;
  const std::string second = api.DashboardEvents();
  const size_t sample = second.find("event: sample\ndata: {\"t\":");
  ASSERT_NE(sample, std::string::npos) << second;
  EXPECT_NE(second.find("\"connections\":2,\"inGame\":0,\"messagesIn\":2E0,", sample),
            std::string::npos)
      << second;

  TConsoleReply history = Get("/api/dashboard");
  g_TavrelSocket.reset();
  ReleaseTestClock();
  ResetProcessState();
  ASSERT_EQ(history.nStatus, 200);
  EXPECT_TRUE(history.sBody.starts_with("{\"intervalMs\":5000,\"samples\":[{\"t\":"))
      << history.sBody;
  EXPECT_NE(history.sBody.find("],\"figures\":{\"linkUp\":true,"), std::string::npos);
  EXPECT_EQ(Post("/api/dashboard", "{}").nStatus, 405);
  // Without an engine the figures read zero and the link down.
  EXPECT_NE(Get("/api/dashboard").sBody.find("\"figures\":{\"linkUp\":false,"), std::string::npos);
}

TEST_F(ConsoleApiTest, TheHiddenButtonRunsTheCompressionSelfTest) {
  TakeMainLogLines();
  form.Button1Click();
  const std::vector<std::string> lines = TakeMainLogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("] Zip Code x"), std::string::npos) << lines[0];  // zlib's 0x78 header
  EXPECT_TRUE(lines[1].ends_with("] UnZip Code 1234567890")) << lines[1];
}

// Settings over the API: what a request leaves out stays, and a limit that
// would lock every player out is refused with the reason.
TEST_F(ConsoleApiTest, SettingsChangeOnlyWhatTheRequestNames) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("consoleapi-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "Tavrel.ini").string();
  std::ofstream(path) << "[Tavrel]\nGateAddr=10.1.1.1\nGatePort=7400\nServerAddr=10.2.2.2\n"
                         "ServerPort=5100\nIpCount=9\n";
  g_GateConfig = TGateConfig();
  LoadConfig(path);
  auto iniCount = [&] { return TIniFile(path).ReadInteger("Tavrel", "IpCount", -1); };

  TConsoleReply only = Post("/api/settings", R"({"ServerPort":5200})");
  EXPECT_EQ(only.nStatus, 200) << only.sBody;
  EXPECT_EQ(g_GateConfig.nServerPort, 5200);
  EXPECT_EQ(g_GateConfig.nGatePort, 7400);
  EXPECT_EQ(g_GateConfig.sGateIP, "10.1.1.1");
  EXPECT_EQ(g_GateConfig.sServerIP, "10.2.2.2");
  EXPECT_EQ(g_GateConfig.nIpCount, 9);
  EXPECT_EQ(iniCount(), 9);

  int port = 7401;
  for (const char* bad : {R"("")", R"("abc")", "null", "true", "0", "1", "-3", R"("1")"}) {
    const std::string body =
        std::string(R"({"GatePort":)") + std::to_string(port) + R"(,"IpCount":)" + bad + "}";
    TConsoleReply refused = Post("/api/settings", body);
    EXPECT_EQ(refused.nStatus, 400) << bad;
    EXPECT_NE(refused.sBody.find("IpCount"), std::string::npos) << refused.sBody;
    EXPECT_NE(refused.sBody.find("stays 9"), std::string::npos) << refused.sBody;
    EXPECT_EQ(g_GateConfig.nIpCount, 9) << bad;
    EXPECT_EQ(iniCount(), 9) << bad;
    EXPECT_EQ(g_GateConfig.nGatePort, port) << "the other settings are still saved";
    ++port;
  }
  EXPECT_EQ(Post("/api/settings", R"({"IpCount":"12"})").nStatus, 200);
  EXPECT_EQ(g_GateConfig.nIpCount, 12);
  EXPECT_EQ(iniCount(), 12);

  g_Config.reset();
  g_GateConfig = TGateConfig();
  std::filesystem::remove_all(dir);
}

// The dialog's speed-debug box is one of its settings: it switches the
// notices at once, the replies tell the switch in effect, and a value that
// is not a flag changes nothing.
TEST_F(ConsoleApiTest, TheSpeedDebugSwitchGoesThroughTheSettings) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("consoleapi-debug-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "Tavrel.ini").string();
  std::ofstream(path) << "[Tavrel]\nGatePort=7400\nIpCount=9\n";
  g_GateConfig = TGateConfig();
  LoadConfig(path);
  g_bClientSpeedDebugMode = false;

  TConsoleReply on = Post("/api/settings", R"({"ClientSpeedDebugMode":true})");
  EXPECT_EQ(on.nStatus, 200) << on.sBody;
  EXPECT_TRUE(g_bClientSpeedDebugMode);
  EXPECT_NE(on.sBody.find(R"("ClientSpeedDebugMode":true)"), std::string::npos) << on.sBody;
  EXPECT_NE(Get("/api/settings").sBody.find(R"("ClientSpeedDebugMode":true)"), std::string::npos);
  // A request that leaves it out leaves it on.
  EXPECT_EQ(Post("/api/settings", R"({"IpCount":8})").nStatus, 200);
  EXPECT_TRUE(g_bClientSpeedDebugMode);

  for (const char* bad : {"1", R"("true")", "null"}) {
    TConsoleReply refused =
        Post("/api/settings", std::string(R"({"IpCount":12,"ClientSpeedDebugMode":)") + bad + "}");
    EXPECT_EQ(refused.nStatus, 400) << bad;
    EXPECT_NE(refused.sBody.find("ClientSpeedDebugMode must be true or false"), std::string::npos)
        << refused.sBody;
    EXPECT_TRUE(g_bClientSpeedDebugMode) << bad;
    EXPECT_EQ(g_GateConfig.nIpCount, 8) << "nothing was changed";
  }
  EXPECT_EQ(Post("/api/settings", R"({"ClientSpeedDebugMode":false})").nStatus, 200);
  EXPECT_FALSE(g_bClientSpeedDebugMode);

  g_Config.reset();
  g_GateConfig = TGateConfig();
  std::filesystem::remove_all(dir);
}

TEST_F(ConsoleApiTest, UsersAndMetricsWithoutAnEngine) {
  EXPECT_EQ(Get("/api/users").sBody, R"({"rows":[],"status":"在线人数:0"})");
  EXPECT_EQ(Post("/api/disconnect", R"({"rows":[{"index":0,"uid":"1"}]})").sBody,
            R"({"marked":0})");
  EXPECT_EQ(Post("/api/disconnect", R"({"rows":5})").nStatus, 400);
  EXPECT_NE(RenderMetrics(nullptr).find("tavrel_open_connections 0\n"), std::string::npos);
}

// The health check answers balancers that carry no token and name no host
// of ours, and says why the gateway cannot take players.
TEST_F(ConsoleApiTest, HealthCheckNeedsNoTokenAndNamesWhyNot) {
  TConsoleApi guarded{form, MakeConsoleAccess("127.0.0.1", kPort, "secret")};
  auto ask = [&guarded](const std::string& method, const std::string& target) {
    TConsoleRequest req;
    req.sMethod = method;
    req.sTarget = target;
    req.sHost = "10.0.0.2";  // as a balancer's check may send it
    return guarded.Handle(req);
  };
  EXPECT_EQ(ask("GET", "/api/state").nStatus, 401);
  EXPECT_EQ(ask("GET", "/metrics").nStatus, 403);  // open on loopback, but not to a foreign name

  TConsoleReply failed = ask("GET", "/healthz");
  EXPECT_EQ(failed.nStatus, 503);
  EXPECT_EQ(failed.sBody, "start failed\n");
  EXPECT_EQ(failed.sContentType, "text/plain; charset=utf-8");
  EXPECT_TRUE(failed.sSetCookie.empty());

  g_TavrelSocket = std::make_unique<TTavrelSocket>(io, std::make_unique<TRecordingLink>(),
                                                   std::make_unique<TRecordingFrontEnd>());
  g_boStarted = true;
  TConsoleReply linkDown = ask("HEAD", "/healthz?probe=1");
  form.SetDraining();
  TConsoleReply draining = ask("GET", "/healthz");
  TConsoleReply posted = ask("POST", "/healthz");
  g_boStarted = false;
  g_TavrelSocket.reset();
  EXPECT_EQ(linkDown.nStatus, 503);
  EXPECT_EQ(linkDown.sBody, "game server link down\n");
  EXPECT_EQ(draining.nStatus, 503);
  EXPECT_EQ(draining.sBody, "draining\n");
  EXPECT_EQ(posted.nStatus, 405);
}

}  // namespace

// tavrel-conform's peer checks over real sockets: the server check against
// the test game server keeping its duties and breaking them, and the client
// check as the game server of a real gateway with a client that plays by the
// rules and one that does not.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

namespace {

struct TRun {
  int status = -1;
  std::vector<std::string> lines;

  bool Has(const std::string& line) const {
    for (const std::string& l : lines)
      if (l.starts_with(line)) return true;
    return false;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& l : lines) n += l.starts_with(prefix);
    return n;
  }
};

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

// The server check for two seconds against the test game server running `script`.
TRun CheckGameServer(const std::string& script) {
  TTempDir dir;
  WriteFile(dir.Path() + "/script.txt", script);
  const std::string port = std::to_string(FreePort());
  TProcess sim(TAVREL_GAMESIM_BIN, {"--port", port, "--no-stdin", "--script", "script.txt"},
               dir.Path());
  EXPECT_GE(sim.WaitForLine("listening on", 5s), 0);
  TProcess conform(TAVREL_CONFORM_BIN, {"server", "--port", port, "--seconds", "2"}, dir.Path());
  TRun run;
  run.status = conform.WaitExit(8s).value_or(-1);
  run.lines = conform.Lines();
  return run;
}

TEST(ConformServer, AGameServerKeepingItsDutiesPasses) {
  // SM_DAMAGE's binary TAttackEff: user id "80001", type 1, power 1250.
  std::string damage(61, '\0');
  damage[0] = 5;
  std::memcpy(&damage[1], "80001", 5);
  damage[51] = 1;
  const int64_t power = 1250;
  std::memcpy(&damage[53], &power, sizeof power);
  const TRun run = CheckGameServer(
      "waitlogin 1 5000\n"
      "data 42 text hello world\n"
      "data 42 msg SM_DAMAGE 0 0 0 0 hex:" +
      Hex(damage) +
      "\n"
      "speed 42 600,600,900,900,900,900,5,200 1\n"
      "data 42 msg GM_FILTERMSG 0 0 0 0 1,3\n"
      "sendmsg text notice\n"
      "sendmsg msg SM_SYSMESSAGE 0 0 0 0 abc\n"
      "sendrefmsg 0 SM_HIT 0 0 0 0 encbuf:0531303030310400\n");
  EXPECT_EQ(run.status, 0);
  for (const char* rule :
       {"link-kept", "session-handle-known", "data-length-form", "text-line-without-bang",
        "translated-bodies-convert", "translated-with-body-part", "speed-filter-decimal",
        "userindex-without-payload", "refmsg-form", "broadcast-record-length",
        "closed-session-forgotten"})
    EXPECT_TRUE(run.Has(std::string("PASS ") + rule)) << rule;
  // The test game server does not answer frames of unknown sessions: a
  // "should", reported without failing.
  EXPECT_TRUE(run.Has("WARN unknown-handle-closed"));
  EXPECT_EQ(run.Count("FAIL "), 0);
  EXPECT_TRUE(run.Has("PASSED: 15 passed, 0 failed, 1 warnings"));
}

TEST(ConformServer, ABrokenGameServerFailsTheRulesItBreaks) {
  const TRun run = CheckGameServer(
      "waitlogin 1 5000\n"
      "data 42 text bad!line\n"
      "frame GM_SENDREFMSG 0 0 0 -5 hex:0102030405\n"
      "frame GM_DATA 0 42 0 10 hex:00000000000000000000\n"
      "data 42 msg GM_SPEED 0 0 0 0 enc:1\n"
      "sendmsg msg SM_SYSMESSAGE 0 0 0 0 nlength=3 hello\n"
      "data 42 msg SM_DAMAGE 0 0 0 0 zlib=1 hex:0102\n"
      "data 42 msg SM_MAGICCON 80001 1 0 0\n"
      "data 77 text for nobody\n");
  EXPECT_EQ(run.status, 1);
  for (const char* rule : {"text-line-without-bang", "refmsg-length-positive", "data-length-form",
                           "speed-filter-decimal", "broadcast-record-length",
                           "translated-bodies-convert", "session-handle-known"})
    EXPECT_TRUE(run.Has(std::string("FAIL ") + rule)) << rule;
  EXPECT_TRUE(run.Has("PASS link-kept"));
  EXPECT_TRUE(run.Has("PASS frames-well-formed"));
  // A "should": the client still gets a message, only not the JSON.
  EXPECT_TRUE(run.Has("WARN translated-with-body-part: GM_DATA SM_MAGICCON as a header alone"));
}

TEST(ConformServer, NoGameServerFailsTheLinkAndSkipsTheRest) {
  TProcess conform(TAVREL_CONFORM_BIN,
                   {"server", "--port", std::to_string(FreePort()), "--seconds", "1"}, ".");
  EXPECT_EQ(conform.WaitExit(5s).value_or(-1), 1);
  const TRun run{1, conform.Lines()};
  EXPECT_TRUE(run.Has("FAIL link-accepted: connect to 127.0.0.1:"));
  EXPECT_TRUE(run.Has("SKIP text-line-without-bang"));
}

// A gateway whose game server is the client check.
struct TConformGame {
  explicit TConformGame(const std::string& extraIni = "", int seconds = 8)
      : rig(Options(extraIni)) {
    conform = std::make_unique<TProcess>(
        TAVREL_CONFORM_BIN,
        std::vector<std::string>{"client", "--port", std::to_string(rig.serverPort), "--seconds",
                                 std::to_string(seconds)},
        rig.dir.Path());
    if (conform->WaitForLine("listening on", 5s) < 0) return;
    ok = rig.StartLinked() && client.Connect(rig.gatePort);
  }
  static TGatewayRig::TOptions Options(const std::string& extraIni) {
    TGatewayRig::TOptions o;
    o.startGameServer = false;
    o.extraIni = extraIni;
    return o;
  }
  // Closes the client; the check ends with its session.
  TRun Finish() {
    client.Close();
    TRun run;
    run.status = conform->WaitExit(5s).value_or(-1);
    run.lines = conform->Lines();
    return run;
  }

  TGatewayRig rig;
  std::unique_ptr<TProcess> conform;
  TWsClient client;
  bool ok = false;
};

TEST(ConformClient, AClientPlayingByTheRulesPasses) {
  TConformGame game;
  ASSERT_TRUE(game.ok);
  ASSERT_TRUE(game.client.Login("acct", "Name", "uid1"));
  game.client.SendText(ClientMessage(CM_HIT, 0, 0, 0, 0, R"({"dir":3,"targetID":"80001"})"));
  // The hit holds the next action for its 900 ms.
  std::this_thread::sleep_for(950ms);
  game.client.SendText(ClientMessage(CM_WALK, 0x000A000B, 0, 4, 0x000A000A));
  game.client.SendText(ClientMessage(CM_HEART));
  std::this_thread::sleep_for(200ms);
  const TRun run = game.Finish();
  EXPECT_EQ(run.status, 0);
  for (const char* rule : {"session-opened", "login-text", "enters-game", "message-form",
                           "client-idents-known", "move-direction", "keeps-pace"})
    EXPECT_TRUE(run.Has(std::string("PASS ") + rule)) << rule;
  EXPECT_TRUE(run.Has("SKIP resume-keeps-session"));
}

TEST(ConformClient, AClientBreakingTheRulesFailsThem) {
  TConformGame game;
  ASSERT_TRUE(game.ok);
  // The gateway skips the empty name field for itself and forwards the text.
  ASSERT_TRUE(game.client.Login("acct", "", "uid2"));
  for (int i = 0; i < 8; ++i) game.client.SendText(ClientMessage(CM_WALK, 0, 0, 9));
  std::this_thread::sleep_for(300ms);
  const TRun run = game.Finish();
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.Has("FAIL login-text"));
  EXPECT_TRUE(run.Has("FAIL keeps-pace: the gateway punished"));
  EXPECT_TRUE(run.Has("WARN move-direction: CM_WALK with direction 9"));
  EXPECT_TRUE(run.Has("PASS enters-game"));
}

TEST(ConformClient, ALoginAnewWhileTheSessionIsKeptWarnsOfAMissedResume) {
  TConformGame game("\n[Resume]\nGraceSeconds=30\n", 3);
  ASSERT_TRUE(game.ok);
  ASSERT_TRUE(game.client.Login("acct", "Name", "uid3"));
  std::this_thread::sleep_for(200ms);
  game.client.Drop();
  TWsClient again;
  ASSERT_TRUE(again.Connect(game.rig.gatePort));
  ASSERT_TRUE(again.Login("acct", "Name", "uid3"));
  const TRun run{game.conform->WaitExit(6s).value_or(-1), game.conform->Lines()};
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.Has("WARN resume-keeps-session: user id \"uid3\" logged in anew"));
}

}  // namespace

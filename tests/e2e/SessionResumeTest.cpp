// [Resume] over real sockets: a connection dropped without a close frame
// keeps its session; a new connection with the token gets the bytes from its
// count on and carries on under the old handle, and the game server sees
// nothing of the move. At the limits: a detached session leaves its
// address's count, at most IpCount - 1 wait per address, and a replay larger
// than the WebSocket layer holds for a connection arrives whole.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"

namespace {

// Binary bytes read until `until` has arrived in them; the text messages
// read meanwhile go to `texts`.
std::string ReadBytes(TWsClient& client, const std::string& until,
                      std::vector<std::string>& texts) {
  std::string bytes;
  while (bytes.find(until) == std::string::npos) {
    bool text = false;
    auto raw = client.ReadRaw(3s, &text);
    if (!raw) break;
    (text ? texts.emplace_back() : bytes) += *raw;
  }
  return bytes;
}

std::string TokenIn(const std::vector<std::string>& texts) {
  for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
    if (!it->starts_with("resume ") || it->size() != 39) continue;
    const std::string token = it->substr(7);
    if (token.find_first_not_of("0123456789abcdef") == std::string::npos) return token;
  }
  return "";
}

int CountLines(TGatewayRig& rig, const std::string& text, size_t from) {
  int n = 0;
  const auto lines = rig.gamesim->Lines();
  for (size_t i = from; i < lines.size(); ++i) n += lines[i].find(text) != std::string::npos;
  return n;
}

TEST(SessionResume, ADroppedConnectionIsResumedByteForByteOverRealSockets) {
  TGatewayRig::TOptions options;
  options.extraIni = "\n[Resume]\nGraceSeconds=30\n";
  TGatewayRig rig(options);
  ASSERT_TRUE(rig.StartLinked());

  TWsClient first;
  ASSERT_TRUE(first.Connect(rig.gatePort));
  ASSERT_TRUE(first.Login("acct1", "name1", "uid1"));
  const int open = rig.WaitSim("recv GM_OPEN", 3s);
  ASSERT_GE(open, 0) << "GM_OPEN goes with the login text";
  const std::string openLine = rig.gamesim->Lines()[open];
  const size_t at = openLine.find("handle=");
  ASSERT_NE(at, std::string::npos);
  const std::string handle = openLine.substr(at + 7, openLine.find(' ', at) - at - 7);
  ASSERT_GE(rig.WaitSim("ident=1018", 3s), 0);

  std::vector<std::string> texts;
  rig.Sim("data " + handle + " text before");
  const std::string seen = ReadBytes(first, "#before!", texts);
  ASSERT_NE(seen.find("#before!"), std::string::npos);
  const std::string token = TokenIn(texts);
  ASSERT_EQ(token.size(), 32u);

  const size_t dropped = rig.gamesim->LineCount();
  first.Drop();
  ASSERT_GE(rig.WaitGate("kept 30 s for a resume", 3s), 0);
  rig.Sim("data " + handle + " text while-away");

  // The client says it got all but the last three bytes.
  TWsClient second;
  ASSERT_TRUE(second.Connect(rig.gatePort));
  bool text = false;
  auto ok = second.ReadRaw(3s, &text);
  ASSERT_TRUE(ok && *ok == "ok" && text);
  second.SendText(
      ClientMessage(0, 0, 0, 0, 0, "*@" + token + "/" + std::to_string(seen.size() - 3)));
  texts.clear();
  const std::string replayed = ReadBytes(second, "#while-away!", texts);
  EXPECT_EQ(replayed, seen.substr(seen.size() - 3) + "#while-away!");
  ASSERT_FALSE(texts.empty());
  EXPECT_NE(TokenIn(texts), token);
  EXPECT_EQ(TokenIn(texts).size(), 32u);

  // Live both ways, under the old handle.
  second.SendText(ClientMessage(CM_HEART, 7));
  const int heart = rig.WaitSim("ident=60000 recog=7", 3s, dropped);
  ASSERT_GE(heart, 0);
  EXPECT_NE(rig.gamesim->Lines()[heart].find("handle=" + handle + " "), std::string::npos);
  rig.Sim("data " + handle + " text after");
  EXPECT_EQ(ReadBytes(second, "#after!", texts), "#after!");
  EXPECT_EQ(CountLines(rig, "recv GM_OPEN", dropped), 0);
  EXPECT_EQ(CountLines(rig, "recv GM_CLOSE", dropped), 0);

  // A close 1000 from the client ends the session at once.
  second.Close();
  EXPECT_GE(rig.WaitSim("recv GM_CLOSE", 3s, dropped), 0);
}

// A client of the test game server, logged in, with its handle and token.
struct TResumable {
  TWsClient ws;
  std::string handle;
  std::string token;
};

// Logs `c` in from `source`; false when any step fails.
bool LogInFrom(TGatewayRig& rig, TResumable& c, const std::string& account,
               const std::string& source) {
  const size_t from = rig.gamesim->LineCount();
  if (!c.ws.Connect(rig.gatePort, source) || !c.ws.Login(account, account, account)) return false;
  const int open = rig.WaitSim("recv GM_OPEN", 3s, from);
  if (open < 0) return false;
  const std::string line = rig.gamesim->Lines()[open];
  const size_t at = line.find("handle=");
  c.handle = line.substr(at + 7, line.find(' ', at) - at - 7);
  std::vector<std::string> texts;
  while (TokenIn(texts).empty()) {
    bool text = false;
    const auto raw = c.ws.ReadRaw(3s, &text);
    if (!raw) return false;
    if (text) texts.push_back(*raw);
  }
  c.token = TokenIn(texts);
  return true;
}

// `c` connects from `source` and presents `token` with nothing received.
bool ResumeFrom(TGatewayRig& rig, TResumable& c, const std::string& token,
                const std::string& source) {
  if (!c.ws.Connect(rig.gatePort, source)) return false;
  bool text = false;
  const auto ok = c.ws.ReadRaw(3s, &text);
  if (!ok || *ok != "ok") return false;
  c.ws.SendText(ClientMessage(0, 0, 0, 0, 0, "*@" + token + "/0"));
  for (;;) {
    const auto raw = c.ws.ReadRaw(3s, &text);
    if (!raw) return false;
    if (text && raw->starts_with("resume ")) {
      c.token = raw->substr(7);
      return true;
    }
  }
}

// IpCount 5: four connections from one address at a time. A session dropped
// from it leaves room for the connection that resumes it, and no more than
// four sessions from it wait at once: a fifth ends the oldest.
TEST(SessionResume, AtItsAddressLimitAResumeIsAdmittedAndAtMostFourSessionsWait) {
  TGatewayRig::TOptions options;
  options.extraIni = "\n[Resume]\nGraceSeconds=30\n";
  TGatewayRig rig(options);
  ASSERT_TRUE(rig.StartLinked());
  const std::string ip = "127.0.0.5";
  std::vector<std::unique_ptr<TResumable>> c;
  for (int i = 0; i < 4; ++i) {
    c.push_back(std::make_unique<TResumable>());
    ASSERT_TRUE(LogInFrom(rig, *c.back(), "limit" + std::to_string(i), ip)) << i;
  }
  c[0]->ws.Drop();
  ASSERT_GE(rig.WaitGate("kept 30 s for a resume", 3s), 0);
  TResumable again;
  ASSERT_TRUE(ResumeFrom(rig, again, c[0]->token, ip)) << "closed " << again.ws.CloseCode();
  EXPECT_EQ(again.ws.CloseCode(), 0);

  // Four detached: 1, 2, 3 and 0 (by its resumed connection).
  const size_t from = rig.gamesim->LineCount();
  for (TWsClient* ws : {&c[1]->ws, &c[2]->ws, &c[3]->ws, &again.ws}) ws->Drop();
  for (size_t gate = 0, n = 0; n < 4; ++n) {
    const int at = rig.WaitGate("kept 30 s for a resume", 3s, gate);
    ASSERT_GE(at, 0) << n;
    gate = static_cast<size_t>(at) + 1;
  }
  TResumable fifth;
  ASSERT_TRUE(LogInFrom(rig, fifth, "limit5", ip));
  fifth.ws.Drop();
  const int closed = rig.WaitSim("recv GM_CLOSE", 3s, from);
  ASSERT_GE(closed, 0) << "the oldest detached session ends";
  EXPECT_NE(rig.gamesim->Lines()[closed].find("handle=" + c[1]->handle + " "), std::string::npos);
  EXPECT_GE(rig.WaitGate("sessions detached from 127.0.0.5", 3s), 0);
  EXPECT_EQ(CountLines(rig, "recv GM_CLOSE", from), 1);
  // The ones that wait can still be resumed.
  TResumable later;
  EXPECT_TRUE(ResumeFrom(rig, later, c[2]->token, ip));
}

class SessionResumeLarge : public FakeServerTest {};

// A replay of 8.8 MB (ReplayBytes 9 MiB) is more than the WebSocket layer
// holds for one connection (8 MiB): it goes in blocks as the layer takes them.
TEST_F(SessionResumeLarge, ANineMegabyteReplayArrivesWholeAndByteExact) {
  TGatewayRig::TOptions options = FakeServerOptions();
  // Each line is read before the next is sent: delivered at the end of its
  // turn, not a tick later, so the window fills in about a second.
  options.flush = "event";
  options.extraIni = "[Resume]\nGraceSeconds=30\nReplayBytes=9437184\n";
  StartLinked(options);
  TWsClient first;
  const int32_t handle = JoinThroughFakeServer(*rig, *server, first, "large");
  ASSERT_GE(handle, 0);

  // Lines of one 2048-byte block each, every one different.
  constexpr size_t kTotal = 4300 * 2048;
  std::vector<std::string> texts;
  std::string seen;
  for (int i = 0; seen.size() < kTotal; ++i) {
    std::string line = std::to_string(i) + ":";
    line.resize(2046, static_cast<char>('a' + i % 26));
    const std::string payload = line + '\0';
    ASSERT_TRUE(server->Send(
        TFakeGameServer::Frame(GM_DATA, handle, payload, -static_cast<int32_t>(payload.size()))));
    const size_t want = seen.size() + 2048;
    while (seen.size() < want) {
      bool text = false;
      const auto raw = first.ReadRaw(5s, &text);
      ASSERT_TRUE(raw) << "line " << i;
      (text ? texts.emplace_back() : seen) += *raw;
    }
  }
  const std::string token = TokenIn(texts);
  ASSERT_EQ(token.size(), 32u);
  first.Drop();
  ASSERT_GE(rig->WaitGate("kept 30 s for a resume", 3s), 0);

  TWsClient second;
  ASSERT_TRUE(second.Connect(rig->gatePort));
  bool text = false;
  const auto ok = second.ReadRaw(3s, &text);
  ASSERT_TRUE(ok && *ok == "ok");
  second.SendText(ClientMessage(0, 0, 0, 0, 0, "*@" + token + "/0"));
  std::string replayed;
  while (replayed.size() < seen.size()) {
    const auto raw = second.ReadRaw(5s, &text);
    ASSERT_TRUE(raw) << replayed.size() << " bytes, then closed " << second.CloseCode();
    if (!text) replayed += *raw;
  }
  EXPECT_EQ(replayed.size(), seen.size());
  EXPECT_TRUE(replayed == seen) << "byte for byte";
  EXPECT_EQ(second.CloseCode(), 0);
  EXPECT_GE(rig->WaitGate("bytes again", 1s), 0);
}

}  // namespace

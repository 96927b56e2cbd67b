// [Resume] over real sockets: a connection dropped without a close frame
// keeps its session; a new connection with the token gets the bytes from its
// count on and carries on under the old handle, and the game server sees
// nothing of the move.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Harness.h"

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

}  // namespace

// Guild messages find their members through an index, not a scan of the
// table: exactly the members in the game get one, as members join, change
// guild, leave and their records are reused.
#include <gtest/gtest.h>

#include <set>

#include "buffers/MemoryStreamEx.h"
#include "engine/GameSocket.h"
#include "protocol/EDcode.h"
#include "support/EngineRig.h"

namespace {

class GuildIndexTest : public ::testing::Test, protected TEngineRig {
 protected:
  // The game server tells the session of `handle` its guild.
  void SetGuild(int handle, const std::string& guild) {
    TDefaultMessage m;
    m.Ident = SM_GUILD_MEMBER_INFO;
    std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
    payload += EncodeString("{\"guildId\":\"" + guild + "\"}");
    payload.push_back('\0');
    engine->ProcessMakeSocketStr(0, handle, payload.data(), static_cast<int32_t>(payload.size()));
  }
  // A guild message; the handles whose streams got it.
  std::set<int> SendToGuild(const std::string& guild, const std::string& tag,
                            std::initializer_list<int> handles) {
    TDefaultMessage m;
    m.Ident = 888;
    std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
    payload += guild + "|" + tag;
    payload.push_back('\0');
    engine->ProcessGuildStr(payload.data(), static_cast<int32_t>(payload.size()));
    std::set<int> got;
    for (int h : handles) {
      TSessionInfo* s = Session(h);
      if (!s) continue;
      const TMemoryStreamEx& out = *s->BufferStream;
      const std::string_view bytes(out.UnsentData(), static_cast<size_t>(out.UnsentSize()));
      if (bytes.find(tag) != std::string_view::npos) got.insert(h);
    }
    return got;
  }
};

TEST_F(GuildIndexTest, AGuildMessageReachesExactlyItsMembersAsTheyChange) {
  engine->nSessionReuseMs = 0;
  for (int h = 1; h <= 6; ++h) Join(h);
  Join(7, false);  // a member not yet in the game
  for (int h : {1, 3, 5, 7}) SetGuild(h, "red");
  SetGuild(2, "blue");
  const auto all = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(SendToGuild("red", "m1", all), (std::set<int>{1, 3, 5}));
  EXPECT_EQ(SendToGuild("blue", "m2", all), (std::set<int>{2}));
  EXPECT_TRUE(SendToGuild("green", "m3", all).empty());

  // 3 changes guild, 5 leaves its guild, 1's session ends.
  SetGuild(3, "blue");
  SetGuild(5, "");
  engine->ServerDisconnect("1", "10.0.0.1");
  EXPECT_EQ(SendToGuild("red", "m4", all), std::set<int>{});
  EXPECT_EQ(SendToGuild("blue", "m5", all), (std::set<int>{2, 3}));

  // 1's record is reused by 8, which has no guild until told.
  g_now += 1;  // past the reuse delay
  TSessionInfo* eight = Join(8);
  ASSERT_NE(eight, nullptr);
  EXPECT_EQ(eight->nSocketIndx, 0);
  EXPECT_TRUE(SendToGuild("red", "m6", all).empty());
  SetGuild(8, "red");
  Session(7)->boPlay = true;
  EXPECT_EQ(SendToGuild("red", "m7", all), (std::set<int>{7, 8}));
}

}  // namespace

#include "console/uUserList.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "engine/GameSocket.h"
#include "shared/Share.h"
#include "shared/Tick.h"

namespace {

uint64_t g_now = 5'000'000;
uint64_t TestClock() {
  return g_now;
}

class TNullFrontEnd final : public TFrontEnd {
 public:
  void SendMsg(const std::string&, std::string_view) override {}
  void SendBuff(const std::string&, const char*, size_t) override {}
  void CloseSocket(const std::string&, ECloseCode) override {}
};

class UserListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTickSourceForTests(TestClock);
    g_nUserConnect = g_nSuccessCount = 0;
    g_IPNumberList.clear();
    g_GateConfig = TGateConfig();
    engine = std::make_unique<TTavrelSocket>(io, std::make_unique<TNullFrontEnd>());
  }
  void TearDown() override {
    engine.reset();
    SetTickSourceForTests(nullptr);
  }

  TSessionInfo& Connect(const std::string& uid, const std::string& account) {
    engine->ServerConnect(uid, "10.0.0." + uid);
    TSessionInfo* s = engine->GetUser(std::string_view(uid));
    EXPECT_NE(s, nullptr);
    s->m_sAccount = account;
    s->m_sUserName = "name" + uid;
    s->m_sUserID = "id" + uid;
    return *s;
  }

  boost::asio::io_context io;
  std::unique_ptr<TTavrelSocket> engine;
};

TEST_F(UserListTest, ListsConnectedSessionsWithTheirSlotsInUtf8) {
  TUserListFrm list(*engine);
  list.ShowUserList();
  EXPECT_TRUE(list.Rows().empty());
  EXPECT_EQ(list.StatusText(), "在线人数:0");

  Connect("1", "acc1");
  Connect("2", "\xC4\xE3\xBA\xC3");  // "你好" in GBK
  Connect("3", "acc3");
  engine->ServerDisconnect("2", "10.0.0.2");
  list.ShowUserList();
  ASSERT_EQ(list.Rows().size(), 2u);
  EXPECT_EQ(list.StatusText(), "在线人数:2");
  // The released record leaves a gap in "序号".
  EXPECT_EQ(list.Rows()[0].nIndex, 0);
  EXPECT_EQ(list.Rows()[1].nIndex, 2);
  EXPECT_EQ(list.Rows()[1].sUid, "3");
  EXPECT_EQ(list.Rows()[1].sIP, "10.0.0.3");
  EXPECT_EQ(list.Rows()[1].sUserName, "name3");
  EXPECT_EQ(list.Rows()[1].sUserID, "id3");

  Connect("4", "\xC4\xE3\xBA\xC3");
  list.ShowUserList();
  bool found = false;
  for (const TUserRow& row : list.Rows()) found |= row.sUid == "4" && row.sAccount == "你好";
  EXPECT_TRUE(found);
}

TEST_F(UserListTest, DisconnectMarksOnlyRowsStillNamingTheirConnection) {
  TSessionInfo& a = Connect("1", "a");
  TSessionInfo& b = Connect("2", "b");
  TSessionInfo& c = Connect("3", "c");
  TUserListFrm list(*engine);
  list.ShowUserList();
  std::vector<TUserRowRef> chosen;
  for (const TUserRow& row : list.Rows()) chosen.push_back({row.nIndex, row.sUid});

  // Since the snapshot: b left, and c's slot went to another client.
  engine->ServerDisconnect("2", "10.0.0.2");
  c.sUid = std::to_string(9);
  g_now += 10;
  EXPECT_EQ(list.N3Click(chosen), 1);
  EXPECT_TRUE(a.boKick);
  EXPECT_EQ(a.dwKickTime, g_now);
  EXPECT_FALSE(b.boKick);
  EXPECT_FALSE(c.boKick);

  // Rows out of the table's range, or none chosen, mark nothing.
  EXPECT_EQ(list.N3Click(std::vector<TUserRowRef>{{-1, "1"}, {99, "1"}}), 0);
  EXPECT_EQ(list.N3Click({}), 0);
}

}  // namespace

#include "console/uUserList.h"

#include <gtest/gtest.h>

#include <ctime>

#include "console/Metrics.h"
#include "engine/GameSocket.h"
#include "protocol/EDcode.h"
#include "shared/Share.h"
#include "support/EngineRig.h"

namespace {

class UserListTest : public ::testing::Test, protected TEngineRig {
 protected:
  TSessionInfo& Connect(const std::string& uid, const std::string& account) {
    engine->ServerConnect(uid, "10.0.0." + uid);
    TSessionInfo* s = engine->GetUser(std::string_view(uid));
    EXPECT_NE(s, nullptr);
    s->m_sAccount = account;
    s->m_sUserName = "name" + uid;
    s->m_sUserID = "id" + uid;
    return *s;
  }
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

TEST_F(UserListTest, RowsShowConnectTimeAndBytesEachWay) {
  const time_t before = time(nullptr);
  TSessionInfo& s = Connect("7", "acc7");
  s.boNewLogon = false;  // in the game: a first message that is no login text would close it
  engine->ServerMessage(7, "*#acc7/name7/id7/1/0/0/0/0/0/0");  // 30 bytes in
  const char line[] = "hello";                                 // "#hello!" out
  engine->ProcessMakeSocketStr(0, static_cast<int32_t>(s.nSocketHandle), line,
                               -static_cast<int32_t>(sizeof line));
  engine->Run();
  TUserListFrm list(*engine);
  list.ShowUserList();
  ASSERT_EQ(list.Rows().size(), 1u);
  const TUserRow& row = list.Rows()[0];
  EXPECT_EQ(row.nBytesFromClient, 30u);
  EXPECT_EQ(row.nBytesToClient, 7u);
  std::tm local{};
  localtime_r(&before, &local);
  char year[8];
  std::strftime(year, sizeof year, "%Y-", &local);
  EXPECT_TRUE(row.sConnectTime.starts_with(year)) << row.sConnectTime;
  EXPECT_EQ(row.sConnectTime.size(), 19u) << row.sConnectTime;

  // A record taken by the next connection starts from zero.
  engine->ServerDisconnect("7", "10.0.0.7");
  engine->nSessionReuseMs = 0;
  g_now += 1;
  Connect("8", "acc8");
  list.ShowUserList();
  ASSERT_EQ(list.Rows().size(), 1u);
  EXPECT_EQ(list.Rows()[0].nIndex, 0);
  EXPECT_EQ(list.Rows()[0].nBytesFromClient, 0u);
  EXPECT_EQ(list.Rows()[0].nBytesToClient, 0u);
}

TEST_F(UserListTest, EachDisconnectWritesAMainLogLineNamingUserAndOperator) {
  Connect("1", "\xC4\xE3\xBA\xC3");  // "你好" in GBK
  Connect("2", "b");
  TUserListFrm list(*engine);
  list.ShowUserList();
  TakeMainLogLines();
  EXPECT_EQ(list.N3Click(std::vector<TUserRowRef>{{0, "1"}, {1, "2"}, {1, "9"}}, "192.0.2.5"), 2);
  const std::vector<std::string> lines = TakeMainLogLines();
  ASSERT_EQ(lines.size(), 2u);
  // From the last chosen row to the first.
  EXPECT_TRUE(lines[0].ends_with(
      "] Console disconnect: b/name2/id2 10.0.0.2 (connection 2) by the operator at 192.0.2.5"))
      << lines[0];
  EXPECT_TRUE(lines[1].ends_with(
      "] Console disconnect: 你好/name1/id1 10.0.0.1 (connection 1) by the operator at 192.0.2.5"))
      << lines[1];
}

}  // namespace

// [Resume]: a session kept for a new connection is listed with the grace it
// has left, and the operator's disconnect ends it.
TEST(UserListResumeTest, ListsADetachedSessionWithItsGraceAndEndsItOnDisconnect) {
  TEngineRig rig;
  g_GateConfig.nResumeGraceSeconds = 30;
  rig.engine->ServerConnect("5", "10.0.0.5");
  const std::string login = "*#acc/name/id/1/0/0/0";
  TDefaultMessage header;
  header.nLength = static_cast<int32_t>(login.size());
  rig.engine->ServerMessage(5, EncodeMessage(header) + login);
  rig.io.poll();
  rig.engine->ServerDisconnect("5", "10.0.0.5", "no close frame", EConnEnd::Lost);
  g_now += 10000;

  TUserListFrm list(*rig.engine);
  list.ShowUserList();
  ASSERT_EQ(list.Rows().size(), 1u);
  EXPECT_EQ(list.Rows()[0].nGraceLeftSeconds, 20);
  EXPECT_EQ(list.Rows()[0].sAccount, "acc");
  EXPECT_NE(RenderMetrics(rig.engine.get()).find("\ntavrel_sessions_detached 1\n"),
            std::string::npos);

  const std::vector<TUserRowRef> chosen{{list.Rows()[0].nIndex, list.Rows()[0].sUid}};
  EXPECT_EQ(list.N3Click(chosen, "127.0.0.1"), 1);
  g_now += 2000;
  rig.engine->Run();
  EXPECT_EQ(rig.engine->DetachedCount(), 0);
  const std::string metrics = RenderMetrics(rig.engine.get());
  for (const char* line :
       {"\ntavrel_sessions_detached 0\n", "\ntavrel_resumes_total{result=\"ok\"} 0\n",
        "\ntavrel_resumes_total{result=\"refused\"} 0\n",
        "\ntavrel_resumes_total{result=\"expired\"} 0\n"})
    EXPECT_NE(metrics.find(line), std::string::npos) << line;
  list.ShowUserList();
  EXPECT_TRUE(list.Rows().empty());
}

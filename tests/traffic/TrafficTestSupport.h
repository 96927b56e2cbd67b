// Shared pieces of the traffic tests: a hand-stepped clock, a session with its
// two buffers, client messages, the replies taken back apart from the
// outbound stream, and a recording stand-in for the engine's frame queue.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/EDcode.h"
#include "protocol/Grobal2.h"
#include "shared/SessionInfo.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "traffic/Pacing.h"
#include "traffic/SkillCD.h"

namespace traffic_test {

inline uint64_t g_now = 0;
inline uint64_t FakeNow() {
  return g_now;
}

struct TReply {
  TDefaultMessage msg;
  std::string body;  // still 6-bit encoded
};

// Takes the client messages in the stream apart by their nLength.
inline std::vector<TReply> Replies(const TSessionInfo& session) {
  std::vector<TReply> out;
  const char* p = session.BufferStream->Memory();
  int64_t left = session.BufferStream->Position();
  while (left >= DEFBLOCKSIZE) {
    TReply r;
    r.msg = DecodeMessage(std::string_view(p, DEFBLOCKSIZE));
    p += DEFBLOCKSIZE;
    left -= DEFBLOCKSIZE;
    EXPECT_GE(r.msg.nLength, 0);
    EXPECT_LE(r.msg.nLength, left);
    if (r.msg.nLength < 0 || r.msg.nLength > left) break;
    r.body.assign(p, r.msg.nLength);
    p += r.msg.nLength;
    left -= r.msg.nLength;
    out.push_back(r);
  }
  EXPECT_EQ(left, 0) << "stream ends inside a message";
  return out;
}

inline std::string Queued(const TSessionInfo& session) {
  return std::string(session.RecvBuffer->SendData(), session.RecvBuffer->RemainSize());
}

inline std::string ClientMsg(int32_t ident, int32_t recog = 0, int32_t param = 0, int32_t tag = 0,
                             int32_t series = 0, std::string_view body = {}) {
  TDefaultMessage msg;
  msg.Recog = recog;
  msg.Ident = ident;
  msg.Param = param;
  msg.Tag = tag;
  msg.Series = series;
  msg.nLength = static_cast<int32_t>(body.size());
  return EncodeMessage(msg) + std::string(body);
}

struct TFrame {
  int32_t nIdent, wSocketIndex, nSocket, nUserListIndex;
  std::string data;
};

class TRecordingSink : public TGateFrameSink {
 public:
  void SendServerMsg(int32_t nIdent, int32_t wSocketIndex, int32_t nSocket, int32_t nUserListIndex,
                     int32_t nLen, const void* Data) override {
    frames.push_back({nIdent, wSocketIndex, nSocket, nUserListIndex,
                      Data ? std::string(static_cast<const char*>(Data), nLen) : std::string()});
  }
  std::vector<TFrame> frames;
};

// A live session on a hand-stepped clock, with the process-wide pacing
// settings restored after every test.
class TrafficTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1'000'000;
    SetTickSourceForTests(&FakeNow);
    session = std::make_unique<TSessionInfo>();
    session->RecvBuffer = std::make_unique<TSendBuffer>(10240);
    session->BufferStream = std::make_unique<TMemoryStreamEx>();
    session->sUid = "17";
    session->nSocketHandle = 17;
    session->nSocketIndx = 3;
    session->nUserListIndex = 42;
    session->m_sUserID = "hero01";
    session->m_sUserName = "Hero";
    ResetTrafficState(*session, g_now);
  }

  void TearDown() override {
    SetTickSourceForTests(nullptr);
    g_nAttackglobalCD = 0;
    g_nMagicglobalCD = 0;
    g_nPunishDelayCD = 5;
    g_nPunishThreshold = 200;
    g_bClientSpeedDebugMode = false;
    g_nsMagicConfigCD.fill(0);
    g_nsMagicDelayTime.fill(0);
    listOnOffMagic.clear();
  }

  void Send(const std::string& text) { CalcSpeed(*session, text, sink); }
  void ClearStreams() {
    session->RecvBuffer->Clear();
    session->BufferStream->SetPosition(0);
  }

  std::unique_ptr<TSessionInfo> session;
  TRecordingSink sink;
};

}  // namespace traffic_test

// Shared pieces of the traffic tests: a hand-stepped clock, a live session,
// client messages, the replies taken back apart from the outbound stream, and
// a recording stand-in for the engine's frame queue.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/EDcode.h"
#include "shared/Share.h"
#include "support/ProcessState.h"
#include "support/TestClock.h"
#include "traffic/Pacing.h"
#include "traffic/SkillCD.h"

namespace traffic_test {

struct TReply {
  TDefaultMessage msg;
  std::string body;  // still 6-bit encoded
};

inline std::string ClientMsg(int32_t ident, int32_t tag = 0, int32_t series = 0,
                             std::string_view body = {}) {
  TDefaultMessage msg;
  msg.Ident = ident;
  msg.Tag = tag;
  msg.Series = series;
  msg.nLength = static_cast<int32_t>(body.size());
  return EncodeMessage(msg) + std::string(body);
}

struct TRecordingSink : TTrafficSink {
  void SendServerMsg(int32_t nIdent, int32_t wSocketIndex, int32_t nSocket, int32_t nUserListIndex,
                     int32_t nLen, const void* Data) override {
    frames.push_back({nIdent, wSocketIndex, nSocket, nUserListIndex});
    payload.assign(static_cast<const char*>(Data), nLen);
  }
  std::vector<std::vector<int32_t>> frames;
  std::string payload;  // of the last frame
};

// A live session on the test clock; the process-wide state is restored
// after every test.
class TrafficTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseTestClock();
    s.Reset(g_now);
    s.RecvBuffer = std::make_unique<TSendBuffer>(10240);
    s.BufferStream = std::make_unique<TMemoryStreamEx>();
    s.nSocketHandle = 17;
    s.nSocketIndx = 3;
    s.nUserListIndex = 42;
    s.m_sUserID = "hero01";
  }
  void TearDown() override {
    ReleaseTestClock();
    ResetProcessState();
  }

  void Send(const std::string& text) { CalcSpeed(s, text, sink); }
  std::string Queued() const {
    return std::string(s.RecvBuffer->SendData(), s.RecvBuffer->RemainSize());
  }
  void ClearStreams() {
    s.RecvBuffer->Clear();
    s.BufferStream->SetPosition(0);
  }
  // Takes the client messages in the outbound stream apart by their nLength.
  std::vector<TReply> Replies() const {
    std::vector<TReply> out;
    std::string_view rest(s.BufferStream->Memory(), s.BufferStream->Position());
    while (rest.size() >= DEFBLOCKSIZE) {
      TReply r{DecodeMessage(rest.substr(0, DEFBLOCKSIZE)), {}};
      rest.remove_prefix(DEFBLOCKSIZE);
      if (r.msg.nLength < 0 || size_t(r.msg.nLength) > rest.size()) break;
      r.body = rest.substr(0, r.msg.nLength);
      rest.remove_prefix(r.msg.nLength);
      out.push_back(r);
    }
    EXPECT_TRUE(rest.empty()) << "stream ends inside a message";
    return out;
  }

  TSessionInfo s;
  TRecordingSink sink;
};

}  // namespace traffic_test

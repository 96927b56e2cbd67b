// The link's own duties, without the engine: the queue and its cap, the
// keep-alive frames it answers itself, and what it tells its handler.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/GateFrame.h"
#include "shared/Share.h"
#include "support/ProcessState.h"
#include "support/RecordingLink.h"
#include "support/TestClock.h"

namespace {

class TRecordingHandler final : public TLinkHandler {
 public:
  void LinkUp() override { events.push_back("up"); }
  void LinkDown() override { events.push_back("down"); }
  void LinkWritten() override { events.push_back("written"); }
  void LinkFrame(const TGateFrame& frame) override {
    idents.push_back(frame.header.wIdent);
    payloads.emplace_back(frame.payload, frame.payloadSize);
  }
  std::vector<std::string> events;
  std::vector<int> idents;
  std::vector<std::string> payloads;
};

// The idents of the frames in `bytes`, in order.
std::vector<int> Idents(std::string_view bytes) {
  std::vector<int> idents;
  size_t consumed = 0;
  CutGateFrames(
      bytes.data(), bytes.size(), consumed,
      [&](const TGateFrame& frame) { idents.push_back(frame.header.wIdent); },
      [](const TMsgHeader&) {});
  return idents;
}

class ServerLinkTest : public ::testing::Test {
 protected:
  ServerLinkTest() {
    ResetProcessState();
    UseTestClock();
    link.SetHandler(&handler);
  }
  ~ServerLinkTest() override {
    ReleaseTestClock();
    ResetProcessState();
  }
  bool QueueData(int32_t handle, const std::string& body) {
    return link.Queue(MakeGateHeader(GM_DATA, 0, handle, 0, static_cast<int32_t>(body.size())),
                      body.data(), static_cast<int32_t>(body.size()));
  }

  TRecordingHandler handler;
  TRecordingLink link;
};

TEST_F(ServerLinkTest, QueuesOnlyWhileUpAndTellsWhenAllIsWritten) {
  EXPECT_FALSE(QueueData(1, "lost"));
  EXPECT_EQ(link.QueuedBytes(), 0);
  link.SetUp(true);
  EXPECT_TRUE(QueueData(1, "one"));
  EXPECT_TRUE(QueueData(2, "two"));
  EXPECT_EQ(Idents(link.Queued()), (std::vector<int>{GM_DATA, GM_DATA}));
  link.Flush();  // the game server reads nothing yet
  EXPECT_EQ(handler.events, (std::vector<std::string>{"up"}));
  link.ReadAll();
  EXPECT_EQ(link.read.size(), 2 * sizeof(TMsgHeader) + 6);
  EXPECT_EQ(link.QueuedBytes(), 0);
  EXPECT_EQ(handler.events, (std::vector<std::string>{"up", "written"}));
  EXPECT_EQ(link.Stats().nFramesToServer, 2u);
  EXPECT_EQ(link.Stats().nBytesToServer, link.read.size());

  // Down: what was queued goes with it, and nothing more is taken.
  EXPECT_TRUE(QueueData(3, "three"));
  link.SetUp(false);
  EXPECT_EQ(link.QueuedBytes(), 0);
  EXPECT_FALSE(QueueData(3, "again"));
  EXPECT_EQ(handler.events.back(), "down");
  EXPECT_EQ(link.Stats().nLinkDrops, 1u);
}

// A game server that stops reading: whole frames up to the cap, the rest
// refused, counted once, and the link dropped by the next step.
TEST_F(ServerLinkTest, AQueuePastItsCapDropsTheLinkOnTheNextStep) {
  link.SetUp(true);
  const std::string mib(1 << 20, 'm');
  int taken = 0;
  for (int i = 0; i < 70; ++i) taken += QueueData(1, mib) ? 1 : 0;
  EXPECT_LT(taken, 70);
  EXPECT_LE(link.QueuedBytes(), kMaxServerBufferBytes);
  EXPECT_EQ(Idents(link.Queued()).size(), static_cast<size_t>(taken));
  EXPECT_EQ(link.Stats().nLinkOverCap, 1u);
  EXPECT_TRUE(link.Connected());
  link.Step();
  EXPECT_FALSE(link.Connected());
  EXPECT_EQ(link.QueuedBytes(), 0);
  EXPECT_EQ(handler.events.back(), "down");
}

// GM_CHECKSERVER and GM_RECEIVE_OK are the link's: the engine sees every other
// frame, in order, whatever the pieces the bytes come in.
TEST_F(ServerLinkTest, KeepAliveFramesStayInTheLinkTheRestReachTheEngine) {
  link.SetUp(true);
  boCheckServerFail = true;
  std::string bytes;
  AppendGateFrame(bytes, GM_CHECKSERVER, 0, 0, 0, nullptr, 0);
  AppendGateFrame(bytes, GM_DATA, 0, 7, 0, "hi\0", -3);
  bytes += std::string("hi\0", 3);
  AppendGateFrame(bytes, GM_RECEIVE_OK, 0, 0, 0, nullptr, 0);
  AppendGateFrame(bytes, GM_CLOSE, 0, 7, 0, nullptr, 0);
  g_now += 50;
  for (char c : bytes) link.AppendReceived(&c, 1);
  EXPECT_EQ(handler.idents, (std::vector<int>{GM_DATA, GM_CLOSE}));
  EXPECT_EQ(handler.payloads[0], std::string("hi\0", 3));
  EXPECT_FALSE(boCheckServerFail);
  EXPECT_EQ(dwCheckServerTick, g_now);
  EXPECT_EQ(Idents(link.Queued()), (std::vector<int>{GM_RECEIVE_OK}));  // the answer
  EXPECT_EQ(link.Stats().nFramesFromServer, 4u);
  EXPECT_EQ(link.Stats().nBytesFromServer, 0u);  // counted by the socket's reads only
}

// A game server that sends GM_RECEIVE_OK in bulk gets every answer, written
// with one write per receipt rather than one each.
TEST_F(ServerLinkTest, ManyKeepAliveAnswersCostOneWritePerReceipt) {
  link.SetUp(true);
  std::string bytes;
  for (int i = 0; i < 100; ++i) AppendGateFrame(bytes, GM_RECEIVE_OK, 0, 0, 0, nullptr, 0);
  link.AppendReceived(bytes.data(), bytes.size());
  EXPECT_EQ(Idents(link.Queued()), std::vector<int>(100, GM_RECEIVE_OK));
  EXPECT_EQ(link.nWriteCalls, 1);
  link.ReadAll();
  EXPECT_EQ(link.read.size(), 100 * sizeof(TMsgHeader));
}

// A slice of the receipt ends at its time as well as at its bytes: frames
// that cost much for their size wait for the next slice, in order.
TEST_F(ServerLinkTest, ASliceStopsWhenItsTimeIsUp) {
  link.SetUp(true);
  std::string bytes;
  for (int i = 0; i < 10; ++i) AppendGateFrame(bytes, GM_DATA, 0, i, 0, nullptr, 0);
  link.Hold(bytes);
  struct TSlowHandler final : TLinkHandler {
    void LinkUp() override {}
    void LinkDown() override {}
    void LinkWritten() override {}
    void LinkFrame(const TGateFrame& frame) override {
      handles.push_back(frame.header.wGSocketIdx);
      g_now += 3;  // each frame takes 3 ms
    }
    std::vector<int> handles;
  } slow;
  link.SetHandler(&slow);
  EXPECT_TRUE(link.Slice(SIZE_MAX, 4));
  EXPECT_EQ(slow.handles, (std::vector<int>{0, 1}));
  // The first frame of a slice goes whatever it costs.
  EXPECT_TRUE(link.Slice(SIZE_MAX, 1));
  EXPECT_EQ(slow.handles.size(), 3u);
  while (link.Slice(SIZE_MAX, 4)) {
  }
  EXPECT_EQ(slow.handles, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  // Without a time limit the bytes alone bound it.
  link.Hold(bytes);
  EXPECT_FALSE(link.Slice(SIZE_MAX, UINT64_MAX));
  EXPECT_EQ(slow.handles.size(), 20u);
  link.SetHandler(&handler);
}

// Every two seconds a started gateway sends GM_CHECKCLIENT while the link is up.
TEST_F(ServerLinkTest, StepSendsTheKeepAliveEveryTwoSeconds) {
  g_boStarted = true;
  link.SetUp(true);
  link.Step();
  EXPECT_TRUE(link.Queued().empty());
  g_now += 2000;
  link.Step();
  g_now += 1999;
  link.Step();
  EXPECT_EQ(Idents(link.Queued()), (std::vector<int>{GM_CHECKCLIENT}));
  link.SetUp(false);
  g_now += 2000;
  link.Step();
  EXPECT_TRUE(link.Queued().empty());
}

}  // namespace

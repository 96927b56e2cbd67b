#include "protocol/GateFrame.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string Frame(uint16_t ident, int32_t handle, std::string_view payload, bool text = false) {
  std::string out;
  int32_t n = static_cast<int32_t>(payload.size());
  AppendGateFrame(out, ident, 7, handle, 3, payload.data(), text ? -n : n);
  if (text) out.append(payload);
  return out;
}

struct TCut {
  std::vector<std::pair<uint16_t, std::string>> frames;
  int oversize = 0;
  size_t consumed = 0;

  void Run(const std::string& bytes) {
    CutGateFrames(
        bytes.data(), bytes.size(), consumed,
        [&](const TGateFrame& f) {
          frames.emplace_back(f.header.wIdent, std::string(f.payload, f.payloadSize));
        },
        [&](const TMsgHeader&) { ++oversize; });
  }
};

TEST(GateFrame, WorkedExampleBytes) {
  std::string out;
  AppendGateFrame(out, GM_OPEN, 0, 42, 0, "127.0.0.1", 10);
  const unsigned char expected[] = {0x55, 0xAA, 0x55, 0xAA, 0,   0,   0,    0,   0x2A, 0,
                                    0,    0,    1,    0,    0,   0,   0x0A, 0,   0,    0,
                                    '1',  '2',  '7',  '.',  '0', '.', '0',  '.', '1',  0};
  ASSERT_EQ(out.size(), sizeof expected);
  EXPECT_EQ(0, memcmp(out.data(), expected, sizeof expected));
}

TEST(GateFrame, SplitAtEveryOffsetDispatchesOnceWhenComplete) {
  const std::string stream = Frame(GM_DATA, 5, "hello") + Frame(GM_CHECKSERVER, 0, "");
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    // Feed the first piece, keep what was not consumed, append the rest.
    TCut first;
    first.Run(stream.substr(0, cut));
    std::string rest = stream.substr(first.consumed);
    TCut second;
    second.Run(rest);
    auto all = first.frames;
    all.insert(all.end(), second.frames.begin(), second.frames.end());
    ASSERT_EQ(all.size(), 2u) << "cut at " << cut;
    EXPECT_EQ(all[0].second, "hello");
    EXPECT_EQ(all[1].first, GM_CHECKSERVER);
    EXPECT_EQ(second.consumed, rest.size());
  }
}

TEST(GateFrame, GarbageTextFramesAndHalfFrames) {
  std::string bytes = "\x01\x55\xAA\x55garbage" + Frame(GM_DATA, 1, "abc") +
                      Frame(GM_DATA, 1, "0123456789", true) + Frame(GM_DATA, 1, "x");
  std::string half = Frame(GM_DATA, 1, "tail-of-a-frame");
  bytes += half.substr(0, 25);
  TCut cut;
  cut.Run(bytes);
  ASSERT_EQ(cut.frames.size(), 3u);
  EXPECT_EQ(cut.frames[1].second, "0123456789");  // nLength -10 occupies 30 bytes
  EXPECT_EQ(bytes.size() - cut.consumed, 25u);    // the half frame waits
}

TEST(GateFrame, FewerThanAHeaderIsLeftAlone) {
  TCut cut;
  cut.Run(Frame(GM_DATA, 1, "").substr(0, 19));
  EXPECT_TRUE(cut.frames.empty());
  EXPECT_EQ(cut.consumed, 0u);
}

TEST(GateFrame, OversizedLengthIsGarbageAndResyncs) {
  std::string huge;
  AppendGateFrame(huge, GM_DATA, 0, 0, 0, nullptr, 0x7FFFFFFF);
  std::string negative;
  AppendGateFrame(negative, GM_DATA, 0, 0, 0, nullptr, INT32_MIN);
  TCut cut;
  cut.Run(huge + negative + Frame(GM_DATA, 9, "ok"));
  EXPECT_EQ(cut.oversize, 2);
  ASSERT_EQ(cut.frames.size(), 1u);
  EXPECT_EQ(cut.frames[0].second, "ok");
}

TEST(GateFrame, FramesBeforeAThrowingHandlerStayConsumed) {
  std::string bytes = Frame(GM_DATA, 1, "a") + Frame(GM_DATA, 1, "bad") + Frame(GM_DATA, 1, "c");
  size_t consumed = 0;
  int seen = 0;
  EXPECT_THROW(CutGateFrames(
                   bytes.data(), bytes.size(), consumed,
                   [&](const TGateFrame& f) {
                     ++seen;
                     if (std::string(f.payload, f.payloadSize) == "bad")
                       throw std::runtime_error("x");
                   },
                   [](const TMsgHeader&) {}),
               std::runtime_error);
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(consumed, Frame(GM_DATA, 1, "a").size() + Frame(GM_DATA, 1, "bad").size());
}

}  // namespace

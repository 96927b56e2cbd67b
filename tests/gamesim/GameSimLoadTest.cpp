// The test game server's load mode: its spec, pacing and ready-made frames,
// and that its bodies are ones the gateway's converters really convert.
#include "gamesim/LoadMode.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include "gamesim/LoadProtocol.h"
#include "protocol/EDcode.h"
#include "samples/SampleRecords.h"
#include "testkit/GateCodec.h"
#include "translate/ItemConvert.h"
#include "translate/ProcessPacketUnit.h"

namespace gamesim {
namespace {

std::vector<Frame> Cut(const std::string& Bytes) {
  FrameCutter cutter;
  cutter.Feed(Bytes.data(), Bytes.size());
  std::vector<Frame> out;
  Frame f;
  while (cutter.Next(f)) out.push_back(f);
  EXPECT_EQ(cutter.Buffered(), 0u);
  EXPECT_EQ(cutter.TakeSkipped(), 0u);
  return out;
}

TDefaultMessage HeaderOf(const Frame& F) {
  TDefaultMessage h;
  std::memcpy(&h, F.Payload.data(), sizeof h);
  return h;
}

TEST(GameSimLoadSpec, ParsesEverySettingAndRefusesMistakes) {
  LoadSpec spec;
  std::string error;
  ASSERT_TRUE(
      ParseLoadSpec("rate=20000 mix=logon:1,opaque:3 size=100 text=32 heavy=5 bcast=20 "
                    "bsize=80 ref=2.5 maxqueue=1024",
                    spec, error))
      << error;
  EXPECT_EQ(spec.UserRate, 20000);
  EXPECT_EQ(spec.Mix[size_t(LoadKind::Logon)], 1);
  EXPECT_EQ(spec.Mix[size_t(LoadKind::Opaque)], 3);
  EXPECT_EQ(spec.Mix[size_t(LoadKind::Text)], 0);
  EXPECT_EQ(spec.OpaqueSize, 100u);
  EXPECT_EQ(spec.TextSize, 32u);
  EXPECT_EQ(spec.HeavyRate, 5);
  EXPECT_EQ(spec.BroadcastRate, 20);
  EXPECT_EQ(spec.BroadcastSize, 80u);
  EXPECT_EQ(spec.RefRate, 2.5);
  EXPECT_EQ(spec.MaxLinkQueue, 1024u);
  EXPECT_TRUE(spec.Active());

  LoadSpec parsedBack;
  ASSERT_TRUE(ParseLoadSpec(DescribeLoadSpec(spec), parsedBack, error)) << error;
  EXPECT_EQ(DescribeLoadSpec(parsedBack), DescribeLoadSpec(spec));

  ASSERT_TRUE(ParseLoadSpec("off", spec, error));
  EXPECT_FALSE(spec.Active());
  for (const char* bad : {"rate=fast", "mix=logon:1,cats:2", "speed=3", "rate=-1",
                          "rate=10 mix=logon:0", "size=99999999"}) {
    EXPECT_FALSE(ParseLoadSpec(bad, spec, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(GameSimLoadPacing, RateClockHandsOutDueEventsAndGivesUpAStalledBacklog) {
  RateClock clock;
  clock.Start(1000, 5000000);  // 1000 a second from t = 5 s
  EXPECT_EQ(clock.Take(5000000), 0u);
  EXPECT_EQ(clock.Take(5000500), 0u);  // half an event
  EXPECT_EQ(clock.Take(5001000), 1u);
  EXPECT_EQ(clock.Take(5100000), 99u);
  EXPECT_EQ(clock.Take(5100000), 0u);
  // A loop stalled for 10 s gets 100 ms worth (and one), not 10 s worth.
  EXPECT_EQ(clock.Take(15100000), 101u);
  EXPECT_EQ(clock.Dropped(), 10000u - 101u);
  EXPECT_EQ(clock.Take(15101000), 1u);

  RateClock off;
  off.Start(0, 0);
  EXPECT_EQ(off.Take(1000000000), 0u);
}

TEST(GameSimLoadFrames, RoutingAndSequenceNumbersArePatchedPerSend) {
  LoadSpec spec;
  spec.OpaqueSize = 300;
  spec.TextSize = 20;
  spec.BroadcastSize = 50;
  const LoadFrames frames(spec);
  std::string out;
  frames.AppendUser(out, LoadKind::Opaque, 7, 1234, 42, 9);
  frames.AppendUser(out, LoadKind::Logon, 8, 1235, 43, 10);
  frames.AppendUser(out, LoadKind::Text, 9, 1236, 44, 11);
  frames.AppendBroadcast(out, 77);
  LoadFrames::AppendRefMsg(out, 5, "3/8/9");
  const std::vector<Frame> f = Cut(out);
  ASSERT_EQ(f.size(), 5u);

  const int32_t slots[] = {7, 8, 9};
  const int32_t handles[] = {1234, 1235, 1236};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(f[i].Header.wIdent, GM_DATA);
    EXPECT_EQ(f[i].Header.nSocket, slots[i]);
    EXPECT_EQ(f[i].Header.wGSocketIdx, handles[i]);
    EXPECT_EQ(f[i].Header.wUserListIndex, 42 + i);
  }
  const TDefaultMessage opaque = HeaderOf(f[0]);
  EXPECT_EQ(opaque.Ident, loadproto::kOpaqueIdent);
  EXPECT_EQ(opaque.Recog, 9);
  EXPECT_EQ(opaque.nSessionID, loadproto::kLoadMark);
  EXPECT_EQ(opaque.nLength, 300);
  EXPECT_EQ(f[0].Payload.size(), 36u + 300u + 1u);
  const TDefaultMessage logon = HeaderOf(f[1]);
  EXPECT_EQ(logon.Ident, SM_LOGON);
  EXPECT_EQ(logon.Recog, 10);
  EXPECT_EQ(logon.nLength, 2023);
  // A text line: negative nLength, the text and its zero.
  EXPECT_EQ(f[2].Header.nLength, -21);
  uint32_t seq = 0;
  EXPECT_TRUE(loadproto::ParseTextLine(f[2].Payload.substr(0, 20), seq));
  EXPECT_EQ(seq, 11u);

  EXPECT_EQ(f[3].Header.wIdent, GM_SENDMSG);
  EXPECT_EQ(HeaderOf(f[3]).Ident, loadproto::kBroadcastIdent);
  EXPECT_EQ(HeaderOf(f[3]).Recog, 77);
  EXPECT_EQ(HeaderOf(f[3]).nLength, 50);

  EXPECT_EQ(f[4].Header.wIdent, GM_SENDREFMSG);
  const TDefaultMessage ref = DecodeMessage(f[4].Payload.substr(0, 48));
  EXPECT_EQ(ref.Ident, SM_HIT);
  EXPECT_EQ(ref.Recog, 5);
  EXPECT_EQ(ref.nSessionID, loadproto::kLoadMark);
  EXPECT_EQ(f[4].Payload.substr(f[4].Payload.size() - 7), std::string("/3/8/9\0", 7));
}

// The bodies must make the gateway do its real work: a converter that fails
// on them would return an empty or near-empty text.
TEST(GameSimLoadFrames, BodiesConvertToTheClientsJson) {
  const std::string logon = ConvertCharDescBody(samples::LogonRecordBytes());
  EXPECT_NE(logon.find("\"LoadPlayer0001\""), std::string::npos);
  EXPECT_NE(logon.find("\xe6\xb5\xaa\xe5\xad\x90"), std::string::npos);  // GBK name now UTF-8
  // Encoded for the client it passes the 1024 bytes above which the gateway
  // compresses, as a real player record does.
  EXPECT_GT(EncodedLength(logon.size()), 1024u);
  const std::string abil = ConverAbil(samples::AbilSheetText());
  EXPECT_GT(abil.size(), 1000u);
  const std::string items = ConverItemList(samples::ItemListText());
  const boost::json::value list = boost::json::parse(items);
  EXPECT_EQ(list.as_array().size(), 20u);
  const std::string hit = ConvertHitMsgText(samples::HitRecordText());
  EXPECT_NE(hit.find("Monster42"), std::string::npos);
  for (const std::string* json : {&logon, &abil, &hit}) {
    boost::system::error_code ec;
    boost::json::parse(*json, ec);
    EXPECT_FALSE(ec) << json->substr(0, 80);
  }
}

TEST(GameSimLoadProtocol, EchoBodyAndTextLineRoundTrip) {
  const std::string body = loadproto::EchoBody(123456789012ull, 40);
  EXPECT_EQ(body.size(), 40u);
  uint64_t us = 0;
  EXPECT_TRUE(loadproto::ParseEchoBody(body, us));
  EXPECT_EQ(us, 123456789012ull);
  EXPECT_FALSE(loadproto::ParseEchoBody("T12", us));  // no ";"
  EXPECT_FALSE(loadproto::ParseEchoBody("X1;", us));
  const std::string line = loadproto::TextLine(4000000000u, 8000);
  EXPECT_EQ(line.size(), 8000u);
  EXPECT_EQ(line.find('!'), std::string::npos);  // the client ends the line at "!"
  uint32_t seq = 0;
  EXPECT_TRUE(loadproto::ParseTextLine(line, seq));
  EXPECT_EQ(seq, 4000000000u);
  EXPECT_FALSE(loadproto::ParseTextLine("Lx", seq));
}

}  // namespace
}  // namespace gamesim

// The load tool's reading of the gateway's byte stream, its statistics and
// its command line.
#include "loadgen/ClientStream.h"

#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include "gamesim/LoadProtocol.h"
#include "loadgen/LoadOptions.h"
#include "loadgen/LoadResults.h"
#include "loadgen/LoadStats.h"
#include "protocol/EDcode.h"

namespace loadgen {
namespace {

std::string Zlib(std::string_view data) {
  uLongf size = compressBound(uLong(data.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(data.data()), uLong(data.size()), Z_DEFAULT_COMPRESSION);
  out.resize(size);
  return out;
}

std::string ClientMsg(int32_t Ident, std::string_view Body, bool Zipped = false) {
  TDefaultMessage h;
  h.Ident = Ident;
  h.Recog = 7;
  std::string body(Body);
  if (Zipped) {
    body = Zlib(Body);
    h.nIsZlib = 1;
  }
  h.nLength = int32_t(body.size());
  return EncodeMessage(h) + body;
}

struct Seen {
  std::vector<std::string> texts;
  std::vector<int32_t> idents;
  std::vector<std::string> bodies;
  int inflated = 0;
};

void Collect(TClientStream& Stream, std::string_view Bytes, Seen& Out) {
  Stream.Feed(Bytes, [&](const TClientMessage& m) {
    if (m.IsText) {
      Out.texts.emplace_back(m.Text);
      return;
    }
    Out.idents.push_back(m.Header.Ident);
    Out.bodies.emplace_back(m.Body);
    Out.inflated += m.Inflated ? 1 : 0;
  });
}

TEST(LoadClientStream, MessagesSplitAtEveryOffsetAndInflated) {
  std::string big(3000, 'x');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = char('a' + i % 26);
  const std::string stream = ClientMsg(SM_LOGON, EncodeString("{\"a\":1}")) + "#L12 hello!" +
                             ClientMsg(SM_KICK, "") + ClientMsg(loadproto::kOpaqueIdent, big, true);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    TInflater inflater;
    TClientStream s(inflater);
    Seen seen;
    Collect(s, std::string_view(stream).substr(0, cut), seen);
    Collect(s, std::string_view(stream).substr(cut), seen);
    ASSERT_EQ(seen.idents, (std::vector<int32_t>{SM_LOGON, SM_KICK, loadproto::kOpaqueIdent}));
    ASSERT_EQ(seen.texts, std::vector<std::string>{"L12 hello"});
    std::string scratch;
    EXPECT_EQ(DecodeText(seen.bodies[0], scratch), "{\"a\":1}");
    EXPECT_EQ(seen.bodies[1], "");
    EXPECT_EQ(seen.bodies[2], big);
    EXPECT_EQ(seen.inflated, 1);
    EXPECT_EQ(s.Buffered(), 0u);
    EXPECT_EQ(s.Errors(), 0u);
  }
}

// Without an inflater a compressed body arrives as sent, a corrupt one too;
// the framing is still checked.
TEST(LoadClientStream, WithoutAnInflaterBodiesStayAsSent) {
  const std::string zipped = Zlib(std::string(500, 'q'));
  TDefaultMessage h;
  h.Ident = SM_HEAR;
  h.nIsZlib = 1;
  h.nLength = 10;
  std::string stream = EncodeMessage(h) + "0123456789";
  h.nLength = int32_t(zipped.size());
  stream += EncodeMessage(h) + zipped;
  TClientStream s;
  Seen seen;
  Collect(s, stream, seen);
  EXPECT_EQ(seen.bodies, (std::vector<std::string>{"0123456789", zipped}));
  EXPECT_EQ(seen.inflated, 0);
  EXPECT_EQ(s.Errors(), 0u);
  Collect(s, std::string(48, ' '), seen);
  EXPECT_EQ(s.Errors(), 1u);
}

TEST(LoadClientStream, BrokenFramingAndCorruptBodiesAreCountedAndDropped) {
  TInflater inflater;
  TClientStream s(inflater);
  Seen seen;
  // A header character outside "<".."{" cannot start a message.
  Collect(s, std::string(48, ' ') + "tail", seen);
  EXPECT_EQ(s.Errors(), 1u);
  EXPECT_EQ(s.Buffered(), 0u);
  // A negative length.
  TDefaultMessage h;
  h.nLength = -5;
  Collect(s, EncodeMessage(h), seen);
  EXPECT_EQ(s.Errors(), 2u);
  // A body marked compressed that is not a zlib stream, and one cut short.
  h.nLength = 10;
  h.nIsZlib = 1;
  Collect(s, EncodeMessage(h) + "0123456789", seen);
  const std::string zipped = Zlib(std::string(500, 'q'));
  h.nLength = int32_t(zipped.size() - 4);
  Collect(s, EncodeMessage(h) + zipped.substr(0, zipped.size() - 4), seen);
  EXPECT_EQ(s.Errors(), 4u);
  EXPECT_TRUE(seen.idents.empty());
  // The stream goes on with the next good message.
  Collect(s, ClientMsg(SM_ABILITY, "abc"), seen);
  EXPECT_EQ(seen.idents, std::vector<int32_t>{SM_ABILITY});
}

TEST(LoadClientStream, ClientMessagesHaveTheirSizeAndFields) {
  const std::string echo = EchoMessage(42, 123456789, 64);
  EXPECT_EQ(echo.size(), 64u);
  TInflater inflater;
  TClientStream s(inflater);
  uint64_t sent = 0;
  int32_t recog = 0, mark = 0;
  s.Feed(echo, [&](const TClientMessage& m) {
    recog = m.Header.Recog;
    mark = m.Header.nSessionID;
    EXPECT_TRUE(loadproto::ParseEchoBody(m.Body, sent));
  });
  EXPECT_EQ(recog, 42);
  EXPECT_EQ(mark, loadproto::kLoadMark);
  EXPECT_EQ(sent, 123456789u);

  const std::string login = LoginMessage(3, "acc", "chr", "uid");
  const TDefaultMessage h = DecodeMessage(login.substr(0, 48));
  EXPECT_EQ(h.nIndex, 3);
  EXPECT_EQ(login.substr(48, 16), "*#acc/chr/uid/20");
  EXPECT_EQ(size_t(h.nLength), login.size() - 48);
  // Ten "/"-separated fields after "*#".
  EXPECT_EQ(std::count(login.begin() + 48, login.end(), '/'), 9);

  const std::string spell = SpellMessage(12, 3, 100, 200, "8812", 1);
  EXPECT_EQ(DecodeMessage(spell.substr(0, 48)).Ident, CM_SPELL);
  EXPECT_EQ(spell.substr(48),
            "{\"skillID\":12,\"dir\":3,\"srcX\":100,\"srcY\":200,\"destX\":103,\"destY\":198,"
            "\"targetID\":\"8812\",\"time\":1}");

  // Framed as the login text is.
  const std::string resume = ResumeMessage("0123456789abcdef0123456789abcdef", 65537);
  EXPECT_EQ(size_t(DecodeMessage(resume.substr(0, 48)).nLength), resume.size() - 48);
  EXPECT_EQ(resume.substr(48), "*@0123456789abcdef0123456789abcdef/65537");
}

TEST(LoadHistogram, PercentilesWithinOnePercentOfExact) {
  std::mt19937_64 rng(7);
  std::lognormal_distribution<double> dist(8.0, 1.5);  // microseconds, a long tail
  std::vector<uint64_t> samples;
  THistogram h;
  for (int i = 0; i < 100000; ++i) {
    const uint64_t v = uint64_t(dist(rng));
    samples.push_back(v);
    h.Record(v);
  }
  std::sort(samples.begin(), samples.end());
  for (double p : {0.5, 0.9, 0.99, 0.999}) {
    const uint64_t exact = samples[size_t(std::ceil(p * samples.size())) - 1];
    const uint64_t got = h.Percentile(p);
    EXPECT_GE(got, exact) << p;
    EXPECT_LE(double(got), double(exact) * 1.016 + 1) << p;
  }
  EXPECT_EQ(h.Percentile(1.0), samples.back());
  EXPECT_EQ(h.Max(), samples.back());
  EXPECT_EQ(h.Count(), samples.size());
}

TEST(LoadHistogram, BucketsAreContiguous) {
  for (size_t b = 0; b + 1 < THistogram::kBuckets; ++b) {
    const uint64_t upper = THistogram::BucketUpper(b);
    ASSERT_EQ(THistogram::BucketOf(upper), b);
    ASSERT_EQ(THistogram::BucketOf(upper + 1), b + 1);
  }
  EXPECT_EQ(THistogram::BucketOf(UINT64_MAX), THistogram::kBuckets - 1);
  THistogram empty;
  EXPECT_EQ(empty.Percentile(0.99), 0u);
}

TEST(LoadSeqTracker, GapsAndLateNumbers) {
  TSeqTracker t;
  for (uint32_t s : {5u, 6u, 7u, 10u, 9u, 11u, 11u, 12u}) t.Feed(s);
  EXPECT_EQ(t.Received(), 8u);
  EXPECT_EQ(t.Missing(), 2u);  // 8 and 9 skipped when 10 came
  EXPECT_EQ(t.Late(), 2u);     // 9 after 10, the second 11
  EXPECT_EQ(t.Last(), 12u);
}

TEST(LoadProcStat, CommandNamesWithSpacesAndParentheses) {
  TProcStat st;
  ASSERT_TRUE(ParseProcStat(
      "4242 (web (sock) ify) S 17 4242 4242 0 -1 4194560 100 0 0 0 250 30 7 3 20 0 1 0 5 6 7", st));
  EXPECT_EQ(st.Pid, 4242);
  EXPECT_EQ(st.PPid, 17);
  EXPECT_EQ(st.Ticks, 250u + 30u);
  EXPECT_EQ(st.ChildTicks, 7u + 3u);
  EXPECT_FALSE(ParseProcStat("garbage", st));
}

TEST(LoadOptions, SourceAddressesStayInLoopbackAndSkipHostZeroAndBroadcast) {
  TLoadOptions o;
  o.SrcBase = "127.1.0.253";
  o.PerAddr = 4;
  EXPECT_EQ(SourceAddress(o, 0), "127.1.0.253");
  EXPECT_EQ(SourceAddress(o, 3), "127.1.0.253");
  EXPECT_EQ(SourceAddress(o, 4), "127.1.0.254");
  EXPECT_EQ(SourceAddress(o, 8), "127.1.1.1");  // .255 and .0 skipped
  o.SrcBase.clear();
  EXPECT_EQ(SourceAddress(o, 8), "");

  auto parse = [](std::vector<const char*> args, TLoadOptions& out, std::string& error) {
    args.insert(args.begin(), "tavrel-load");
    bool help = false;
    return ParseLoadOptions(int(args.size()), args.data(), out, error, help);
  };
  TLoadOptions parsed;
  std::string error;
  EXPECT_FALSE(parse({"--port", "80", "--host", "10.0.0.1"}, parsed, error));
  EXPECT_FALSE(parse({"--port", "80", "--src-base", "192.168.0.1"}, parsed, error));
  EXPECT_FALSE(
      parse({"--port", "80", "--src-base", "127.255.255.250", "--clients", "100"}, parsed, error));
  EXPECT_FALSE(parse({"--port", "80", "--mix", "walk:1,fly:2"}, parsed, error));
  ASSERT_TRUE(
      parse({"--port", "80", "--mix", "walk:1,spell:2", "--clients", "2000"}, parsed, error))
      << error;
  EXPECT_EQ(parsed.Mix, (std::array<int, kSendKinds>{0, 1, 2, 0}));
  EXPECT_EQ(parsed.Clients, 2000);

  // A resume comes from addresses of its own, spread as the first ones are.
  ASSERT_TRUE(parse({"--port", "80", "--src-base", "127.1.0.1", "--resume-from", "127.2.0.254",
                     "--per-addr", "2", "--no-cookies"},
                    parsed, error))
      << error;
  EXPECT_TRUE(parsed.NoCookies);
  EXPECT_EQ(SourceAddress(parsed, 3), "127.1.0.2");
  EXPECT_EQ(SourceAddress(parsed, 3, true), "127.2.1.1");
  EXPECT_FALSE(parse({"--port", "80", "--resume-from", "10.0.0.1"}, parsed, error));
  EXPECT_FALSE(parse({"--port", "80", "--resume-from", "127.255.255.254", "--clients", "100"},
                     parsed, error));
  EXPECT_FALSE(
      parse({"--port", "80", "--resume-from", "127.2.0.1", "--mode", "echo"}, parsed, error));
  EXPECT_FALSE(
      parse({"--port", "80", "--resume-from", "127.2.0.1", "--connect-only"}, parsed, error));
}

// The report line bench.sh reads: its keys in order, figures to six
// significant digits (integers where they are whole), -1 for CPU not measured.
TEST(LoadResults, JsonLineKeepsItsKeysAndFigures) {
  TLoadResults r;
  r.Ready = 3;
  r.ConnectSeconds = 0.1234567;
  r.WindowSeconds = 2;
  r.Sent = 5;
  r.RttMaxMs = 4866381;
  TLoadOptions o;
  o.Rate = 10;
  const boost::json::object j = boost::json::parse(r.ToJson(o)).as_object();
  std::vector<std::string> keys;
  for (const auto& kv : j) keys.emplace_back(kv.key());
  EXPECT_EQ(keys.size(), 36u);
  EXPECT_EQ(keys.front(), "mode");
  EXPECT_EQ(keys[8], "connect_s");
  EXPECT_EQ(keys.back(), "interrupted");
  EXPECT_EQ(j.at("mode").as_string(), "gateway");
  EXPECT_DOUBLE_EQ(j.at("connect_s").as_double(), 0.123457);
  EXPECT_TRUE(j.at("rate_per_client").is_int64());
  EXPECT_DOUBLE_EQ(j.at("sent_per_s").as_double(), 2.5);
  EXPECT_DOUBLE_EQ(j.at("rtt_ms").at("max").as_double(), 4.86638e6);
  EXPECT_EQ(j.at("cpu_us_per_sent").as_int64(), -1);
  EXPECT_EQ(j.at("rss_kb").as_object().size(), 4u);
  EXPECT_FALSE(j.at("interrupted").as_bool());

  // The resumes only where there were some, before the last key.
  r.ResumesTried = 4;
  r.Resumed = 3;
  r.ResumesRefused = 1;
  o.ResumeSrcBase = "127.2.0.1";
  const boost::json::object k = boost::json::parse(r.ToJson(o)).as_object();
  EXPECT_EQ(k.size(), 37u);
  EXPECT_EQ(k.at("resume"), boost::json::parse(R"({"tried":4,"ok":3,"refused":1})"));
  EXPECT_FALSE(k.at("interrupted").as_bool());
}

}  // namespace
}  // namespace loadgen

#include "conform/Kit.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "platform/CodePage.h"
#include "protocol/GateFrame.h"
#include "samples/DocExamples.h"
#include "samples/RandomCodec.h"
#include "testkit/GateCodec.h"
#include "translate/ConvertTable.h"

namespace json = boost::json;

namespace conform {

namespace {

// The session every example is addressed to.
constexpr int32_t kSlot = 0;
constexpr int32_t kHandle = 42;
constexpr uint64_t kCodecSeed = 20261210;

std::string Line(const json::object& o) {
  return json::serialize(o) + "\n";
}

// Forms the document shows without JSON: a converted ident sent as a header
// alone, and the idents whose body text is only re-encoded. "text" is the
// body as the client decodes it (UTF-8); a bare record has neither "text"
// nor "json".
std::string BodyFormExamples() {
  struct Form {
    const char* Name;
    int32_t Ident;
    std::string Text;  // UTF-8; the game server sends it in its code page
    bool HasBody;
  };
  const Form forms[] = {
      {"SM_MAGICCON header alone", SM_MAGICCON, "", false},
      {"SM_MERCHANTSAY", SM_MERCHANTSAY, "欢迎光临/@buy\\买东西", true},
      {"SM_BUFF", SM_BUFF, "12/300/1", true},
  };
  static_assert(std::size(forms) == kBodyFormExamples);
  std::string out;
  for (const Form& f : forms) {
    TDefaultMessage header{};
    header.Ident = f.Ident;
    header.Recog = 80001;
    header.Param = 1;
    const testkit::Message msg{header, Utf8ToGbk(f.Text), f.HasBody, false};
    const std::string frame =
        testkit::BuildFrame(GM_DATA, kSlot, kHandle, 0, testkit::MessagePayload(msg));
    std::string client;
    if (f.HasBody) {
      const std::string body = PerUserConverter(f.Ident)(header, msg.Body);
      header.nLength = static_cast<int32_t>(body.size());
      client = EncodeMessage(header) + body;
    } else {
      client = EncodeMessage(header);
    }
    json::object o;
    o["name"] = f.Name;
    o["ident"] = f.Ident;
    o["frame"] = testkit::ToHex(frame);
    o["client"] = testkit::ToHex(client);
    o["zlib"] = false;
    if (f.HasBody) o["text"] = DecodeStringUtf8(client.substr(DEFBLOCKSIZE));
    out += Line(o);
  }
  return out;
}

std::string ExamplesFile() {
  std::string out;
  for (const std::string& name : samples::ExampleNames()) {
    const samples::ExampleMessage m = samples::BuildExample(name);
    const testkit::Message msg{m.Header, m.Body, true, false};
    const std::string frame =
        m.Broadcast ? testkit::BuildFrame(GM_SENDREFMSG, 0, 0, 0,
                                          testkit::RefMsgPayload(msg, std::to_string(kSlot)))
                    : testkit::BuildFrame(GM_DATA, kSlot, kHandle, 0, testkit::MessagePayload(msg));
    const std::string client = samples::ClientBytes(m);
    json::object o;
    o["name"] = name;
    o["ident"] = m.Header.Ident;
    o["frame"] = testkit::ToHex(frame);
    o["client"] = testkit::ToHex(client);  // a compressed body is binary
    o["zlib"] = DecodeMessage(std::string_view(client).substr(0, DEFBLOCKSIZE)).nIsZlib != 0;
    o["json"] = samples::ClientJson(m);
    out += Line(o);
  }
  return out + BodyFormExamples();
}

struct FrameExample {
  const char* Name;
  const char* From;  // gateway or server
  std::string Bytes;
};

TDefaultMessage Header(int32_t ident, int32_t recog = 0, int32_t param = 0, int32_t tag = 0,
                       int32_t series = 0) {
  return {recog, ident, param, tag, series};
}

std::vector<FrameExample> FrameExamples() {
  using testkit::BuildFrame;
  using testkit::Message;
  const std::string login = "#1*#account/Alice/10001/1.0/0/0/0/0/0/0!";
  Message enter{Header(CM_LOGINNOTICEOK), {}, false, false};
  Message walk{Header(CM_WALK, 121 + 65536 * 88, 0, 4, 120 + 65536 * 88), {}, false, false};
  Message kick{Header(SM_KICK), {}, false, false};
  const int speed[8] = {600, 600, 900, 900, 900, 900, 5, 200};
  Message bcast{Header(SM_SYSMESSAGE, 0, 0, 0, 1), "hello", true, false};
  return {
      {"GM_OPEN", "gateway",
       BuildFrame(GM_OPEN, kSlot, kHandle, 0, testkit::TextPayload("127.0.0.1"))},
      {"GM_H5DATA login", "gateway",
       BuildFrame(GM_H5DATA, kSlot, kHandle, 0, testkit::TextPayload(login))},
      {"GM_H5DATA CM_LOGINNOTICEOK", "gateway",
       BuildFrame(GM_H5DATA, kSlot, kHandle, 0, testkit::MessagePayload(enter))},
      {"GM_H5DATA CM_WALK", "gateway",
       BuildFrame(GM_H5DATA, kSlot, kHandle, 0, testkit::MessagePayload(walk))},
      {"GM_CLOSE", "gateway", BuildFrame(GM_CLOSE, kSlot, kHandle, 0, "")},
      {"GM_CHECKCLIENT", "gateway", BuildFrame(GM_CHECKCLIENT, 0, 0, 0, "")},
      {"GM_RECEIVE_OK", "gateway", BuildFrame(GM_RECEIVE_OK, 0, 0, 0, "")},
      {"GM_CHECKSERVER", "server", BuildFrame(GM_CHECKSERVER, 0, 0, 0, "")},
      {"GM_RECEIVE_OK", "server", BuildFrame(GM_RECEIVE_OK, 0, 0, 0, "")},
      {"GM_SERVERUSERINDEX", "server", BuildFrame(GM_SERVERUSERINDEX, 0, kHandle, 7, "")},
      {"GM_DATA text line", "server",
       BuildFrame(GM_DATA, 0, kHandle, 0, testkit::TextPayload("Welcome"), true)},
      {"GM_DATA SM_KICK", "server", BuildFrame(GM_DATA, 0, kHandle, 0, MessagePayload(kick))},
      {"GM_DATA GM_SPEED", "server",
       BuildFrame(GM_DATA, 0, kHandle, 0, MessagePayload(testkit::SpeedMessage(speed)))},
      {"GM_SENDMAGICINFO", "server",
       BuildFrame(GM_SENDMAGICINFO, 0, 0, 0,
                  testkit::MagicInfoPayload("12=1500#300#1;13=800#0#0"))},
      {"GM_SENDMSG SM_SYSMESSAGE", "server",
       BuildFrame(GM_SENDMSG, 0, 0, 0, MessagePayload(bcast))},
      {"GM_SENDMSG text line", "server",
       BuildFrame(GM_SENDMSG, 0, 0, 0, testkit::TextPayload("Server restarts at 5"), true)},
      {"GM_SENDGUILDMSG", "server",
       BuildFrame(GM_SENDGUILDMSG, 0, 0, 0, testkit::GuildMsgPayload(bcast, "G7"))},
      {"GM_CLOSE", "server", BuildFrame(GM_CLOSE, 0, kHandle, 0, "")},
  };
}

std::string FramesFile() {
  std::string out;
  for (const FrameExample& f : FrameExamples()) {
    TMsgHeader h{};
    std::memcpy(&h, f.Bytes.data(), sizeof h);
    json::object o;
    o["name"] = f.Name;
    o["from"] = f.From;
    o["nSocket"] = h.nSocket;
    o["wGSocketIdx"] = h.wGSocketIdx;
    o["wIdent"] = h.wIdent;
    o["wUserListIndex"] = h.wUserListIndex;
    o["nLength"] = h.nLength;
    o["hex"] = testkit::ToHex(f.Bytes);
    out += Line(o);
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "\x01(missing)";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TCodecTables KitCodecTables() {
  std::mt19937_64 rng(kCodecSeed);
  return samples::RandomCodecTables(rng);
}

std::string CodecIni(const TCodecTables& t) {
  auto table = [](const std::array<uint8_t, 256>& a) {
    return testkit::ToHex(std::string_view(reinterpret_cast<const char*>(a.data()), a.size()));
  };
  return "; The conformance kit's deployment codec: append to a Tavrel.ini (or pass to\n"
         "; tavrel-gamesim --codec) to run a gateway as the kit's bytes were written.\n"
         "[Codec]\nEncodeBitMasks=" +
         table(t.EncodeBitMasks) + "\nDecodeBitMasks=" + table(t.DecodeBitMasks) +
         "\nn4CEEF4=" + std::to_string(t.n4CEEF4) + "\nn4CEEF8=" + std::to_string(t.n4CEEF8) +
         "\nn4CEEFC=" + std::to_string(t.n4CEEFC) + "\nw4CEF00=" + std::to_string(t.w4CEF00) + "\n";
}

std::map<std::string, std::string> MakeKit() {
  const TCodecTables tables = KitCodecTables();
  if (const std::string why = InstallCodecTables(tables); !why.empty())
    throw std::runtime_error(why);
  return {{"codec.ini", CodecIni(tables)},
          {"examples.jsonl", ExamplesFile()},
          {"frames.jsonl", FramesFile()}};
}

int RunKit(const std::vector<std::string>& args) {
  const bool check = !args.empty() && args[0] == "--check";
  if (args.size() != (check ? 2u : 1u)) {
    std::fputs("usage: tavrel-conform kit [--check] DIR\n", stderr);
    return 2;
  }
  const std::string dir = args.back();
  int failed = 0;
  for (const auto& [name, text] : MakeKit()) {
    const std::string path = dir + "/" + name;
    if (check) {
      const bool same = ReadFile(path) == text;
      std::printf("%s %s%s\n", same ? "PASS" : "FAIL", path.c_str(),
                  same ? "" : ": differs from what the gateway's code writes (tavrel-conform kit)");
      failed += !same;
      continue;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
    std::printf("wrote %s\n", path.c_str());
  }
  return failed ? 1 : 0;
}

}  // namespace conform

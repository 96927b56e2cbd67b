// The conformance kit of docs/conformance against a running gateway: every
// example frame gives the client exactly the bytes the kit publishes, and
// the recorded session replays byte for byte both ways. With
// TAVREL_RECORD_SESSION=1 the session test writes session.jsonl afresh from
// its script instead (after a deliberate change of what the gateway sends).
#include <gtest/gtest.h>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "FaultSupport.h"
#include "Harness.h"
#include "conform/Kit.h"
#include "protocol/EDcode.h"
#include "samples/DocExamples.h"
#include "testkit/GateCodec.h"
#include "translate/Zlib.h"

namespace json = boost::json;

namespace {

// The session the kit's frames are addressed to.
constexpr int32_t kKitHandle = 42;
constexpr int32_t kKitSlot = 0;

std::string KitFile(const std::string& name) {
  std::ifstream in(std::string(TAVREL_CONFORMANCE_DIR) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<json::object> JsonLines(const std::string& text) {
  std::vector<json::object> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(json::parse(line).as_object());
  return lines;
}

std::string Str(const json::object& o, const char* key) {
  const json::value* v = o.if_contains(key);
  return v && v->is_string() ? std::string(v->as_string()) : std::string();
}

std::string Unhex(const std::string& hex) {
  std::string bytes;
  EXPECT_TRUE(testkit::ParseHex(hex, bytes)) << hex.substr(0, 40);
  return bytes;
}

TMsgHeader HeaderOf(const std::string& frame) {
  TMsgHeader h{};
  if (frame.size() >= sizeof h) std::memcpy(&h, frame.data(), sizeof h);
  return h;
}

void SetHeader(std::string& frame, const TMsgHeader& h) {
  std::memcpy(frame.data(), &h, sizeof h);
}

// A frame of the kit (addressed to handle 42, slot 0) for the live session,
// and back.
std::string Localize(std::string frame, int32_t handle, int32_t slot) {
  TMsgHeader h = HeaderOf(frame);
  if (h.wGSocketIdx == kKitHandle) {
    h.wGSocketIdx = handle;
    h.nSocket = slot;
  }
  // The list ends the payload: "/0" and the final zero.
  if (h.wIdent == GM_SENDREFMSG && frame.ends_with(std::string_view("/0\0", 3))) {
    frame.resize(frame.size() - 2);
    frame += std::to_string(slot);
    frame.push_back('\0');
    h.nLength = static_cast<int32_t>(frame.size() - sizeof h);
  }
  SetHeader(frame, h);
  return frame;
}

std::string Generalize(const TLinkFrame& f, int32_t handle, int32_t slot) {
  TMsgHeader h = f.header;
  if (h.wGSocketIdx == handle && h.nSocket == slot) {
    h.wGSocketIdx = kKitHandle;
    h.nSocket = kKitSlot;
  }
  std::string frame(sizeof h, '\0');
  SetHeader(frame, h);
  return frame + f.payload;
}

// The kit's codec for the client side of the test, the default again after.
class TKitCodec {
 public:
  TKitCodec() { EXPECT_EQ(InstallCodecTables(conform::KitCodecTables()), ""); }
  ~TKitCodec() { InstallCodecTables(DefaultCodecTables()); }
};

// A gateway with the kit's codec, the test as its game server, and one
// client logged in (for the examples) or none yet (for the session).
struct TKitRig {
  TKitRig()
      : rig([] {
          TGatewayRig::TOptions o;
          o.startGameServer = false;
          o.extraIni = KitFile("codec.ini");
          o.extraIni.insert(0, 1, '\n');
          return o;
        }()),
        server(rig.serverPort) {
    rig.StartGateway();
    EXPECT_TRUE(server.WaitLinks(1, 5s));
  }

  // The next frame the gateway sent after `cursor` that is not a keep-alive.
  std::optional<TLinkFrame> NextFrame(std::chrono::milliseconds timeout) {
    auto isSession = [](const TLinkFrame& f) {
      return f.header.wIdent != GM_CHECKCLIENT && f.header.wIdent != GM_RECEIVE_OK;
    };
    if (!server.WaitFrame(isSession, timeout, cursor)) return std::nullopt;
    const std::vector<TLinkFrame> frames = server.Frames();
    for (; cursor < frames.size(); ++cursor)
      if (isSession(frames[cursor])) return frames[cursor++];
    return std::nullopt;
  }

  // Binary bytes until `size` of them have come (or a timeout).
  std::string ReadBinary(size_t size, std::chrono::milliseconds timeout = 3s) {
    std::string bytes;
    while (bytes.size() < size) {
      bool text = false;
      auto raw = ws.ReadRaw(timeout, &text);
      if (!raw) break;
      if (text) {
        ADD_FAILURE() << "a text message came: " << *raw;
        continue;
      }
      bytes += *raw;
    }
    return bytes;
  }

  TKitCodec codec;
  TGatewayRig rig;
  TFakeGameServer server;
  TWsClient ws;
  size_t cursor = 0;
  int32_t handle = 0;
  int32_t slot = 0;
};

TEST(ConformanceKit, EveryExampleFrameGivesTheClientTheBytesOfTheKit) {
  TKitRig k;
  ASSERT_TRUE(k.ws.Connect(k.rig.gatePort));
  ASSERT_TRUE(k.ws.Login("kit", "Alice", "10001"));
  const auto open = k.NextFrame(5s);
  ASSERT_TRUE(open && open->header.wIdent == GM_OPEN);
  k.handle = open->header.wGSocketIdx;
  k.slot = open->header.nSocket;
  const auto login = k.NextFrame(5s);
  ASSERT_TRUE(login && login->header.wIdent == GM_H5DATA);

  const std::vector<json::object> examples = JsonLines(KitFile("examples.jsonl"));
  ASSERT_EQ(examples.size(), samples::ExampleNames().size() + conform::kBodyFormExamples);
  for (const json::object& ex : examples) {
    SCOPED_TRACE(Str(ex, "name"));
    const std::string expected = Unhex(Str(ex, "client"));
    ASSERT_TRUE(k.server.Send(Localize(Unhex(Str(ex, "frame")), k.handle, k.slot)));
    EXPECT_EQ(k.ReadBinary(expected.size()), expected);
  }
}

// The test game server shows a client developer every example by name.
TEST(ConformanceKit, TheTestGameServerSendsEachExampleOfTheDocumentByName) {
  TGatewayRig rig;
  ASSERT_TRUE(rig.StartLinked());
  TWsClient ws;
  ASSERT_TRUE(ws.Connect(rig.gatePort));
  ASSERT_TRUE(ws.Login("kit", "Alice", "10001"));
  ASSERT_GE(rig.WaitSim("ident=1018"), 0);
  for (const std::string& name : samples::ExampleNames()) {
    SCOPED_TRACE(name);
    rig.Sim("send-example " + name);
    const samples::ExampleMessage m = samples::BuildExample(name);
    std::optional<TClientMsg> got;
    while ((got = ws.ReadMsg(3s)) && got->header.Ident != m.Header.Ident) {
    }
    ASSERT_TRUE(got);
    const std::string body =
        got->header.nIsZlib ? ZlibDecompress(got->body) : std::string(got->body);
    EXPECT_EQ(DecodeStringUtf8(body), samples::ClientJson(m));
  }
}

// ---------------------------------------------------------------------------
// The recorded session: one JSON object a line, each one event in order:
//   {"dir":"client>gateway","text":T}    the client sends a text message
//   {"dir":"client>gateway","close":C}   the client closes with code C
//   {"dir":"gateway>client","text":T}    the client receives a text message
//   {"dir":"gateway>client","binary":H}  the client receives these bytes (hex),
//                                        in one or more binary messages
//   {"dir":"server>gateway","frame":H}   the game server sends this frame (hex)
//   {"dir":"gateway>server","frame":H}   the game server receives this frame
// Frames name the session as handle 42, slot 0; keep-alives are left out.

class TSession {
 public:
  TSession(TKitRig& k, bool record) : k_(k), record_(record) {}

  void Event(const json::object& e) {
    const std::string dir = Str(e, "dir");
    if (record_) lines_ += json::serialize(e) + "\n";
    if (dir == "client>gateway" && e.contains("text")) {
      k_.ws.SendText(Str(e, "text"));
    } else if (dir == "client>gateway" && e.contains("close")) {
      k_.ws.Close();
    } else if (dir == "server>gateway") {
      ASSERT_TRUE(k_.server.Send(Localize(Unhex(Str(e, "frame")), k_.handle, k_.slot)));
    } else if (dir == "gateway>client" && e.contains("text")) {
      bool text = false;
      const auto got = k_.ws.ReadRaw(3s, &text);
      EXPECT_TRUE(got && text && *got == Str(e, "text")) << Str(e, "text");
    } else if (dir == "gateway>client") {
      const std::string expected = Unhex(Str(e, "binary"));
      EXPECT_EQ(k_.ReadBinary(expected.size()), expected);
    } else if (dir == "gateway>server") {
      ExpectFrame(Str(e, "frame"));
    } else {
      ADD_FAILURE() << "unknown event " << json::serialize(e);
    }
  }

  // Recording: what the gateway sends in answer, written down as it comes.
  void RecordFrames(int n) {
    for (int i = 0; i < n; ++i) {
      const auto f = k_.NextFrame(5s);
      ASSERT_TRUE(f) << "frame " << i + 1 << " of " << n;
      Learn(*f);
      Write("gateway>server", "frame", testkit::ToHex(Generalize(*f, k_.handle, k_.slot)));
    }
  }
  void RecordClientBytes() {
    std::string bytes;
    bool text = false;
    auto raw = k_.ws.ReadRaw(3s, &text);
    ASSERT_TRUE(raw && !text);
    bytes = *raw;
    while ((raw = k_.ws.ReadRaw(300ms, &text))) {
      ASSERT_FALSE(text);
      bytes += *raw;
    }
    Write("gateway>client", "binary", testkit::ToHex(bytes));
  }
  void RecordText() {
    bool text = false;
    const auto raw = k_.ws.ReadRaw(3s, &text);
    ASSERT_TRUE(raw && text);
    Write("gateway>client", "text", *raw);
  }

  const std::string& Lines() const { return lines_; }

 private:
  void ExpectFrame(const std::string& expected) {
    const auto f = k_.NextFrame(5s);
    ASSERT_TRUE(f) << "no frame; expected " << expected;
    Learn(*f);
    EXPECT_EQ(testkit::ToHex(Generalize(*f, k_.handle, k_.slot)), expected);
  }
  // The gateway names the session in its GM_OPEN.
  void Learn(const TLinkFrame& f) {
    if (f.header.wIdent != GM_OPEN) return;
    k_.handle = f.header.wGSocketIdx;
    k_.slot = f.header.nSocket;
  }
  void Write(const char* dir, const char* key, const std::string& value) {
    json::object o;
    o["dir"] = dir;
    o[key] = value;
    lines_ += json::serialize(o) + "\n";
  }

  TKitRig& k_;
  bool record_;
  std::string lines_;
};

json::object Send(const char* dir, const char* key, const std::string& value) {
  json::object o;
  o["dir"] = dir;
  o[key] = value;
  return o;
}

std::string Frame(uint16_t ident, uint16_t user, const std::string& payload, bool text = false) {
  return testkit::ToHex(testkit::BuildFrame(ident, kKitSlot, kKitHandle, user, payload, text));
}

// The script the session is recorded from.
void RecordSession(TSession& s) {
  auto client = [&](const std::string& text) { s.Event(Send("client>gateway", "text", text)); };
  auto server = [&](const std::string& hex) { s.Event(Send("server>gateway", "frame", hex)); };
  s.RecordText();  // "ok"
  client(ClientMessage(0, 0, 0, 0, 0, "*#kit/Alice/10001/1.0/0/0/0/0/0/0", 1));
  s.RecordFrames(2);  // GM_OPEN, the login
  server(Frame(GM_SERVERUSERINDEX, 7, ""));
  // Intervals of a minute, so that the turn below is refused however slow
  // the machine.
  const int speed[8] = {60000, 60000, 60000, 60000, 900, 900, 5, 200};
  server(testkit::ToHex(testkit::BuildFrame(
      GM_DATA, kKitSlot, kKitHandle, 0, testkit::MessagePayload(testkit::SpeedMessage(speed)))));
  client(ClientMessage(CM_LOGINNOTICEOK));
  s.RecordFrames(1);
  client(ClientMessage(CM_WALK, 121 + 65536 * 88, 0, 4, 120 + 65536 * 88));
  s.RecordFrames(1);
  client(ClientMessage(CM_TURN, 0, 0, 2));
  s.RecordClientBytes();  // refused: the walk holds the next action for a minute
  for (const char* name : {"SM_DAMAGE", "SM_HIT", "SM_USERNAME"}) {
    const samples::ExampleMessage m = samples::BuildExample(name);
    const testkit::Message msg{m.Header, m.Body, true, false};
    server(testkit::ToHex(
        m.Broadcast
            ? testkit::BuildFrame(GM_SENDREFMSG, 0, 0, 0, testkit::RefMsgPayload(msg, "0"))
            : testkit::BuildFrame(GM_DATA, kKitSlot, kKitHandle, 0, testkit::MessagePayload(msg))));
    s.RecordClientBytes();
  }
  server(Frame(GM_DATA, 0, testkit::TextPayload("Welcome to Bichon"), true));
  s.RecordClientBytes();
  TDefaultMessage notice{};
  notice.Ident = SM_SYSMESSAGE;
  notice.Series = 1;
  server(testkit::ToHex(testkit::BuildFrame(
      GM_SENDMSG, 0, 0, 0,
      testkit::MessagePayload({notice, EncodeString("Server restarts"), true, false}))));
  s.RecordClientBytes();
  json::object close;
  close["dir"] = "client>gateway";
  close["close"] = 1000;
  s.Event(close);
  s.RecordFrames(1);  // GM_CLOSE
}

TEST(ConformanceKit, TheRecordedSessionReplaysByteForByte) {
  const char* record = std::getenv("TAVREL_RECORD_SESSION");
  TKitRig k;
  ASSERT_TRUE(k.ws.Connect(k.rig.gatePort));
  if (record && std::string(record) == "1") {
    TSession s(k, true);
    RecordSession(s);
    std::ofstream(std::string(TAVREL_CONFORMANCE_DIR) + "/session.jsonl", std::ios::binary)
        << s.Lines();
    GTEST_SKIP() << "session.jsonl written";
  }
  const std::vector<json::object> events = JsonLines(KitFile("session.jsonl"));
  ASSERT_GT(events.size(), 10u);
  TSession s(k, false);
  for (size_t i = 0; i < events.size() && !::testing::Test::HasFatalFailure(); ++i) {
    SCOPED_TRACE("session.jsonl line " + std::to_string(i + 1));
    s.Event(events[i]);
  }
  EXPECT_TRUE(k.ws.WaitClosed(3s));
}

}  // namespace

// One gateway engine driven without sockets, for the engine, console and
// robustness tests and the fuzz targets: the process-wide state at its start
// values, the test clock as the tick source, a front end that records what
// the engine hands to clients, and a recording link to the game server that
// is up, so that frames are queued. Header only; main thread only.
#pragma once

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ProcessState.h"
#include "RecordingLink.h"
#include "TestClock.h"
#include "engine/GameSocket.h"
#include "protocol/GateFrame.h"
#include "shared/Share.h"

// The whole frames in `bytes` (what the engine queued for the game server),
// each as its header and payload.
inline std::vector<std::pair<TMsgHeader, std::string>> CutFrames(std::string_view bytes) {
  std::vector<std::pair<TMsgHeader, std::string>> out;
  size_t consumed = 0;
  CutGateFrames(
      bytes.data(), bytes.size(), consumed,
      [&](const TGateFrame& f) {
        out.emplace_back(f.header, std::string(f.payload, f.payloadSize));
      },
      [](const TMsgHeader&) {});
  return out;
}

// The client message record a GM_H5DATA payload starts with; zeros for any other frame.
inline TDefaultMessage ForwardedRecord(const std::pair<TMsgHeader, std::string>& frame) {
  TDefaultMessage m;
  if (frame.first.wIdent == GM_H5DATA && frame.second.size() >= sizeof m)
    std::memcpy(&m, frame.second.data(), sizeof m);
  return m;
}

class TRecordingFrontEnd final : public TFrontEnd {
 public:
  // Kept by identifier text, as the tests name connections.
  void SendMsg(uint32_t nConn, std::string_view text) override {
    texts[std::to_string(nConn)].emplace_back(text);
  }
  void SendBuff(uint32_t nConn, const char* data, size_t len) override {
    const std::string sUid = std::to_string(nConn);
    blocks[sUid].emplace_back(data, len);
    bytes[sUid] += len;
    if (holdUnsent) maxUnsent = std::max(maxUnsent, unsent[sUid] += len);
  }
  // Recorded as SendBuff records it, and where the shared bytes lay, so that
  // a test can tell recipients that got the same bytes from copies.
  void SendShared(uint32_t nConn, const TSharedBytes& shared, size_t offset, size_t len) override {
    sharedAt[std::to_string(nConn)].push_back(shared->data() + offset);
    SendBuff(nConn, shared->data() + offset, len);
  }
  void CloseSocket(uint32_t nConn, ECloseCode code) override {
    closed.push_back(std::to_string(nConn));
    closing.insert(std::to_string(nConn));
    codes.push_back(code);
    bytesAtClose[std::to_string(nConn)] = bytes[std::to_string(nConn)];
  }
  size_t Unsent(uint32_t nConn) const override {
    const auto it = unsent.find(std::to_string(nConn));
    return it == unsent.end() ? 0 : it->second;
  }
  // As in the WebSocket layer, a connection being closed counts no more.
  size_t TotalUnsent() const override {
    size_t total = 0;
    for (const auto& [uid, n] : unsent) total += closing.contains(uid) ? 0 : n;
    return total;
  }
  // The client has read everything handed over so far.
  void ReadAll() { unsent.clear(); }
  void PauseReading(uint32_t nConn, bool pause) override { paused[std::to_string(nConn)] = pause; }

  std::map<std::string, std::vector<std::string>> texts;     // per connection, in order
  std::map<std::string, std::vector<std::string>> blocks;    // per connection, in order
  std::map<std::string, size_t> bytes;                       // SendBuff bytes per connection
  std::map<std::string, std::vector<const char*>> sharedAt;  // SendShared blocks' bytes
  std::vector<std::string> closed;
  std::vector<ECloseCode> codes;               // one per entry of `closed`
  std::set<std::string> closing;               // every connection in `closed`
  std::map<std::string, size_t> bytesAtClose;  // SendBuff bytes when the close was asked
  // With holdUnsent, what is handed over waits as unsent (in `unsent`) until
  // ReadAll, as in a WebSocket layer whose client has not read yet.
  bool holdUnsent = false;
  std::map<std::string, size_t> unsent;
  size_t maxUnsent = 0;
  std::map<std::string, bool> paused;  // by PauseReading, per connection
};

// An engine on a recording front end and a recording link that is up.
inline std::unique_ptr<TTavrelSocket> MakeRecordingEngine(boost::asio::io_context& io,
                                                          TRecordingFrontEnd*& front,
                                                          TRecordingLink*& link) {
  auto fe = std::make_unique<TRecordingFrontEnd>();
  front = fe.get();
  auto recording = std::make_unique<TRecordingLink>();
  link = recording.get();
  auto engine = std::make_unique<TTavrelSocket>(io, std::move(recording), std::move(fe));
  link->SetUp(true);
  return engine;
}

class TEngineRig {
 public:
  // Sessions 1..nSessions join (see Join), in the game or, with !inGame,
  // still before their login notice.
  explicit TEngineRig(int nSessions = 0, bool inGame = true) {
    ResetProcessState();
    UseTestClock();
    // A small first receive buffer (it grows in steps of this): zero-filling
    // the default megabyte for every engine would dominate a fuzz run.
    g_GateConfig.nServerMsgBuffByte = 65536;
    engine = MakeRecordingEngine(io, front, link);
    for (int i = 1; i <= nSessions; ++i) Join(i, inGame);
  }
  ~TEngineRig() {
    engine.reset();
    ReleaseTestClock();
    ResetProcessState();
  }
  TEngineRig(const TEngineRig&) = delete;
  TEngineRig& operator=(const TEngineRig&) = delete;

  TSessionInfo* Session(int handle) { return engine->GetUser(static_cast<uint32_t>(handle)); }

  // A client connects as `uid` from 10.0.0.<uid mod 250> and has logged in;
  // null when the engine refused it.
  TSessionInfo* Join(int uid, bool inGame = true) {
    const std::string sUid = std::to_string(uid);
    engine->ServerConnect(sUid, "10.0.0." + std::to_string(uid % 250));
    TSessionInfo* s = engine->GetUser(std::string_view(sUid));
    if (s) {
      s->boNewLogon = !inGame;
      s->boPlay = inGame;
    }
    return s;
  }

  // A GM_DATA text frame for `handle` that reaches the client as a line of
  // `n` bytes ("#" + text + "!").
  static std::string TextFrame(int handle, size_t n, char fill = 't') {
    std::string payload(n - 2, fill);
    payload.push_back('\0');
    const TMsgHeader h =
        MakeGateHeader(GM_DATA, 0, handle, 0, -static_cast<int32_t>(payload.size()));
    return std::string(reinterpret_cast<const char*>(&h), sizeof h) + payload;
  }
  void Receive(const std::string& bytes) { link->AppendReceived(bytes.data(), bytes.size()); }

  // The first message of a connection, framed as a login text is.
  static std::string FirstMessage(const std::string& body) {
    TDefaultMessage m;
    m.nLength = static_cast<int32_t>(body.size());
    return EncodeMessage(m) + body;
  }
  static std::string Heart(int32_t recog) {
    TDefaultMessage m;
    m.Ident = CM_HEART;
    m.Recog = recog;
    return EncodeMessage(m);
  }
  static std::string Address(int uid) { return "10.0.0." + std::to_string(uid); }
  // The latest resume token connection `uid` was told, or "".
  static std::string ResumeToken(TRecordingFrontEnd& fe, int uid) {
    const auto& texts = fe.texts[std::to_string(uid)];
    for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
      if (!it->starts_with("resume ") || it->size() != 39) continue;
      const std::string token = it->substr(7);
      if (token.find_first_not_of("0123456789abcdef") == std::string::npos) return token;
    }
    return "";
  }

  // The queue to the game server must stay within its cap: aborts, naming
  // the bound, when it does not (the fuzz targets check it after each step).
  void CheckBounds() const {
    if (static_cast<int64_t>(link->Queued().size()) > kMaxServerBufferBytes) {
      std::fprintf(stderr, "engine rig: the queue to the game server passed its cap\n");
      std::abort();
    }
  }

  boost::asio::io_context io;
  TRecordingFrontEnd* front = nullptr;
  TRecordingLink* link = nullptr;
  std::unique_ptr<TTavrelSocket> engine;
};

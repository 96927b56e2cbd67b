// Session resume under hostile clients: connections that log in, end in
// every way and present tokens (kept, spent, made up) with any count, while
// the game server sends lines, kicks and closes and the clock runs past the
// grace. Afterwards every connection ends and the drain runs: no session may
// stay detached and no address may keep a count.
#include <map>

#include "../EngineRig.h"
#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"

namespace {

const char* const kAddresses[] = {"10.0.0.1", "10.0.0.2", "2001:db8::1", "2001:db8::2"};

std::string FirstMessage(std::string_view body) {
  TDefaultMessage m;
  m.nLength = static_cast<int32_t>(body.size());
  return EncodeMessage(m) + std::string(body);
}

// Every token the gateway handed out so far, in order.
std::vector<std::string> Tokens(const TRecordingFrontEnd& front) {
  std::vector<std::string> out;
  for (const auto& [uid, texts] : front.texts)
    for (const std::string& t : texts)
      if (t.starts_with("resume ")) out.push_back(t.substr(7));
  return out;
}

}  // namespace

FUZZ_TARGET(resume) {
  TEngineRig rig;
  TFuzzInput in(data, size);
  g_GateConfig.nResumeGraceSeconds = 1 + in.Byte() % 60;
  g_GateConfig.nResumeReplayBytes = in.Byte() * 64;
  std::map<uint32_t, std::string> open;  // connection -> its address
  uint32_t next = 1;
  const auto pickOpen = [&]() -> uint32_t {
    if (open.empty()) return 0;
    auto it = open.begin();
    std::advance(it, in.Byte() % open.size());
    return it->first;
  };
  while (!in.Empty()) {
    switch (in.Byte() % 8) {
      case 0: {
        const std::string ip = in.Pick(kAddresses);
        rig.engine->ServerConnect(std::to_string(next), ip);
        open[next++] = ip;
        break;
      }
      case 1:
        if (const uint32_t c = pickOpen())
          rig.engine->ServerMessage(c, FirstMessage("*#acct/name/id/1/0/0/0"));
        break;
      case 2:
        if (const uint32_t c = pickOpen()) {
          const std::vector<std::string> tokens = Tokens(*rig.front);
          std::string token = !tokens.empty() && in.Bool() ? tokens[in.Byte() % tokens.size()]
                                                           : std::string(in.Chunk());
          const std::string count = in.Byte() % 4 == 0 ? std::string(in.Chunk())
                                                       : std::to_string(in.Int<uint32_t>() % 70000);
          rig.engine->ServerMessage(c, FirstMessage("*@" + token + "/" + count));
        }
        break;
      case 3:
        if (const uint32_t c = pickOpen()) {
          rig.engine->ServerDisconnect(std::to_string(c), open[c], {},
                                       static_cast<EConnEnd>(in.Byte() % 4));
          open.erase(c);
        }
        break;
      case 4: {
        const int handle = 1 + in.Byte() % static_cast<int>(next);
        const uint8_t what = in.Byte() % 4;
        std::string frames;
        if (what == 0) {
          AppendGateFrame(frames, GM_CLOSE, 0, handle, 0, nullptr, 0);
        } else if (what == 1) {
          TDefaultMessage kick;
          kick.Ident = SM_KICK;
          AppendGateFrame(frames, GM_DATA, 0, handle, 0, &kick, sizeof kick);
        } else {
          frames = TEngineRig::TextFrame(handle, 2 + in.Int<uint16_t>() % 5000);
        }
        rig.Receive(frames);
        break;
      }
      case 5:
        g_fuzzNow += in.Int<uint16_t>() * 10;
        rig.engine->Run();
        break;
      case 6:
        if (const uint32_t c = pickOpen()) {
          TDefaultMessage heart;
          heart.Ident = CM_HEART;
          rig.engine->ServerMessage(c, EncodeMessage(heart));
        }
        break;
      default:
        rig.io.restart();
        rig.io.poll();
        break;
    }
    rig.CheckBounds();
  }
  rig.engine->BeginDrain();
  FUZZ_CHECK(rig.engine->DetachedCount() == 0);
  for (const auto& [c, ip] : open) rig.engine->ServerDisconnect(std::to_string(c), ip);
  for (const char* ip : kAddresses) FUZZ_CHECK(GetIpNumber(IpAdmissionKey(ip)) == 0);
  return 0;
}

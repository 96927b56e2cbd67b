// The client message path: texts from a browser through ServerMessage (the
// UTF-8 conversion and the pace check CalcSpeed) into the session's inbound
// queue, and the run loop's ProcessUserPacket, which takes the first message
// as the login and rewrites later spell and hit bodies. Messages are either
// raw text or built from a fuzzed header (so that the interesting idents and
// lengths are reached) with a fuzzed body; the clock moves between them.
#include "../EngineRig.h"
#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"

namespace {

// Idents no client request carries.
const int32_t kOddIdents[] = {0, 1, 65535};

std::string BuildMessage(TFuzzInput& in) {
  const uint8_t kind = in.Byte();
  if (kind % 4 == 0) return std::string(in.Chunk(true));  // raw text
  TDefaultMessage m;
  if (kind % 4 == 1)
    m.Ident = in.Int<int32_t>();
  else
    m.Ident = in.Byte() % 4 == 0 ? in.Pick(kOddIdents) : in.Pick(kClientIdentNames).nValue;
  m.Recog = in.Int<int32_t>();
  m.Param = in.Int<int32_t>();
  m.Tag = in.Int<int32_t>();
  m.Series = in.Int<int32_t>();
  m.nIndex = in.Int<int32_t>();
  const std::string body(in.Chunk(true));
  // Usually the true length; sometimes one the client made up.
  m.nLength = in.Byte() % 8 == 0 ? in.Int<int32_t>() : static_cast<int32_t>(body.size());
  return EncodeMessage(m) + body;
}

}  // namespace

FUZZ_TARGET(client_message) {
  TEngineRig rig(2, /*inGame=*/false);
  TFuzzInput in(data, size);
  // Pacing settings as a game server would send them, taken from the input.
  if (TSessionInfo* s = rig.Session(1)) {
    TDefaultMessage speed;
    speed.Ident = GM_SPEED;
    speed.Recog = in.Int<int32_t>();
    speed.Param = in.Int<int32_t>();
    speed.Tag = in.Int<int32_t>();
    speed.Series = in.Int<int32_t>();
    rig.engine->ProcessMakeSocketStr(0, static_cast<int32_t>(s->nSocketHandle),
                                     reinterpret_cast<const char*>(&speed), sizeof speed);
  }
  const uint32_t uid = 1 + in.Byte() % 2;
  while (!in.Empty()) {
    const std::string text = BuildMessage(in);
    // Several messages may arrive within one tick.
    const uint8_t step = in.Byte();
    rig.engine->ServerMessage(uid, text);
    g_fuzzNow += step * 8;
    if (step & 1) rig.engine->Run();
    rig.CheckBounds();
  }
  rig.engine->Run();
  // Every frame queued for the game server is whole and well formed.
  const std::string_view queued = rig.engine->Link().Queued();
  size_t consumed = 0;
  CutGateFrames(
      queued.data(), queued.size(), consumed, [](const TGateFrame&) {},
      [](const TMsgHeader&) { FUZZ_CHECK(!"oversized frame queued"); });
  FUZZ_CHECK(consumed == queued.size());
  return 0;
}

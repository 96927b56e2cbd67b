// Per-user translation: ProcessMakeSocketStr for every ident the engine
// treats specially (and any other) with arbitrary headers and bodies, as
// header-only, header-and-body and text (negative length) payloads, with
// run ticks that hand the result to the client. Both the record converters
// and the session state they touch (kick, pacing, filters, cooldowns, guild)
// are reached.
#include "../EngineRig.h"
#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "protocol/Grobal2.h"

FUZZ_TARGET(make_socket_str) {
  TEngineRig rig(2);
  TFuzzInput in(data, size);
  if (TSessionInfo* s = rig.Session(1)) s->m_sUserID = "hero";
  while (!in.Empty()) {
    const uint8_t shape = in.Byte();
    TDefaultMessage m;
    if (shape & 0x80)
      m.Ident = in.Int<int32_t>();
    else
      m.Ident = (in.Bool() ? in.Pick(kServerIdentNames) : in.Pick(kGatewayIdentNames)).nValue;
    m.Recog = in.Int<int32_t>();
    m.Param = in.Int<int32_t>();
    m.Tag = in.Int<int32_t>();
    m.Series = in.Int<int32_t>();
    m.nSessionID = in.Int<int32_t>();
    m.nIsZlib = in.Byte() % 4 == 0 ? in.Int<int32_t>() : 0;
    std::string payload;
    int32_t nMsgLen = 0;
    switch (shape % 4) {
      case 0:  // the header alone
        payload.assign(reinterpret_cast<const char*>(&m), sizeof m);
        nMsgLen = static_cast<int32_t>(payload.size());
        break;
      case 1:  // header, body and the trailing byte
      case 2:
        payload.assign(reinterpret_cast<const char*>(&m), sizeof m);
        payload.append(in.Chunk(true));
        payload.push_back(static_cast<char>(in.Byte()));
        nMsgLen = static_cast<int32_t>(payload.size());
        break;
      default:  // a text line (negative length), or a short payload
        payload.assign(in.Chunk(true));
        nMsgLen = in.Bool() ? -static_cast<int32_t>(payload.size())
                            : static_cast<int32_t>(payload.size() % sizeof m);
        break;
    }
    const int32_t handle = in.Bool() ? 1 : static_cast<int32_t>(in.Range(-1, 3));
    rig.engine->ProcessMakeSocketStr(0, handle, payload.data(), nMsgLen);
    g_fuzzNow += in.Byte() * 16;
    rig.engine->Run();
    rig.CheckBounds();
  }
  return 0;
}

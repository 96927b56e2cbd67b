// The three broadcast handlers with arbitrary payloads: GM_SENDMSG to every
// player (header, header and body, or text), GM_SENDGUILDMSG to a guild
// ("guild|body"), GM_SENDREFMSG to a list of slots (encoded header, body and
// "/"-separated slot numbers, with the converted bodies of SM_HIT, SM_SPELL,
// SM_STRUCK and the map messages). Sessions are spread over guilds and
// filter groups so that every routing rule is taken.
#include "../EngineRig.h"
#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "protocol/EDcode.h"
#include "protocol/Grobal2.h"

FUZZ_TARGET(broadcast) {
  TEngineRig rig(4);
  TFuzzInput in(data, size);
  for (int h = 1; h <= 4; ++h)
    if (TSessionInfo* s = rig.Session(h)) {
      s->m_sGuildId = h % 2 ? "G1" : "G2";
      s->m_nDisFilterGroupID[static_cast<size_t>(h)] = true;
    }
  while (!in.Empty()) {
    const uint8_t which = in.Byte();
    TDefaultMessage m;
    m.Ident = which & 0x80 ? in.Int<int32_t>() : in.Pick(kServerIdentNames).nValue;
    m.Recog = in.Int<int32_t>();
    m.Series = static_cast<int32_t>(in.Range(-1, 12));
    m.nIsZlib = in.Byte() % 8 == 0;
    std::string payload;
    switch (which % 3) {
      case 0: {
        const uint8_t shape = in.Byte() % 3;
        if (shape == 0) {
          payload.assign(in.Chunk(true));
          rig.engine->ProcessAllStr(0, 0, payload.data(), -static_cast<int32_t>(payload.size()));
          break;
        }
        payload.assign(reinterpret_cast<const char*>(&m), sizeof m);
        if (shape == 2) {
          payload.append(in.Chunk(true));
          payload.push_back('\0');
        }
        rig.engine->ProcessAllStr(0, 0, payload.data(), static_cast<int32_t>(payload.size()));
        break;
      }
      case 1:
        payload.assign(reinterpret_cast<const char*>(&m), sizeof m);
        payload.append(in.Chunk(true));  // "guild|body" when the input says so
        payload.push_back('\0');
        rig.engine->ProcessGuildStr(payload.data(), static_cast<int32_t>(payload.size()));
        break;
      default:
        payload = in.Bool() ? EncodeMessage(m) : std::string(in.Bytes(in.Byte() % 64));
        payload.append(in.Chunk(true));  // body "/" slot list
        payload.push_back('\0');
        rig.engine->ProcessRefMsg(payload.data(), static_cast<int32_t>(payload.size()));
        break;
    }
    g_fuzzNow += 10;
    rig.engine->Run();
    rig.CheckBounds();
  }
  return 0;
}

// The hand-over state's decoder under any bytes. The first byte chooses how
// the rest is taken: as a whole state (the envelope's checks), or as a
// payload sealed here with a good checksum (the decoder behind it, which a
// fuzzer would not reach by guessing checksums), and whether [Resume] is on.
// A state that is refused leaves the engine empty; one that is taken must
// serve as any engine does (frames, ticks, a resume, the drain), and what it
// writes again must be taken by the next engine.
#include "../EngineRig.h"
#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "engine/HandoverState.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"

namespace {

std::string FirstMessage(std::string_view body) {
  TDefaultMessage m;
  m.nLength = static_cast<int32_t>(body.size());
  return EncodeMessage(m) + std::string(body);
}

}  // namespace

FUZZ_TARGET(handover_state) {
  TFuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  const std::string_view rest = in.Rest();
  const bool sealed = (mode & 1) != 0;
  const bool resumeOn = (mode & 2) != 0;
  std::string again;
  {
    TEngineRig rig;
    g_GateConfig.nResumeGraceSeconds = resumeOn ? 30 : 0;
    const std::string state = sealed ? SealHandover(rest) : std::string(rest);
    std::string why;
    if (!rig.engine->RestoreHandover(state, resumeOn, why)) {
      FUZZ_CHECK(!why.empty());
      FUZZ_CHECK(rig.engine->GetListCount() == 0);
      FUZZ_CHECK(rig.link->Queued().empty());
      return 0;
    }
    const THandoverSummary& summary = rig.engine->HandoverSummary();
    FUZZ_CHECK(summary.nDetached + summary.nClosed <= summary.nSessions);
    FUZZ_CHECK(rig.engine->DetachedCount() == summary.nDetached);
    if (!resumeOn) FUZZ_CHECK(summary.nDetached == 0);
    // Written again before anything moves: the same engine, the same state.
    std::string whyAgain;
    again = rig.engine->SaveHandover(summary.nStopAcceptNs, whyAgain);
    FUZZ_CHECK(!again.empty());
    // The restored sessions under traffic: a line for every handle the
    // table may hold, a tick past the grace, a resume that names nothing.
    for (int handle = 1; handle <= 8; ++handle) rig.Receive(TEngineRig::TextFrame(handle, 40));
    rig.engine->ServerConnect("70000", "10.9.9.9");
    rig.engine->ServerMessage(70000, FirstMessage("*@0123456789abcdef0123456789abcdef/0"));
    rig.io.restart();
    rig.io.poll();
    rig.engine->Run();
    g_fuzzNow += 31'000;
    rig.engine->Run();
    rig.CheckBounds();
    rig.engine->BeginDrain();
    FUZZ_CHECK(rig.engine->DetachedCount() == 0);
    rig.engine->ServerDisconnect("70000", "10.9.9.9");
  }
  TEngineRig next;
  g_GateConfig.nResumeGraceSeconds = resumeOn ? 30 : 0;
  std::string why;
  FUZZ_CHECK(next.engine->RestoreHandover(again, resumeOn, why));
  return 0;
}

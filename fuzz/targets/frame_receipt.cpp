// Frame receipt: an arbitrary byte stream from the game server, handed to the
// engine in arbitrary pieces, with run ticks in between. Whatever arrives,
// the engine must not crash and must keep its queues within their caps.
#include "../EngineRig.h"
#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "protocol/GateFrame.h"

FUZZ_TARGET(frame_receipt) {
  TEngineRig rig(3);
  TFuzzInput in(data, size);
  // The first byte picks how the stream is cut: into pieces whose sizes are
  // taken from the input, or byte by byte.
  const uint8_t mode = in.Byte();
  while (!in.Empty()) {
    size_t piece = mode & 1 ? 1 : static_cast<size_t>(in.Byte()) + 1;
    if (mode & 2) piece *= 64;
    const std::string_view bytes = in.Bytes(piece);
    rig.link->AppendReceived(bytes.data(), bytes.size());
    // A run tick now and then (each one visits the whole session table).
    if ((mode & 4) && in.Byte() % 8 == 0) {
      g_fuzzNow += 10;
      rig.engine->Run();
    }
    rig.CheckBounds();
  }
  // Ticks after the stream ends flush what was queued for clients.
  for (int i = 0; i < 2; ++i) {
    g_fuzzNow += 2000;
    rig.engine->Run();
  }
  rig.CheckBounds();
  return 0;
}

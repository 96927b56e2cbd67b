// The conformance kit of docs/conformance/, written by the gateway's own
// code: the published codec keys (codec.ini), for every translated example
// of the protocol document the game server's frame and the exact bytes the
// client receives under that codec (examples.jsonl), and the gate-frame
// examples both ways (frames.jsonl). The recorded session (session.jsonl)
// is written by the end-to-end test that replays it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "protocol/EDcode.h"

namespace conform {

// Lines of examples.jsonl beyond the document's translated examples: the
// forms without JSON (a header alone, text bodies).
inline constexpr size_t kBodyFormExamples = 3;

// The kit's codec, from a fixed seed so that the kit only changes with code.
TCodecTables KitCodecTables();
// The [Codec] section that sets those tables in a Tavrel.ini.
std::string CodecIni(const TCodecTables& Tables);

// File name -> contents. Installs the kit's codec tables.
std::map<std::string, std::string> MakeKit();

// tavrel-conform kit [--check] DIR
int RunKit(const std::vector<std::string>& Args);

}  // namespace conform

// GM_SENDMAGICINFO: the skill table text ("id=cd#delay#flag;...") from the
// game server, as text and as a frame payload, then the lookups that read
// the table. Whatever the text, the on/off list holds each id once and the
// lookups stay in range.
#include <set>

#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "shared/Share.h"
#include "traffic/SkillCD.h"

FUZZ_TARGET(magic_info) {
  TFuzzInput in(data, size);
  const bool asPayload = in.Bool();
  const std::string_view text = in.Rest();
  const auto process = [&] {
    if (asPayload)
      ProcessMagicInfoPayload(text.data(), text.size());
    else
      ProcessMagicInfo(text);
  };
  process();
  // Sent again, as a game server does at every login: the list stays put.
  // (The same text, byte for byte: a text cut at its zero byte can flag an
  // id that the whole text, its flag field running past the zero, did not.)
  const size_t listed = listOnOffMagic.size();
  process();
  FUZZ_CHECK(listOnOffMagic.size() == listed);
  FUZZ_CHECK(std::set<uint16_t>(listOnOffMagic.begin(), listOnOffMagic.end()).size() == listed);

  TSessionInfo session;
  session.Reset(1000);
  for (uint16_t id : {0, 1, 2, 12, 13, 255, 65535}) {
    (void)IsOnOffMagic(id);
    FUZZ_CHECK(GetSkillCD(session, id) >= 0);
  }
  ProcessMagicInfo("");
  return 0;
}

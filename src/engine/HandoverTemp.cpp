// H2-TEMP: stands in for the state's codec until its branch is merged.
#include "engine/GameSocket.h"

std::string TTavrelSocket::SaveHandover() {
  return "TAVREL-HANDOVER-STUB";
}

bool TTavrelSocket::RestoreHandover(std::string_view state, bool, std::string& why) {
  if (state == "TAVREL-HANDOVER-STUB") return true;
  why = "the stub state does not match";
  return false;
}

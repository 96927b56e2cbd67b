// The test game server's view of the gateway's sessions: opened by GM_OPEN,
// logged in by the first GM_H5DATA, closed by GM_CLOSE or when their link
// drops. Assigns user indices. Plain data, used on the loop thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testkit {

struct Session {
  int Link = 0;
  int32_t Slot = 0;    // the gateway's slot index (frame nSocket)
  int32_t Handle = 0;  // the gateway's socket handle (frame wGSocketIdx)
  std::string Addr;
  uint16_t UserIndex = 0;
  bool LoggedIn = false;
  std::string Account, CharName, UserId;
  uint32_t LoadSeq = 0;  // last per-user load message sent
};

// The first message of a session: "#" packet index, the login text
// ("*#" account "/" character "/" user id "/" ...), "!".
struct LoginText {
  int PacketIndex = 0;
  std::string Text;  // between the index and "!"
  std::string Account, CharName, UserId;
};
// False when the payload is not of that form.
bool ParseLoginText(std::string_view Payload, LoginText& Out);

class SessionTable {
 public:
  Session& Open(int Link, int32_t Slot, int32_t Handle, std::string Addr);
  // Finds the session, creating a bare one for a handle never announced
  // (the gateway does not re-announce sessions after a reconnect).
  Session& Touch(int Link, int32_t Slot, int32_t Handle);
  bool Close(int Link, int32_t Handle);
  Session* Find(int Link, int32_t Handle);
  // Link 0 means any link (the first match).
  Session* FindHandle(int Link, int32_t Handle);
  void DropLink(int Link);
  // 1..65535, never one in use, cycling.
  uint16_t AssignUserIndex(Session& S);
  std::vector<Session*> All();
  size_t LoggedInCount() const;
  size_t Size() const { return sessions_.size(); }

 private:
  std::map<std::pair<int, int32_t>, Session> sessions_;
  uint16_t lastIndex_ = 0;
};

}  // namespace testkit

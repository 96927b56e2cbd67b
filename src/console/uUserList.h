// TUserListFrm, the online-users dialog: a snapshot of the session table
// taken under the engine lock, one row per connected client, and the
// "断开连接" that marks chosen sessions for the run loop to close. The console
// page draws the list and keeps the selection; this keeps the rules. Texts
// are UTF-8. Main thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TTavrelSocket;

struct TUserRow {
  int32_t nIndex = 0;  // "序号": position in the session table
  std::string sUid;    // the connection the row was taken from
  std::string sIP;
  std::string sAccount;
  std::string sUserName;
  std::string sUserID;
  std::string sConnectTime;  // local "yyyy-mm-dd hh:nn:ss"
  uint64_t nBytesFromClient = 0;
  uint64_t nBytesToClient = 0;
  // [Resume]: a session whose connection was lost, with the seconds it is
  // still kept for; -1 for a connected one.
  int64_t nGraceLeftSeconds = -1;
};

// What a chosen row names: the slot and the connection seen in it.
struct TUserRowRef {
  int32_t nIndex = 0;
  std::string sUid;
};

class TUserListFrm {
 public:
  explicit TUserListFrm(TTavrelSocket& engine) : engine_(engine) {}

  // Rebuilds the rows from the session table ("刷新").
  void ShowUserList();
  const std::vector<TUserRow>& Rows() const { return rows_; }
  std::string StatusText() const;  // "在线人数:%d"

  // "断开连接": marks boKick and dwKickTime of each chosen session, from the
  // last row to the first, when its record still carries the connection the
  // row showed (a slot freed or reused since is left alone). Each mark
  // writes a main-log line naming the user and `sOperator`, the address the
  // operator asked from. Returns the number marked.
  int N3Click(std::span<const TUserRowRef> selected, std::string_view sOperator = {});

 private:
  TTavrelSocket& engine_;
  std::vector<TUserRow> rows_;
};

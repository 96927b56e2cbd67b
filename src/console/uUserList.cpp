#include "console/uUserList.h"

#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "platform/CodePage.h"
#include "shared/Tick.h"

void TUserListFrm::ShowUserList() {
  rows_.clear();
  int32_t i = 0;
  engine_.ForEachSession([&](const TSessionInfo& session) {
    if (!session.sUid.empty()) {
      rows_.push_back(TUserRow{i, session.sUid, GbkToUtf8(session.sIP),
                               GbkToUtf8(session.m_sAccount), GbkToUtf8(session.m_sUserName),
                               GbkToUtf8(session.m_sUserID)});
    }
    ++i;
  });
}

std::string TUserListFrm::StatusText() const {
  return Format("在线人数:%d", static_cast<int32_t>(rows_.size()));
}

int TUserListFrm::N3Click(std::span<const TUserRowRef> selected) {
  int marked = 0;
  for (auto row = selected.rbegin(); row != selected.rend(); ++row) {
    TSessionInfo* session = engine_.GetUserIndex(row->nIndex);
    if (!session || session->sUid.empty() || session->sUid != row->sUid) continue;
    session->boKick = true;
    session->dwKickTime = GetTickCount64();
    ++marked;
  }
  return marked;
}

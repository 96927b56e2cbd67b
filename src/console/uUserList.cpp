#include "console/uUserList.h"

#include <ctime>

#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "platform/CodePage.h"
#include "shared/Share.h"
#include "shared/Tick.h"

namespace {

std::string LocalTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

void TUserListFrm::ShowUserList() {
  rows_.clear();
  int32_t i = 0;
  engine_.ForEachSession([&](const TSessionInfo& session) {
    if (session.Live()) {
      rows_.push_back(TUserRow{i, session.sUid, GbkToUtf8(session.sIP),
                               GbkToUtf8(session.m_sAccount), GbkToUtf8(session.m_sUserName),
                               GbkToUtf8(session.m_sUserID), LocalTime(session.work.nConnectTime),
                               session.work.nBytesFromClient, session.work.nBytesToClient});
      if (session.Detached())
        rows_.back().nGraceLeftSeconds =
            static_cast<int64_t>((engine_.GraceLeftMs(session) + 999) / 1000);
    }
    ++i;
  });
}

std::string TUserListFrm::StatusText() const {
  return Format("在线人数:%d", static_cast<int32_t>(rows_.size()));
}

int TUserListFrm::N3Click(std::span<const TUserRowRef> selected, std::string_view sOperator) {
  int marked = 0;
  for (auto row = selected.rbegin(); row != selected.rend(); ++row) {
    TSessionInfo* session = engine_.GetUserIndex(row->nIndex);
    if (!session || !session->Live() || session->sUid != row->sUid) continue;
    session->boKick = true;
    session->dwKickTime = GetTickCount64();
    engine_.Reschedule(*session);
    ++marked;
    MainOutMessage(
        Format("Console disconnect: %s/%s/%s %s (connection %s) by the operator at %s",
               GbkToUtf8(session->m_sAccount), GbkToUtf8(session->m_sUserName),
               GbkToUtf8(session->m_sUserID), GbkToUtf8(session->sIP), session->sUid,
               sOperator.empty() ? std::string("an unknown address") : std::string(sOperator)));
  }
  return marked;
}

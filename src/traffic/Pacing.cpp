#include "traffic/Pacing.h"

#include <algorithm>
#include <limits>
#include <string>

#include "log/uThread_Logger.h"
#include "platform/CodePage.h"
#include "platform/Printable.h"
#include "protocol/EDcode.h"
#include "protocol/Grobal2.h"
#include "shared/Tick.h"
#include "traffic/ClientMagic.h"
#include "traffic/SkillCD.h"

namespace {

constexpr int64_t kIntervalFloor = 100;  // ms; shorter intervals act as this

int64_t Floored(int64_t interval) {
  return std::max(interval, kIntervalFloor);
}

// Times are compared with now by value: equal to now has passed.
bool InFuture(uint64_t tick, uint64_t now) {
  return tick > now;
}

uint64_t After(uint64_t now, int64_t ms) {
  if (ms < 0) return now > static_cast<uint64_t>(-ms) ? now + ms : 0;
  return now + static_cast<uint64_t>(ms);
}

const std::string& FailBody() {
  static const std::string body = EncodeString("+FAIL/");
  return body;
}

void SendActionRefused(TSessionInfo& session, TTrafficSink& link, int32_t nRecog) {
  SendDefMessage(session, link, kActionRefusedIdent, nRecog, 0, 0, 0, FailBody());
}

void SendSpellRefused(TSessionInfo& session, TTrafficSink& link, int32_t nRecog) {
  SendDefMessage(session, link, SM_CONFIRM, nRecog, 0, 0, 0, EncodeString(session.m_sUserID));
}

// The client rolls the step back using the request's own Series and Tag.
void SendStepRefused(TSessionInfo& session, TTrafficSink& link, const TDefaultMessage& req) {
  uint32_t series = static_cast<uint32_t>(req.Series);
  SendDefMessage(
      session, link, SM_MOVEFAIL, req.Ident == CM_WALK ? kWalkRefusedRecog : kRunRefusedRecog,
      static_cast<int32_t>(series & 0xFFFF), static_cast<int32_t>(series >> 16), req.Tag, {});
}

// Tells the game server to put the player back where it thinks he stands.
void SendBackXY(TSessionInfo& session, TTrafficSink& link) {
  TDefaultMessage msg;
  msg.Ident = CM_H5BACKXY;
  link.SendServerMsg(GM_H5DATA, static_cast<int32_t>(session.nSocketHandle), session.nSocketIndx,
                     session.nUserListIndex, sizeof(msg), &msg);
}

// The next-action slot is taken for interval ms unless it is still taken.
bool TakeNextInterval(TSessionInfo& session, uint64_t now, int64_t interval) {
  if (InFuture(session.m_nNextIntervalTick, now)) return false;
  session.m_nNextIntervalTick = After(now, interval);
  return true;
}

// The next-action slot, then the kind's own (hits or spells): the first one
// still taken refuses with -1 or -2; otherwise both are taken.
template <typename TRefuse>
bool TakeActionSlots(TSessionInfo& session, uint64_t& kindTick, int64_t kindCd,
                     int64_t actionInterval, uint64_t now, TRefuse refuse) {
  if (InFuture(session.m_nNextIntervalTick, now)) {
    refuse(-1);
    return false;
  }
  if (InFuture(kindTick, now)) {
    refuse(-2);
    return false;
  }
  kindTick = After(now, kindCd);
  session.m_nNextIntervalTick = After(now, actionInterval);
  return true;
}

bool CheckHit(TSessionInfo& session, TTrafficSink& link, uint64_t now) {
  return TakeActionSlots(session, session.m_nHitNextIntervalTick, Floored(g_nAttackglobalCD),
                         Floored(session.m_dwHitIntervalTime), now,
                         [&](int32_t code) { SendActionRefused(session, link, code); });
}

// A previous spell's delay (m_nMagNextDelayTime) refuses nothing: it is only
// recorded for the game server's view of the player.
bool CheckSpell(TSessionInfo& session, TTrafficSink& link, std::string_view sBody,
                TDefaultMessage& req, uint64_t now) {
  ConvertClientMagic(session, sBody, req);
  uint16_t nMagicID = static_cast<uint16_t>(static_cast<uint32_t>(req.Recog) & 0xFFFF);
  if (IsOnOffMagic(nMagicID)) return true;

  if (!TakeActionSlots(session, session.m_nMagNextIntervalTick, Floored(g_nMagicglobalCD),
                       Floored(session.m_dwMagicHitIntervalTime), now,
                       [&](int32_t code) { SendSpellRefused(session, link, code); }))
    return false;
  if (nMagicID == 0) return true;

  session.m_nMagNextDelayTime = After(now, g_nsMagicDelayTime[nMagicID]);
  session.m_nLastMagicID = nMagicID;
  // A cast refused for its cooldown still spent the global spell times above.
  if (InFuture(session.m_nsMagicCD[nMagicID], now)) {
    SendSpellRefused(session, link, -4);
    return false;
  }
  session.m_nsMagicCD[nMagicID] = After(now, GetSkillCD(session, nMagicID));
  return true;
}

enum class EStep { Accepted, Refused, Punished };

EStep CheckStep(TSessionInfo& session, TTrafficSink& link, const TDefaultMessage& req,
                uint64_t now) {
  bool bWalk = req.Ident == CM_WALK;
  int64_t interval = Floored(bWalk ? session.m_dwWalkIntervalTime : session.m_dwRunIntervalTime);
  // How many ms early the step came; clamped so that a long-passed tick never
  // wraps into an early step.
  int64_t delay64 = static_cast<int64_t>(session.m_nNextIntervalTick - now);
  int32_t delay = static_cast<int32_t>(std::clamp<int64_t>(
      delay64, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));

  if (g_nPunishThreshold == 0) {
    if (delay > 0) {
      SendStepRefused(session, link, req);
      return EStep::Refused;
    }
    session.m_nNextIntervalTick = After(now, interval);
    return EStep::Accepted;
  }

  TDelayStats stats = PushDelayPack(session, delay);
  int64_t spacing = interval - delay;
  if (g_bClientSpeedDebugMode) {
    SendSysMsg(session, link,
               Format(bWalk ? "[移动速度检测] 走间隔: %d/%d" : "[移动速度检测] 跑间隔: %d/%d",
                      spacing, interval));
  } else if (session.m_DelayDebugOut) {
    OutDebugLog(Format(bWalk ? "[DelayDebug] CM_WALK %d/%d 超速检测 %s %s"
                             : "[DelayDebug] CM_RUN %d/%d 超速检测 %s %s",
                       spacing, interval, LogText(GbkToUtf8(session.m_sUserName)),
                       LogText(GbkToUtf8(session.m_sUserID))));
  }

  EStep result = EStep::Accepted;
  if (IsPunishDue(stats, g_nPunishThreshold)) {
    SendSysMsg(session, link,
               Format("[移动超速警告] 超出阈值(%d): p5=%d/p3=%d/p9=%d, 罚站 %d 秒禁止一切动作",
                      g_nPunishThreshold, stats.nOverDelay, stats.nOverDelay2, stats.nTotalDelay,
                      g_nPunishDelayCD));
    session.m_nSpeedSectionTick = After(now, static_cast<int64_t>(g_nPunishDelayCD) * 1000);
    session.m_DelayDebugOut = true;
    ClearDelayPack(session);
    result = EStep::Punished;
  }
  session.m_nNextIntervalTick = After(now, interval);
  return result;
}

void CountPace(std::array<uint64_t, kPaceKindCount>& counts, int32_t nIdent) {
  ++counts[static_cast<size_t>(PaceKindOf(nIdent))];
}

}  // namespace

TPacingStats g_PacingStats;

EPaceKind PaceKindOf(int32_t nIdent) {
  switch (nIdent) {
    case CM_WALK:
      return EPaceKind::Walk;
    case CM_RUN:
      return EPaceKind::Run;
    case CM_TURN:
      return EPaceKind::Turn;
    case CM_BUTCH:
      return EPaceKind::Butch;
    case CM_HIT:
      return EPaceKind::Hit;
    case CM_SPELL:
      return EPaceKind::Spell;
    default:
      return EPaceKind::Other;
  }
}

const char* PaceKindName(EPaceKind kind) {
  static constexpr const char* kNames[kPaceKindCount] = {"walk", "run",   "turn", "butch",
                                                         "hit",  "spell", "other"};
  return kNames[static_cast<size_t>(kind)];
}

TDefaultMessage DecodeHeaderOnce(TSessionInfo& session, std::string_view sHeader) {
  if (sHeader.size() != DEFBLOCKSIZE) return DecodeMessage(sHeader);
  if (sHeader != std::string_view(session.work.m_HeaderText.data(), DEFBLOCKSIZE)) {
    session.work.m_Header = DecodeMessage(sHeader);
    std::copy(sHeader.begin(), sHeader.end(), session.work.m_HeaderText.begin());
  }
  return session.work.m_Header;
}

void CalcSpeed(TSessionInfo& session, std::string_view LMessage, TTrafficSink& link) {
  if (LMessage.empty()) return;
  uint64_t now = GetTickCount64();
  std::string_view sHeader = LMessage.substr(0, DEFBLOCKSIZE);
  std::string_view sBody =
      LMessage.size() > DEFBLOCKSIZE ? LMessage.substr(DEFBLOCKSIZE) : std::string_view();
  TDefaultMessage req = DecodeHeaderOnce(session, sHeader);

  if (req.Ident != CM_HEART && now < session.m_nSpeedSectionTick) {
    CountPace(g_PacingStats.nRefused, req.Ident);
    return;
  }

  bool bPunished = false;
  switch (req.Ident) {
    case CM_BUTCH:
    case CM_TURN:
      if (!TakeNextInterval(session, now,
                            req.Ident == CM_BUTCH ? g_dwButchIntervalTime : g_dwTurnIntervalTime)) {
        SendActionRefused(session, link, 1);
        CountPace(g_PacingStats.nRefused, req.Ident);
        return;
      }
      break;
    case CM_HIT:
      if (!CheckHit(session, link, now)) {
        CountPace(g_PacingStats.nRefused, req.Ident);
        return;
      }
      break;
    case CM_SPELL:
      if (!CheckSpell(session, link, sBody, req, now)) {
        CountPace(g_PacingStats.nRefused, req.Ident);
        return;
      }
      break;
    case CM_WALK:
    case CM_RUN:
      switch (CheckStep(session, link, req, now)) {
        case EStep::Refused:
          CountPace(g_PacingStats.nRefused, req.Ident);
          return;
        case EStep::Punished:
          bPunished = true;
          break;
        case EStep::Accepted:
          break;
      }
      break;
    default:
      break;
  }

  if (bPunished) {
    ++g_PacingStats.nPunishments;
    CountPace(g_PacingStats.nRefused, req.Ident);
    SendBackXY(session, link);
    SendActionRefused(session, link, g_nPunishDelayCD);
    SendStepRefused(session, link, req);
    return;
  }
  CountPace(g_PacingStats.nAccepted, req.Ident);
  if (session.RecvBuffer)
    session.RecvBuffer->Write(LMessage.data(), static_cast<int64_t>(LMessage.size()));
}

// The pace check every client message passes between the WebSocket front end
// and the session's inbound queue: refuses walks, runs, turns, butchering,
// hits and spells that come faster than the game allows, punishes persistent
// speeding, answers refusals so the client can roll back, and queues every
// accepted message unchanged. Main thread only; the engine looks the session
// up and lends it for the call.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "shared/SessionInfo.h"
#include "traffic/TrafficSink.h"

// Replies the pace check sends.
inline constexpr int32_t kActionRefusedIdent = 1;  // body: encoded "+FAIL/"
inline constexpr int32_t kWalkRefusedRecog = 20;   // SM_MOVEFAIL
inline constexpr int32_t kRunRefusedRecog = 21;

// Checks one client message (session text: a 48-character encoded header and
// its body) and appends it unchanged to session.RecvBuffer when it passes.
// A spell body that is not a JSON object throws (from ProcessClientMsg_Magic)
// before anything is queued or answered; the caller logs it.
void CalcSpeed(TSessionInfo& session, std::string_view LMessage, TTrafficSink& link);

// The record of a header (DEFBLOCKSIZE characters), decoded once: the pace
// check decodes a message's header and keeps it in the session; forwarding
// the same text takes the kept record.
TDefaultMessage DecodeHeaderOnce(TSessionInfo& session, std::string_view sHeader);

// ---- Counters for the console's metrics (main thread) ---------------------

// The kinds of client message the pace check tells apart.
enum class EPaceKind : uint8_t { Walk, Run, Turn, Butch, Hit, Spell, Other };
inline constexpr size_t kPaceKindCount = 7;
const char* PaceKindName(EPaceKind kind);  // "walk", "run", ... "other"
EPaceKind PaceKindOf(int32_t nIdent);      // the pace check's kind of a client request

struct TPacingStats {
  std::array<uint64_t, kPaceKindCount> nAccepted{};  // queued for the game server
  std::array<uint64_t, kPaceKindCount> nRefused{};   // answered or dropped instead
  uint64_t nPunishments = 0;                         // speeding punished by a stand-still
};
extern TPacingStats g_PacingStats;

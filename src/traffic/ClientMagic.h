// The client side of traffic control that speaks to clients or reads their
// JSON: the conversion of a spell or hit body into the packed fields the game
// server expects, and the messages the gateway itself composes for a client
// (replies and notices), appended straight to the session's outbound stream.
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Grobal2.h"
#include "shared/SessionInfo.h"
#include "traffic/TrafficSink.h"

// Converts a CM_SPELL / CM_HIT body (session text, a JSON object with the
// optional members skillID, dir, srcX, srcY, destX, destY, targetID, time)
// into DefMsg: Recog = skillID | dir << 16, Param = srcX | srcY << 16,
// Tag = destX | destY << 16 (each cut to its low 16 bits), Series = the low
// 32 bits of the tick, nLength = UTF-16 length of targetID. Returns targetID
// as session text.
// An empty or blank body leaves DefMsg alone and is returned unchanged. A body
// that is not a JSON object (invalid JSON, an array, a scalar) throws; the
// caller drops the message and logs.
std::string ProcessClientMsg_Magic(std::string_view sData, TDefaultMessage& DefMsg);

// The same, remembered per session: the pace check converts a spell's body
// and forwarding it converts that body again, which then takes the first
// result (with the tick of now as Series).
std::string ConvertClientMagic(TSessionInfo& session, std::string_view sData,
                               TDefaultMessage& DefMsg);

// Appends the bytes, one whole client message, for the session's client.
void PostSend(TSessionInfo& UserData, TTrafficSink& sink, const void* pBuf, size_t unLen);

// Appends one client message: the encoded record (nSessionID, nIsZlib and
// nIndex 0, nLength = size of sMsg) followed by sMsg, already encoded.
void SendDefMessage(TSessionInfo& UserData, TTrafficSink& sink, uint16_t wIdent, int32_t nRecog,
                    int32_t nParam, int32_t nTag, int32_t nSeries, std::string_view sMsg);

// Sends the UTF-8 notice text as SM_SYSMESSAGE with the body
// {"Msg":<text, JSON-escaped>,"FColor":255,"BColor":22}.
void SendSysMsg(TSessionInfo& UserData, TTrafficSink& sink, std::string_view szMsg);

// Records and message idents shared by the gateway, its browser clients and
// the game server. Wire records are packed little-endian; the static_asserts
// pin every size and offset the peers rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#pragma pack(push, 1)

// The game message record: raw on the game-server link, 48 characters of
// 6-bit text towards clients.
struct TDefaultMessage {
  int32_t Recog = 0;
  int32_t Ident = 0;
  int32_t Param = 0;
  int32_t Tag = 0;
  int32_t Series = 0;
  int32_t nSessionID = 0;
  int32_t nIsZlib = 0;
  int32_t nLength = 0;
  int32_t nIndex = 0;
};

// Header of every gate frame on the game-server link.
struct TMsgHeader {
  uint32_t dwCode = 0;
  int32_t nSocket = 0;
  int32_t wGSocketIdx = 0;  // 4 bytes on the wire despite the name
  uint16_t wIdent = 0;
  uint16_t wUserListIndex = 0;
  int32_t nLength = 0;
};

#pragma pack(pop)

static_assert(sizeof(TDefaultMessage) == 36);
static_assert(offsetof(TDefaultMessage, Ident) == 4);
static_assert(offsetof(TDefaultMessage, Series) == 16);
static_assert(offsetof(TDefaultMessage, nSessionID) == 20);
static_assert(offsetof(TDefaultMessage, nIsZlib) == 24);
static_assert(offsetof(TDefaultMessage, nLength) == 28);
static_assert(offsetof(TDefaultMessage, nIndex) == 32);
static_assert(sizeof(TMsgHeader) == 20);
static_assert(offsetof(TMsgHeader, nSocket) == 4);
static_assert(offsetof(TMsgHeader, wGSocketIdx) == 8);
static_assert(offsetof(TMsgHeader, wIdent) == 12);
static_assert(offsetof(TMsgHeader, wUserListIndex) == 14);
static_assert(offsetof(TMsgHeader, nLength) == 16);

// The records are copied to and from the wire with memcpy; that is only
// byte-exact on a little-endian host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian host required");

constexpr uint32_t TAVRELCODE = 0xAA55AA55;
constexpr int DEFBLOCKSIZE = 48;  // characters of an encoded TDefaultMessage

// Codec modes: the substituting codec is the one in force.
constexpr int OLDMODE = 0;
constexpr int NEWMODE = 1;
constexpr int ENDECODEMODE = NEWMODE;

// The message idents, one list per family. Everything that names an ident
// comes from these lists: the constants below, the name tables, the browser
// client's generated idents.js and the test tools' lookups by name.

// Gate frame idents (TMsgHeader.wIdent).
#define TAVREL_GATE_IDENTS(X) \
  X(GM_OPEN, 1)               \
  X(GM_CLOSE, 2)              \
  X(GM_CHECKSERVER, 3)        \
  X(GM_CHECKCLIENT, 4)        \
  X(GM_DATA, 5)               \
  X(GM_SERVERUSERINDEX, 6)    \
  X(GM_RECEIVE_OK, 7)         \
  X(GM_DATA_KUAFU, 8)         \
  X(GM_DATA_SYS_KUAFU, 9)     \
  X(GM_DATA_KUAFUIDX, 10)     \
  X(GM_DATA_GUILDCLOSE, 13)   \
  X(GM_DATA_GROBAL, 14)       \
  X(GM_TEST, 20)              \
  X(GM_SENDMSG, 22)           \
  X(GM_SENDREFMSG, 23)        \
  X(GM_SENDMAGICINFO, 24)     \
  X(GM_SENDGUILDMSG, 26)      \
  X(GM_H5DATA, 55)            \
  X(GM_KEEPALIVE, 1000)       \
  X(GM_USER_OPEN, 1001)       \
  X(GM_USER_CLOSE, 1002)      \
  X(GM_USER_DATA, 1003)       \
  X(GM_USER_H5OPEN, 1011)

// Gateway-specific message idents carried in TDefaultMessage.Ident.
#define TAVREL_GATEWAY_IDENTS(X) \
  X(GM_SPEED, 50000)             \
  X(GM_FILTERMSG, 51002)

// Client requests.
#define TAVREL_CLIENT_IDENTS(X) \
  X(CM_BUTCH, 1007)             \
  X(CM_LOGINNOTICEOK, 1018)     \
  X(CM_TURN, 3010)              \
  X(CM_WALK, 3011)              \
  X(CM_RUN, 3013)               \
  X(CM_HIT, 3014)               \
  X(CM_SPELL, 3017)             \
  X(CM_H5BACKXY, 9633)          \
  X(CM_HEART, 60000)

// Server messages to clients.
#define TAVREL_SERVER_IDENTS(X) \
  X(SM_CLIENTCONFIG, 3)         \
  X(SM_RUSH, 6)                 \
  X(SM_BACKSTEP, 9)             \
  X(SM_TURN, 10)                \
  X(SM_HIT, 14)                 \
  X(SM_SPELL, 17)               \
  X(SM_MOVEFAIL, 28)            \
  X(SM_STRUCK, 31)              \
  X(SM_MAGICCON, 36)            \
  X(SM_HEAR, 40)                \
  X(SM_USERNAME, 42)            \
  X(SM_LOGON, 50)               \
  X(SM_ABILITY, 52)             \
  X(SM_KICK, 57)                \
  X(SM_SYSMESSAGE, 100)         \
  X(SM_ADDITEM, 200)            \
  X(SM_BAGITEMS, 201)           \
  X(SM_DELITEM, 202)            \
  X(SM_UPDATEITEM, 203)         \
  X(SM_BAGITEMS1, 301)          \
  X(SM_ICONSUPDATE, 311)        \
  X(SM_ITEMSHOW, 610)           \
  X(SM_ITEMHIDE, 611)           \
  X(SM_SENDUSEITEMS, 621)       \
  X(SM_CHANGEMAP, 634)          \
  X(SM_MAGICFIRE, 638)          \
  X(SM_MERCHANTSAY, 643)        \
  X(SM_SHOWEVENT, 804)          \
  X(SM_HIDEEVENT, 805)          \
  X(SM_ADJUST_BONUS, 811)       \
  X(SM_GUILD_MEMBER_INFO, 829)  \
  X(SM_NEWMAIL, 873)            \
  X(SM_DAMAGE, 881)             \
  X(SM_SENDHEROUSEITEMS, 3078)  \
  X(SM_HEROBAGITEMS, 3082)      \
  X(SM_HEROABILITY, 3086)       \
  X(SM_BUFF, 5020)              \
  X(SM_CHANGESKILLCD, 5021)     \
  X(SM_NEWITEMDROPMSG, 5037)    \
  X(SM_PLAYSOUND, 6097)         \
  X(SM_SCENESHAKE, 6901)        \
  X(SM_CONFIRM, 9999)

#define TAVREL_FRAME_IDENT(name, value) constexpr uint16_t name = value;
#define TAVREL_MESSAGE_IDENT(name, value) constexpr int32_t name = value;
TAVREL_GATE_IDENTS(TAVREL_FRAME_IDENT)
TAVREL_GATEWAY_IDENTS(TAVREL_MESSAGE_IDENT)
TAVREL_CLIENT_IDENTS(TAVREL_MESSAGE_IDENT)
TAVREL_SERVER_IDENTS(TAVREL_MESSAGE_IDENT)
#undef TAVREL_FRAME_IDENT
#undef TAVREL_MESSAGE_IDENT

struct TIdentName {
  const char* sName;
  int32_t nValue;
};

// The same lists as name tables, in ascending order of value.
#define TAVREL_IDENT_NAME(name, value) {#name, name},
inline constexpr TIdentName kGateIdentNames[] = {TAVREL_GATE_IDENTS(TAVREL_IDENT_NAME)};
inline constexpr TIdentName kGatewayIdentNames[] = {TAVREL_GATEWAY_IDENTS(TAVREL_IDENT_NAME)};
inline constexpr TIdentName kClientIdentNames[] = {TAVREL_CLIENT_IDENTS(TAVREL_IDENT_NAME)};
inline constexpr TIdentName kServerIdentNames[] = {TAVREL_SERVER_IDENTS(TAVREL_IDENT_NAME)};
#undef TAVREL_IDENT_NAME

// Values within a family are distinct (families may share values).
constexpr bool IdentsAscend(std::span<const TIdentName> table) {
  for (size_t i = 1; i < table.size(); ++i)
    if (table[i - 1].nValue >= table[i].nValue) return false;
  return true;
}
static_assert(IdentsAscend(kGateIdentNames) && IdentsAscend(kGatewayIdentNames) &&
                  IdentsAscend(kClientIdentNames) && IdentsAscend(kServerIdentNames),
              "keep each ident list in ascending order of value, without repeats");

// The name of nValue within one family, or nullptr.
constexpr const char* FindIdentName(std::span<const TIdentName> table, int32_t nValue) {
  for (const TIdentName& ident : table)
    if (ident.nValue == nValue) return ident.sName;
  return nullptr;
}

// The value of a name of any family, or -1.
constexpr int64_t FindIdentValue(std::string_view sName) {
  for (std::span<const TIdentName> table : {std::span<const TIdentName>(kGateIdentNames),
                                            std::span<const TIdentName>(kGatewayIdentNames),
                                            std::span<const TIdentName>(kClientIdentNames),
                                            std::span<const TIdentName>(kServerIdentNames)})
    for (const TIdentName& ident : table)
      if (sName == ident.sName) return ident.nValue;
  return -1;
}

// Control-program codes.
constexpr uint16_t SG_TAVREL = 1003;
constexpr uint16_t SG_FORMHANDLE = 32001;
constexpr uint16_t SG_STARTNOW = 32002;
constexpr uint16_t SG_STARTOK = 32003;
constexpr uint16_t GS_QUIT = 32101;

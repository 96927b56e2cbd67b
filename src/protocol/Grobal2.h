// Records and message idents shared by the gateway, its browser clients and
// the game server. Wire records are packed little-endian; the static_asserts
// pin every size and offset the peers rely on.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Gate frame idents.
constexpr uint16_t GM_OPEN = 1;
constexpr uint16_t GM_CLOSE = 2;
constexpr uint16_t GM_CHECKSERVER = 3;
constexpr uint16_t GM_CHECKCLIENT = 4;
constexpr uint16_t GM_DATA = 5;
constexpr uint16_t GM_SERVERUSERINDEX = 6;
constexpr uint16_t GM_RECEIVE_OK = 7;
constexpr uint16_t GM_DATA_KUAFU = 8;
constexpr uint16_t GM_DATA_SYS_KUAFU = 9;
constexpr uint16_t GM_DATA_KUAFUIDX = 10;
constexpr uint16_t GM_DATA_GUILDCLOSE = 13;
constexpr uint16_t GM_DATA_GROBAL = 14;
constexpr uint16_t GM_TEST = 20;
constexpr uint16_t GM_SENDMSG = 22;
constexpr uint16_t GM_SENDREFMSG = 23;
constexpr uint16_t GM_SENDMAGICINFO = 24;
constexpr uint16_t GM_SENDGUILDMSG = 26;
constexpr uint16_t GM_H5DATA = 55;
constexpr uint16_t GM_KEEPALIVE = 1000;
constexpr uint16_t GM_USER_OPEN = 1001;
constexpr uint16_t GM_USER_CLOSE = 1002;
constexpr uint16_t GM_USER_DATA = 1003;
constexpr uint16_t GM_USER_H5OPEN = 1011;

// Gateway-specific message idents carried in TDefaultMessage.Ident.
constexpr int32_t GM_SPEED = 50000;
constexpr int32_t GM_FILTERMSG = 51002;

// Client requests.
constexpr int32_t CM_BUTCH = 1007;
constexpr int32_t CM_LOGINNOTICEOK = 1018;
constexpr int32_t CM_TURN = 3010;
constexpr int32_t CM_WALK = 3011;
constexpr int32_t CM_RUN = 3013;
constexpr int32_t CM_HIT = 3014;
constexpr int32_t CM_SPELL = 3017;
constexpr int32_t CM_H5BACKXY = 9633;
constexpr int32_t CM_HEART = 60000;

// Server messages to clients.
constexpr int32_t SM_CLIENTCONFIG = 3;
constexpr int32_t SM_RUSH = 6;
constexpr int32_t SM_BACKSTEP = 9;
constexpr int32_t SM_TURN = 10;
constexpr int32_t SM_HIT = 14;
constexpr int32_t SM_SPELL = 17;
constexpr int32_t SM_MOVEFAIL = 28;
constexpr int32_t SM_STRUCK = 31;
constexpr int32_t SM_MAGICCON = 36;
constexpr int32_t SM_HEAR = 40;
constexpr int32_t SM_USERNAME = 42;
constexpr int32_t SM_LOGON = 50;
constexpr int32_t SM_ABILITY = 52;
constexpr int32_t SM_KICK = 57;
constexpr int32_t SM_SYSMESSAGE = 100;
constexpr int32_t SM_ADDITEM = 200;
constexpr int32_t SM_BAGITEMS = 201;
constexpr int32_t SM_DELITEM = 202;
constexpr int32_t SM_UPDATEITEM = 203;
constexpr int32_t SM_BAGITEMS1 = 301;
constexpr int32_t SM_ICONSUPDATE = 311;
constexpr int32_t SM_ITEMSHOW = 610;
constexpr int32_t SM_ITEMHIDE = 611;
constexpr int32_t SM_SENDUSEITEMS = 621;
constexpr int32_t SM_CHANGEMAP = 634;
constexpr int32_t SM_MAGICFIRE = 638;
constexpr int32_t SM_MERCHANTSAY = 643;
constexpr int32_t SM_SHOWEVENT = 804;
constexpr int32_t SM_HIDEEVENT = 805;
constexpr int32_t SM_ADJUST_BONUS = 811;
constexpr int32_t SM_GUILD_MEMBER_INFO = 829;
constexpr int32_t SM_NEWMAIL = 873;
constexpr int32_t SM_DAMAGE = 881;
constexpr int32_t SM_SENDHEROUSEITEMS = 3078;
constexpr int32_t SM_HEROBAGITEMS = 3082;
constexpr int32_t SM_HEROABILITY = 3086;
constexpr int32_t SM_BUFF = 5020;
constexpr int32_t SM_CHANGESKILLCD = 5021;
constexpr int32_t SM_NEWITEMDROPMSG = 5037;
constexpr int32_t SM_PLAYSOUND = 6097;
constexpr int32_t SM_SCENESHAKE = 6901;
constexpr int32_t SM_CONFIRM = 9999;

// Control-program codes.
constexpr uint16_t SG_TAVREL = 1003;
constexpr uint16_t SG_FORMHANDLE = 32001;
constexpr uint16_t SG_STARTNOW = 32002;
constexpr uint16_t SG_STARTOK = 32003;
constexpr uint16_t GS_QUIT = 32101;

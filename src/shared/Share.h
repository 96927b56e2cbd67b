// Shared services: the settings (`g_GateConfig`, loaded from Tavrel.ini), the process-wide
// run-time state beside them, admission of connections by address, the main-log queue and the
// status messages to the control program. Everything here belongs to the main thread except the
// main-log queue, which any thread may feed.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/IniFile.h"
#include "shared/uClass.h"

// ---- Settings -------------------------------------------------------------------------------

inline constexpr const char* kConfigFileName = "./Tavrel.ini";
inline constexpr const char* kConfigSection = "Tavrel";
inline constexpr const char* kConsoleSection = "Console";
inline constexpr const char* kTLSSection = "TLS";
inline constexpr const char* kProxySection = "Proxy";
inline constexpr const char* kCodecSection = "Codec";
inline constexpr const char* kListenSection = "Listen";
inline constexpr const char* kRunSection = "Run";
inline constexpr const char* kAdmissionSection = "Admission";
inline constexpr const char* kLimitsSection = "Limits";
inline constexpr const char* kLogSection = "Log";
inline constexpr const char* kResumeSection = "Resume";

// Every section and key the gateway reads, in one table: what a first start writes, what
// --check-config and the start-up warnings hold a file against, and what the packaged example
// file must show.
enum class ESettingUse {
  Written,   // read, and written back with its default when missing or unusable
  ReadOnly,  // [Codec]: read, never written back
  Hidden,    // a test hook, neither written nor documented
};
struct TKnownSetting {
  const char* sSection;
  const char* sKey;
  ESettingUse use;
};
// In the order a first start writes them.
std::span<const TKnownSetting> KnownSettings();

struct TGateConfig {
  // [Tavrel], in file order of declaration
  std::string sGateIP = "0.0.0.0";        // GateAddr: shown only, never restricts listening
  uint16_t nGatePort = 7303;              // GatePort
  std::string sServerIP = "127.0.0.1";    // ServerAddr
  uint16_t nServerPort = 5000;            // ServerPort
  int32_t nServerCheckMsgByte = 8192;     // ServerCheckMsgByte: kept and written back only
  int32_t nClientMsgByte = 8192;          // ClientMsgByte: start-up forces 2048
  uint64_t dwServerCheckTime = 180000;    // ServerCheckTime: kept and written back only
  int32_t nClientMsgBuffByte = 10485760;  // ClientMsgBuffByte: stream release threshold
  int32_t nServerMsgBuffByte = 1048576;   // ServerMsgBuffByte: receive buffer size and step
  int32_t nIpCount = 5;                   // IpCount: connections per address, see IsIpAdmitted

  // [Console]
  std::string sConsoleAddr = "127.0.0.1";  // Addr
  uint16_t nConsolePort = 0;               // Port: 0 = listening port + 1000
  std::string sConsoleToken;               // Token: required off loopback
  // [TLS]
  std::string sCertFile = "Tavrel.crt";  // CertFile (PEM)
  std::string sKeyFile = "Tavrel.key";   // KeyFile (PEM)
  // [Proxy]
  std::string sProxyTrusted;  // Trusted: comma-separated load balancer addresses
  // [Listen]
  std::string sListenAddr;  // Addr: empty = every address (dual-stack)
  // [Run]
  bool boEventFlush = true;  // Flush: "event" (true) or "tick"
  int32_t nSessions = 1000;  // Sessions: usable session records, read at start only
  // IoThreads: threads of the WebSocket transport (0: on the main thread), read at start only
  int32_t nIoThreads = 0;
  // [Log]
  int32_t nLogKeepDays = 0;  // KeepDays: dated log files older than this go; 0 keeps all
  // [Admission]: new connections per address, a token bucket; 0 follows IpCount
  int32_t nConnectRate = 0;   // ConnectRate: per second (0: IpCount)
  int32_t nConnectBurst = 0;  // ConnectBurst: at once (0: 4 x IpCount)
  // Hidden test key TestScanMs: the run tick visits the sessions at most this
  // often (0 = every tick), so that tests can tell event delivery from the tick.
  uint32_t nTestScanMs = 0;
  // [Limits]
  int64_t nClientBytes = 512ll << 20;  // ClientBytes: queued for all clients together
  // [Resume]
  int32_t nResumeGraceSeconds = 0;     // GraceSeconds: a lost connection's session kept; 0 = off
  int32_t nResumeReplayBytes = 65536;  // ReplayBytes: the last bytes handed to a client, kept
};

// [Resume] bounds: a detached session holds a game-server slot, and its kept
// bytes are memory per session.
constexpr int32_t kMaxResumeGraceSeconds = 600;
constexpr int32_t kMaxResumeReplayBytes = 16 << 20;
// [Run] Sessions: the most records one table holds; every record costs its
// share of memory and of the per-slot arrays whether used or not.
constexpr int32_t kMaxSessionRecords = 65535;
// More transport threads than this would only contend for the same cores.
constexpr int32_t kMaxIoThreads = 16;

// A setting the process cannot start with; main prints what() and exits non-zero.
class EConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

extern TGateConfig g_GateConfig;
extern std::unique_ptr<TIniFile> g_Config;  // open for the life of the process
extern int32_t g_ConnectOutTime;            // ConnectOutTime, seconds
extern bool g_boOpenSSL;                    // OpenSSL
// The settings file is the operator's (--config): the gateway never writes it, and what the
// settings window changes lives in memory only.
extern bool g_boKeepConfigFile;

// A key that was missing or unusable, and the default used instead.
struct TConfigFinding {
  std::string sSection;
  std::string sKey;
  bool boPresent = false;  // false: missing
  size_t nLine = 0;        // of the unusable value
  std::string sValue;      // the unusable value as the file has it
  std::string sDefault;
};

// "[Tavrel] GatePort="abc" unusable, default 7303" or "[Listen] Addr missing, default (empty)".
std::string DescribeFinding(const TConfigFinding& f);

enum class EConfigWrite {
  WriteBack,  // write each default into the file and log each unusable value
  KeepFile,   // the operator's file (--config): log as WriteBack does, write nothing
  ReadOnly,   // only report (--check-config)
};

// What a file says that the gateway takes other than as written: sections and keys it does not
// know (typos), a section or key given twice, a port outside 1..65535, OpenSSL other than 0 or 1,
// a ServerAddr that is not dotted IPv4, a [Proxy] Trusted entry that is not an address. Each
// names its line; values are shown printable and short; past kMaxConfigWarnings one last line
// counts the rest.
inline constexpr size_t kMaxConfigWarnings = 50;
std::vector<std::string> ConfigWarnings(const TIniFile& ini);

// Fills the settings from `fileName` (kept open in g_Config) and reports in `pFindings` the keys
// that were missing or unusable, which keep their default, and in `pWarnings` ConfigWarnings.
// With WriteBack each warning gets a main-log line, the defaults are written into the file, each
// unusable value gets a main-log line and the missing ones one line in all; a file with every key
// present and usable is not written. KeepFile logs the same (the missing ones named) and writes
// nothing. [Codec] is read only and its tables are installed in the codec. Throws EConfigError
// when the file exists but cannot be read (nothing is written then) or [Codec] is unusable, and
// EIniFileException ("Unable to write to ...") when a write-back fails.
void LoadConfig(const std::string& fileName = kConfigFileName,
                EConfigWrite mode = EConfigWrite::WriteBack,
                std::vector<TConfigFinding>* pFindings = nullptr,
                std::vector<std::string>* pWarnings = nullptr);

// What SIGHUP takes from the settings file again: the keys safe to change at run time (IpCount,
// ConnectOutTime, [Proxy] Trusted, [Console] Token), each under its start-up rule; a missing or
// unusable one keeps the value in use. `changes` says what changed or stayed, one line each
// (never the token); `waiting` each other key whose value in the file is no longer the one the
// start read, which takes effect only at the next start; `warnings` ConfigWarnings with the
// file's name. Throws EConfigError when the file cannot be read; nothing changes then.
struct TSettingsReload {
  std::vector<std::string> changes;
  std::vector<std::string> waiting;
  std::vector<std::string> warnings;
  bool boTrustedChanged = false;
};
TSettingsReload ReloadSettings(const std::string& fileName);

// ---- Built-in tunables and run-time state -----------------------------------------------------

extern uint16_t g_GatePort;  // effective listening port
extern std::string g_sVerInfo;
extern uint32_t g_dwTurnIntervalTime;   // ms
extern uint32_t g_dwButchIntervalTime;  // ms
extern bool g_bClientSpeedDebugMode;
extern int32_t g_nPunishPack;
extern int32_t g_nPunishDelayCD;
extern int32_t g_nPunishThreshold;
extern int32_t g_nAttackglobalCD;
extern int32_t g_nMagicglobalCD;
extern bool boShowLog;
// The verbose log is for a look at live traffic, not a mode to forget on:
// it switches itself off this long after it was switched on.
constexpr uint64_t kShowLogMs = 10 * 60 * 1000;
void SetShowLog(bool on);
// True once, when the verbose log has just been switched off for its age.
bool ExpireShowLog(uint64_t now);

extern uint32_t g_dwCorvaneHandle;  // control channel descriptor, 0 = none
extern int32_t g_nIndex;
extern bool g_boStarted;

extern bool boCheckServerFail;
extern bool g_boHeartBeat;
extern uint64_t dwCheckServerTick;
extern uint64_t dwCheckServerTimeMin;
extern uint64_t dwCheckServerTimeMax;
extern uint64_t dwServerSendBytesSec;
extern uint64_t dwServerReceiveBytesSec;
extern uint64_t dwCheckRecviceTick;
extern uint64_t dwConnetSocket;
extern uint64_t g_dwCheckServerRun;

extern int32_t g_nUserConnect;
extern int32_t g_nSuccessCount;
extern int32_t g_nSuccessMax;

extern std::array<uint32_t, 65536> g_nsMagicConfigCD;
extern std::array<uint32_t, 65536> g_nsMagicDelayTime;
extern std::vector<uint16_t> listOnOffMagic;

// The process's random generator; Randomize seeds it from the clock at start-up.
extern std::mt19937 g_Random;
void Randomize();

// ---- Connection admission ---------------------------------------------------------------------

struct TIPNumberInfo {
  std::string IP;
  int32_t Number = 0;  // open connections counted; may fall below 0
};

// Keyed by the admission key (IpAdmissionKey) with ASCII letters folded; an entry whose count
// is back at zero is removed, so the table holds only addresses with open connections.
extern std::unordered_map<std::string, TIPNumberInfo> g_IPNumberList;
extern std::vector<std::string> g_IPList;  // lines of Ip.txt

// Exactly four dot-separated decimal numbers from 0 to 255.
bool IsIPaddr(std::string_view sText);
// The address of a peer as the game server, the console and the logs get it: dotted IPv4 for
// "a.b.c.d" and "[::ffff:a.b.c.d]" (a port may follow the bracket), the IPv6 address in its
// standard text for "[addr]:port" or a bare IPv6 address; any other form gives "127.0.0." and
// a random number from 0 to 254.
std::string GetSocketIpaddr(std::string_view sSIP);
// What connections of a peer are counted and rate-limited under: its IPv4 address (IPv4-mapped
// and NAT64 64:ff9b::/96 peers too), an IPv6 peer's /64 prefix ("2001:db8:1:2::/64"), since one
// subscriber holds a whole /64; any other form is its own key. The same text always gives the same
// key, so a count taken up at the connect is taken back at the disconnect.
std::string IpAdmissionKey(std::string_view sSIP);
// Counts one more connection for the address; returns the count after the increment.
int32_t CheckIpNumber(std::string_view _ip);
// Counts one connection less; false (and no entry made) for an address never seen.
bool DecIpNumber(std::string_view _ip);
// Connections counted for the address, 0 when never seen.
int32_t GetIpNumber(std::string_view _ip);
// The admission rule: admitted while the count after the increment is below IpCount.
bool IsIpAdmitted(int32_t ipnumber);
// The [Admission] bucket in force: the keys, or what IpCount gives when they are 0.
int32_t ConnectBurst();
int32_t ConnectRate();
// Reads Ip.txt from the working directory when it exists, skipping empty and ";" lines, and
// logs the count. A file that exists but cannot be read throws std::runtime_error.
void LoadIP(const std::string& fileName = "./Ip.txt");

// ---- Status reporting -------------------------------------------------------------------------

// Syslog priorities of main-log lines, for the journal.
enum class ELogPriority : uint8_t { Error = 3, Warning = 4, Info = 6 };

// Queues "[yyyy-mm-dd hh:nn:ss] " + Msg as one line: bytes that are not valid UTF-8 become "?",
// control characters are escaped (AppendLogText). Any thread.
void MainOutMessage(std::string_view Msg, ELogPriority priority = ELogPriority::Info);
inline void MainOutWarning(std::string_view Msg) {
  MainOutMessage(Msg, ELogPriority::Warning);
}
inline void MainOutError(std::string_view Msg) {
  MainOutMessage(Msg, ELogPriority::Error);
}
// Takes every queued line, oldest first, in one short hold of the queue's lock; with
// `priorities`, the priority of each line beside it.
std::vector<std::string> TakeMainLogLines(std::vector<ELogPriority>* priorities = nullptr);
// Sends one status message over the control channel g_dwCorvaneHandle (nothing when it is 0);
// the word parameter carries wIdent and (g_nIndex + 38) mod 65536. Failures are ignored.
void SendCorvaneMsg(uint16_t wIdent, std::string_view sSendMsg);

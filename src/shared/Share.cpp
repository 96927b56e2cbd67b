#include "shared/Share.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <mutex>

#include <boost/asio/ip/address.hpp>

#include "log/uThread_Logger.h"
#include "platform/ControlChannel.h"
#include "platform/Printable.h"
#include "platform/ProxyProtocol.h"
#include "protocol/EDcode.h"
#include "shared/Tick.h"

TGateConfig g_GateConfig;
std::unique_ptr<TIniFile> g_Config;
namespace {
constexpr int32_t kDefaultConnectOutTime = 15;
}  // namespace
int32_t g_ConnectOutTime = kDefaultConnectOutTime;
bool g_boOpenSSL = false;
bool g_boKeepConfigFile = false;

uint16_t g_GatePort = 7303;
std::string g_sVerInfo = "202303021400";
uint32_t g_dwTurnIntervalTime = 100;
uint32_t g_dwButchIntervalTime = 500;
bool g_bClientSpeedDebugMode = false;
int32_t g_nPunishPack = 10;
int32_t g_nPunishDelayCD = 5;
int32_t g_nPunishThreshold = 200;
int32_t g_nAttackglobalCD = 0;
int32_t g_nMagicglobalCD = 0;
bool boShowLog = false;
namespace {
uint64_t dwShowLogSince = 0;
}  // namespace

void SetShowLog(bool on) {
  if (on && !boShowLog) dwShowLogSince = GetTickCount64();
  boShowLog = on;
}

bool ExpireShowLog(uint64_t now) {
  if (!boShowLog || now - dwShowLogSince < kShowLogMs) return false;
  boShowLog = false;
  return true;
}

uint32_t g_dwCorvaneHandle = 0;
int32_t g_nIndex = 0;
bool g_boStarted = false;

bool boCheckServerFail = false;
bool g_boHeartBeat = false;
uint64_t dwCheckServerTick = 0;
uint64_t dwCheckServerTimeMin = 0;
uint64_t dwCheckServerTimeMax = 0;
uint64_t dwServerSendBytesSec = 0;
uint64_t dwServerReceiveBytesSec = 0;
uint64_t dwCheckRecviceTick = 0;
uint64_t dwConnetSocket = 0;
uint64_t g_dwCheckServerRun = 0;

int32_t g_nUserConnect = 0;
int32_t g_nSuccessCount = 0;
int32_t g_nSuccessMax = 0;

std::array<uint32_t, 65536> g_nsMagicConfigCD{};
std::array<uint32_t, 65536> g_nsMagicDelayTime{};
std::vector<uint16_t> listOnOffMagic;

std::mt19937 g_Random;

std::unordered_map<std::string, TIPNumberInfo> g_IPNumberList;
std::vector<std::string> g_IPList;

namespace {
struct TMainLogQueue {
  std::mutex lock;
  std::vector<std::string> lines;
  std::vector<ELogPriority> priorities;
};
TMainLogQueue g_MainLog;
}  // namespace

void Randomize() {
  const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  g_Random.seed(static_cast<std::mt19937::result_type>(now ^ (now >> 32)));
}

// ---- Settings -------------------------------------------------------------------------------

namespace {

constexpr TKnownSetting kKnownSettings[] = {
    {kConfigSection, "GateAddr", ESettingUse::Written},
    {kConfigSection, "GatePort", ESettingUse::Written},
    {kConfigSection, "ServerAddr", ESettingUse::Written},
    {kConfigSection, "ServerPort", ESettingUse::Written},
    {kConfigSection, "IpCount", ESettingUse::Written},
    {kConfigSection, "ServerCheckMsgByte", ESettingUse::Written},
    {kConfigSection, "ClientMsgByte", ESettingUse::Written},
    {kConfigSection, "ServerCheckTime", ESettingUse::Written},
    {kConfigSection, "ClientMsgBuffByte", ESettingUse::Written},
    {kConfigSection, "ServerMsgBuffByte", ESettingUse::Written},
    {kConfigSection, "ConnectOutTime", ESettingUse::Written},
    {kConfigSection, "OpenSSL", ESettingUse::Written},
    {kConsoleSection, "Addr", ESettingUse::Written},
    {kConsoleSection, "Port", ESettingUse::Written},
    {kConsoleSection, "Token", ESettingUse::Written},
    {kTLSSection, "CertFile", ESettingUse::Written},
    {kTLSSection, "KeyFile", ESettingUse::Written},
    {kProxySection, "Trusted", ESettingUse::Written},
    {kListenSection, "Addr", ESettingUse::Written},
    {kRunSection, "Flush", ESettingUse::Written},
    {kRunSection, "Sessions", ESettingUse::Written},
    {kRunSection, "IoThreads", ESettingUse::Written},
    {kRunSection, "TestScanMs", ESettingUse::Hidden},
    {kAdmissionSection, "ConnectRate", ESettingUse::Written},
    {kAdmissionSection, "ConnectBurst", ESettingUse::Written},
    {kLimitsSection, "ClientBytes", ESettingUse::Written},
    {kLogSection, "KeepDays", ESettingUse::Written},
    {kResumeSection, "GraceSeconds", ESettingUse::Written},
    {kResumeSection, "ReplayBytes", ESettingUse::Written},
    {kCodecSection, "EncodeBitMasks", ESettingUse::ReadOnly},
    {kCodecSection, "DecodeBitMasks", ESettingUse::ReadOnly},
    {kCodecSection, "n4CEEF4", ESettingUse::ReadOnly},
    {kCodecSection, "n4CEEF8", ESettingUse::ReadOnly},
    {kCodecSection, "n4CEEFC", ESettingUse::ReadOnly},
    {kCodecSection, "w4CEF00", ESettingUse::ReadOnly},
};

bool SameName(std::string_view known, std::string_view name) {
  return known.size() == name.size() && strncasecmp(known.data(), name.data(), name.size()) == 0;
}

// The line of the value the gateway reads for `key`: the first in the first such section; 0
// when there is none.
size_t LineOf(const TIniFile& ini, std::string_view section, std::string_view key) {
  size_t found = 0;
  int seen = 0;  // occurrences of the section so far
  bool inside = false;
  ini.ForEachEntry([&](size_t line, std::string_view s, std::string_view k, std::string_view) {
    if (found != 0) return;
    if (k.empty()) {
      inside = SameName(section, s) && ++seen == 1;
    } else if (inside && SameName(key, k)) {
      found = line;
    }
  });
  return found;
}

bool KnownSection(std::string_view section) {
  return std::any_of(std::begin(kKnownSettings), std::end(kKnownSettings),
                     [&](const TKnownSetting& k) { return SameName(k.sSection, section); });
}

// Index into kKnownSettings, or -1.
int KnownKey(std::string_view section, std::string_view key) {
  for (size_t i = 0; i < std::size(kKnownSettings); ++i) {
    if (SameName(kKnownSettings[i].sSection, section) && SameName(kKnownSettings[i].sKey, key))
      return static_cast<int>(i);
  }
  return -1;
}

// A file's text in a warning: printable, and short enough for one line.
std::string Shown(std::string_view text) {
  constexpr size_t kShownMax = 64;
  std::string shown = LogText(text.substr(0, kShownMax));
  if (text.size() > kShownMax) shown += "...";
  return shown;
}

class TWarnings {
 public:
  void Add(std::string line) {
    if (lines_.size() < kMaxConfigWarnings) {
      lines_.push_back(std::move(line));
    } else {
      ++more_;
    }
  }
  std::vector<std::string> Take() {
    if (more_ > 0) lines_.push_back(std::to_string(more_) + " more warnings not shown");
    return std::move(lines_);
  }

 private:
  std::vector<std::string> lines_;
  size_t more_ = 0;
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// Sections and keys: unknown ones, and what a second occurrence hides.
void WarnAboutNames(const TIniFile& ini, TWarnings& out) {
  std::vector<std::string> sectionsSeen;  // lower case
  std::vector<bool> keysSeen(std::size(kKnownSettings), false);
  bool headerSeen = false;
  bool skipKeys = false;  // the section in force was warned about as a whole
  ini.ForEachEntry([&](size_t line, std::string_view section, std::string_view key,
                       std::string_view) {
    const std::string at = "line " + std::to_string(line) + ": [" + Shown(section) + "]";
    if (key.empty()) {
      headerSeen = true;
      std::string lower = Lower(section);
      skipKeys = true;
      if (!KnownSection(lower)) {
        out.Add(at + " is not a section the gateway knows; ignored");
      } else if (std::find(sectionsSeen.begin(), sectionsSeen.end(), lower) != sectionsSeen.end()) {
        out.Add(at + " appears again; only its first occurrence is read");
      } else {
        sectionsSeen.push_back(std::move(lower));
        skipKeys = false;
      }
    } else if (!headerSeen) {
      out.Add("line " + std::to_string(line) + ": " + Shown(key) +
              " comes before any section; ignored");
    } else if (!skipKeys) {
      const int known = KnownKey(section, key);
      if (known < 0) {
        out.Add(at + " " + Shown(key) + " is not a key the gateway knows; ignored");
      } else if (keysSeen[static_cast<size_t>(known)]) {
        out.Add(at + " " + Shown(key) + " appears again; only its first occurrence is read");
      } else {
        keysSeen[static_cast<size_t>(known)] = true;
      }
    }
  });
}

// Values the gateway takes, but not as written.
void WarnAboutValues(const TIniFile& ini, TWarnings& out) {
  const auto integer = [&](const char* section, const char* key, int32_t& value) {
    // -1 is "missing or unusable" to the reader: reported as a finding, not here.
    return TryParseIniInteger(ini.ReadString(section, key, ""), value) && value != -1;
  };
  const auto at = [&](const char* section, const char* key) {
    return "line " + std::to_string(LineOf(ini, section, key)) + ": [" + section + "] " + key;
  };
  for (const char* key : {"GatePort", "ServerPort"}) {
    int32_t port = 0;
    if (integer(kConfigSection, key, port) && (port < 1 || port > 65535)) {
      out.Add(at(kConfigSection, key) + "=" + std::to_string(port) +
              " is outside 1..65535; taken as " + std::to_string(static_cast<uint16_t>(port)));
    }
  }
  if (int32_t ssl = 0; integer(kConfigSection, "OpenSSL", ssl) && ssl != 0 && ssl != 1) {
    out.Add(at(kConfigSection, "OpenSSL") + "=" + std::to_string(ssl) +
            " is neither 0 nor 1; taken as 0 (no TLS)");
  }
  if (const std::string addr = ini.ReadString(kConfigSection, "ServerAddr", "");
      !addr.empty() && !IsIPaddr(addr)) {
    out.Add(at(kConfigSection, "ServerAddr") + "=" + Shown(addr) +
            " is not a dotted IPv4 address; the game server cannot be reached by it");
  }
  // Entries as the WebSocket layer reads them: single addresses, comma-separated.
  const std::string trusted = ini.ReadString(kProxySection, "Trusted", "");
  for (std::string_view item : TrustedListEntries(trusted)) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(std::string(item), ec);
    if (ec) {
      out.Add(at(kProxySection, "Trusted") + " entry \"" + Shown(item) +
              "\" is not an address; ignored");
    }
  }
}

}  // namespace

std::span<const TKnownSetting> KnownSettings() {
  return kKnownSettings;
}

std::vector<std::string> ConfigWarnings(const TIniFile& ini) {
  TWarnings out;
  WarnAboutNames(ini, out);
  WarnAboutValues(ini, out);
  return out.Take();
}

namespace {

// Below 2 the per-address limit would admit nobody.
bool IpCountUsable(int32_t v) {
  return v >= 2;
}
// Zero or less would close every client at once.
bool ConnectOutTimeUsable(int32_t v) {
  return v >= 1;
}

// A key as a load read it: the file's text when that was taken, else the default's.
struct TTakenText {
  const char* sSection;
  const char* sKey;
  std::string sText;
};

// Applies the read rule key by key: a missing or unusable key leaves its field at the default
// and is noted; with write-back the default goes into the file, so that a file with every key
// present and usable is never written.
class TConfigReader {
 public:
  TConfigReader(const TIniFile& ini, EConfigWrite mode) : ini_(ini), mode_(mode) {}

  // A key whose default is not empty: an empty value is unusable.
  void String(const char* section, const char* key, std::string& field) {
    std::string value = ini_.ReadString(section, key, "");
    if (!value.empty()) {
      Took(section, key, value);
      field = std::move(value);
    } else {
      Replace(section, key, field);
    }
  }

  // A key whose default is empty: present, even empty, it counts.
  void OptionalString(const char* section, const char* key, std::string& field) {
    if (ini_.ValueExists(section, key)) {
      field = ini_.ReadString(section, key, "");
      Took(section, key, field);
    } else {
      Replace(section, key, field);
    }
  }

  // Integer keys read with -1 as "missing or unusable"; `usable` may refuse more. Returns true
  // and sets `value` when the file's value is taken.
  template <class Usable>
  bool Integer(const char* section, const char* key, int32_t current, int32_t& value,
               Usable usable) {
    const std::string text = ini_.ReadString(section, key, "");
    if (!TryParseIniInteger(text, value)) value = -1;
    if (value != -1 && usable(value)) {
      Took(section, key, text);
      return true;
    }
    Replace(section, key, std::to_string(current));
    return false;
  }
  bool Integer(const char* section, const char* key, int32_t current, int32_t& value) {
    return Integer(section, key, current, value, [](int32_t) { return true; });
  }

  template <class T>
  void Int(const char* section, const char* key, T& field) {
    int32_t value = 0;
    if (Integer(section, key, static_cast<int32_t>(field), value)) field = static_cast<T>(value);
  }

  // A key taking one of `choices` (any letter case); returns its index, or -1 (the default
  // kept, `current` written back) when it is missing or none of them.
  int Choice(const char* section, const char* key, std::initializer_list<const char*> choices,
             const char* current) {
    const std::string value = ini_.ReadString(section, key, "");
    int i = 0;
    for (const char* choice : choices) {
      if (strcasecmp(value.c_str(), choice) == 0) {
        Took(section, key, value);
        return i;
      }
      ++i;
    }
    Replace(section, key, current);
    return -1;
  }

  // The defaults into `ini`, the file read, in one replacement of it.
  void WriteBack(TIniFile& ini) {
    if (!pending_.empty()) ini.WriteStrings(pending_);
    pending_.clear();
  }

  std::vector<TConfigFinding> Take() { return std::move(findings_); }
  const std::vector<TTakenText>& Taken() const { return taken_; }

 private:
  void Took(const char* section, const char* key, std::string text) {
    taken_.push_back({section, key, std::move(text)});
  }

  void Replace(const char* section, const char* key, const std::string& def) {
    TConfigFinding f{section, key, ini_.ValueExists(section, key), 0, "", def};
    if (f.boPresent) {
      f.sValue = ini_.ReadString(section, key, "");
      f.nLine = LineOf(ini_, section, key);
    }
    if (mode_ == EConfigWrite::WriteBack) pending_.push_back({section, key, def});
    if (mode_ != EConfigWrite::ReadOnly && f.boPresent) MainOutWarning(DescribeFinding(f));
    Took(section, key, def);
    findings_.push_back(std::move(f));
  }

  const TIniFile& ini_;
  EConfigWrite mode_;
  std::vector<TConfigFinding> findings_;
  std::vector<TIniFile::TIniWrite> pending_;
  std::vector<TTakenText> taken_;
};

// Into `c`, `connectOutTime` and `openSSL`: the settings in use at start, or a scratch copy that
// SIGHUP holds them against.
void LoadTavrelSection(TConfigReader& r, TGateConfig& c, int32_t& connectOutTime, bool& openSSL) {
  const char* s = kConfigSection;
  int32_t value = 0;
  r.String(s, "GateAddr", c.sGateIP);
  if (r.Integer(s, "GatePort", c.nGatePort, value)) c.nGatePort = static_cast<uint16_t>(value);
  r.String(s, "ServerAddr", c.sServerIP);
  if (r.Integer(s, "ServerPort", c.nServerPort, value))
    c.nServerPort = static_cast<uint16_t>(value);
  if (r.Integer(s, "IpCount", c.nIpCount, value, IpCountUsable)) {
    c.nIpCount = value;
  }
  r.Int(s, "ServerCheckMsgByte", c.nServerCheckMsgByte);
  r.Int(s, "ClientMsgByte", c.nClientMsgByte);
  // Written back as the low 32 bits; the value read is sign-extended.
  if (r.Integer(s, "ServerCheckTime", static_cast<int32_t>(c.dwServerCheckTime), value)) {
    c.dwServerCheckTime = static_cast<uint64_t>(static_cast<int64_t>(value));
  }
  r.Int(s, "ClientMsgBuffByte", c.nClientMsgBuffByte);
  r.Int(s, "ServerMsgBuffByte", c.nServerMsgBuffByte);
  if (r.Integer(s, "ConnectOutTime", connectOutTime, value, ConnectOutTimeUsable))
    connectOutTime = value;
  if (r.Integer(s, "OpenSSL", openSSL ? 1 : 0, value)) openSSL = value == 1;
}

void LoadExtensionSections(TConfigReader& r, TGateConfig& c) {
  int32_t value = 0;
  r.String(kConsoleSection, "Addr", c.sConsoleAddr);
  // Outside 0..65535 a console port is unusable rather than wrapped.
  if (r.Integer(kConsoleSection, "Port", c.nConsolePort, value,
                [](int32_t v) { return v >= 0 && v <= 65535; })) {
    c.nConsolePort = static_cast<uint16_t>(value);
  }
  r.OptionalString(kConsoleSection, "Token", c.sConsoleToken);
  r.String(kTLSSection, "CertFile", c.sCertFile);
  r.String(kTLSSection, "KeyFile", c.sKeyFile);
  r.OptionalString(kProxySection, "Trusted", c.sProxyTrusted);
  // Empty listens on every address, as the gateway always has.
  r.OptionalString(kListenSection, "Addr", c.sListenAddr);
  const int flush =
      r.Choice(kRunSection, "Flush", {"event", "tick"}, c.boEventFlush ? "event" : "tick");
  if (flush >= 0) c.boEventFlush = flush == 0;
  if (r.Integer(kRunSection, "Sessions", c.nSessions, value,
                [](int32_t v) { return v >= 1 && v <= kMaxSessionRecords; }))
    c.nSessions = value;
  if (r.Integer(kRunSection, "IoThreads", c.nIoThreads, value,
                [](int32_t v) { return v >= 0 && v <= kMaxIoThreads; }))
    c.nIoThreads = value;
  const auto notNegative = [](int32_t v) { return v >= 0; };
  if (r.Integer(kAdmissionSection, "ConnectRate", c.nConnectRate, value, notNegative))
    c.nConnectRate = value;
  if (r.Integer(kAdmissionSection, "ConnectBurst", c.nConnectBurst, value, notNegative))
    c.nConnectBurst = value;
  // Below a megabyte a single busy client would keep tripping it.
  if (r.Integer(kLimitsSection, "ClientBytes", static_cast<int32_t>(c.nClientBytes), value,
                [](int32_t v) { return v >= (1 << 20); }))
    c.nClientBytes = value;
  if (r.Integer(kLogSection, "KeepDays", c.nLogKeepDays, value, notNegative))
    c.nLogKeepDays = value;
  if (r.Integer(kResumeSection, "GraceSeconds", c.nResumeGraceSeconds, value,
                [](int32_t v) { return v >= 0 && v <= kMaxResumeGraceSeconds; }))
    c.nResumeGraceSeconds = value;
  if (r.Integer(kResumeSection, "ReplayBytes", c.nResumeReplayBytes, value,
                [](int32_t v) { return v >= 0 && v <= kMaxResumeReplayBytes; }))
    c.nResumeReplayBytes = value;
}

// Never written back nor reported: a test hook, not a setting.
void LoadHiddenKeys(const TIniFile& ini) {
  const int32_t scan = ini.ReadInteger(kRunSection, "TestScanMs", 0);
  g_GateConfig.nTestScanMs = scan > 0 ? static_cast<uint32_t>(scan) : 0;
}

[[noreturn]] void RefuseCodec(const TIniFile& ini, std::string_view key, std::string_view why) {
  throw EConfigError(ini.FileName() + " [" + kCodecSection + "] " + std::string(key) + ": " +
                     std::string(why));
}

void LoadCodecSection(const TIniFile& ini) {
  TCodecTables tables = DefaultCodecTables();
  const auto readTable = [&](const char* key, std::array<uint8_t, 256>& out) {
    const std::string hex = ini.ReadString(kCodecSection, key, "");
    if (!hex.empty() && !ParseCodecTable(hex, out)) {
      RefuseCodec(ini, key, "expected 512 hexadecimal digits (256 bytes)");
    }
  };
  const auto readInt = [&](const char* key, int32_t& out) {
    const std::string text = ini.ReadString(kCodecSection, key, "");
    if (!text.empty() && !TryParseIniInteger(text, out)) {
      RefuseCodec(ini, key, "\"" + text + "\" is not an integer");
    }
  };
  readTable("EncodeBitMasks", tables.EncodeBitMasks);
  readTable("DecodeBitMasks", tables.DecodeBitMasks);
  readInt("n4CEEF4", tables.n4CEEF4);
  readInt("n4CEEF8", tables.n4CEEF8);
  readInt("n4CEEFC", tables.n4CEEFC);
  int32_t w = tables.w4CEF00;
  readInt("w4CEF00", w);
  if (w < 0 || w > 65535) RefuseCodec(ini, "w4CEF00", "must lie from 0 to 65535");
  tables.w4CEF00 = static_cast<uint16_t>(w);
  if (const std::string why = InstallCodecTables(tables); !why.empty()) {
    throw EConfigError(ini.FileName() + " [" + kCodecSection + "]: " + why);
  }
}

// What the start read, which SIGHUP holds the file against.
std::vector<TTakenText> g_TakenAtStart;

// [Codec] as written: its tables are read at start only.
void TakeReadOnlyTexts(const TIniFile& ini, std::vector<TTakenText>& out) {
  for (const TKnownSetting& k : kKnownSettings) {
    if (k.use == ESettingUse::ReadOnly)
      out.push_back({k.sSection, k.sKey, ini.ReadString(k.sSection, k.sKey, "")});
  }
}

// One line for all the keys that were missing: written back, or (the operator's file) named
// with the defaults used, so that the operator can add them.
void LogMissingKeys(const std::string& fileName, EConfigWrite mode,
                    const std::vector<TConfigFinding>& findings) {
  size_t missing = 0;
  std::string keys;
  for (const TConfigFinding& f : findings) {
    if (f.boPresent) continue;
    ++missing;
    keys += (keys.empty() ? "[" : ", [") + f.sSection + "] " + f.sKey + "=" + f.sDefault;
  }
  if (missing == 0) return;
  if (mode == EConfigWrite::WriteBack) {
    MainOutMessage(fileName + ": " + std::to_string(missing) +
                   " missing keys written with their defaults");
  } else {
    const bool one = missing == 1;
    MainOutMessage(std::to_string(missing) + (one ? " key" : " keys") + " missing from " +
                   fileName + (one ? ", default used: " : ", defaults used: ") + keys);
  }
}

}  // namespace

void LoadConfig(const std::string& fileName, EConfigWrite mode,
                std::vector<TConfigFinding>* pFindings, std::vector<std::string>* pWarnings) {
  auto ini = std::make_unique<TIniFile>(fileName);
  const TIniFile::THold hold(*ini);
  // Refused before anything is read or written: defaults written over a file the gateway could
  // not read would replace the operator's settings.
  if (const std::string why = ini->Problem(); !why.empty())
    throw EConfigError("settings file " + fileName + " " + why);
  g_Config = std::move(ini);
  g_boKeepConfigFile = mode == EConfigWrite::KeepFile;
  const bool logged = mode != EConfigWrite::ReadOnly;
  std::vector<std::string> warnings = ConfigWarnings(*g_Config);
  if (logged) {
    for (const std::string& w : warnings) MainOutWarning(fileName + ": " + w);
  }
  if (pWarnings) *pWarnings = std::move(warnings);
  TConfigReader reader(*g_Config, mode);
  LoadTavrelSection(reader, g_GateConfig, g_ConnectOutTime, g_boOpenSSL);
  LoadExtensionSections(reader, g_GateConfig);
  reader.WriteBack(*g_Config);
  std::vector<TConfigFinding> findings = reader.Take();
  if (logged) LogMissingKeys(fileName, mode, findings);
  g_TakenAtStart = reader.Taken();
  TakeReadOnlyTexts(*g_Config, g_TakenAtStart);
  if (pFindings) *pFindings = std::move(findings);
  LoadHiddenKeys(*g_Config);
  LoadCodecSection(*g_Config);
}

namespace {

// Keys SIGHUP takes: ReloadSettings tells of each on its own.
bool ReloadedAtRunTime(const TTakenText& t) {
  const std::string_view key = t.sKey;
  if (t.sSection == std::string_view(kConfigSection))
    return key == "IpCount" || key == "ConnectOutTime";
  return (t.sSection == std::string_view(kProxySection) && key == "Trusted") ||
         (t.sSection == std::string_view(kConsoleSection) && key == "Token");
}

// "ServerPort 5000 -> 5001 in the file: takes effect at the next start" for each key whose
// value in the file is no longer what the start read, a key of [Tavrel] by its name alone.
void TellWhatWaitsForAStart(const TIniFile& ini, std::vector<std::string>& out) {
  TGateConfig scratch;
  int32_t connectOutTime = kDefaultConnectOutTime;
  bool openSSL = false;
  TConfigReader reader(ini, EConfigWrite::ReadOnly);
  LoadTavrelSection(reader, scratch, connectOutTime, openSSL);
  LoadExtensionSections(reader, scratch);
  std::vector<TTakenText> now = reader.Taken();
  TakeReadOnlyTexts(ini, now);
  const auto shown = [](const std::string& text) {
    return text.empty() ? std::string("(empty)") : Shown(text);
  };
  for (const TTakenText& t : now) {
    if (ReloadedAtRunTime(t)) continue;
    const std::string_view section = t.sSection, key = t.sKey;
    const auto before =
        std::find_if(g_TakenAtStart.begin(), g_TakenAtStart.end(),
                     [&](const TTakenText& b) { return b.sSection == section && b.sKey == key; });
    if (before == g_TakenAtStart.end() || before->sText == t.sText) continue;
    std::string line;
    if (section != kConfigSection) line.append("[").append(section).append("] ");
    line.append(key);
    // Codec tables are 512 digits long: named only.
    if (section == kCodecSection) {
      line.append(" changed");
    } else {
      line.append(" ").append(shown(before->sText)).append(" -> ").append(shown(t.sText));
    }
    out.push_back(line.append(" in the file: takes effect at the next start"));
  }
}

}  // namespace

TSettingsReload ReloadSettings(const std::string& fileName) {
  TIniFile ini(fileName);
  const TIniFile::THold hold(ini);
  if (const std::string why = ini.Problem(); !why.empty())
    throw EConfigError("settings file " + fileName + " " + why);
  TConfigReader r(ini, EConfigWrite::ReadOnly);
  TSettingsReload out;
  TGateConfig& c = g_GateConfig;
  int32_t value = 0;
  if (r.Integer(kConfigSection, "IpCount", c.nIpCount, value, IpCountUsable) &&
      value != c.nIpCount) {
    out.changes.push_back("IpCount " + std::to_string(c.nIpCount) + " -> " + std::to_string(value));
    c.nIpCount = value;
  }
  if (r.Integer(kConfigSection, "ConnectOutTime", g_ConnectOutTime, value, ConnectOutTimeUsable) &&
      value != g_ConnectOutTime) {
    out.changes.push_back("ConnectOutTime " + std::to_string(g_ConnectOutTime) + " -> " +
                          std::to_string(value));
    g_ConnectOutTime = value;
  }
  std::string trusted = c.sProxyTrusted;
  r.OptionalString(kProxySection, "Trusted", trusted);
  if (trusted != c.sProxyTrusted) {
    out.changes.push_back("[Proxy] Trusted \"" + c.sProxyTrusted + "\" -> \"" + trusted + "\"");
    c.sProxyTrusted = std::move(trusted);
    out.boTrustedChanged = true;
  }
  // The operator's token goes into no log line; the console tells of its change.
  r.OptionalString(kConsoleSection, "Token", c.sConsoleToken);
  for (const TConfigFinding& f : r.Take()) {
    if (f.sKey == "Token") continue;  // missing: none, and the console makes one
    out.changes.push_back("[" + f.sSection + "] " + f.sKey +
                          (f.boPresent ? "=\"" + f.sValue + "\" unusable" : " missing") +
                          ", stays " + f.sDefault);
  }
  TellWhatWaitsForAStart(ini, out.waiting);
  for (std::string& w : ConfigWarnings(ini)) out.warnings.push_back(fileName + ": " + w);
  return out;
}

std::string DescribeFinding(const TConfigFinding& f) {
  const std::string def = f.sDefault.empty() ? "(empty)" : f.sDefault;
  if (!f.boPresent) return "[" + f.sSection + "] " + f.sKey + " missing, default " + def;
  return "[" + f.sSection + "] " + f.sKey + "=\"" + f.sValue + "\" unusable, default " + def;
}

// ---- Connection admission ---------------------------------------------------------------------

namespace {

bool IsByteNumber(std::string_view part) {
  if (part.empty()) return false;
  int value = 0;
  for (const char c : part) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > 255) return false;
  }
  return true;
}

std::string FoldKey(std::string_view ip) {
  std::string key(ip);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

bool IsIPaddr(std::string_view sText) {
  for (int i = 0; i < 3; ++i) {
    const size_t dot = sText.find('.');
    if (dot == std::string_view::npos) return false;  // the part would be empty
    if (!IsByteNumber(sText.substr(0, dot))) return false;
    sText.remove_prefix(dot + 1);
  }
  return IsByteNumber(sText);  // a fifth part stays attached and fails here
}

namespace {

// The IPv6 address in "[addr]:port", "[addr]" or a bare "addr"; false when there is none.
bool ParseIpv6(std::string_view sSIP, in6_addr& out) {
  std::string_view text = sSIP;
  if (text.starts_with('[')) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    text = text.substr(1, close - 1);
  }
  // A link-local address's zone names our interface, not the peer.
  text = text.substr(0, text.find('%'));
  if (text.size() >= INET6_ADDRSTRLEN) return false;
  const std::string z(text);
  return inet_pton(AF_INET6, z.c_str(), &out) == 1;
}

bool IsV4Mapped(const in6_addr& a) {
  static constexpr uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::equal(std::begin(kPrefix), std::end(kPrefix), a.s6_addr);
}

// The NAT64 well-known prefix 64:ff9b::/96: an IPv4 client translated, each
// in its last 32 bits; by /64 they would all share one count.
bool IsNat64(const in6_addr& a) {
  static constexpr uint8_t kPrefix[12] = {0, 0x64, 0xFF, 0x9B, 0, 0, 0, 0, 0, 0, 0, 0};
  return std::equal(std::begin(kPrefix), std::end(kPrefix), a.s6_addr);
}

std::string Ipv6Text(const in6_addr& a) {
  char text[INET6_ADDRSTRLEN];
  if (!inet_ntop(AF_INET6, &a, text, sizeof text)) return {};
  return text;
}

std::string MappedIpv4Text(const in6_addr& a) {
  return std::to_string(a.s6_addr[12]) + "." + std::to_string(a.s6_addr[13]) + "." +
         std::to_string(a.s6_addr[14]) + "." + std::to_string(a.s6_addr[15]);
}

}  // namespace

std::string GetSocketIpaddr(std::string_view sSIP) {
  if (sSIP.find(':') == std::string_view::npos) {
    if (IsIPaddr(sSIP)) return std::string(sSIP);
  } else {
    constexpr std::string_view kMapped = "[::ffff:";
    if (const size_t at = sSIP.find(kMapped); at != std::string_view::npos) {
      const std::string_view rest = sSIP.substr(at + kMapped.size());
      if (const size_t close = rest.find(']'); close != std::string_view::npos) {
        const std::string_view part = rest.substr(0, close);
        if (IsIPaddr(part)) return std::string(part);
      }
    }
    if (in6_addr a{}; ParseIpv6(sSIP, a)) {
      if (IsV4Mapped(a)) return MappedIpv4Text(a);
      return Ipv6Text(a);
    }
  }
  std::uniform_int_distribution<int> pick(0, 254);
  return "127.0.0." + std::to_string(pick(g_Random));
}

std::string IpAdmissionKey(std::string_view sSIP) {
  if (sSIP.find(':') != std::string_view::npos) {
    if (in6_addr a{}; ParseIpv6(sSIP, a)) {
      if (IsV4Mapped(a) || IsNat64(a)) return MappedIpv4Text(a);
      std::fill(a.s6_addr + 8, a.s6_addr + 16, uint8_t{0});
      return Ipv6Text(a) + "/64";
    }
  }
  // Dotted IPv4 as it is; an unusable text is counted as itself, never under a random
  // substitute (a count taken up under one would be taken back under another).
  return std::string(sSIP);
}

int32_t CheckIpNumber(std::string_view _ip) {
  std::string key = FoldKey(_ip);
  const auto it = g_IPNumberList.find(key);
  if (it == g_IPNumberList.end()) {
    g_IPNumberList.emplace(std::move(key), TIPNumberInfo{std::string(_ip), 1});
    return 1;
  }
  return ++it->second.Number;
}

bool DecIpNumber(std::string_view _ip) {
  const auto it = g_IPNumberList.find(FoldKey(_ip));
  if (it == g_IPNumberList.end()) return false;
  // Idle addresses would otherwise pile up: every IPv6 prefix ever seen.
  if (--it->second.Number <= 0) g_IPNumberList.erase(it);
  return true;
}

int32_t GetIpNumber(std::string_view _ip) {
  const auto it = g_IPNumberList.find(FoldKey(_ip));
  return it == g_IPNumberList.end() ? 0 : it->second.Number;
}

bool IsIpAdmitted(int32_t ipnumber) {
  return ipnumber < g_GateConfig.nIpCount;
}

int32_t ConnectBurst() {
  const TGateConfig& c = g_GateConfig;
  if (c.nConnectBurst > 0) return c.nConnectBurst;
  return static_cast<int32_t>(std::min<int64_t>(4ll * std::max(c.nIpCount, 1), INT32_MAX));
}

int32_t ConnectRate() {
  const TGateConfig& c = g_GateConfig;
  return c.nConnectRate > 0 ? c.nConnectRate : std::max(c.nIpCount, 1);
}

void LoadIP(const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) return;
  std::ifstream in;
  if (S_ISREG(st.st_mode)) in.open(fileName, std::ios::binary);
  if (!S_ISREG(st.st_mode) || !in.is_open()) {
    throw std::runtime_error("Cannot open file \"" + fileName + "\". " +
                             std::strerror(S_ISREG(st.st_mode) ? errno : EISDIR));
  }
  g_IPList.clear();
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == ';') continue;
    g_IPList.push_back(line);
  }
  MainOutMessage("IP 黑名单 " + std::to_string(g_IPList.size()));
}

// ---- Status reporting -------------------------------------------------------------------------

void MainOutMessage(std::string_view Msg, ELogPriority priority) {
  std::string line;
  line.reserve(Msg.size() + 24);
  line.push_back('[');
  AppendLocalTime(line, std::time(nullptr));
  line.append("] ");
  // Names and messages of clients come through here: none may start a line of its own. The
  // console's JSON passes bytes through unchecked, so the line must be valid UTF-8 too.
  AppendLogText(Msg, line);
  std::lock_guard<std::mutex> guard(g_MainLog.lock);
  g_MainLog.lines.push_back(std::move(line));
  g_MainLog.priorities.push_back(priority);
}

std::vector<std::string> TakeMainLogLines(std::vector<ELogPriority>* priorities) {
  std::vector<std::string> lines;
  std::lock_guard<std::mutex> guard(g_MainLog.lock);
  lines.swap(g_MainLog.lines);
  if (priorities) {
    priorities->swap(g_MainLog.priorities);
  }
  g_MainLog.priorities.clear();
  return lines;
}

void SendCorvaneMsg(uint16_t wIdent, std::string_view sSendMsg) {
  if (g_dwCorvaneHandle == 0 || g_dwCorvaneHandle > static_cast<uint32_t>(INT_MAX)) return;
  SendControlMessage(static_cast<int>(g_dwCorvaneHandle), wIdent, ControlIndexWord(g_nIndex),
                     sSendMsg);
}

#include "shared/Share.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <limits>
#include <regex>
#include <set>
#include <utility>

#include "protocol/EDcode.h"
#include "protocol/Grobal2.h"
#include "support/TempDir.h"
#include "support/TestClock.h"

namespace {

namespace fs = std::filesystem;

// Runs every case in a fresh working directory with the shared state at its start values.
class ShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::current_path();
    fs::current_path(dir_.Path());
    Reset();
  }
  void TearDown() override {
    fs::current_path(home_);
    Reset();
  }
  static void Reset() {
    g_GateConfig = TGateConfig{};
    g_Config.reset();
    g_ConnectOutTime = 15;
    g_boOpenSSL = false;
    g_boKeepConfigFile = false;
    g_IPNumberList.clear();
    g_IPList.clear();
    g_nIndex = 0;
    g_dwCorvaneHandle = 0;
    TakeMainLogLines();
    InstallCodecTables(DefaultCodecTables());
  }
  static void Put(const std::string& path, const std::string& text) { WriteFile(path, text); }
  static std::string Get(const std::string& path) { return ReadFile(path); }
  // Reads ./Tavrel.ini without writing it back; what it found unusable, as
  // the log words it.
  static std::vector<std::string> LoadUnusable() {
    std::vector<TConfigFinding> found;
    LoadConfig("./Tavrel.ini", EConfigWrite::ReadOnly, &found);
    std::vector<std::string> unusable;
    for (const TConfigFinding& f : found)
      if (f.boPresent) unusable.push_back(DescribeFinding(f));
    return unusable;
  }

  fs::path home_;
  TTempDir dir_{"tavrel-share"};
};

std::string HexTable(int xorWith) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (int x = 0; x < 256; ++x) {
    const int v = x ^ xorWith;
    hex.push_back(digits[v >> 4]);
    hex.push_back(digits[v & 15]);
  }
  return hex;
}

TEST_F(ShareTest, FirstStartWritesEveryKeyWithItsDefault) {
  LoadConfig();
  EXPECT_EQ(Get("Tavrel.ini"),
            "[Tavrel]\n"
            "GateAddr=0.0.0.0\n"
            "GatePort=7303\n"
            "ServerAddr=127.0.0.1\n"
            "ServerPort=5000\n"
            "IpCount=5\n"
            "ServerCheckMsgByte=8192\n"
            "ClientMsgByte=8192\n"
            "ServerCheckTime=180000\n"
            "ClientMsgBuffByte=10485760\n"
            "ServerMsgBuffByte=1048576\n"
            "ConnectOutTime=15\n"
            "OpenSSL=0\n"
            "\n"
            "[Console]\n"
            "Addr=127.0.0.1\n"
            "Port=0\n"
            "Token=\n"
            "\n"
            "[TLS]\n"
            "CertFile=Tavrel.crt\n"
            "KeyFile=Tavrel.key\n"
            "\n"
            "[Proxy]\n"
            "Trusted=\n"
            "\n"
            "[Listen]\n"
            "Addr=\n"
            "\n"
            "[Run]\n"
            "Flush=event\n"
            "Sessions=1000\n"
            "IoThreads=0\n"
            "\n"
            "[Admission]\n"
            "ConnectRate=0\n"
            "ConnectBurst=0\n"
            "\n"
            "[Limits]\n"
            "ClientBytes=536870912\n"
            "\n"
            "[Log]\n"
            "KeepDays=0\n"
            "\n"
            "[Resume]\n"
            "GraceSeconds=0\n"
            "ReplayBytes=65536\n");
  ASSERT_NE(g_Config, nullptr);
  EXPECT_EQ(g_Config->FileName(), "./Tavrel.ini");
  EXPECT_EQ(g_GateConfig.nGatePort, 7303);
  EXPECT_EQ(g_GateConfig.dwServerCheckTime, 180000u);
  EXPECT_FALSE(g_boOpenSSL);

  EXPECT_NE(TakeMainLogLines().back().find("./Tavrel.ini: 28 missing keys written"),
            std::string::npos);

  // A second start finds every key (the empty Token, Trusted and Addr too): it
  // does not write at all, so a read-only file starts.
  fs::permissions("Tavrel.ini", fs::perms::owner_read);
  const std::string first = Get("Tavrel.ini");
  const auto written = fs::last_write_time("Tavrel.ini");
  std::vector<TConfigFinding> found{TConfigFinding{}};
  LoadConfig("./Tavrel.ini", EConfigWrite::WriteBack, &found);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(Get("Tavrel.ini"), first);
  EXPECT_EQ(fs::last_write_time("Tavrel.ini"), written);
  EXPECT_TRUE(TakeMainLogLines().empty());
}

TEST_F(ShareTest, UnusableValuesAreNamedAndACheckWritesNothing) {
  const std::string text =
      "\xEF\xBB\xBF[Tavrel]\nGatePort=7400\nIpCount=1\nConnectOutTime=soon\n"
      "[Console]\nPort=99999\n[Run]\nFlush=sometimes\n";
  Put("Tavrel.ini", text);
  const std::vector<std::string> unusable = LoadUnusable();
  EXPECT_EQ(Get("Tavrel.ini"), text);
  EXPECT_TRUE(TakeMainLogLines().empty());
  // The byte-order mark hides nothing: the section is read.
  EXPECT_EQ(g_GateConfig.nGatePort, 7400);
  EXPECT_EQ(unusable, (std::vector<std::string>{
                          "[Tavrel] IpCount=\"1\" unusable, default 5",
                          "[Tavrel] ConnectOutTime=\"soon\" unusable, default 15",
                          "[Console] Port=\"99999\" unusable, default 0",
                          "[Run] Flush=\"sometimes\" unusable, default event",
                      }));
  EXPECT_TRUE(g_GateConfig.boEventFlush);
  EXPECT_EQ(g_GateConfig.nIpCount, 5);  // 1 would admit nobody

  // Written back: one main-log line for each value replaced, the mark kept, one section.
  g_GateConfig = TGateConfig{};
  LoadConfig();
  std::vector<std::string> logged;
  for (const std::string& line : TakeMainLogLines())
    if (line.find("unusable") != std::string::npos)
      logged.push_back(line.substr(line.find("] ") + 2));
  EXPECT_EQ(logged, unusable);
  const std::string after = Get("Tavrel.ini");
  EXPECT_TRUE(after.starts_with("\xEF\xBB\xBF[Tavrel]\nGatePort=7400\nIpCount=5\n")) << after;
  EXPECT_EQ(after.find("[Tavrel]"), after.rfind("[Tavrel]"));
  std::vector<TConfigFinding> found;
  LoadConfig("./Tavrel.ini", EConfigWrite::WriteBack, &found);
  EXPECT_TRUE(found.empty());
}

// The operator's file (--config): the defaults live in memory, the missing keys are named in
// one line (so that they can be added), each unusable value in its own, and the file is left
// as it is, read-only or not.
TEST_F(ShareTest, TheOperatorsFileIsReadNeverWritten) {
  const std::string text = "[Tavrel]\nGatePort=7400\nIpCount=1\n[Log]\nKeepDays=3\n";
  Put("gw.ini", text);
  fs::permissions("gw.ini", fs::perms::owner_read);
  const auto written = fs::last_write_time("gw.ini");
  std::vector<TConfigFinding> found;
  LoadConfig("gw.ini", EConfigWrite::KeepFile, &found);
  EXPECT_EQ(Get("gw.ini"), text);
  EXPECT_EQ(fs::last_write_time("gw.ini"), written);
  EXPECT_TRUE(g_boKeepConfigFile);
  EXPECT_EQ(g_GateConfig.nGatePort, 7400);
  EXPECT_EQ(g_GateConfig.nLogKeepDays, 3);
  EXPECT_EQ(g_GateConfig.nIpCount, 5);
  EXPECT_EQ(found.size(), 26u);
  std::vector<std::string> lines = TakeMainLogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with("] [Tavrel] IpCount=\"1\" unusable, default 5")) << lines[0];
  EXPECT_NE(lines[1].find("] 25 keys missing from gw.ini, defaults used: [Tavrel] "
                          "GateAddr=0.0.0.0, [Tavrel] ServerAddr=127.0.0.1, [Tavrel] "
                          "ServerPort=5000, [Tavrel] ServerCheckMsgByte=8192, "),
            std::string::npos)
      << lines[1];
  EXPECT_TRUE(lines[1].ends_with(
      ", [Listen] Addr=, [Run] Flush=event, [Run] Sessions=1000, [Run] IoThreads=0, "
      "[Admission] ConnectRate=0, "
      "[Admission] ConnectBurst=0, [Limits] ClientBytes=536870912, "
      "[Resume] GraceSeconds=0, [Resume] ReplayBytes=65536"))
      << lines[1];

  // One key missing reads as one.
  fs::permissions("gw.ini", fs::perms::owner_all);
  LoadConfig("./Tavrel.ini");  // every key with its default
  EXPECT_FALSE(g_boKeepConfigFile);
  std::string complete = Get("Tavrel.ini");
  complete.erase(complete.find("ReplayBytes=65536\n"));
  Put("gw.ini", complete);
  TakeMainLogLines();
  LoadConfig("gw.ini", EConfigWrite::KeepFile);
  lines = TakeMainLogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(
      lines[0].ends_with("] 1 key missing from gw.ini, default used: [Resume] "
                         "ReplayBytes=65536"))
      << lines[0];
  EXPECT_EQ(Get("gw.ini"), complete);
}

// SIGHUP holds the file against what the start read: each other key whose value changed waits
// for a restart and is named with both values; the keys it reloads, keys as they were (a
// missing or unusable one that gives the default in use too) and the test hook are not.
TEST_F(ShareTest, ReloadNamesTheKeysThatWaitForARestartAndWarnsOfUnknownOnes) {
  LoadConfig();
  std::string text = Get("Tavrel.ini");
  const auto replace = [&](const std::string& from, const std::string& to) {
    ASSERT_NE(text.find(from), std::string::npos) << from;
    text.replace(text.find(from), from.size(), to);
  };
  replace("ServerPort=5000\n", "ServerPort=5001\n");
  replace("IpCount=5\n", "IpCount=6\n");
  replace("GateAddr=0.0.0.0\n", "");
  replace("ServerAddr=127.0.0.1\n", "ServerAddr=\n");
  replace("Flush=event\n", "Flush=TICK\nTestScanMs=5\n");
  replace("[Proxy]\n", "[Proxy]\nTrustd=10.0.0.1\n");
  text += "[Codec]\nn4CEEF4=7\n";
  Put("Tavrel.ini", text);
  const size_t typoLine = std::count(text.begin(), text.begin() + text.find("Trustd"), '\n') + 1;

  const TSettingsReload reload = ReloadSettings("./Tavrel.ini");
  EXPECT_EQ(reload.changes, std::vector<std::string>{"IpCount 5 -> 6"});
  EXPECT_EQ(reload.waiting,
            (std::vector<std::string>{
                "ServerPort 5000 -> 5001 in the file: takes effect at the next start",
                "[Run] Flush event -> TICK in the file: takes effect at the next start",
                "[Codec] n4CEEF4 changed in the file: takes effect at the next start",
            }));
  EXPECT_EQ(reload.warnings,
            std::vector<std::string>{"./Tavrel.ini: line " + std::to_string(typoLine) +
                                     ": [Proxy] Trustd is not a key the gateway knows; ignored"});
  EXPECT_EQ(g_GateConfig.nServerPort, 5000);
  EXPECT_TRUE(g_GateConfig.boEventFlush);
  EXPECT_EQ(g_GateConfig.nIpCount, 6);
}

// [Run] Sessions sizes the table: any count from 1 to 65535 is taken, one
// outside (or not a number) is unusable, gets 1000 and is written back; a
// change waits for a restart.
TEST_F(ShareTest, SessionsTakesOneTo65535AndAChangeWaitsForARestart) {
  struct TCase {
    const char* value;
    int32_t taken;
    bool usable;
  };
  for (const TCase& c : {TCase{"5000", 5000, true}, TCase{"65535", 65535, true},
                         TCase{"1", 1, true}, TCase{"65536", 1000, false}, TCase{"0", 1000, false},
                         TCase{"-5", 1000, false}, TCase{"many", 1000, false}}) {
    SCOPED_TRACE(c.value);
    Put("Tavrel.ini", std::string("[Run]\nSessions=") + c.value + "\n");
    g_GateConfig = TGateConfig{};
    const std::vector<std::string> unusable = LoadUnusable();
    EXPECT_EQ(g_GateConfig.nSessions, c.taken);
    const bool named = std::find(unusable.begin(), unusable.end(),
                                 std::string("[Run] Sessions=\"") + c.value +
                                     "\" unusable, default 1000") != unusable.end();
    EXPECT_EQ(named, !c.usable);
    g_GateConfig = TGateConfig{};
    LoadConfig();
    EXPECT_EQ(TIniFile("Tavrel.ini").ReadString("Run", "Sessions", ""),
              c.usable ? c.value : "1000");
  }

  Put("Tavrel.ini", "[Run]\nSessions=5000\n");
  g_GateConfig = TGateConfig{};
  LoadConfig();
  std::string text = Get("Tavrel.ini");
  text.replace(text.find("Sessions=5000"), 13, "Sessions=3000");
  Put("Tavrel.ini", text);
  const TSettingsReload reload = ReloadSettings("./Tavrel.ini");
  EXPECT_TRUE(reload.changes.empty());
  EXPECT_EQ(reload.waiting,
            std::vector<std::string>{
                "[Run] Sessions 5000 -> 3000 in the file: takes effect at the next start"});
  EXPECT_EQ(g_GateConfig.nSessions, 5000);
}

// [Run] IoThreads: 0 to 16 transport threads are taken, anything else is
// unusable, gets 0 and is written back; a change waits for a restart.
TEST_F(ShareTest, IoThreadsTakesZeroTo16AndAChangeWaitsForARestart) {
  struct TCase {
    const char* value;
    int32_t taken;
    bool usable;
  };
  for (const TCase& c : {TCase{"0", 0, true}, TCase{"1", 1, true}, TCase{"16", 16, true},
                         TCase{"17", 0, false}, TCase{"-1", 0, false}, TCase{"two", 0, false}}) {
    SCOPED_TRACE(c.value);
    Put("Tavrel.ini", std::string("[Run]\nIoThreads=") + c.value + "\n");
    g_GateConfig = TGateConfig{};
    const std::vector<std::string> unusable = LoadUnusable();
    EXPECT_EQ(g_GateConfig.nIoThreads, c.taken);
    const bool named = std::find(unusable.begin(), unusable.end(),
                                 std::string("[Run] IoThreads=\"") + c.value +
                                     "\" unusable, default 0") != unusable.end();
    EXPECT_EQ(named, !c.usable);
    g_GateConfig = TGateConfig{};
    LoadConfig();
    EXPECT_EQ(TIniFile("Tavrel.ini").ReadString("Run", "IoThreads", ""), c.usable ? c.value : "0");
  }

  Put("Tavrel.ini", "[Run]\nIoThreads=2\n");
  g_GateConfig = TGateConfig{};
  LoadConfig();
  std::string text = Get("Tavrel.ini");
  text.replace(text.find("IoThreads=2"), 11, "IoThreads=4");
  Put("Tavrel.ini", text);
  const TSettingsReload reload = ReloadSettings("./Tavrel.ini");
  EXPECT_TRUE(reload.changes.empty());
  EXPECT_EQ(reload.waiting,
            std::vector<std::string>{
                "[Run] IoThreads 2 -> 4 in the file: takes effect at the next start"});
  EXPECT_EQ(g_GateConfig.nIoThreads, 2);
}

TEST_F(ShareTest, ValuesAreTakenAsReadAndUnusableOnesRewritten) {
  Put("Tavrel.ini",
      "[Tavrel]\n"
      "GateAddr=10.1.1.1\n"
      "GatePort=70000\n"
      "ServerAddr=\n"
      "ServerPort=0x1388\n"
      "IpCount=abc\n"
      "ClientMsgByte=4096\n"
      "ServerCheckTime=-5\n"
      "ClientMsgBuffByte=-1\n"
      "ConnectOutTime=$1E\n"
      "OpenSSL=2\n"
      "[Console]\n"
      "Port=70000\n"
      "Token=secret\n"
      "[Run]\n"
      "Flush=Tick\n"
      "TestScanMs=500\n"
      "[Admission]\n"
      "ConnectRate=-3\n"
      "ConnectBurst=50\n");
  LoadConfig();
  EXPECT_EQ(g_GateConfig.nConnectRate, 0);  // below 0 is unusable
  EXPECT_EQ(g_GateConfig.nConnectBurst, 50);
  EXPECT_FALSE(g_GateConfig.boEventFlush);  // any letter case
  EXPECT_EQ(g_GateConfig.nTestScanMs, 500u);
  EXPECT_EQ(g_GateConfig.sGateIP, "10.1.1.1");
  EXPECT_EQ(g_GateConfig.nGatePort, 4464);  // 70000 mod 65536
  EXPECT_EQ(g_GateConfig.sServerIP, "127.0.0.1");
  EXPECT_EQ(g_GateConfig.nServerPort, 5000);
  EXPECT_EQ(g_GateConfig.nIpCount, 5);
  EXPECT_EQ(g_GateConfig.nClientMsgByte, 4096);  // start-up, not LoadConfig, forces 2048
  EXPECT_EQ(g_GateConfig.dwServerCheckTime, 0xFFFFFFFFFFFFFFFBull);
  EXPECT_EQ(g_GateConfig.nClientMsgBuffByte, 10485760);
  EXPECT_EQ(g_ConnectOutTime, 30);
  EXPECT_FALSE(g_boOpenSSL);
  EXPECT_EQ(g_GateConfig.nConsolePort, 0);
  EXPECT_EQ(g_GateConfig.sConsoleToken, "secret");

  TIniFile ini("Tavrel.ini");
  EXPECT_EQ(ini.ReadString("Tavrel", "GatePort", ""), "70000");        // kept
  EXPECT_EQ(ini.ReadString("Tavrel", "ServerPort", ""), "0x1388");     // kept as written
  EXPECT_EQ(ini.ReadString("Tavrel", "ServerAddr", ""), "127.0.0.1");  // rewritten
  EXPECT_EQ(ini.ReadString("Tavrel", "IpCount", ""), "5");
  EXPECT_EQ(ini.ReadString("Tavrel", "ClientMsgBuffByte", ""), "10485760");
  EXPECT_EQ(ini.ReadString("Tavrel", "OpenSSL", ""), "2");
  EXPECT_EQ(ini.ReadString("Console", "Port", ""), "0");
  EXPECT_EQ(ini.ReadString("Admission", "ConnectRate", ""), "0");
  // Keys missing from the section are added behind the ones present.
  const std::string text = Get("Tavrel.ini");
  EXPECT_LT(text.find("OpenSSL=2"), text.find("ServerCheckMsgByte=8192"));
  EXPECT_LT(text.find("ServerMsgBuffByte=1048576"), text.find("[Console]"));

  Put("Tavrel.ini", "[Tavrel]\nGatePort=-1\nOpenSSL=1\n");
  g_GateConfig = TGateConfig{};
  LoadConfig();
  EXPECT_EQ(g_GateConfig.nGatePort, 7303);
  EXPECT_TRUE(g_boOpenSSL);
  TIniFile again("Tavrel.ini");
  EXPECT_EQ(again.ReadString("Tavrel", "GatePort", ""), "7303");
}

TEST_F(ShareTest, UnwritableSettingsFileStopsStartUp) {
  try {
    LoadConfig("./missing/Tavrel.ini");
    FAIL() << "no exception";
  } catch (const EIniFileException& e) {
    EXPECT_STREQ(e.what(), "Unable to write to ./missing/Tavrel.ini");
  }
}

TEST_F(ShareTest, CodecSectionIsReadOnlyAndRefusedWhenUnusable) {
  const std::string good = "[Codec]\nEncodeBitMasks=" + HexTable(0x5A) +
                           "\nDecodeBitMasks=" + HexTable(0x5A) +
                           "\nn4CEEF4=0x12345678\nn4CEEFC=$11\nw4CEF00=17\n";
  Put("Tavrel.ini", good);
  LoadConfig();
  const TCodecTables& t = CurrentCodecTables();
  EXPECT_EQ(t.EncodeBitMasks[0], 0x5A);
  EXPECT_EQ(t.DecodeBitMasks[0x5A], 0);
  EXPECT_EQ(t.n4CEEF4, 0x12345678);
  EXPECT_EQ(t.n4CEEFC, 0x11);
  EXPECT_EQ(t.w4CEF00, 17);
  EXPECT_EQ(DeCodeString(EncodeString("round trip")), "round trip");
  // Never written back: the section reads exactly as the operator left it.
  EXPECT_EQ(Get("Tavrel.ini").substr(0, good.size()), good);

  const auto refusal = [&](const std::string& codec) -> std::string {
    Put("Tavrel.ini", "[Codec]\n" + codec);
    InstallCodecTables(DefaultCodecTables());
    try {
      LoadConfig();
    } catch (const EConfigError& e) {
      EXPECT_EQ(CurrentCodecTables().EncodeBitMasks[1], 1) << "nothing installed";
      return e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(refusal("EncodeBitMasks=00ff\n"),
            "./Tavrel.ini [Codec] EncodeBitMasks: expected 512 hexadecimal digits (256 bytes)");
  EXPECT_EQ(refusal("DecodeBitMasks=" + std::string(512, 'z') + "\n"),
            "./Tavrel.ini [Codec] DecodeBitMasks: expected 512 hexadecimal digits (256 bytes)");
  EXPECT_EQ(refusal("n4CEEF8=twelve\n"),
            "./Tavrel.ini [Codec] n4CEEF8: \"twelve\" is not an integer");
  EXPECT_EQ(refusal("w4CEF00=70000\n"), "./Tavrel.ini [Codec] w4CEF00: must lie from 0 to 65535");
  // Well-formed tables that do not invert each other.
  const std::string notInverse = refusal("EncodeBitMasks=" + HexTable(0x5A) + "\n");
  EXPECT_TRUE(notInverse.starts_with("./Tavrel.ini [Codec]: ")) << notInverse;
  EXPECT_NE(notInverse.find("does not invert"), std::string::npos) << notInverse;
  EXPECT_EQ(refusal("EncodeBitMasks=" + std::string(512, '0') + "\n"),
            "./Tavrel.ini [Codec]: EncodeBitMasks is not a permutation of 0..255");
}

// The codec's keys as the protocol reference states them: signed 32-bit
// decimals, or hexadecimal of at most 32 bits, a sign before it negating it.
TEST_F(ShareTest, CodecKeysAreSignedDecimalsOrThirtyTwoBitHex) {
  Put("Tavrel.ini",
      "[Codec]\nn4CEEF4=-1\nn4CEEF8=-2147483648\nn4CEEFC=0xFFFFFFFE\nw4CEF00=$FFFE\n");
  LoadConfig();
  const TCodecTables& t = CurrentCodecTables();
  EXPECT_EQ(t.n4CEEF4, -1);
  EXPECT_EQ(t.n4CEEF8, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(t.n4CEEFC, -2);
  EXPECT_EQ(t.w4CEF00, 65534);
  EXPECT_EQ(DeCodeString(EncodeString("round trip")), "round trip");
  for (const char* bad : {"n4CEEF4=2147483648", "n4CEEF8=0x100000000", "n4CEEFC=1e3",
                          "n4CEEFC=12abc", "w4CEF00=-1"}) {
    Put("Tavrel.ini", std::string("[Codec]\n") + bad + "\n");
    EXPECT_THROW(LoadConfig(), EConfigError) << bad;
  }
}

// Section and key of every line a file holds, in order.
std::vector<std::string> KeysOf(const TIniFile& ini) {
  std::vector<std::string> keys;
  ini.ForEachEntry([&](size_t, std::string_view section, std::string_view key, std::string_view) {
    if (!key.empty()) keys.push_back(std::string(section) + " " + std::string(key));
  });
  return keys;
}

std::vector<std::string> KnownKeys(ESettingUse use) {
  std::vector<std::string> keys;
  for (const TKnownSetting& k : KnownSettings())
    if (k.use == use) keys.push_back(std::string(k.sSection) + " " + k.sKey);
  return keys;
}

TEST_F(ShareTest, KnownSettingsAreWhatTheGatewayReads) {
  // Every key written back is in the table, in the table's order, and nothing else is.
  LoadConfig();
  EXPECT_EQ(KeysOf(*g_Config), KnownKeys(ESettingUse::Written));
  // A file holding every key of the table draws no warning; the read-only and hidden keys are
  // read (a second table does not invert the identity, the scan interval is taken).
  std::string all;
  std::string section;
  for (const TKnownSetting& k : KnownSettings()) {
    if (section != k.sSection) all += "[" + (section = k.sSection) + "]\n";
    const std::string_view key = k.sKey;
    std::string value = "1";
    if (key.ends_with("BitMasks")) value = HexTable(0x33);
    if (key.ends_with("Addr") || key == "Trusted") value = "127.0.0.1";
    all += std::string(k.sKey) + "=" + value + "\n";
  }
  Put("Tavrel.ini", all);
  EXPECT_EQ(ConfigWarnings(TIniFile("Tavrel.ini")), std::vector<std::string>{});
  std::vector<std::string> warnings{"x"};
  LoadConfig("./Tavrel.ini", EConfigWrite::ReadOnly, nullptr, &warnings);
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(g_GateConfig.nTestScanMs, 1u);
  EXPECT_EQ(CurrentCodecTables().EncodeBitMasks[0], 0x33);
}

TEST_F(ShareTest, WarningsNameTyposRepeatsAndValuesTakenOtherThanWritten) {
  const std::string text =
      "Stray=1\n"
      "[Tavrel]\n"
      "GatePort=70000\n"
      "ServerPrt=5000\n"
      "ServerAddr=game.example  ; a name\n"
      "ServerPort=0\n"
      "OpenSSL=2\n"
      "gateport=7000\n"
      "[Consle]\n"
      "Port=9000\n"
      "[Proxy]\n"
      "Trusted=10.0.0.1, 10.0.0.0/8 ,, ::1,lb.example  # balancers\n"
      "[Run]\n"
      "TestScanMs=5\n"
      "[tavrel]\n"
      "IpCount=1\n"
      "[Codec]\n"
      "n4CEEF4=0\n";
  Put("Tavrel.ini", text);
  const std::vector<std::string> expected{
      "line 1: Stray comes before any section; ignored",
      "line 4: [Tavrel] ServerPrt is not a key the gateway knows; ignored",
      "line 8: [Tavrel] gateport appears again; only its first occurrence is read",
      "line 9: [Consle] is not a section the gateway knows; ignored",
      "line 15: [tavrel] appears again; only its first occurrence is read",
      "line 3: [Tavrel] GatePort=70000 is outside 1..65535; taken as 4464",
      "line 6: [Tavrel] ServerPort=0 is outside 1..65535; taken as 0",
      "line 7: [Tavrel] OpenSSL=2 is neither 0 nor 1; taken as 0 (no TLS)",
      "line 5: [Tavrel] ServerAddr=game.example is not a dotted IPv4 address; the game server "
      "cannot "
      "be reached by it",
      "line 12: [Proxy] Trusted entry \"10.0.0.0/8\" is not an address; ignored",
      "line 12: [Proxy] Trusted entry \"lb.example\" is not an address; ignored",
  };
  std::vector<std::string> warnings;
  LoadConfig("./Tavrel.ini", EConfigWrite::ReadOnly, nullptr, &warnings);
  EXPECT_EQ(warnings, expected);
  EXPECT_EQ(Get("Tavrel.ini"), text);
  EXPECT_TRUE(TakeMainLogLines().empty());

  // At start each is a main-log line naming the file.
  LoadConfig();
  std::vector<std::string> logged;
  for (const std::string& line : TakeMainLogLines()) {
    if (const size_t at = line.find("./Tavrel.ini: ");
        at != std::string::npos && line.find("missing keys") == line.npos)
      logged.push_back(line.substr(at + 14));
  }
  logged.resize(std::min(logged.size(), expected.size()));
  EXPECT_EQ(logged, expected);

  // A file of nothing but typos says so a bounded number of times.
  std::string many = "[Tavrel]\n";
  for (int i = 0; i < 5000; ++i) many += "Key" + std::to_string(i) + "=\x1b[31m\n";
  Put("Tavrel.ini", many);
  warnings = ConfigWarnings(TIniFile("Tavrel.ini"));
  ASSERT_EQ(warnings.size(), kMaxConfigWarnings + 1);
  EXPECT_EQ(warnings.back(),
            std::to_string(5000 - kMaxConfigWarnings) + " more warnings not shown");
  // Names from the file never carry control bytes into a log line or a terminal.
  Put("Tavrel.ini", "[Tav\x1b[2Jrel]\n");
  warnings = ConfigWarnings(TIniFile("Tavrel.ini"));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].find('\x1b'), std::string::npos) << warnings[0];
}

TEST_F(ShareTest, ExampleSettingsFileShowsEveryKeyTheGatewayWrites) {
  const TIniFile example(TAVREL_EXAMPLE_INI);
  ASSERT_EQ(example.Problem(), "");
  EXPECT_EQ(ConfigWarnings(example), std::vector<std::string>{});
  std::vector<std::string> shown = KeysOf(example);
  std::sort(shown.begin(), shown.end());
  std::vector<std::string> written = KnownKeys(ESettingUse::Written);
  std::sort(written.begin(), written.end());
  EXPECT_EQ(shown, written);
  // [Codec] stays out (present, its keys would replace the identity tables) but is named in a
  // comment; the hidden test hooks are not settings and stay out of it altogether.
  const std::string text = ReadFile(TAVREL_EXAMPLE_INI);
  for (const std::string& key : KnownKeys(ESettingUse::ReadOnly))
    EXPECT_NE(text.find(key.substr(key.find(' ') + 1)), std::string::npos) << key;
  for (const std::string& key : KnownKeys(ESettingUse::Hidden))
    EXPECT_EQ(text.find(key.substr(key.find(' ') + 1)), std::string::npos) << key;
}

TEST_F(ShareTest, SettingsFileThatCannotBeReadStopsStartUpUntouched) {
  fs::create_directory("Tavrel.ini");
  for (const EConfigWrite mode : {EConfigWrite::WriteBack, EConfigWrite::ReadOnly}) {
    try {
      LoadConfig("./Tavrel.ini", mode);
      ADD_FAILURE() << "no exception";
    } catch (const EConfigError& e) {
      EXPECT_STREQ(e.what(), "settings file ./Tavrel.ini is a directory");
    }
  }
  EXPECT_TRUE(fs::is_empty("Tavrel.ini"));
  fs::remove("Tavrel.ini");
  const std::string big = "[Tavrel]\n" + std::string(TIniFile::kMaxFileBytes, ';');
  Put("Tavrel.ini", big);
  EXPECT_THROW(LoadConfig(), EConfigError);
  EXPECT_EQ(Get("Tavrel.ini"), big);
  EXPECT_TRUE(TakeMainLogLines().empty());
}

TEST_F(ShareTest, DottedAddressesAndTheirSubstitutes) {
  EXPECT_TRUE(IsIPaddr("127.0.0.1"));
  EXPECT_TRUE(IsIPaddr("0.0.0.0"));
  EXPECT_TRUE(IsIPaddr("255.255.255.255"));
  EXPECT_TRUE(IsIPaddr("010.1.1.1"));
  for (const char* bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..3.4", "1.2.3.", ".1.2.3", "",
                          "a.b.c.d", "1.2.3.-4", "1.2.3.4 ", "1.2.3.99999999999"}) {
    EXPECT_FALSE(IsIPaddr(bad)) << bad;
  }

  const std::pair<const char*, const char*> kept[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"[::ffff:127.0.0.1]:5000", "127.0.0.1"},
      {"[::ffff:10.2.3.4]", "10.2.3.4"},
      // IPv6 peers keep their own address, in its standard text.
      {"[::1]:80", "::1"},
      {"[2001:DB8:0:0:0:0:1:7]:4242", "2001:db8::1:7"},
      {"2001:db8::9", "2001:db8::9"},
      {"[::ffff:7f00:2]:1", "127.0.0.2"},
  };
  for (const auto& [peer, address] : kept) EXPECT_EQ(GetSocketIpaddr(peer), address) << peer;
  const std::regex loopback(R"(127\.0\.0\.(\d+))");
  std::set<std::string> seen;
  for (const char* odd :
       {"127.0.0.1:5000", "[::1", "[2001:db8::1::2]:80", "1.2.3.256", "1.2.3", "1.2.3.4.5", "",
        "host.example", "[::ffff:1.2.3.4", "[::ffff:1.2.3.999]:1"}) {
    for (int i = 0; i < 20; ++i) {
      const std::string got = GetSocketIpaddr(odd);
      std::smatch m;
      ASSERT_TRUE(std::regex_match(got, m, loopback)) << odd << " -> " << got;
      EXPECT_LE(std::stoi(m[1]), 254);
      seen.insert(got);
    }
  }
  EXPECT_GT(seen.size(), 1u);  // drawn anew on every call
}

// Connections are counted under a key that is the same at the connect and
// the disconnect: an IPv6 subscriber's whole /64, a mapped peer's IPv4
// address, and never a random substitute.
TEST_F(ShareTest, AdmissionKeysGroupIpv6ByPrefixAndNeverDrift) {
  const std::pair<const char*, const char*> keys[] = {
      {"10.0.0.9", "10.0.0.9"},
      {"[::ffff:10.0.0.9]:5000", "10.0.0.9"},
      {"[::ffff:a00:9]:1", "10.0.0.9"},
      {"[::1]:5000", "::/64"},
      {"[2001:db8:1:2:aaaa:bbbb:cccc:dddd]:1", "2001:db8:1:2::/64"},
      {"[2001:db8:1:2::5]:2", "2001:db8:1:2::/64"},
      {"[2001:DB8:1:3::5]:2", "2001:db8:1:3::/64"},
      {"[fe80::1:2%eth0]:2", "fe80::/64"},
      {"[64:ff9b::198.51.100.7]:2", "198.51.100.7"},  // NAT64
      {"[64:ff9b::1:c633:6408]:2", "64:ff9b::/64"},   // outside the /96
  };
  for (const auto& [peer, key] : keys) EXPECT_EQ(IpAdmissionKey(peer), key) << peer;
  for (const char* odd : {"127.0.0.1:5000", "host.example", "", "[::1"})
    EXPECT_EQ(IpAdmissionKey(odd), odd);

  // Many peers of one /64, coming and going from ever other ports: the count
  // holds them together and returns to nothing.
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 3; ++i) {
      const std::string peer =
          "[2001:db8::" + std::to_string(round * 3 + i + 1) + "]:" + std::to_string(40000 + round);
      EXPECT_EQ(CheckIpNumber(IpAdmissionKey(peer)), i + 1);
    }
    for (int i = 0; i < 3; ++i)
      DecIpNumber(IpAdmissionKey("[2001:db8::" + std::to_string(round * 3 + i + 1) + "]:9"));
  }
  EXPECT_TRUE(g_IPNumberList.empty());  // back at zero, the entry went
}

TEST_F(ShareTest, PerAddressCountsFollowIpCount) {
  const std::string ip = "10.0.0.9";
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(CheckIpNumber(ip), i);
    EXPECT_TRUE(IsIpAdmitted(i));
  }
  EXPECT_EQ(CheckIpNumber(ip), 5);  // the fifth is refused and keeps its increment
  EXPECT_FALSE(IsIpAdmitted(5));
  EXPECT_TRUE(DecIpNumber(ip));  // the refused one's disconnect
  EXPECT_TRUE(DecIpNumber(ip));  // one admitted one leaves
  EXPECT_EQ(GetIpNumber(ip), 3);
  EXPECT_TRUE(IsIpAdmitted(CheckIpNumber(ip)));  // 4

  EXPECT_FALSE(DecIpNumber("10.9.9.9"));  // never seen: no entry made
  EXPECT_EQ(g_IPNumberList.count("10.9.9.9"), 0u);

  // An address whose count is back at zero leaves the table; a disconnect
  // more than connects finds nothing to take back.
  EXPECT_EQ(CheckIpNumber("10.0.0.1"), 1);
  EXPECT_TRUE(DecIpNumber("10.0.0.1"));
  EXPECT_EQ(g_IPNumberList.count("10.0.0.1"), 0u);
  EXPECT_FALSE(DecIpNumber("10.0.0.1"));
  EXPECT_EQ(GetIpNumber("10.0.0.1"), 0);

  g_GateConfig.nIpCount = 2;
  EXPECT_TRUE(IsIpAdmitted(1));
  EXPECT_FALSE(IsIpAdmitted(2));

  // The connection rate follows IpCount unless [Admission] sets it.
  EXPECT_EQ(ConnectBurst(), 8);
  EXPECT_EQ(ConnectRate(), 2);
  g_GateConfig.nIpCount = 5;
  EXPECT_EQ(ConnectBurst(), 20);
  EXPECT_EQ(ConnectRate(), 5);
  g_GateConfig.nIpCount = 1 << 30;  // a limit set out of the way
  EXPECT_EQ(ConnectBurst(), INT32_MAX);
  g_GateConfig.nConnectBurst = 3;
  g_GateConfig.nConnectRate = 1;
  EXPECT_EQ(ConnectBurst(), 3);
  EXPECT_EQ(ConnectRate(), 1);
}

TEST_F(ShareTest, AddressListKeepsLinesAndLogsTheirCount) {
  LoadIP();  // no file: nothing at all
  EXPECT_TRUE(TakeMainLogLines().empty());

  Put("Ip.txt", "; comment\n\n;another\r\n");
  LoadIP();
  EXPECT_TRUE(g_IPList.empty());
  std::vector<std::string> log = TakeMainLogLines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].ends_with("] IP 黑名单 0")) << log[0];

  Put("Ip.txt", "1.2.3.4\r\n;x\n  spaced \nnot-an-address");
  LoadIP();
  EXPECT_EQ(g_IPList, (std::vector<std::string>{"1.2.3.4", "  spaced ", "not-an-address"}));
  log = TakeMainLogLines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].ends_with("] IP 黑名单 3"));

  fs::remove("Ip.txt");
  fs::create_directory("Ip.txt");
  EXPECT_THROW(LoadIP(), std::runtime_error);
}

TEST_F(ShareTest, MainLogLinesAreStampedValidUtf8InOrder) {
  MainOutMessage("获得端口 7303");
  MainOutMessage(std::string("bad \xFF byte, cut \xE4\xB8 and stray \x80\x80 end"));
  MainOutMessage("");
  MainOutMessage("[1]*#evil\n[2026-01-01 00:00:00] forged");
  const std::vector<std::string> lines = TakeMainLogLines();
  ASSERT_EQ(lines.size(), 4u);
  const std::string stamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + "获得端口 7303"))) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("] bad ? byte, cut ? and stray ? end")) << lines[1];
  EXPECT_TRUE(lines[2].ends_with("] "));
  // A client's text cannot start a line of its own.
  EXPECT_TRUE(lines[3].ends_with("] [1]*#evil\\x0A[2026-01-01 00:00:00] forged")) << lines[3];
  EXPECT_TRUE(TakeMainLogLines().empty());
}

TEST_F(ShareTest, StatusMessagesGoOverTheControlChannel) {
  int fd[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fd), 0);
  g_dwCorvaneHandle = static_cast<uint32_t>(fd[0]);
  g_nIndex = 65500;
  SendCorvaneMsg(SG_STARTOK, "启动");
  uint8_t buf[64];
  const ssize_t n = recv(fd[1], buf, sizeof(buf), MSG_DONTWAIT);
  const std::vector<uint8_t> got(buf, buf + (n < 0 ? 0 : n));
  std::vector<uint8_t> want = {0x02, 0x00, 0x03, 0x7D};
  for (const char c : std::string("启动")) want.push_back(static_cast<uint8_t>(c));
  want.push_back(0);
  EXPECT_EQ(got, want);

  g_dwCorvaneHandle = 0;  // no control program: nothing goes anywhere
  SendCorvaneMsg(SG_TAVREL, "1");
  EXPECT_LT(recv(fd[1], buf, sizeof(buf), MSG_DONTWAIT), 0);
  close(fd[0]);
  close(fd[1]);
}

}  // namespace

namespace {

// The verbose log is for a look, not a mode to forget on; switching it on
// again starts its ten minutes again.
TEST(ShowLogTest, TheVerboseLogSwitchesItselfOffAfterTenMinutes) {
  UseTestClock();
  SetShowLog(true);
  EXPECT_FALSE(ExpireShowLog(g_now + kShowLogMs - 1));
  g_now += kShowLogMs / 2;
  SetShowLog(true);  // already on: its time runs from the first switch
  EXPECT_TRUE(ExpireShowLog(g_now + kShowLogMs / 2));
  EXPECT_FALSE(boShowLog);
  EXPECT_FALSE(ExpireShowLog(g_now + 2 * kShowLogMs));  // once
  SetShowLog(true);
  EXPECT_FALSE(ExpireShowLog(g_now + kShowLogMs - 1));
  SetShowLog(false);
  ReleaseTestClock();
}

// Each main-log line keeps its priority beside it, for the journal.
TEST(MainLogTest, LinesKeepTheirPriorities) {
  TakeMainLogLines();
  MainOutMessage("info");
  MainOutWarning("warn");
  MainOutError("err");
  std::vector<ELogPriority> priorities;
  const std::vector<std::string> lines = TakeMainLogLines(&priorities);
  ASSERT_EQ(lines.size(), 3u);
  ASSERT_EQ(priorities.size(), 3u);
  EXPECT_EQ(priorities[0], ELogPriority::Info);
  EXPECT_EQ(priorities[1], ELogPriority::Warning);
  EXPECT_EQ(priorities[2], ELogPriority::Error);
  EXPECT_TRUE(lines[1].ends_with("] warn"));
  // Taken without their priorities, the next lines start a fresh list.
  MainOutError("x");
  TakeMainLogLines();
  MainOutMessage("y");
  EXPECT_EQ((TakeMainLogLines(&priorities), priorities),
            std::vector<ELogPriority>{ELogPriority::Info});
}

}  // namespace

// [Resume] holds a session slot and memory per session for what it keeps:
// values past its bounds fall back to the defaults rather than being taken.
TEST_F(ShareTest, ResumeKeysOutsideTheirBoundsAreUnusable) {
  Put("Tavrel.ini", "[Resume]\nGraceSeconds=601\nReplayBytes=16777217\n");
  EXPECT_EQ(LoadUnusable(), (std::vector<std::string>{
                                "[Resume] GraceSeconds=\"601\" unusable, default 0",
                                "[Resume] ReplayBytes=\"16777217\" unusable, default 65536",
                            }));
  EXPECT_EQ(g_GateConfig.nResumeGraceSeconds, 0);
  EXPECT_EQ(g_GateConfig.nResumeReplayBytes, 65536);

  Put("Tavrel.ini", "[Resume]\nGraceSeconds=600\nReplayBytes=0\n");
  g_GateConfig = TGateConfig{};
  EXPECT_TRUE(LoadUnusable().empty());
  EXPECT_EQ(g_GateConfig.nResumeGraceSeconds, 600);
  EXPECT_EQ(g_GateConfig.nResumeReplayBytes, 0);
}

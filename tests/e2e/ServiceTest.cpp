// The gateway as a service: flags, start failures with and without a control
// program, the drain on SIGTERM, the TLS reload on SIGHUP, the settings file
// left alone, the control channel that never writes elsewhere, and what a
// service manager hears on $NOTIFY_SOCKET.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "protocol/ProtocolVersion.h"
#include "shared/Version.h"
#include "support/NotifyReceiver.h"

namespace {

namespace fs = std::filesystem;

// Everything the gateway wrote into its log files.
std::string LogFiles(const TTempDir& dir) {
  std::string logs;
  if (!fs::exists(dir.File("Log"))) return logs;
  for (auto& f : fs::recursive_directory_iterator(dir.File("Log")))
    if (f.is_regular_file()) logs += dir.Read(fs::relative(f.path(), dir.Path()).string());
  return logs;
}

std::vector<std::string> Entries(const TTempDir& dir) {
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir.Path())) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs the gateway with `args` in `dir` to its end; the output and exit code.
std::pair<std::string, std::optional<int>> RunToEnd(const TTempDir& dir,
                                                    const std::vector<std::string>& args) {
  TProcess p(TAVRELH5_BIN, args, dir.Path());
  const auto code = p.WaitExit(5s);
  p.WaitForLine("\x01never", 100ms);  // let the reader take the last lines
  std::string out;
  for (const std::string& line : p.Lines()) out += line + "\n";
  return {out, code};
}

// The subject line of the certificate a TLS server on `port` presents.
std::string ServerCertificateSubject(uint16_t port) {
  const std::string cmd = "timeout 5 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                          " </dev/null 2>/dev/null | openssl x509 -noout -subject 2>/dev/null";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

bool MakeCertificate(const TTempDir& dir, const std::string& cn) {
  const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=" + cn +
                          " -keyout '" + dir.File("Tavrel.key") + "' -out '" +
                          dir.File("Tavrel.crt") + "' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// Starts the rig's gateway with NOTIFY_SOCKET naming `socket`. The child
// inherits the environment at its start; the test's own threads never read it.
void StartGatewayNotifying(TGatewayRig& rig, const std::string& socket) {
  ASSERT_EQ(setenv("NOTIFY_SOCKET", socket.c_str(), 1), 0);
  rig.StartGateway();
  unsetenv("NOTIFY_SOCKET");
}

TEST(Service, FlagsStartNothingAndWriteNothing) {
  TTempDir dir;
  auto [help, helpCode] = RunToEnd(dir, {"--help"});
  EXPECT_EQ(helpCode, 0);
  EXPECT_NE(help.find("--check-config"), std::string::npos);
  auto [version, versionCode] = RunToEnd(dir, {"--version"});
  EXPECT_EQ(versionCode, 0);
  EXPECT_TRUE(version.starts_with("tavrelh5 " + std::string(kTavrelVersion) + "\nprotocol " +
                                  kProtocolVersion + "\nbuild "))
      << version;
  auto [unknown, unknownCode] = RunToEnd(dir, {"--frobnicate", "7303"});
  EXPECT_EQ(unknownCode, 2);
  EXPECT_NE(unknown.find("unknown flag --frobnicate"), std::string::npos);
  // No file, no directory: a start would create Tavrel.ini and say so.
  auto [fresh, freshCode] = RunToEnd(dir, {"--check-config"});
  EXPECT_EQ(freshCode, 0);
  EXPECT_NE(fresh.find("[Tavrel] GatePort missing, default 7303"), std::string::npos) << fresh;
  EXPECT_NE(fresh.find("the gateway would start"), std::string::npos);
  EXPECT_TRUE(Entries(dir).empty());

  // An unusable key is named with its line and the value it would get (the file is read other
  // than as written: 2); the file stays as it is.
  const std::string ini = "[Tavrel]\nGatePort=7400\nIpCount=1\n";
  dir.Write("Tavrel.ini", ini);
  const auto written = fs::last_write_time(dir.File("Tavrel.ini"));
  auto [bad, badCode] = RunToEnd(dir, {"--check-config"});
  EXPECT_EQ(badCode, 2);
  EXPECT_NE(bad.find("./Tavrel.ini: warning: line 3: [Tavrel] IpCount=\"1\" unusable, default 5"),
            std::string::npos)
      << bad;
  EXPECT_EQ(bad.find("GatePort"), std::string::npos);
  EXPECT_EQ(dir.Read("Tavrel.ini"), ini);
  EXPECT_EQ(fs::last_write_time(dir.File("Tavrel.ini")), written);
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"Tavrel.ini"});

  // Codec tables that do not invert: the gateway would refuse, and says why.
  std::string notPermutation;  // 0 twice, 1 never
  for (int i = 0; i < 256; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", i == 1 ? 0 : i);
    notPermutation += hex;
  }
  dir.Write("Tavrel.ini", ini + "[Codec]\nEncodeBitMasks=" + notPermutation + "\n");
  auto [codec, codecCode] = RunToEnd(dir, {"--check-config"});
  EXPECT_EQ(codecCode, 1);
  EXPECT_NE(codec.find("would refuse to start"), std::string::npos) << codec;
  EXPECT_NE(codec.find("[Codec]"), std::string::npos);
  EXPECT_NE(codec.find("IpCount"), std::string::npos);  // still listed
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"Tavrel.ini"});
}

// The habits of other daemons: -h, -v and -t are the long flags; any other argument that begins
// with "-", wherever it stands, is refused with the usage instead of starting a gateway.
TEST(Service, ShortFlagsAreTheLongOnesAndOtherDashesAreRefused) {
  TTempDir dir;
  for (const auto& [shortFlag, longFlag] :
       {std::pair{"-h", "--help"}, {"-v", "--version"}, {"-t", "--check-config"}}) {
    SCOPED_TRACE(shortFlag);
    auto [shortOut, shortCode] = RunToEnd(dir, {shortFlag});
    auto [longOut, longCode] = RunToEnd(dir, {longFlag});
    EXPECT_EQ(shortCode, 0) << shortOut;
    EXPECT_EQ(shortCode, longCode);
    EXPECT_EQ(shortOut, longOut);
  }
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-x"},
                                               {"--config", "gw.ini", "-x"},
                                               {"0", "-x"},
                                               {"0", "", "", "0", "-7303"},
                                               {"-"},
                                               {"-h", "-v"}}) {
    SCOPED_TRACE(args.back());
    auto [out, code] = RunToEnd(dir, args);
    EXPECT_EQ(code, 2) << out;
    EXPECT_NE(out.find("tavrelh5: "), std::string::npos) << out;
    EXPECT_NE(out.find("Usage: tavrelh5"), std::string::npos) << out;
  }
  EXPECT_TRUE(Entries(dir).empty());  // no Tavrel.ini, no Log/
}

TEST(Service, FailedStartExitsWithoutAControlProgramAndStaysUnderOne) {
  TPortHolder taken;
  ASSERT_NE(taken.port, 0);
  TGatewayRig::TOptions options;
  options.startGameServer = false;
  TGatewayRig rig(options);
  rig.dir.Write("Tavrel.ini", "[Tavrel]\nGatePort=" + std::to_string(taken.port) +
                                  "\n[Listen]\nAddr=127.0.0.1\n[Console]\nPort=" +
                                  std::to_string(FreePort()) + "\n");
  const std::string cause = "127.0.0.1 port " + std::to_string(taken.port);
  rig.StartGateway();
  EXPECT_EQ(rig.gateway->WaitExit(5s), 1);
  EXPECT_GE(rig.WaitGate("tavrelh5: cannot start: Cannot listen on " + cause, 1s), 0);
  EXPECT_NE(LogFiles(rig.dir).find("Cannot listen on " + cause), std::string::npos);

  // Under a control program the failed start stays, until SIGTERM ends it.
  rig.options.controlChannel = true;
  rig.StartGateway();
  EXPECT_GE(rig.WaitGate("[Exception] StartService", 5s), 0);
  EXPECT_FALSE(rig.gateway->WaitExit(1500ms));
  rig.gateway->Signal(SIGTERM);
  EXPECT_EQ(rig.gateway->WaitExit(5s), 0);
  rig.control.reset();

  // A missing certificate is named the same way.
  rig.options.controlChannel = false;
  rig.dir.Write("Tavrel.ini", "[Tavrel]\nGatePort=" + std::to_string(FreePort()) +
                                  "\nOpenSSL=1\n[Listen]\nAddr=127.0.0.1\n[Console]\nPort=" +
                                  std::to_string(FreePort()) + "\n");
  rig.StartGateway();
  EXPECT_EQ(rig.gateway->WaitExit(5s), 1);
  EXPECT_GE(rig.WaitGate("tavrelh5: cannot start: Cannot load TLS certificate Tavrel.crt", 1s), 0);
}

TEST(Service, SigtermDrainsClientsAndTellsTheGameServer) {
  TGatewayRig rig;
  ASSERT_TRUE(rig.StartLinked());
  EXPECT_GE(rig.WaitGate("Listening on ws://127.0.0.1:" + std::to_string(rig.gatePort) + "/"), 0);
  EXPECT_GE(rig.WaitGate("Console http://127.0.0.1:"), 0);
  // SIGHUP on a plain gateway reloads nothing and ends nothing.
  rig.gateway->Signal(SIGHUP);
  EXPECT_GE(rig.WaitGate("SIGHUP: TLS is off"), 0);

  TWsClient player, silent;
  size_t from = rig.gamesim->LineCount();
  ASSERT_TRUE(player.Connect(rig.gatePort));
  ASSERT_TRUE(player.Login("acctT", "nameT", "uidT"));
  ASSERT_GE(rig.WaitSim("uid=\"uidT\"", 3s, from), 0);
  std::smatch m;
  const int open = rig.WaitSim("recv GM_OPEN", 3s, from);
  ASSERT_GE(open, 0);
  const std::string line = rig.gamesim->Lines()[open];
  ASSERT_TRUE(std::regex_search(line, m, std::regex("handle=(\\d+)")));
  const std::string handle = m[1];
  // A client that never answers the close frame does not hold the end up.
  ASSERT_TRUE(silent.Connect(rig.gatePort));

  // 100 KB leave 2048 bytes a tick: most is still queued when SIGTERM comes.
  const std::string big(100000, 'q');
  rig.Sim("data " + handle + " text " + big);
  ASSERT_TRUE(player.ReadRaw(3s));
  from = rig.gamesim->LineCount();
  const auto sent = std::chrono::steady_clock::now();
  rig.gateway->Signal(SIGTERM);
  std::string got;
  for (;;) {
    auto raw = player.ReadRaw(5s);
    if (!raw) break;
    got += *raw;
  }
  EXPECT_TRUE(player.WaitClosed(1s));
  EXPECT_EQ(player.CloseCode(), 1001);
  EXPECT_EQ(player.CloseReason(), "gateway shutting down");
  EXPECT_NE(got.find(big.substr(0, 90000)), std::string::npos) << "queued bytes lost";
  EXPECT_TRUE([&] {
    for (int at = from; (at = rig.WaitSim("recv GM_CLOSE", 3s, at)) >= 0; ++at)
      if (rig.gamesim->Lines()[at].find(" handle=" + handle + " ") != std::string::npos)
        return true;
    return false;
  }()) << "no GM_CLOSE for the player";
  EXPECT_EQ(rig.gateway->WaitExit(6s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s);
  EXPECT_NE(LogFiles(rig.dir).find("Closing: draining 2 connections"), std::string::npos);
}

// A TLS gateway with a certificate for `cn`, linked to its game server; null
// when any of that fails.
std::unique_ptr<TGatewayRig> StartTlsGateway(const std::string& cn) {
  TGatewayRig::TOptions options;
  options.tls = true;
  auto rig = std::make_unique<TGatewayRig>(options);
  if (!MakeCertificate(rig->dir, cn)) return nullptr;
  if (!rig->StartLinked()) return nullptr;
  return rig;
}

TEST(Service, SighupReloadsTheCertificateForNewConnections) {
  const auto tls = StartTlsGateway("first");
  ASSERT_TRUE(tls);
  TGatewayRig& rig = *tls;
  EXPECT_GE(rig.WaitGate("Listening on wss://127.0.0.1:"), 0);
  TWsClient before;
  ASSERT_TRUE(before.Connect(rig.gatePort, "", true));
  ASSERT_TRUE(before.Login("a1", "n1", "u1"));
  EXPECT_NE(ServerCertificateSubject(rig.gatePort).find("CN = first"), std::string::npos);

  ASSERT_TRUE(MakeCertificate(rig.dir, "second"));
  size_t from = rig.gateway->LineCount();
  rig.gateway->Signal(SIGHUP);
  EXPECT_GE(rig.WaitGate("reloaded for new connections", 3s, from), 0);
  EXPECT_NE(ServerCertificateSubject(rig.gatePort).find("CN = second"), std::string::npos);

  // A file that cannot be loaded keeps the certificate in use.
  rig.dir.Write("Tavrel.crt", "not a certificate\n");
  from = rig.gateway->LineCount();
  rig.gateway->Signal(SIGHUP);
  EXPECT_GE(rig.WaitGate("TLS reload failed, the old certificate stays in use", 3s, from), 0);
  EXPECT_NE(ServerCertificateSubject(rig.gatePort).find("CN = second"), std::string::npos);

  // A FIFO nobody writes in place of the certificate: refused, never waited on.
  fs::remove(rig.dir.File("Tavrel.crt"));
  ASSERT_EQ(mkfifo(rig.dir.File("Tavrel.crt").c_str(), 0600), 0);
  from = rig.gateway->LineCount();
  rig.gateway->Signal(SIGHUP);
  EXPECT_GE(rig.WaitGate("TLS reload failed, the old certificate stays in use", 3s, from), 0);
  EXPECT_NE(ConsoleGet(rig, "/healthz").find("200 OK"), std::string::npos);

  // The connection from before is served throughout.
  from = rig.gamesim->LineCount();
  before.SendText(ClientMessage(CM_HEART, 5));
  EXPECT_GE(rig.WaitSim("ident=60000 recog=5", 3s, from), 0);
  EXPECT_FALSE(rig.gateway->WaitExit(100ms));
}

// TLS handshakes left pending from one address count for it from the TCP
// accept, before any byte of TLS is read: past twice IpCount the rest are
// closed at once, so they cannot hold memory and descriptors, and a client
// from another address completes its own handshake.
TEST(Service, PendingTlsHandshakesFromOneAddressAreCutAtOnce) {
  const auto tls = StartTlsGateway("pending");
  ASSERT_TRUE(tls);
  TGatewayRig& rig = *tls;
  // Half say nothing, half start a ClientHello and stall inside it.
  const std::string helloStart("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  std::vector<int> pending;
  for (int i = 0; i < 40; ++i) {
    const int fd = ConnectTcp(rig.gatePort, "127.0.0.9");
    ASSERT_GE(fd, 0);
    if (i % 2 == 1) {
      ASSERT_EQ(send(fd, helloStart.data(), helloStart.size(), MSG_NOSIGNAL), 11);
    }
    pending.push_back(fd);
  }
  std::this_thread::sleep_for(500ms);
  const int cut = CountClosedByPeer(pending);
  EXPECT_GE(cut, 30);
  EXPECT_LE(cut, 31);
  TWsClient other;
  ASSERT_TRUE(other.Connect(rig.gatePort, "127.0.0.10", true));
  EXPECT_TRUE(other.Login("t1", "n1", "u1"));
  EXPECT_GE(ReadMetrics(rig)["tavrel_refused_connections_total{reason=\"in_handshake\"}"], 30);
  for (int fd : pending) close(fd);
}

// What an operator's tools send: logrotate's SIGUSR1 reopens the logs, a
// stray SIGQUIT is only logged, and SIGHUP takes the keys that are safe at
// run time from the file, each change logged and in force. (SIGUSR2 hands
// the gateway over: HandoverTest.)
TEST(Service, SignalsAnOperatorSends) {
  TGatewayRig rig;
  ASSERT_TRUE(rig.StartLinked());
  for (int sig : {SIGQUIT, SIGUSR1}) rig.gateway->Signal(sig);
  EXPECT_GE(rig.WaitGate("SIGQUIT ignored"), 0);
  EXPECT_GE(rig.WaitGate("SIGUSR1: log files reopened"), 0);
  EXPECT_FALSE(rig.gateway->WaitExit(200ms));
  // The console's token was made at start; the operator now sets one.
  const std::string made = "Authorization: Bearer " + [&] {
    const std::string line = rig.gateway->Lines()[rig.WaitGate("/?token=")];
    return line.substr(line.find("?token=") + 7);
  }() + "\r\n";
  EXPECT_NE(ConsoleGet(rig, "/api/state", made).find("200 OK"), std::string::npos);

  std::string ini = rig.dir.Read("Tavrel.ini");
  ini = std::regex_replace(ini, std::regex("IpCount=5"), "IpCount=3");
  ini = std::regex_replace(ini, std::regex("ConnectOutTime=15"), "ConnectOutTime=0");
  // The start wrote both back empty.
  ini = std::regex_replace(ini, std::regex("\nToken=\n"), "\nToken=op3rator\n");
  ini = std::regex_replace(ini, std::regex("\nTrusted=\n"), "\nTrusted=127.0.0.77\n");
  ASSERT_NE(ini.find("Token=op3rator"), std::string::npos) << ini;
  ASSERT_NE(ini.find("Trusted=127.0.0.77"), std::string::npos) << ini;
  rig.dir.Write("Tavrel.ini", ini);
  const size_t from = rig.gateway->LineCount();
  rig.gateway->Signal(SIGHUP);
  EXPECT_GE(rig.WaitGate("SIGHUP: IpCount 5 -> 3", 3s, from), 0);
  EXPECT_GE(rig.WaitGate("SIGHUP: [Tavrel] ConnectOutTime=\"0\" unusable, stays 15", 3s, from), 0);
  EXPECT_GE(rig.WaitGate("SIGHUP: [Proxy] Trusted \"\" -> \"127.0.0.77\"", 3s, from), 0);
  EXPECT_GE(rig.WaitGate("SIGHUP: [Console] Token changed", 3s, from), 0);
  for (const std::string& line : rig.gateway->Lines())
    EXPECT_EQ(line.find("op3rator"), std::string::npos) << line;
  EXPECT_NE(ConsoleGet(rig, "/api/state", made).find("401"), std::string::npos);
  EXPECT_NE(ConsoleGet(rig, "/api/state", "Authorization: Bearer op3rator\r\n").find("200 OK"),
            std::string::npos);
  // IpCount 3 admits two from one address.
  std::vector<std::unique_ptr<TWsClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<TWsClient>());
    ASSERT_TRUE(clients.back()->Connect(rig.gatePort, "127.0.0.66"));
  }
  EXPECT_EQ(clients[1]->ReadRaw(3s), std::optional<std::string>("ok"));
  EXPECT_TRUE(clients[2]->WaitClosed(3s));
  EXPECT_EQ(clients[2]->CloseCode(), 4003);
}

// SIGHUP says what it did not apply: each key changed in the file that waits for a restart, and
// each key it does not know, one line each; keys left as they were get none.
TEST(Service, SighupNamesWhatWaitsForARestartAndWhatItDoesNotKnow) {
  TGatewayRig rig;
  ASSERT_TRUE(rig.StartLinked());
  std::string ini = rig.dir.Read("Tavrel.ini");  // every key, written back at start
  const std::string port = std::to_string(rig.serverPort);
  const std::string next = std::to_string(rig.serverPort + 1);
  ini = std::regex_replace(ini, std::regex("\nServerPort=" + port + "\n"),
                           "\nServerPort=" + next + "\n");
  ini = std::regex_replace(ini, std::regex("\nGraceSeconds=0\n"), "\nGraceSeconds=30\n");
  ini = std::regex_replace(ini, std::regex("\nTrusted=\n"), "\nTrusted=\nTrustd=127.0.0.9\n");
  ini = std::regex_replace(ini, std::regex("IpCount=5"), "IpCount=6");
  ASSERT_NE(ini.find("Trustd="), std::string::npos) << ini;
  ASSERT_NE(ini.find("GraceSeconds=30"), std::string::npos) << ini;
  rig.dir.Write("Tavrel.ini", ini);
  const size_t from = rig.gateway->LineCount();
  rig.gateway->Signal(SIGHUP);
  EXPECT_GE(rig.WaitGate("SIGHUP: IpCount 5 -> 6", 3s, from), 0);
  EXPECT_GE(rig.WaitGate("SIGHUP: ServerPort " + port + " -> " + next +
                             " in the file: takes effect at the next start",
                         3s, from),
            0);
  EXPECT_GE(rig.WaitGate("SIGHUP: [Resume] GraceSeconds 0 -> 30 in the file: takes effect at "
                         "the next start",
                         3s, from),
            0);
  EXPECT_GE(rig.WaitGate("[Proxy] Trustd is not a key the gateway knows; ignored", 3s, from), 0);
  rig.gateway->WaitForLine("\x01never", 300ms);
  size_t waiting = 0;
  const auto lines = rig.gateway->Lines();
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].find("takes effect at the next start") != std::string::npos) ++waiting;
  EXPECT_EQ(waiting, 2u);
  // The link stays where it is: the change waits for the restart.
  EXPECT_FALSE(rig.gateway->WaitExit(100ms));
  TWsClient client;
  ASSERT_TRUE(client.Connect(rig.gatePort));
  EXPECT_EQ(client.ReadRaw(3s), "ok");
}

TEST(Service, SettingsFileIsReadWithItsMarkAndLeftAloneWhenComplete) {
  TGatewayRig rig;
  // An editor's byte-order mark, and a limit that would admit nobody.
  std::string ini = rig.dir.Read("Tavrel.ini");
  ini.insert(ini.find('\n') + 1, "IpCount=1\n");
  rig.dir.Write("Tavrel.ini", "\xEF\xBB\xBF" + ini);
  ASSERT_TRUE(rig.StartLinked());  // on the port the marked section names
  EXPECT_GE(rig.WaitGate("[Tavrel] IpCount=\"1\" unusable, default 5"), 0);
  TWsClient client;
  ASSERT_TRUE(client.Connect(rig.gatePort));
  EXPECT_EQ(client.ReadRaw(3s), "ok");
  rig.gateway->Signal(SIGTERM);
  ASSERT_EQ(rig.gateway->WaitExit(5s), 0);
  const std::string complete = rig.dir.Read("Tavrel.ini");
  EXPECT_TRUE(complete.starts_with("\xEF\xBB\xBF[Tavrel]\n")) << complete;
  EXPECT_EQ(complete.find("[Tavrel]"), complete.rfind("[Tavrel]"));
  EXPECT_NE(complete.find("IpCount=5\n"), std::string::npos);

  // Now complete: a read-only file starts, and keeps its bytes and time.
  fs::permissions(rig.dir.File("Tavrel.ini"), fs::perms::owner_read | fs::perms::group_read);
  const auto written = fs::last_write_time(rig.dir.File("Tavrel.ini"));
  ASSERT_TRUE(rig.StartLinked());
  TWsClient again;
  ASSERT_TRUE(again.Connect(rig.gatePort));
  EXPECT_EQ(again.ReadRaw(3s), "ok");
  rig.gateway->Signal(SIGTERM);
  EXPECT_EQ(rig.gateway->WaitExit(5s), 0);
  EXPECT_EQ(rig.dir.Read("Tavrel.ini"), complete);
  EXPECT_EQ(fs::last_write_time(rig.dir.File("Tavrel.ini")), written);
  for (const std::string& l : rig.gateway->Lines()) EXPECT_EQ(l.find("missing keys"), l.npos) << l;
}

// The descriptor number of the gateway's link to `serverPort`, or -1.
int LinkDescriptor(pid_t pid, uint16_t serverPort) {
  std::set<std::string> inodes;
  std::ifstream tcp("/proc/net/tcp");
  std::string row;
  std::getline(tcp, row);
  while (std::getline(tcp, row)) {
    std::istringstream in(row);
    std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
    in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
    if (remote.size() > 5 && std::stoi(remote.substr(remote.size() - 4), nullptr, 16) == serverPort)
      inodes.insert("socket:[" + inode + "]");
  }
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (auto& e : fs::directory_iterator(fds)) {
    std::error_code ec;
    const auto target = fs::read_symlink(e.path(), ec);
    if (!ec && inodes.count(target.string())) return std::stoi(e.path().filename());
  }
  return -1;
}

TEST(Service, ArgumentOneNamingTheLinkPutsNothingIntoIt) {
  TGatewayRig::TOptions options;
  options.startGameServer = false;
  TGatewayRig rig(options);
  TFakeGameServer server(rig.serverPort);
  rig.StartGateway();
  ASSERT_TRUE(server.WaitLinks(1, 10s));
  ASSERT_GE(rig.WaitGate(kLinkUp, 5s), 0);
  const int link = LinkDescriptor(rig.gateway->Pid(), rig.serverPort);
  ASSERT_GT(link, 2);
  rig.gateway->Signal(SIGTERM);
  ASSERT_EQ(rig.gateway->WaitExit(5s), 0);

  // The same start again, with that number as the control program's.
  rig.StartGateway({std::to_string(link), "", "", "0", "0"});
  ASSERT_TRUE(server.WaitLinks(2, 10s));
  EXPECT_GE(rig.WaitGate("Argument 1 (" + std::to_string(link) +
                         ") is not a connected Unix-domain datagram or seqpacket socket"),
            0);
  EXPECT_EQ(LinkDescriptor(rig.gateway->Pid(), rig.serverPort), link);
  // Two status periods: a 1003 message would arrive as bytes between frames.
  const size_t from = server.FrameCount();
  ASSERT_TRUE(server.WaitFrame(
      [](const TLinkFrame& f) { return f.header.wIdent == GM_CHECKCLIENT; }, 5s, from));
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(server.SkippedBytes(), 0u);
}

// A supervisor with Type=notify counts the gateway as started on READY=1,
// which must therefore come only once clients can connect, and never after a
// failed start; it shows the STATUS= lines, which follow changes at a
// bounded rate, and learns of the drain from STOPPING=1.
TEST(Service, TellsTheServiceManagerReadyStatusAndStopping) {
  TGatewayRig rig;
  TNotifyReceiver notify(rig.dir.File("notify"));
  ASSERT_TRUE(notify.Bound());
  StartGatewayNotifying(rig, rig.dir.File("notify"));
  const auto ready = notify.Receive(10s);
  ASSERT_TRUE(ready);
  const auto readyAt = std::chrono::steady_clock::now();
  EXPECT_TRUE(ready->starts_with("READY=1\nSTATUS=0 sessions, game server ")) << *ready;
  TWsClient probe;
  ASSERT_TRUE(probe.Connect(rig.gatePort));  // at once, without a retry
  probe.Close();                             // told 1013 unless the link was up already
  ASSERT_TRUE(rig.WaitLinked());
  TWsClient client;
  ASSERT_TRUE(client.Connect(rig.gatePort));

  std::vector<std::string> statuses;
  std::optional<std::chrono::steady_clock::time_point> firstStatusAt;
  const auto deadline = readyAt + 15s;
  while (std::chrono::steady_clock::now() < deadline &&
         (statuses.empty() || statuses.back() != "STATUS=1 session, game server linked")) {
    const auto message = notify.Receive(1s);
    if (!message) continue;
    if (!firstStatusAt) firstStatusAt = std::chrono::steady_clock::now();
    statuses.push_back(*message);
  }
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), "STATUS=1 session, game server linked");
  for (const std::string& status : statuses) EXPECT_TRUE(status.starts_with("STATUS=")) << status;
  // The status changed at once, twice, but a new line waits its turn (3 s).
  EXPECT_GE(*firstStatusAt - readyAt, 2s);

  rig.gateway->Signal(SIGTERM);
  const auto stopping = notify.Receive(5s);
  ASSERT_TRUE(stopping);
  EXPECT_EQ(*stopping, "STOPPING=1\nSTATUS=draining 1 session");
  EXPECT_EQ(rig.gateway->WaitExit(6s), 0);
  EXPECT_EQ(notify.Receive(100ms), std::nullopt);  // nothing after STOPPING=1

  // A start that fails says nothing before its exit.
  TPortHolder taken;
  ASSERT_NE(taken.port, 0);
  rig.dir.Write("Tavrel.ini", "[Tavrel]\nGatePort=" + std::to_string(taken.port) +
                                  "\n[Listen]\nAddr=127.0.0.1\n[Console]\nPort=" +
                                  std::to_string(FreePort()) + "\n");
  StartGatewayNotifying(rig, rig.dir.File("notify"));
  EXPECT_EQ(rig.gateway->WaitExit(5s), 1);
  EXPECT_EQ(notify.Receive(100ms), std::nullopt);
}

}  // namespace

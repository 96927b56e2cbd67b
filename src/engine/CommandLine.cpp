#include "engine/CommandLine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>

#include "engine/MainUnit.h"
#include "platform/Printable.h"
#include "platform/SafeFile.h"
#include "platform/wslib.h"
#include "protocol/ProtocolVersion.h"
#include "shared/Share.h"
#include "shared/Version.h"

namespace {

constexpr const char* kUsage =
    "Usage: tavrelh5 [--config FILE] [HANDLE [ARG2 ARG3 INDEX [PORT]]]\n"
    "       tavrelh5 [--config FILE] --check-config\n"
    "       tavrelh5 --help | --version\n"
    "\n"
    "The H5 game gateway: browser WebSocket clients on one side, one TCP link to the game\n"
    "server on the other. Its working directory is its home: Tavrel.ini, Ip.txt,\n"
    "PunishDetect.txt and Log/ live there.\n"
    "\n"
    "  --config FILE   the settings file instead of ./Tavrel.ini; before the positional\n"
    "                  arguments. A file that exists but is not a readable regular file of at\n"
    "                  most 1 MiB refuses the start; a missing one is created with the defaults\n"
    "\n"
    "Positional arguments (all optional; arguments 2 and 3 are not read):\n"
    "  HANDLE  descriptor of a connected Unix-domain datagram or seqpacket socket to the\n"
    "          control program; 0 or anything else: no control program\n"
    "  INDEX   this gateway's index among the control program's gateways (default 0)\n"
    "  PORT    WebSocket listening port; 0 or missing: [Tavrel] GatePort of the settings\n"
    "\n"
    "Flags (each prints, exits and writes no file):\n"
    "  --help          this text\n"
    "  --version       the gateway's version, its protocol version and build\n"
    "  --check-config  read the settings file as a start would and check what a start checks\n"
    "                  (the file, Log/, the console's port, which it binds for a moment, the\n"
    "                  codec tables, the TLS files); print every warning and each key that is\n"
    "                  missing or unusable with the value it would get; exit 0 when the\n"
    "                  gateway would start, 1 when it would refuse\n"
    "\n"
    "Signals: SIGTERM and SIGINT drain the clients and end the gateway (exit 0);\n"
    "SIGHUP reloads IpCount, ConnectOutTime, [Console] Token and [Proxy] Trusted, and the\n"
    "TLS certificate and key for new connections; SIGUSR1 reopens the log files; SIGQUIT\n"
    "and SIGUSR2 are logged and ignored.\n";

// Whether the log directory exists or could be made: its nearest existing part must be a
// directory the gateway may write into.
std::string WhyNoLogDirectory(const std::string& dir) {
  namespace fs = std::filesystem;
  fs::path p = fs::path(dir).lexically_normal();
  if (p.filename().empty()) p = p.parent_path();
  const std::string cannot = "log directory " + dir + " cannot be created: ";
  for (;;) {
    if (p.empty()) p = ".";
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return cannot + p.string() + " is not a directory";
      if (::access(p.c_str(), W_OK | X_OK) != 0) return cannot + p.string() + " is not writable";
      return {};
    }
    if ((errno != ENOENT && errno != ENOTDIR) || p == ".")
      return cannot + p.string() + ": " + std::strerror(errno);
    p = p.parent_path();
  }
}

// Why a start with these settings would fail, or empty.
std::string WhyNotStart(const std::string& fileName, const std::vector<TConfigFinding>& findings) {
  if (!findings.empty()) {
    if (const std::string why = WhyNotReplaceable(fileName); !why.empty())
      return "Unable to write to " + fileName +
             " (the defaults above are written back at start): " + why;
  }
  if (const std::string why = WhyNoLogDirectory(TMainForm::LogDirectory(g_GatePort)); !why.empty())
    return why;
  if (!g_GateConfig.sListenAddr.empty()) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(g_GateConfig.sListenAddr, ec);
    if (ec) return "[Listen] Addr " + g_GateConfig.sListenAddr + " is not an IP address";
  }
  std::string why;
  if (g_boOpenSSL && !TWsLib::CheckTLSFiles(g_GateConfig.sCertFile, g_GateConfig.sKeyFile, why))
    return why;
  return {};
}

}  // namespace

int CheckConfig(const std::string& fileName, std::FILE* out, const TStartCheck& check) {
  std::vector<TConfigFinding> findings;
  std::vector<std::string> warnings;
  std::string why;
  try {
    LoadConfig(fileName, EConfigWrite::ReadOnly, &findings, &warnings);
    // What a start without a PORT argument listens on.
    g_GatePort = g_GateConfig.nGatePort;
    why = WhyNotStart(fileName, findings);
    if (why.empty() && check) why = check();
  } catch (const std::exception& e) {
    why = e.what();
  }
  for (const std::string& w : warnings) {
    std::fprintf(out, "%s: warning: %s\n", fileName.c_str(), w.c_str());
  }
  for (const TConfigFinding& f : findings) {
    std::fprintf(out, "%s: %s\n", fileName.c_str(), LogText(DescribeFinding(f)).c_str());
  }
  if (findings.empty() && why.empty()) {
    std::fprintf(out, "%s: every key present and usable; a start does not write the file\n",
                 fileName.c_str());
  } else if (!findings.empty()) {
    std::fprintf(out, "%s: a start writes %zu defaults back\n", fileName.c_str(), findings.size());
  }
  if (!why.empty()) {
    std::fprintf(out, "%s: the gateway would refuse to start: %s\n", fileName.c_str(),
                 LogText(why).c_str());
    return 1;
  }
  std::fprintf(out, "%s: the gateway would start\n", fileName.c_str());
  return 0;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine cmd;
  bool configGiven = false;
  size_t i = 0;
  for (; i < args.size() && args[i].starts_with("--"); ++i) {
    const std::string& arg = args[i];
    if (arg == "--config") {
      if (configGiven) {
        cmd.sError = "--config given twice";
      } else if (i + 1 >= args.size() || args[i + 1].empty()) {
        cmd.sError = "--config needs a file name";
      } else {
        cmd.sConfigFile = args[++i];
        configGiven = true;
        continue;
      }
    } else if (arg != "--help" && arg != "--version" && arg != "--check-config") {
      cmd.sError = "unknown flag " + arg;
    } else if (!cmd.sFlag.empty()) {
      cmd.sError = "one flag at a time: " + cmd.sFlag + " and " + arg;
    } else {
      cmd.sFlag = arg;
      continue;
    }
    return cmd;
  }
  cmd.positional.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  return cmd;
}

std::optional<int> RunFlag(const TCommandLine& cmd, std::FILE* out, std::FILE* err,
                           const TStartCheck& check) {
  if (!cmd.sError.empty()) {
    std::fprintf(err, "tavrelh5: %s\n\n%s", cmd.sError.c_str(), kUsage);
    return 2;
  }
  if (cmd.sFlag.empty()) return std::nullopt;
  if (cmd.sFlag == "--help") {
    std::fputs(kUsage, out);
    return 0;
  }
  if (cmd.sFlag == "--version") {
#ifdef NDEBUG
    constexpr const char* kBuildType = "release";
#else
    constexpr const char* kBuildType = "debug";
#endif
    std::fprintf(out, "tavrelh5 %s\nprotocol %s\nbuild %s %s %s, compiler %s\n", kTavrelVersion,
                 kProtocolVersion, kBuildType, __DATE__, __TIME__, __VERSION__);
    return 0;
  }
  return CheckConfig(cmd.sConfigFile, out, check);
}

#include "engine/CommandLine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>

#include "engine/MainUnit.h"
#include "platform/PortProbe.h"
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
    "                  most 1 MiB refuses the start. The gateway never writes it: a key it\n"
    "                  lacks or holds unusable takes its default in memory, named in the main\n"
    "                  log, and the console's settings are not saved. ./Tavrel.ini, without\n"
    "                  --config, is created when missing and gets missing and unusable keys\n"
    "                  written back with their defaults\n"
    "\n"
    "Positional arguments (all optional; arguments 2 and 3 are not read):\n"
    "  HANDLE  descriptor of a connected Unix-domain datagram or seqpacket socket to the\n"
    "          control program; 0 or anything else: no control program\n"
    "  INDEX   this gateway's index among the control program's gateways (default 0)\n"
    "  PORT    WebSocket listening port; 0 or missing: [Tavrel] GatePort of the settings\n"
    "\n"
    "Flags (each prints, exits, opens no socket and writes no file):\n"
    "  -h, --help          this text\n"
    "  -v, --version       the gateway's version, its protocol version and build\n"
    "  -t, --check-config  read the settings file as a start would and check what a start\n"
    "                      checks (the file, Log/, the codec tables, the TLS files, the\n"
    "                      console's address and port, [Listen] Addr); print every warning\n"
    "                      with its file and line, each missing key with the value it would\n"
    "                      get, and notes. Exit 0 when the gateway would start and read the\n"
    "                      file as written (a missing key is only a note), 1 when it would\n"
    "                      refuse to start, 2 when it would start but read the file other\n"
    "                      than as written (an unknown section or key, an unusable value, a\n"
    "                      value taken otherwise). It binds nothing: a port in use now is a\n"
    "                      note, so it runs beside the running gateway\n"
    "Any other argument beginning with \"-\" is refused with this text (exit 2).\n"
    "\n"
    "Signals: SIGTERM and SIGINT drain the clients and end the gateway (exit 0);\n"
    "SIGHUP reloads IpCount, ConnectOutTime, [Console] Token and [Proxy] Trusted, and the\n"
    "TLS certificate and key for new connections, and names each other key whose value in\n"
    "the file changed (it takes effect at the next start) and each unknown one; SIGUSR1\n"
    "reopens the log files; SIGQUIT and SIGUSR2 are logged and ignored.\n";

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
std::string WhyNotStart(const std::string& fileName, bool keepFile,
                        const std::vector<TConfigFinding>& findings) {
  if (!keepFile && !findings.empty()) {
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

int CheckConfig(const std::string& fileName, bool keepFile, std::FILE* out,
                const TStartCheck& check) {
  std::vector<TConfigFinding> findings;
  std::vector<std::string> warnings;
  std::vector<std::string> notes;
  std::string why;
  try {
    LoadConfig(fileName, EConfigWrite::ReadOnly, &findings, &warnings);
    // What a start without a PORT argument listens on.
    g_GatePort = g_GateConfig.nGatePort;
    why = WhyNotStart(fileName, keepFile, findings);
    if (why.empty() && check) why = check(notes);
    if (why.empty() && IsTcpPortListening(g_GatePort)) {
      notes.push_back("WebSocket port " + std::to_string(g_GatePort) +
                      " is in use now (by a running gateway?); a start fails while it is");
    }
  } catch (const std::exception& e) {
    why = e.what();
  }
  const char* file = fileName.c_str();
  for (const std::string& w : warnings) std::fprintf(out, "%s: warning: %s\n", file, w.c_str());
  size_t unusable = 0;
  for (const TConfigFinding& f : findings) {
    const std::string text = LogText(DescribeFinding(f));
    if (f.boPresent) {
      ++unusable;
      std::fprintf(out, "%s: warning: line %zu: %s\n", file, f.nLine, text.c_str());
    } else {
      std::fprintf(out, "%s: %s\n", file, text.c_str());
    }
  }
  for (const std::string& n : notes) std::fprintf(out, "%s: note: %s\n", file, n.c_str());
  if (findings.empty() && why.empty()) {
    std::fprintf(out, "%s: every key present and usable; a start does not write the file\n", file);
  } else if (!findings.empty()) {
    std::fprintf(out,
                 keepFile ? "%s: a start uses %zu defaults and does not write the file\n"
                          : "%s: a start writes %zu defaults back\n",
                 file, findings.size());
  }
  if (!why.empty()) {
    std::fprintf(out, "%s: the gateway would refuse to start: %s\n", file, LogText(why).c_str());
    return 1;
  }
  if (!warnings.empty() || unusable > 0) {
    std::fprintf(out, "%s: the gateway would start, but read the file other than as written\n",
                 file);
    return 2;
  }
  std::fprintf(out, "%s: the gateway would start\n", file);
  return 0;
}

namespace {

// A short flag by its long name; other arguments as they are.
std::string LongFlag(const std::string& arg) {
  if (arg == "-h") return "--help";
  if (arg == "-v") return "--version";
  if (arg == "-t") return "--check-config";
  return arg;
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine cmd;
  size_t i = 0;
  for (; i < args.size() && args[i].starts_with("-"); ++i) {
    const std::string arg = LongFlag(args[i]);
    if (arg == "--config") {
      if (cmd.boConfigGiven) {
        cmd.sError = "--config given twice";
      } else if (i + 1 >= args.size() || args[i + 1].empty()) {
        cmd.sError = "--config needs a file name";
      } else {
        cmd.sConfigFile = args[++i];
        cmd.boConfigGiven = true;
        continue;
      }
    } else if (arg != "--help" && arg != "--version" && arg != "--check-config") {
      cmd.sError = "unknown flag " + args[i];
    } else if (!cmd.sFlag.empty()) {
      cmd.sError = "one flag at a time: " + cmd.sFlag + " and " + arg;
    } else {
      cmd.sFlag = arg;
      continue;
    }
    return cmd;
  }
  cmd.positional.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  // Taken as a position, a misplaced flag would start a gateway nobody asked for.
  for (const std::string& arg : cmd.positional) {
    if (arg.starts_with("-")) {
      cmd.sError = "argument " + arg + " begins with \"-\" after the positional arguments";
      break;
    }
  }
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
  return CheckConfig(cmd.sConfigFile, cmd.boConfigGiven, out, check);
}

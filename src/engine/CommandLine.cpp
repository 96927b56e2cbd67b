#include "engine/CommandLine.h"

#include <unistd.h>

#include <boost/asio/ip/address.hpp>

#include <exception>
#include <filesystem>
#include <fstream>

#include "protocol/ProtocolVersion.h"
#include "shared/Share.h"
#include "shared/Version.h"

namespace {

constexpr const char* kUsage =
    "Usage: tavrelh5 [HANDLE [ARG2 ARG3 INDEX [PORT]]]\n"
    "       tavrelh5 --help | --version | --check-config\n"
    "\n"
    "The H5 game gateway: browser WebSocket clients on one side, one TCP link to the game\n"
    "server on the other. Its working directory is its home: Tavrel.ini, Ip.txt,\n"
    "PunishDetect.txt and Log/ live there.\n"
    "\n"
    "Positional arguments (all optional; arguments 2 and 3 are not read):\n"
    "  HANDLE  descriptor of a connected Unix-domain datagram or seqpacket socket to the\n"
    "          control program; 0 or anything else: no control program\n"
    "  INDEX   this gateway's index among the control program's gateways (default 0)\n"
    "  PORT    WebSocket listening port; 0 or missing: [Tavrel] GatePort of Tavrel.ini\n"
    "\n"
    "Flags (each prints, exits, and opens no socket and writes no file):\n"
    "  --help          this text\n"
    "  --version       the gateway's version, its protocol version and build\n"
    "  --check-config  read ./Tavrel.ini as a start would, list each key that is missing or\n"
    "                  unusable with the value it would get; exit 0 when the gateway would\n"
    "                  start, 1 when it would refuse\n"
    "\n"
    "Signals: SIGTERM and SIGINT drain the clients and end the gateway (exit 0);\n"
    "SIGHUP reloads the TLS certificate and key for new connections.\n";

bool Readable(const std::string& path) {
  return std::ifstream(path, std::ios::binary).good();
}

// Whether the write-back of a start could reach the file (or create it).
bool Writable(const std::string& fileName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(fileName, ec)) return ::access(fileName.c_str(), W_OK) == 0;
  fs::path dir = fs::path(fileName).parent_path();
  if (dir.empty()) dir = ".";
  return ::access(dir.c_str(), W_OK) == 0;
}

// Why a start with these settings would fail, or empty.
std::string WhyNotStart(const std::string& fileName, const std::vector<TConfigFinding>& findings) {
  if (!findings.empty() && !Writable(fileName)) {
    return "Unable to write to " + fileName + " (the defaults above are written back at start)";
  }
  if (!g_GateConfig.sListenAddr.empty()) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(g_GateConfig.sListenAddr, ec);
    if (ec) return "[Listen] Addr " + g_GateConfig.sListenAddr + " is not an IP address";
  }
  if (g_boOpenSSL) {
    if (!Readable(g_GateConfig.sCertFile)) {
      return "cannot read TLS certificate " + g_GateConfig.sCertFile;
    }
    if (!Readable(g_GateConfig.sKeyFile)) return "cannot read TLS key " + g_GateConfig.sKeyFile;
  }
  return {};
}

}  // namespace

int CheckConfig(const std::string& fileName, std::FILE* out) {
  std::vector<TConfigFinding> findings;
  std::string why;
  try {
    LoadConfig(fileName, EConfigWrite::ReadOnly, &findings);
    why = WhyNotStart(fileName, findings);
  } catch (const std::exception& e) {
    why = e.what();
  }
  for (const TConfigFinding& f : findings) {
    std::fprintf(out, "%s: %s\n", fileName.c_str(), DescribeFinding(f).c_str());
  }
  if (findings.empty() && why.empty()) {
    std::fprintf(out, "%s: every key present and usable; a start does not write the file\n",
                 fileName.c_str());
  } else if (!findings.empty()) {
    std::fprintf(out, "%s: a start writes %zu defaults back\n", fileName.c_str(), findings.size());
  }
  if (!why.empty()) {
    std::fprintf(out, "%s: the gateway would refuse to start: %s\n", fileName.c_str(), why.c_str());
    return 1;
  }
  std::fprintf(out, "%s: the gateway would start\n", fileName.c_str());
  return 0;
}

std::optional<int> RunFlag(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (args.empty() || !args[0].starts_with("--")) return std::nullopt;
  const std::string& flag = args[0];
  if (flag == "--help") {
    std::fputs(kUsage, out);
    return 0;
  }
  if (flag == "--version") {
#ifdef NDEBUG
    constexpr const char* kBuildType = "release";
#else
    constexpr const char* kBuildType = "debug";
#endif
    std::fprintf(out, "tavrelh5 %s\nprotocol %s\nbuild %s %s %s, compiler %s\n", kTavrelVersion,
                 kProtocolVersion, kBuildType, __DATE__, __TIME__, __VERSION__);
    return 0;
  }
  if (flag == "--check-config") return CheckConfig(kConfigFileName, out);
  std::fprintf(err, "tavrelh5: unknown flag %s\n\n%s", flag.c_str(), kUsage);
  return 2;
}

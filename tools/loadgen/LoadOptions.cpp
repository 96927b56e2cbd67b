#include "loadgen/LoadOptions.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>

#include "gamesim/LoadProtocol.h"
#include "protocol/EDcode.h"

namespace loadgen {

namespace {

constexpr const char* kSendNames[kSendKinds] = {"heart", "walk", "spell", "echo"};

bool ToDouble(std::string_view Text, double& Out, double Min, double Max) {
  double v = 0;
  const char* end = Text.data() + Text.size();
  auto [p, ec] = std::from_chars(Text.data(), end, v);
  if (ec != std::errc() || p != end || !std::isfinite(v) || v < Min || v > Max) return false;
  Out = v;
  return true;
}

template <typename T>
bool ToInt(std::string_view Text, T& Out, int64_t Min, int64_t Max) {
  int64_t v = 0;
  const char* end = Text.data() + Text.size();
  auto [p, ec] = std::from_chars(Text.data(), end, v);
  if (ec != std::errc() || p != end || v < Min || v > Max) return false;
  Out = T(v);
  return true;
}

bool ParseMix(std::string_view Text, std::array<int, kSendKinds>& Out, std::string& Error) {
  std::array<int, kSendKinds> mix{};
  for (const std::string_view item : testkit::ListItems(Text)) {
    const size_t colon = item.find(':');
    const std::string_view name = item.substr(0, colon);
    int weight = 1;
    if (colon != std::string_view::npos && !ToInt(item.substr(colon + 1), weight, 0, 1000)) {
      Error = "bad weight in --mix " + std::string(item);
      return false;
    }
    const size_t k = testkit::IndexOfName(kSendNames, name);
    if (k == kSendKinds) {
      Error = "unknown kind in --mix: " + std::string(name) + " (heart, walk, spell, echo)";
      return false;
    }
    mix[k] = weight;
  }
  Out = mix;
  return true;
}

std::string Message(TDefaultMessage Header, std::string_view Body) {
  Header.nLength = int32_t(Body.size());
  std::string out;
  out.reserve(DEFBLOCKSIZE + Body.size());
  AppendEncodedMessage(Header, out);
  out.append(Body);
  return out;
}

uint32_t Pack(int Low, int High) {
  return uint32_t(Low & 0xFFFF) | (uint32_t(High & 0xFFFF) << 16);
}

}  // namespace

const char* LoadUsage() {
  return R"(Usage: tavrel-load --port N [options]
WebSocket clients for the TavrelH5 gateway (or an echo server), all on one
loop: connect, log in, send a mix of messages at a set rate, read and decode
everything, and print one JSON line of results on stdout. Progress goes to
stderr once a second. Only 127.0.0.0/8 addresses are accepted.

  --host A               server address (127.0.0.1)
  --port N               server port (required)
  --tls                  wss:// (the certificate is not checked)
  --mode gateway|echo    gateway: "ok", login text, CM_LOGINNOTICEOK, then the
                         mix, and everything the gateway sends is decoded;
                         echo: a plain echo server, echo messages only (gateway)
  --clients N            connections (100; at most 20000)
  --rate R               messages per second per client (1; 0 = idle)
  --mix K:W,...          kinds and weights: heart, walk, spell, echo (echo:1)
  --walk-ms N            also a walk step every N ms per client (0 = none)
  --size N               bytes of an echo message, header included (64)
  --duration S           measured seconds (10)
  --warmup S             seconds between ready and measuring (2)
  --connect-rate N       new connections per second (0 = as fast as allowed)
  --connect-concurrency N  handshakes in flight at most (256)
  --connect-timeout S    limit of the connect phase (60)
  --src-base A           spread clients over source addresses from A on
                         (e.g. 127.1.0.1), --per-addr clients each
  --per-addr N           clients per source address (4)
  --no-read N            the first N clients log in (as "slow<n>", which gets
                         the game server's heavy stream) and never read again
  --connect-only         connect every client (gateway: until its "ok", no
                         login), measure that, then close
  --binary               send binary messages instead of text
  --check-json           parse every JSON body (counts json_errors)
  --cpu-pid P[,P...]     measure the CPU time of these processes and their
                         children over the measured window
  --rss-pid P            sample this process's resident memory
  --ready-file F         create F once every client is ready
  --account PREFIX       account names PREFIX<n> ("load")
  --resume-from A        gateway with [Resume]: once every client is in, each
                         drops its connection without a close frame and
                         resumes its session on a new one from source
                         addresses from A on (--per-addr each), before the
                         mix; counts the resumes done and refused (4007)
  --no-cookies           keep no cookies: a balancer's sticky cookie from an
                         upgrade is not sent back with the next one
  --quiet                no progress lines
  --help

Echo requests carry their send time; the gateway's test game server answers
them with ident 60102, an echo server returns them as they are. Round trips
are measured from the write to the reply's arrival.
)";
}

bool ParseLoadOptions(int Argc, const char* const* Argv, TLoadOptions& Out, std::string& Error,
                      bool& Help) {
  TLoadOptions o;
  Help = false;
  for (int i = 1; i < Argc; ++i) {
    const std::string_view arg = Argv[i];
    const char* v = nullptr;
    auto value = [&]() {
      v = i + 1 < Argc ? Argv[++i] : nullptr;
      return v != nullptr;
    };
    auto fail = [&](const char* what) {
      Error = std::string(arg) + " needs " + what;
      return false;
    };
    if (arg == "--help" || arg == "-h") {
      Help = true;
      return true;
    } else if (arg == "--host") {
      if (!value()) return fail("an address");
      o.Host = v == std::string_view("localhost") ? "127.0.0.1" : v;
    } else if (arg == "--port") {
      if (!value() || !ToInt(v, o.Port, 1, 65535)) return fail("a port 1..65535");
    } else if (arg == "--tls") {
      o.Tls = true;
    } else if (arg == "--mode") {
      if (!value()) return fail("gateway or echo");
      if (v == std::string_view("gateway"))
        o.Mode = TMode::Gateway;
      else if (v == std::string_view("echo"))
        o.Mode = TMode::Echo;
      else
        return fail("gateway or echo");
    } else if (arg == "--clients") {
      if (!value() || !ToInt(v, o.Clients, 1, 20000)) return fail("a count 1..20000");
    } else if (arg == "--rate") {
      if (!value() || !ToDouble(v, o.Rate, 0, 1000)) return fail("messages per second 0..1000");
    } else if (arg == "--mix") {
      if (!value()) return fail("kinds");
      if (!ParseMix(v, o.Mix, Error)) return false;
    } else if (arg == "--walk-ms") {
      if (!value() || !ToInt(v, o.WalkMs, 0, 3600000)) return fail("milliseconds");
    } else if (arg == "--size") {
      if (!value() || !ToInt(v, o.Size, 0, 60000)) return fail("bytes 0..60000");
    } else if (arg == "--duration") {
      if (!value() || !ToDouble(v, o.Duration, 0, 86400)) return fail("seconds");
    } else if (arg == "--warmup") {
      if (!value() || !ToDouble(v, o.Warmup, 0, 3600)) return fail("seconds");
    } else if (arg == "--connect-rate") {
      if (!value() || !ToDouble(v, o.ConnectRate, 0, 1e6)) return fail("connects per second");
    } else if (arg == "--connect-concurrency") {
      if (!value() || !ToInt(v, o.ConnectConcurrency, 1, 20000)) return fail("a count");
    } else if (arg == "--connect-timeout") {
      if (!value() || !ToDouble(v, o.ConnectTimeout, 1, 3600)) return fail("seconds");
    } else if (arg == "--src-base") {
      if (!value() || !IsLoopbackV4(v)) return fail("an address in 127.0.0.0/8");
      o.SrcBase = v;
    } else if (arg == "--per-addr") {
      if (!value() || !ToInt(v, o.PerAddr, 1, 100000)) return fail("a count");
    } else if (arg == "--no-read") {
      if (!value() || !ToInt(v, o.NoRead, 0, 20000)) return fail("a count");
    } else if (arg == "--connect-only") {
      o.ConnectOnly = true;
    } else if (arg == "--binary") {
      o.Binary = true;
    } else if (arg == "--check-json") {
      o.CheckJson = true;
    } else if (arg == "--cpu-pid") {
      if (!value()) return fail("process ids");
      for (const std::string_view item : testkit::ListItems(v)) {
        int pid = 0;
        if (!ToInt(item, pid, 1, INT32_MAX)) return fail("process ids");
        o.CpuPids.push_back(pid);
      }
    } else if (arg == "--rss-pid") {
      if (!value() || !ToInt(v, o.RssPid, 1, INT32_MAX)) return fail("a process id");
    } else if (arg == "--ready-file") {
      if (!value()) return fail("a path");
      o.ReadyFile = v;
    } else if (arg == "--account") {
      if (!value() || std::string_view(v).empty() || std::string_view(v).size() > 20)
        return fail("a prefix of 1..20 characters");
      o.Account = v;
    } else if (arg == "--resume-from") {
      if (!value() || !IsLoopbackV4(v)) return fail("an address in 127.0.0.0/8");
      o.ResumeSrcBase = v;
    } else if (arg == "--no-cookies") {
      o.NoCookies = true;
    } else if (arg == "--quiet") {
      o.Quiet = true;
    } else {
      Error = "unknown option " + std::string(arg) + " (see --help)";
      return false;
    }
  }
  if (o.Port == 0) {
    Error = "--port is required";
    return false;
  }
  if (!IsLoopbackV4(o.Host)) {
    Error = "--host must be an address in 127.0.0.0/8";
    return false;
  }
  if (o.Rate > 0 && !testkit::AnyWeight(o.Mix)) {
    Error = "--mix has no kind with a weight";
    return false;
  }
  if (o.Mode == TMode::Echo) {
    // A plain echo server understands only echo requests.
    o.Mix = {0, 0, 0, 1};
    o.WalkMs = 0;
  }
  if (!o.SrcBase.empty() && !IsLoopbackV4(SourceAddress(o, o.Clients - 1))) {
    Error = "--src-base and --per-addr leave 127.0.0.0/8 for the last client";
    return false;
  }
  if (!o.ResumeSrcBase.empty() && (o.Mode == TMode::Echo || o.ConnectOnly)) {
    Error = "--resume-from needs logged-in clients (not --mode echo or --connect-only)";
    return false;
  }
  if (!o.ResumeSrcBase.empty() && !IsLoopbackV4(SourceAddress(o, o.Clients - 1, true))) {
    Error = "--resume-from and --per-addr leave 127.0.0.0/8 for the last client";
    return false;
  }
  Out = o;
  return true;
}

bool IsLoopbackV4(std::string_view Address) {
  in_addr a{};
  const std::string s(Address);
  return inet_pton(AF_INET, s.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string SourceAddress(const TLoadOptions& Opts, int Index, bool Resume) {
  const std::string& base = Resume ? Opts.ResumeSrcBase : Opts.SrcBase;
  if (base.empty()) return "";
  in_addr a{};
  if (inet_pton(AF_INET, base.c_str(), &a) != 1) return "";
  uint32_t host = ntohl(a.s_addr);
  for (int step = Index / Opts.PerAddr; step > 0; --step) {
    do {
      ++host;
    } while ((host & 0xFF) == 0 || (host & 0xFF) == 255);
  }
  in_addr out{htonl(host)};
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &out, text, sizeof text) ? text : "";
}

std::string LoginMessage(int nPacketIdx, std::string_view sAccount, std::string_view sChar,
                         std::string_view sUserId) {
  TDefaultMessage h;
  h.nIndex = nPacketIdx;
  // Account, character, user id, client version, then six fields the
  // gateway passes on without reading.
  std::string body = "*#";
  body.append(sAccount).append("/").append(sChar).append("/").append(sUserId);
  body.append("/20240101/0/0/0/0/h5/load");
  return Message(h, body);
}

std::string NoticeOkMessage() {
  TDefaultMessage h;
  h.Ident = CM_LOGINNOTICEOK;
  return Message(h, {});
}

std::string ResumeMessage(std::string_view sToken, uint64_t nReceived) {
  std::string body = "*@";
  body.append(sToken).append("/").append(std::to_string(nReceived));
  return Message(TDefaultMessage{}, body);
}

std::string HeartMessage() {
  TDefaultMessage h;
  h.Ident = CM_HEART;
  return Message(h, {});
}

std::string WalkMessage(int nX, int nY, int nDir) {
  TDefaultMessage h;
  h.Ident = CM_WALK;
  h.Param = nX;
  h.Tag = nY;
  h.Series = nDir;
  return Message(h, {});
}

std::string SpellMessage(int nSkill, int nDir, int nX, int nY, std::string_view sTarget,
                         uint32_t nTime) {
  TDefaultMessage h;
  h.Ident = CM_SPELL;
  h.Recog = int32_t(Pack(nSkill, nDir));
  std::string body = "{\"skillID\":" + std::to_string(nSkill) + ",\"dir\":" + std::to_string(nDir) +
                     ",\"srcX\":" + std::to_string(nX) + ",\"srcY\":" + std::to_string(nY) +
                     ",\"destX\":" + std::to_string(nX + 3) +
                     ",\"destY\":" + std::to_string(nY - 2) + ",\"targetID\":\"";
  body.append(sTarget).append("\",\"time\":").append(std::to_string(nTime)).append("}");
  return Message(h, body);
}

std::string EchoMessage(uint32_t nSeq, uint64_t nSendUs, size_t nSize) {
  TDefaultMessage h;
  h.Ident = loadproto::kEchoIdent;
  h.Recog = int32_t(nSeq);
  h.nSessionID = loadproto::kLoadMark;
  const size_t body = nSize > size_t(DEFBLOCKSIZE) ? nSize - DEFBLOCKSIZE : 0;
  return Message(h, loadproto::EchoBody(nSendUs, body));
}

}  // namespace loadgen

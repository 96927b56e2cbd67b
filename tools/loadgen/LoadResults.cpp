#include "loadgen/LoadResults.h"

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace loadgen {

namespace {

namespace json = boost::json;

// A figure to six significant digits, as the report has always given it: an
// integer where that form has neither a point nor an exponent.
json::value Figure(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  if (std::strspn(buf, "-0123456789") == std::strlen(buf)) return std::strtoll(buf, nullptr, 10);
  return std::strtod(buf, nullptr);
}

}  // namespace

std::string TLoadResults::ToJson(const TLoadOptions& Opts) const {
  auto per = [](double n, double d) { return d > 0 ? n / d : 0.0; };
  const double cpuUs = ServerCpuSeconds * 1e6;
  // -1: no server CPU time was measured.
  auto cpuPer = [&](double n, bool measured = true) {
    return Figure(ServerCpuSeconds < 0 || !measured ? -1 : per(cpuUs, n));
  };
  json::object j;
  j["mode"] = Opts.Mode == TMode::Gateway ? "gateway" : "echo";
  j["tls"] = Opts.Tls;
  j["clients"] = Clients;
  j["connected"] = Connected;
  j["ready"] = Ready;
  j["refused"] = Refused;
  j["failed"] = Failed;
  j["dropped"] = Dropped;
  j["connect_s"] = Figure(ConnectSeconds);
  j["connect_per_s"] = Figure(per(Ready, ConnectSeconds));
  j["rate_per_client"] = Figure(Opts.Rate);
  j["window_s"] = Figure(WindowSeconds);
  j["sent"] = Sent;
  j["sent_per_s"] = Figure(per(double(Sent), WindowSeconds));
  j["recv"] = Recv;
  j["recv_per_s"] = Figure(per(double(Recv), WindowSeconds));
  j["recv_bytes_per_s"] = Figure(per(double(RecvBytes), WindowSeconds));
  j["echo_sent"] = EchoSent;
  j["echo_recv"] = EchoRecv;
  j["echo_per_s"] = Figure(per(double(EchoRecv), WindowSeconds));
  j["echo_lost"] = EchoLost;
  j["rtt_ms"] = {{"count", RttCount},
                 {"p50", Figure(RttP50Ms)},
                 {"p90", Figure(RttP90Ms)},
                 {"p99", Figure(RttP99Ms)},
                 {"max", Figure(RttMaxMs)}};
  j["recv_kinds"] = {{"echo", KindEcho},       {"text", KindText}, {"opaque", KindOpaque},
                     {"logon", KindLogon},     {"abil", KindAbil}, {"items", KindItems},
                     {"bcast", KindBroadcast}, {"ref", KindRef},   {"gate", KindGate},
                     {"other", KindOther}};
  j["inflated"] = Inflated;
  j["decoded"] = Decoded;
  j["json_errors"] = JsonErrors;
  j["stream_errors"] = StreamErrors;
  j["seq"] = {{"user_missing", UserMissing},   {"user_late", UserLate},
              {"bcast_missing", BcastMissing}, {"bcast_late", BcastLate},
              {"ref_missing", RefMissing},     {"ref_late", RefLate},
              {"bcast_clients", BcastClients}};
  j["server_cpu_s"] = Figure(ServerCpuSeconds);
  j["cpu_us_per_sent"] = cpuPer(double(Sent));
  j["cpu_us_per_recv"] = cpuPer(double(Recv));
  j["cpu_us_per_echo"] = cpuPer(double(EchoRecv));
  j["cpu_us_per_connect"] = cpuPer(double(Ready), Opts.ConnectOnly);
  j["load_cpu_s"] = Figure(LoadCpuSeconds);
  j["rss_kb"] = {
      {"start", RssStartKb}, {"ready", RssReadyKb}, {"end", RssEndKb}, {"peak", RssPeakKb}};
  if (!Opts.ResumeSrcBase.empty())
    j["resume"] = {{"tried", ResumesTried}, {"ok", Resumed}, {"refused", ResumesRefused}};
  j["interrupted"] = Interrupted;
  return json::serialize(j);
}

}  // namespace loadgen

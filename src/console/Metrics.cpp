#include "console/Metrics.h"

#include <boost/version.hpp>

#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "console/ProcessMetrics.h"
#include "log/uThread_Logger.h"
#include "protocol/ProtocolVersion.h"
#include "shared/Share.h"
#include "shared/Version.h"
#include "traffic/Pacing.h"

namespace {

class TMetricsWriter {
 public:
  // One metric with its help and type lines and a single sample.
  void One(std::string_view name, std::string_view type, std::string_view help, uint64_t value) {
    Head(name, type, help);
    Sample(name, "", value);
  }
  void Head(std::string_view name, std::string_view type, std::string_view help) {
    out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  // labels: `key="value",...` without braces, or empty.
  void Sample(std::string_view name, std::string_view labels, uint64_t value) {
    out_.append(name);
    if (!labels.empty()) out_.append("{").append(labels).append("}");
    out_.append(" ").append(std::to_string(value)).append("\n");
  }
  void Sample(std::string_view name, std::string_view labels, double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out_.append(name);
    if (!labels.empty()) out_.append("{").append(labels).append("}");
    out_.append(" ").append(text, end).append("\n");
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

uint64_t NonNegative(int64_t v) {
  return v > 0 ? static_cast<uint64_t>(v) : 0;
}

// A label value: backslash, quote and line feed escaped.
std::string LabelValue(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

#ifdef __clang__
constexpr const char* kCompiler = "clang " __clang_version__;
#else
constexpr const char* kCompiler = "g++ " __VERSION__;
#endif

#ifdef NDEBUG
constexpr const char* kBuildType = "release";
#else
constexpr const char* kBuildType = "debug";
#endif

std::string BuildLabels() {
  const std::string boost = std::to_string(BOOST_VERSION / 100000) + "." +
                            std::to_string(BOOST_VERSION / 100 % 1000) + "." +
                            std::to_string(BOOST_VERSION % 100);
  return "protocol_version=\"" + LabelValue(kProtocolVersion) + "\",build_type=\"" +
         LabelValue(kBuildType) + "\",compiler=\"" + LabelValue(kCompiler) + "\",boost=\"" + boost +
         "\",version=\"" + LabelValue(kTavrelVersion) + "\"";
}

// One series of a histogram: cumulative buckets, +Inf, sum and count.
void HistogramSeries(TMetricsWriter& m, std::string_view name, std::string_view labels,
                     const TDwellHistogram& h) {
  const std::string bucket = std::string(name) + "_bucket";
  uint64_t total = 0;
  for (size_t i = 0; i < h.kBounds.size(); ++i) {
    total += h.counts[i];
    char le[32];
    const auto end = std::to_chars(le, le + sizeof le, h.kBounds[i], std::chars_format::fixed).ptr;
    m.Sample(bucket, std::string(labels) + ",le=\"" + std::string(le, end) + "\"", total);
  }
  m.Sample(bucket, std::string(labels) + ",le=\"+Inf\"", h.nCount);
  m.Sample(std::string(name) + "_sum", labels, h.dSumSeconds);
  m.Sample(std::string(name) + "_count", labels, h.nCount);
}

void RenderProcess(TMetricsWriter& m) {
  const TProcessFigures p = ReadProcessFigures();
  m.Head("process_cpu_seconds_total", "counter",
         "Total user and system CPU time spent in seconds.");
  m.Sample("process_cpu_seconds_total", "", p.dCpuSeconds);
  m.One("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
        p.nResidentBytes);
  m.One("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", p.nVirtualBytes);
  m.One("process_open_fds", "gauge", "Number of open file descriptors.", p.nOpenFds);
  if (p.nMaxFds > 0)
    m.One("process_max_fds", "gauge", "Maximum number of open file descriptors.", p.nMaxFds);
  m.Head("process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.");
  m.Sample("process_start_time_seconds", "", p.dStartTimeSeconds);
}

}  // namespace

TGateFigures ReadGateFigures(TTavrelSocket* engine) {
  TGateFigures f;
  f.nSessionCapacity = g_GateConfig.nSessions;
  if (!engine) return f;
  f.boLinkUp = engine->IsConnected();
  f.nConnections = engine->GetCount();
  f.nInGame = g_nSuccessCount;
  f.nPeak = g_nSuccessMax;
  f.nSessionRecords = engine->GetListCount();
  f.nSessionCapacity = engine->Capacity();
  f.nLinkQueueBytes = engine->Link().QueuedBytes();
  f.nClientStreamBytes = engine->ClientStreamBytes();
  f.nDetached = engine->DetachedCount();
  f.stats = engine->Stats();
  f.link = engine->Link().Stats();
  if (const TFrontEnd* frontEnd = engine->FrontEnd()) {
    const TFrontEndCounters counters = frontEnd->Counters();
    f.nSlowConsumerCloses = counters.nSlowConsumerCloses;
    f.nOversizeCloses = counters.nOversizeCloses;
    f.nRefusedHandshakes = counters.nRefusedHandshakes;
  }
  for (uint64_t n : g_PacingStats.nRefused) f.nPaceRefused += n;
  if (g_Logger) {
    f.nStdoutDropped = g_Logger->StdoutDroppedLines();
    f.nLogWriteFailures = g_Logger->WriteFailures();
    for (size_t i = 0; i < f.nLogDropped.size(); ++i) {
      f.nLogDropped[i] = g_Logger->DroppedLines(static_cast<ELogCategory>(i));
    }
  }
  return f;
}

std::string RenderMetrics(TTavrelSocket* engine) {
  const TGateFigures f = ReadGateFigures(engine);
  const TGateStats& stats = f.stats;

  TMetricsWriter m;
  m.One("tavrel_open_connections", "gauge", "Browser connections open.",
        NonNegative(f.nConnections));
  m.One("tavrel_sessions_in_game", "gauge", "Sessions that have entered the game.",
        NonNegative(f.nInGame));
  m.One("tavrel_connections_peak", "gauge", "Highest connection count seen by the status bar.",
        NonNegative(f.nPeak));
  m.One("tavrel_session_records", "gauge", "Session records in the table, free ones included.",
        NonNegative(f.nSessionRecords));
  m.One("tavrel_sessions_capacity", "gauge",
        "Session records the gateway can hold: connections past it are refused.",
        f.nSessionCapacity);
  m.One("tavrel_server_link_up", "gauge", "1 while the game-server link is connected.",
        f.boLinkUp ? 1 : 0);
  m.One("tavrel_server_link_queue_bytes", "gauge",
        "Bytes of frames queued for the game server and not yet written.",
        NonNegative(f.nLinkQueueBytes));
  m.One("tavrel_client_stream_bytes", "gauge",
        "Bytes waiting in the outbound streams of browser connections.",
        NonNegative(f.nClientStreamBytes));
  m.One("tavrel_sessions_detached", "gauge",
        "Sessions whose connection was lost, kept for a resume.", NonNegative(f.nDetached));
  m.Head("tavrel_resumes_total", "counter",
         "Sessions taken over by a new connection, resumes refused, and detached sessions whose "
         "grace ran out.");
  m.Sample("tavrel_resumes_total", "result=\"ok\"", stats.nResumesOk);
  m.Sample("tavrel_resumes_total", "result=\"refused\"", stats.nResumesRefused);
  m.Sample("tavrel_resumes_total", "result=\"expired\"", stats.nResumesExpired);
  m.Head("tavrel_handovers_total", "counter",
         "SIGUSR2 hand-overs: states restored by this image, states it could not read (a fresh "
         "start), and hand-overs whose execve failed (the old image served on).");
  m.Sample("tavrel_handovers_total", "result=\"ok\"", g_HandoverStats.nOk);
  m.Sample("tavrel_handovers_total", "result=\"refused\"", g_HandoverStats.nRefused);
  m.Sample("tavrel_handovers_total", "result=\"failed\"", g_HandoverStats.nFailed);
  m.Head("tavrel_handover_pause_seconds", "gauge",
         "The last hand-over's pause, from the stop of accepting to the new image's accepting.");
  m.Sample("tavrel_handover_pause_seconds", "",
           static_cast<double>(g_HandoverStats.nPauseNs) / 1e9);
  m.One("tavrel_connections_accepted_total", "counter",
        "Browser connections admitted: given a session record and greeted.",
        stats.nConnectionsAccepted);
  m.One("tavrel_server_link_drops_total", "counter",
        "Times the game-server link went down after being up.", f.link.nLinkDrops);

  m.Head("tavrel_server_frames_total", "counter", "Gate frames on the game-server link.");
  m.Sample("tavrel_server_frames_total", "direction=\"to_server\"", f.link.nFramesToServer);
  m.Sample("tavrel_server_frames_total", "direction=\"from_server\"", f.link.nFramesFromServer);
  m.Head("tavrel_server_bytes_total", "counter", "Bytes on the game-server link.");
  m.Sample("tavrel_server_bytes_total", "direction=\"to_server\"", f.link.nBytesToServer);
  m.Sample("tavrel_server_bytes_total", "direction=\"from_server\"", f.link.nBytesFromServer);
  m.One("tavrel_client_bytes_sent_total", "counter", "Bytes handed to browser connections.",
        stats.nBytesToClients);
  m.One("tavrel_client_bytes_received_total", "counter",
        "Bytes of messages received from browser connections.", stats.nBytesFromClients);
  m.One("tavrel_client_messages_received_total", "counter",
        "Messages received from browser connections.", stats.nClientMessages);
  m.One("tavrel_client_messages_sent_total", "counter",
        "Messages from the game server queued for browser connections.", stats.nMessagesToClients);

  m.Head("tavrel_client_messages_total", "counter",
         "Client messages by kind and the pace check's verdict.");
  for (size_t k = 0; k < kPaceKindCount; ++k) {
    const std::string kind = PaceKindName(static_cast<EPaceKind>(k));
    m.Sample("tavrel_client_messages_total", "kind=\"" + kind + "\",result=\"accepted\"",
             g_PacingStats.nAccepted[k]);
    m.Sample("tavrel_client_messages_total", "kind=\"" + kind + "\",result=\"refused\"",
             g_PacingStats.nRefused[k]);
  }
  m.One("tavrel_punishments_total", "counter", "Players made to stand still for speeding.",
        g_PacingStats.nPunishments);

  m.One("tavrel_resync_bytes_total", "counter",
        "Bytes skipped on the game-server link to find the next frame.", f.link.nResyncBytes);
  m.One("tavrel_oversize_frame_headers_total", "counter",
        "Frame headers skipped for announcing an oversized payload.", f.link.nOversizeHeaders);

  m.Head("tavrel_connections_closed_total", "counter",
         "Connections closed by the gateway, by reason.");
  m.Sample("tavrel_connections_closed_total", "reason=\"slow_consumer\"", f.nSlowConsumerCloses);
  m.Sample("tavrel_connections_closed_total", "reason=\"all_clients_bytes\"",
           stats.nClientsOverTotal);
  m.Sample("tavrel_connections_closed_total", "reason=\"client_stream_full\"",
           stats.nClientsOverCap);
  m.Sample("tavrel_connections_closed_total", "reason=\"oversize_message\"", f.nOversizeCloses);
  m.Sample("tavrel_connections_closed_total", "reason=\"bad_login\"", stats.nLoginRefused);
  m.Sample("tavrel_connections_closed_total", "reason=\"login_timeout\"", stats.nLoginTimeouts);
  m.Sample("tavrel_connections_closed_total", "reason=\"kick\"", stats.nKicks);

  m.Head("tavrel_refused_connections_total", "counter", "Connections refused, by reason.");
  m.Sample("tavrel_refused_connections_total", "reason=\"address_limit\"", stats.nRefusedByAddress);
  m.Sample("tavrel_refused_connections_total", "reason=\"connect_rate\"", stats.nRefusedByRate);
  m.Sample("tavrel_refused_connections_total", "reason=\"no_free_slot\"", stats.nRefusedNoSlot);
  m.Sample("tavrel_refused_connections_total", "reason=\"game_server_unavailable\"",
           stats.nRefusedUnlinked);
  m.Sample("tavrel_refused_connections_total", "reason=\"handshake\"", f.nRefusedHandshakes);
  m.Sample("tavrel_refused_connections_total", "reason=\"in_handshake\"",
           stats.nRefusedInHandshake);

  m.One("tavrel_server_link_overflows_total", "counter",
        "Times the link was dropped for frames the game server did not read.", f.link.nLinkOverCap);
  m.One("tavrel_client_read_pauses_total", "counter",
        "Times a client's socket was left unread, its share of the link queue used up.",
        stats.nReadPauses);
  m.One("tavrel_dropped_client_messages_total", "counter",
        "Client messages discarded for a malformed header or body.", stats.nDroppedMessages);

  m.Head("tavrel_dwell_seconds", "histogram",
         "Time a message waits inside the gateway, from arrival to hand-off, by direction.");
  HistogramSeries(m, "tavrel_dwell_seconds", "direction=\"to_server\"", stats.dwellToServer);
  HistogramSeries(m, "tavrel_dwell_seconds", "direction=\"to_client\"", stats.dwellToClient);

  m.Head("tavrel_log_lines_dropped_total", "counter",
         "Log lines dropped because their destination did not keep up, by destination.");
  m.Sample("tavrel_log_lines_dropped_total", "destination=\"stdout\"", f.nStdoutDropped);
  constexpr const char* kFileLabels[] = {"destination=\"data\"", "destination=\"save\"",
                                         "destination=\"script\"", "destination=\"error\"",
                                         "destination=\"debug\""};
  for (size_t i = 0; i < f.nLogDropped.size(); ++i) {
    m.Sample("tavrel_log_lines_dropped_total", kFileLabels[i], f.nLogDropped[i]);
  }

  m.One("tavrel_log_write_failures_total", "counter",
        "Writes of a log file that failed (each run of them is an error line in the main log).",
        f.nLogWriteFailures);

  m.Head("tavrel_build_info", "gauge", "The gateway's build; the value is always 1.");
  m.Sample("tavrel_build_info", BuildLabels(), uint64_t{1});
  RenderProcess(m);
  return m.Take();
}

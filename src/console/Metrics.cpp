#include "console/Metrics.h"

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "engine/GameSocket.h"
#include "engine/WsFrontEnd.h"
#include "platform/wslib.h"
#include "shared/Share.h"
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
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

uint64_t NonNegative(int64_t v) {
  return v > 0 ? static_cast<uint64_t>(v) : 0;
}

}  // namespace

std::string RenderMetrics(TTavrelSocket* engine) {
  const TGateStats stats = engine ? engine->Stats() : TGateStats{};
  TWsLib* lib = nullptr;
  if (engine) {
    if (auto* ws = dynamic_cast<TWsFrontEnd*>(engine->FrontEnd())) lib = &ws->Lib();
  }

  TMetricsWriter m;
  m.One("tavrel_open_connections", "gauge", "Browser connections open.",
        NonNegative(engine ? engine->GetCount() : 0));
  m.One("tavrel_sessions_in_game", "gauge", "Sessions that have entered the game.",
        NonNegative(g_nSuccessCount));
  m.One("tavrel_connections_peak", "gauge", "Highest connection count seen by the status bar.",
        NonNegative(g_nSuccessMax));
  m.One("tavrel_session_records", "gauge", "Session records in the table, free ones included.",
        NonNegative(engine ? engine->GetListCount() : 0));
  m.One("tavrel_server_link_up", "gauge", "1 while the game-server link is connected.",
        engine && engine->IsConnected() ? 1 : 0);

  m.Head("tavrel_server_frames_total", "counter", "Gate frames on the game-server link.");
  m.Sample("tavrel_server_frames_total", "direction=\"to_server\"", stats.nFramesToServer);
  m.Sample("tavrel_server_frames_total", "direction=\"from_server\"", stats.nFramesFromServer);
  m.Head("tavrel_server_bytes_total", "counter", "Bytes on the game-server link.");
  m.Sample("tavrel_server_bytes_total", "direction=\"to_server\"", stats.nBytesToServer);
  m.Sample("tavrel_server_bytes_total", "direction=\"from_server\"", stats.nBytesFromServer);
  m.One("tavrel_client_bytes_sent_total", "counter", "Bytes handed to browser connections.",
        stats.nBytesToClients);
  m.One("tavrel_client_messages_received_total", "counter",
        "Messages received from browser connections.", stats.nClientMessages);

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
        "Bytes skipped on the game-server link to find the next frame.", stats.nResyncBytes);
  m.One("tavrel_oversize_frame_headers_total", "counter",
        "Frame headers skipped for announcing an oversized payload.", stats.nOversizeHeaders);

  m.Head("tavrel_connections_closed_total", "counter",
         "Connections closed by the gateway, by reason.");
  m.Sample("tavrel_connections_closed_total", "reason=\"slow_consumer\"",
           lib ? lib->SlowConsumerCloses() : 0);
  m.Sample("tavrel_connections_closed_total", "reason=\"client_stream_full\"",
           stats.nClientsOverCap);
  m.Sample("tavrel_connections_closed_total", "reason=\"oversize_message\"",
           lib ? lib->OversizeCloses() : 0);
  m.Sample("tavrel_connections_closed_total", "reason=\"bad_login\"", stats.nLoginRefused);
  m.Sample("tavrel_connections_closed_total", "reason=\"login_timeout\"", stats.nLoginTimeouts);
  m.Sample("tavrel_connections_closed_total", "reason=\"kick\"", stats.nKicks);

  m.Head("tavrel_refused_connections_total", "counter", "Connections refused, by reason.");
  m.Sample("tavrel_refused_connections_total", "reason=\"address_limit\"", stats.nRefusedByAddress);
  m.Sample("tavrel_refused_connections_total", "reason=\"no_free_slot\"", stats.nRefusedNoSlot);
  m.Sample("tavrel_refused_connections_total", "reason=\"handshake\"",
           lib ? lib->RefusedConnections() : 0);

  m.One("tavrel_server_link_overflows_total", "counter",
        "Times the link was dropped for frames the game server did not read.", stats.nLinkOverCap);
  m.One("tavrel_dropped_client_messages_total", "counter",
        "Client messages discarded for a malformed header or body.", stats.nDroppedMessages);
  return m.Take();
}

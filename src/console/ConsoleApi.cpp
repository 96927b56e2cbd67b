#include "console/ConsoleApi.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <vector>

#include "console/BaseUnit.h"
#include "console/ConsolePage.h"
#include "console/Metrics.h"
#include "console/uUserList.h"
#include "engine/GameSocket.h"
#include "engine/MainUnit.h"
#include "log/uThread_Logger.h"
#include "platform/IniFile.h"
#include "protocol/EDcode.h"
#include "protocol/ProtocolVersion.h"
#include "shared/Share.h"
#include "shared/Tick.h"

namespace json = boost::json;

namespace {

TConsoleReply Json(const json::value& v, int status = 200) {
  TConsoleReply reply;
  reply.nStatus = status;
  reply.sBody = json::serialize(v);
  return reply;
}

TConsoleReply Error(int status, std::string_view text) {
  return Json(json::object{{"error", text}}, status);
}

// The request body as a JSON object; an empty body is an empty object.
bool ParseBody(const TConsoleRequest& req, json::object& out) {
  if (req.sBody.find_first_not_of(" \t\r\n") == std::string::npos) return true;
  boost::system::error_code ec;
  json::value v = json::parse(req.sBody, ec);
  if (ec || !v.is_object()) return false;
  out = std::move(v.as_object());
  return true;
}

std::string Text(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  return v && v->is_string() ? std::string(v->as_string()) : std::string();
}

// A spin edit's number: a JSON number (or digits in a string) cut to 32 bits;
// nothing for a missing member or one that holds no number.
std::optional<int32_t> SpinNumber(const json::value* v) {
  if (!v) return std::nullopt;
  double d = 0;
  if (v->is_int64()) {
    d = static_cast<double>(v->as_int64());
  } else if (v->is_uint64()) {
    d = static_cast<double>(v->as_uint64());
  } else if (v->is_double()) {
    d = v->as_double();
  } else if (v->is_string()) {
    int32_t n = 0;
    if (TryParseIniInteger(std::string(v->as_string()), n)) return n;
    return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (!(d == d)) return std::nullopt;
  return static_cast<int32_t>(std::clamp<double>(d, std::numeric_limits<int32_t>::min(),
                                                 std::numeric_limits<int32_t>::max()));
}

// The same, reading 0 where there is no number (which the settings refuse
// for ports).
int32_t Number(const json::object& o, std::string_view key) {
  return SpinNumber(o.if_contains(key)).value_or(0);
}

bool Flag(const json::object& o, std::string_view key, bool& out) {
  const json::value* v = o.if_contains(key);
  if (!v || !v->is_bool()) return false;
  out = v->as_bool();
  return true;
}

std::string Hex(const std::array<uint8_t, 256>& table) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : table) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string Event(std::string_view name, const json::value& data) {
  std::string out = "event: ";
  out.append(name).append("\ndata: ").append(json::serialize(data)).append("\n\n");
  return out;
}

json::array Panels(const TMainForm& form) {
  return json::array{json::string(form.StatusPanel(0)), json::string(form.StatusPanel(1))};
}

}  // namespace

TConsoleApi::TConsoleApi(TMainForm& form, TConsoleAccess access)
    : form_(form), access_(std::move(access)) {}

TConsoleReply TConsoleApi::Handle(const TConsoleRequest& req) {
  // Balancers and supervisors ask without a token or a host name of ours;
  // the answer tells nothing beyond whether to send players here.
  if (req.Path() == "/healthz") return Healthz(req);
  TConsoleReply reply = Serve(req);
  if (req.IsStateChanging()) Audit(req, reply.nStatus);
  return reply;
}

// Who changed what: every change is written; refused ones are sampled, as
// anyone who reaches the port can send them.
void TConsoleApi::Audit(const TConsoleRequest& req, int status) {
  constexpr size_t kBodySample = 200;
  const uint64_t now = GetTickCount64();
  const bool refused = status == 401 || status == 403;
  auditSampler_.Report(now, false, [&](size_t, uint64_t n) {
    MainOutWarning(Format("Console: %d more refused requests", n));
  });
  if (refused && !auditSampler_.Admit(0, now)) return;
  std::string body = req.sBody.substr(0, kBodySample);
  if (req.sBody.size() > kBodySample) body += "...";
  // The path without its query: a ?token= there must not reach the log.
  const std::string line =
      Format("Console %s from %s: %s %s -> %d", refused ? "refused" : "request", req.sPeer,
             req.sMethod, req.Path().substr(0, kBodySample), status) +
      (body.empty() ? "" : " " + body);
  if (refused) {
    MainOutWarning(line);
  } else {
    MainOutMessage(line);
  }
}

TConsoleReply TConsoleApi::Serve(const TConsoleRequest& req) {
  switch (CheckConsoleAccess(access_, req)) {
    case EConsoleAccess::Allowed:
      break;
    case EConsoleAccess::NoToken:
      return Error(401, "the console token is missing or wrong");
    case EConsoleAccess::ForeignHost:
      return Error(403, "unknown host name");
    case EConsoleAccess::ForeignOrigin:
      return Error(403, "request from another origin");
  }
  TConsoleReply reply;
  try {
    reply = Route(req);
  } catch (const EIniFileException& e) {
    reply = Error(500, e.what());
  } catch (const std::exception& e) {
    reply = Error(500, e.what());
  }
  // A page opened with the token in its URL keeps it as a cookie for its
  // scripts and event stream; SameSite keeps other sites from sending it.
  if (TokenInQuery(access_, req)) {
    reply.sSetCookie = ConsoleCookieName(access_.nPort) + "=" + ConsoleCookieValue(access_.sToken) +
                       "; Path=/; HttpOnly; SameSite=Strict";
  }
  return reply;
}

TConsoleReply TConsoleApi::Route(const TConsoleRequest& req) {
  const std::string_view path = req.Path();
  const bool get = req.sMethod == "GET" || req.sMethod == "HEAD";
  const bool post = req.sMethod == "POST";
  auto wrongMethod = [] { return Error(405, "method not allowed"); };

  if (path == "/events") {
    if (!get) return wrongMethod();
    TConsoleReply reply;
    reply.boEventStream = true;
    return reply;
  }
  if (path == "/metrics") {
    if (!get) return wrongMethod();
    TConsoleReply reply;
    reply.sContentType = "text/plain; version=0.0.4; charset=utf-8";
    reply.sBody = RenderMetrics(g_TavrelSocket.get());
    return reply;
  }
  if (path.starts_with("/api/")) {
    const std::string_view name = path.substr(5);
    if (name == "state") return get ? Json(SnapshotObject()) : wrongMethod();
    if (name == "settings") {
      if (get) return GetSettings();
      return post ? PostSettings(req) : wrongMethod();
    }
    if (name == "users") return get ? GetUsers() : wrongMethod();
    if (name == "codec") return get ? GetCodec() : wrongMethod();
    if (name == "dashboard") return get ? GetDashboard() : wrongMethod();
    if (!post) return wrongMethod();
    if (name == "showlog") return PostShowLog(req);
    if (name == "clearlog") return PostClearLog();
    if (name == "speeddebug") return PostSpeedDebug(req);
    if (name == "disconnect") return PostDisconnect(req);
    if (name == "close") {
      TConsoleReply reply = Json(json::object{{"closing", true}});
      reply.boCloseGateway = true;
      return reply;
    }
    return Error(404, "no such request");
  }
  if (!get) return wrongMethod();
  return ServeFile(req);
}

TConsoleReply TConsoleApi::Healthz(const TConsoleRequest& req) {
  if (req.IsStateChanging()) return Error(405, "method not allowed");
  const TMainForm::THealth health = form_.Health();
  TConsoleReply reply;
  reply.nStatus = health.boServing ? 200 : 503;
  reply.sContentType = "text/plain; charset=utf-8";
  reply.sBody = health.sReason + "\n";
  return reply;
}

TConsoleReply TConsoleApi::ServeFile(const TConsoleRequest& req) {
  const std::string_view path = req.Path();
  if (path == "/demo") {
    TConsoleReply reply;
    reply.nStatus = 301;
    const size_t q = req.sTarget.find('?');
    reply.sLocation = "/demo/" + (q == std::string::npos ? std::string() : req.sTarget.substr(q));
    return reply;
  }
  const TEmbeddedFile* file = FindEmbeddedFile(path);
  if (!file) return Error(404, "not found");
  TConsoleReply reply;
  reply.sContentType = std::string(ContentTypeOf(file->sPath));
  reply.sBody = std::string(file->Bytes());
  return reply;
}

json::object TConsoleApi::SnapshotObject() const {
  json::array lines;
  lines.reserve(form_.MemoLog().size());
  for (const std::string& line : form_.MemoLog()) lines.emplace_back(line);
  return json::object{{"caption", form_.Caption()},
                      {"lines", std::move(lines)},
                      {"panels", Panels(form_)},
                      {"showLog", boShowLog},
                      {"protocolVersion", kProtocolVersion}};
}

std::string TConsoleApi::SnapshotEvent() const {
  return Event("snapshot", SnapshotObject());
}

std::string TConsoleApi::LogEvent(std::string_view sLine) {
  return Event("log", json::string(sLine));
}

std::string TConsoleApi::ClearEvent() {
  return Event("clear", json::object{});
}

std::string TConsoleApi::StatusEvent() const {
  return Event("status", Panels(form_));
}

std::string TConsoleApi::ShowLogEvent() {
  return Event("showlog", json::value(boShowLog));
}

TConsoleReply TConsoleApi::PostShowLog(const TConsoleRequest& req) {
  json::object body;
  bool on = false;
  if (!ParseBody(req, body) || !Flag(body, "on", on)) return Error(400, "expected {\"on\":bool}");
  SetShowLog(on);
  if (Broadcast) Broadcast(ShowLogEvent());
  return Json(json::object{{"showLog", boShowLog}});
}

TConsoleReply TConsoleApi::PostClearLog() {
  form_.ClearMemoLog();
  if (Broadcast) Broadcast(ClearEvent());
  return Json(json::object{{"cleared", true}});
}

namespace {

json::object SettingsObject() {
  TBaseForm dialog;
  dialog.Open();
  return json::object{{"GateAddr", dialog.EditGateIP},
                      {"GatePort", dialog.SpinGatePort},
                      {"ServerAddr", dialog.EditServerIP},
                      {"ServerPort", dialog.SpinServerPort},
                      {"IpCount", dialog.SpinEditIPCount},
                      // The switch in effect: the dialog's box always opens unticked.
                      {"ClientSpeedDebugMode", g_bClientSpeedDebugMode}};
}

}  // namespace

TConsoleReply TConsoleApi::GetSettings() {
  return Json(SettingsObject());
}

TConsoleReply TConsoleApi::PostSettings(const TConsoleRequest& req) {
  json::object body;
  if (!ParseBody(req, body)) return Error(400, "expected a JSON object");
  // The dialog opens with the settings as they are, so a member the request
  // leaves out leaves its setting alone.
  TBaseForm dialog;
  dialog.Open();
  if (body.contains("GateAddr")) dialog.EditGateIP = Text(body, "GateAddr");
  if (body.contains("GatePort")) dialog.SpinGatePort = Number(body, "GatePort");
  if (body.contains("ServerAddr")) dialog.EditServerIP = Text(body, "ServerAddr");
  if (body.contains("ServerPort")) dialog.SpinServerPort = Number(body, "ServerPort");
  // The dialog's check box switches the notices at once, without "设置".
  if (body.contains("ClientSpeedDebugMode")) {
    if (!Flag(body, "ClientSpeedDebugMode", dialog.CheckBoxClientSpeedDebugMode))
      return Error(400, "ClientSpeedDebugMode must be true or false; nothing was changed");
    dialog.CheckBoxClientSpeedDebugModeClick();
  }
  bool ipCountRefused = false;
  if (const json::value* v = body.if_contains("IpCount")) {
    const std::optional<int32_t> n = SpinNumber(v);
    ipCountRefused = !n || *n < TBaseForm::kIpCountUsable;
    dialog.SpinEditIPCount = n.value_or(0);
  }
  const bool saved = dialog.Button1Click();
  // Like a refused port the old limit stays (and is written back); unlike a
  // port, the operator is told, as such a limit would lock every player out.
  if (ipCountRefused)
    return Error(400, "IpCount must be a number from " + std::to_string(TBaseForm::kIpCountUsable) +
                          " to " + std::to_string(TBaseForm::kIpCountMax) +
                          " (below 2 admits no one); it stays " +
                          std::to_string(g_GateConfig.nIpCount) + ". The other settings were " +
                          (saved ? "saved." : "applied, not saved."));
  json::object answer = SettingsObject();
  answer["saved"] = saved;
  // A start reads the file again: what lives in memory only is lost then.
  if (!saved) {
    answer["note"] = "Not saved: " + (g_Config ? g_Config->FileName() : std::string()) +
                     " is the operator's file (--config) and is never written. IpCount applies "
                     "now; the addresses and ports are used only at a start, which reads the "
                     "file: change them there.";
  }
  return Json(answer);
}

TConsoleReply TConsoleApi::PostSpeedDebug(const TConsoleRequest& req) {
  json::object body;
  TBaseForm dialog;
  if (!ParseBody(req, body) || !Flag(body, "on", dialog.CheckBoxClientSpeedDebugMode))
    return Error(400, "expected {\"on\":bool}");
  dialog.CheckBoxClientSpeedDebugModeClick();
  return Json(json::object{{"ClientSpeedDebugMode", g_bClientSpeedDebugMode}});
}

TConsoleReply TConsoleApi::GetUsers() {
  json::array rows;
  std::string status = "在线人数:0";
  if (g_TavrelSocket) {
    TUserListFrm dialog(*g_TavrelSocket);
    dialog.ShowUserList();
    for (const TUserRow& r : dialog.Rows()) {
      rows.push_back(json::object{{"index", r.nIndex},
                                  {"uid", r.sUid},
                                  {"ip", r.sIP},
                                  {"account", r.sAccount},
                                  {"name", r.sUserName},
                                  {"userId", r.sUserID},
                                  {"connectedAt", r.sConnectTime},
                                  {"bytesIn", r.nBytesFromClient},
                                  {"bytesOut", r.nBytesToClient},
                                  {"graceLeft", r.nGraceLeftSeconds}});
    }
    status = dialog.StatusText();
  }
  return Json(json::object{{"rows", std::move(rows)}, {"status", status}});
}

TConsoleReply TConsoleApi::PostDisconnect(const TConsoleRequest& req) {
  json::object body;
  const json::value* rows = nullptr;
  if (!ParseBody(req, body) || !(rows = body.if_contains("rows")) || !rows->is_array())
    return Error(400, "expected {\"rows\":[{\"index\":n,\"uid\":\"..\"}]}");
  std::vector<TUserRowRef> selected;
  for (const json::value& row : rows->as_array()) {
    if (!row.is_object()) return Error(400, "a row is not an object");
    const json::object& o = row.as_object();
    selected.push_back(TUserRowRef{Number(o, "index"), Text(o, "uid")});
  }
  int marked = 0;
  if (g_TavrelSocket) marked = TUserListFrm(*g_TavrelSocket).N3Click(selected, req.sPeer);
  return Json(json::object{{"marked", marked}});
}

TConsoleReply TConsoleApi::GetCodec() {
  const TCodecTables& t = CurrentCodecTables();
  return Json(json::object{{"EncodeBitMasks", Hex(t.EncodeBitMasks)},
                           {"DecodeBitMasks", Hex(t.DecodeBitMasks)},
                           {"n4CEEF4", t.n4CEEF4},
                           {"n4CEEF8", t.n4CEEF8},
                           {"n4CEEFC", t.n4CEEFC},
                           {"w4CEF00", t.w4CEF00},
                           {"gatePort", g_GatePort},
                           {"tls", g_boOpenSSL}});
}

std::string TConsoleApi::DashboardEvents() {
  const TGateFigures figures = ReadGateFigures(g_TavrelSocket.get());
  const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  const bool sampled = dashboard_.Tick(figures, GetTickCount64(), nowMs);
  std::string events = Event("figures", dashboard_.FiguresJson(figures));
  if (sampled) events += Event("sample", TDashboard::SampleJson(dashboard_.Samples().back()));
  return events;
}

TConsoleReply TConsoleApi::GetDashboard() {
  json::object out = dashboard_.HistoryJson();
  out.emplace("figures", dashboard_.FiguresJson(ReadGateFigures(g_TavrelSocket.get())));
  return Json(out);
}

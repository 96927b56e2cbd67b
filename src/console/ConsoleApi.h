// The console's requests and what they do: serving the page and the demo
// client, the main window's state and menu actions, the settings and
// online-users dialogs, the codec tables for browser clients, /metrics and
// the health check /healthz (the one request that needs no token);
// and the texts of the events pushed to open pages. Knows nothing of
// sockets: a request record in, a reply record out. Main thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>

#include "console/ConsoleAccess.h"
#include "console/Dashboard.h"
#include "shared/LogSampler.h"

class TMainForm;

struct TConsoleReply {
  int nStatus = 200;
  std::string sContentType = "application/json; charset=utf-8";
  std::string sBody;
  std::string sSetCookie;       // a Set-Cookie value, or empty
  std::string sLocation;        // for redirects
  bool boEventStream = false;   // the connection becomes an event stream
  bool boCloseGateway = false;  // close the gateway once the reply is out
};

class TConsoleApi {
 public:
  TConsoleApi(TMainForm& form, TConsoleAccess access);

  TConsoleReply Handle(const TConsoleRequest& req);

  // Hands an event text to every open page; set by the server.
  std::function<void(const std::string& sEvent)> Broadcast;

  // Event texts ("event: <name>\ndata: <json>\n\n").
  std::string SnapshotEvent() const;
  static std::string LogEvent(std::string_view sLine);
  static std::string ClearEvent();
  std::string StatusEvent() const;
  static std::string ShowLogEvent();
  // Once a second with the status bar: the dashboard's "figures" event, and
  // its "sample" event when an interval of the history ended.
  std::string DashboardEvents();

  const TConsoleAccess& Access() const { return access_; }
  void SetToken(std::string sToken) { access_.sToken = std::move(sToken); }

 private:
  TConsoleReply Serve(const TConsoleRequest& req);  // the access rules, then the route
  void Audit(const TConsoleRequest& req, int status);
  TConsoleReply Route(const TConsoleRequest& req);
  TConsoleReply ServeFile(const TConsoleRequest& req);
  TConsoleReply Healthz(const TConsoleRequest& req);
  // The main window's state: the reply of /api/state and the page's first event.
  boost::json::object SnapshotObject() const;
  TConsoleReply PostShowLog(const TConsoleRequest& req);
  TConsoleReply PostClearLog();
  TConsoleReply GetSettings();
  TConsoleReply PostSettings(const TConsoleRequest& req);
  TConsoleReply PostSpeedDebug(const TConsoleRequest& req);
  TConsoleReply GetUsers();
  TConsoleReply PostDisconnect(const TConsoleRequest& req);
  TConsoleReply GetCodec();
  TConsoleReply GetDashboard();

  TMainForm& form_;
  TConsoleAccess access_;
  TLogSampler auditSampler_;  // refused changes
  TDashboard dashboard_;
};

#include "engine/MainUnit.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>

#include "engine/GameSocket.h"
#include "engine/WsFrontEnd.h"
#include "log/uThread_Logger.h"
#include "platform/ControlChannel.h"
#include "platform/SystemdNotify.h"
#include "platform/wslib.h"
#include "protocol/Grobal2.h"
#include "protocol/HUtil32.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "translate/Zlib.h"

namespace {
constexpr auto kStartTimerInterval = std::chrono::milliseconds(200);
constexpr auto kRunTimerInterval = std::chrono::milliseconds(10);
constexpr uint64_t kShowLogIntervalMs = 200;
constexpr uint64_t kStatusIntervalMs = 1000;
constexpr auto kDrainPoll = std::chrono::milliseconds(20);
// The service manager's status line follows changes no more often than this.
constexpr uint64_t kNotifyStatusIntervalMs = 3000;

// The status a service manager shows, e.g. "STATUS=412 sessions, game server linked".
std::string ServiceStatus(const TTavrelSocket& engine) {
  return "STATUS=" + SessionsText(engine.GetCount()) + ", game server " +
         (engine.IsConnected() ? "linked" : "link down");
}
}  // namespace

TMainForm::TMainForm(boost::asio::io_context& io, std::vector<std::string> args,
                     std::string configFile, bool keepConfigFile)
    : io_(io),
      args_(std::move(args)),
      configFile_(std::move(configFile)),
      keepConfigFile_(keepConfigFile),
      StartTimer(io),
      TimerRun(io),
      DrainTimer(io),
      HandoverTimer(io) {}

TMainForm::~TMainForm() {
  if (!closed_) FormDestroy();
}

void TMainForm::FormCreate() {
  auto arg = [this](size_t n) { return n <= args_.size() ? args_[n - 1] : std::string(); };
  Randomize();
  LoadConfig(configFile_, keepConfigFile_ ? EConfigWrite::KeepFile : EConfigWrite::WriteBack);
  g_nIndex = static_cast<int32_t>(Str_ToInt(arg(4), 0));
  g_GatePort = static_cast<uint16_t>(Str_ToInt(arg(5), 0));
  if (g_GatePort == 0) g_GatePort = g_GateConfig.nGatePort;
  // Only a connected datagram or seqpacket socket is a control program: a
  // stale number could name the game-server link or a client's socket later.
  const int64_t given = Str_ToInt(arg(1), 0);
  const bool control = given > 0 && given <= INT_MAX && IsControlSocket(static_cast<int>(given));
  g_dwCorvaneHandle = control ? static_cast<uint32_t>(given) : 0;

  const std::string logDir = LogDirectory(g_GatePort);
  std::filesystem::create_directories(logDir);
  g_Logger = std::make_unique<TLogger>();
  g_Logger->Initialize(logDir);
  g_Logger->SetKeepDays(g_GateConfig.nLogKeepDays);
  g_Logger->Start();

  if (given != 0 && !control) {
    MainOutMessage("Argument 1 (" + arg(1) +
                   ") is not a connected Unix-domain datagram or seqpacket socket: "
                   "running without a control program");
  }
  MainOutMessage("获得端口 " + std::to_string(g_GatePort));
  MainOutMessage(Format("g_dwCorvaneHandle %u %d", g_dwCorvaneHandle, g_nIndex));
  MainOutMessage(Format("SSL:[%d] Ver:%s", g_boOpenSSL ? 1 : 0, g_sVerInfo));
  caption_ = Format("%s[%d/%d]", caption_, static_cast<int>(g_GatePort), g_nIndex);
  if (g_dwCorvaneHandle != 0) {
    WatchControlChannel();
    SendCorvaneMsg(SG_FORMHANDLE, std::to_string(getpid()));
  }
  g_GateConfig.nClientMsgByte = 2048;
  // A hand-over's clients wait in the listener's queue: no start timer.
  if (!boInherited_) ArmStartTimer();
  LoadIP();
  SendCorvaneMsg(SG_STARTNOW, Format("正在启动H5游戏网关[%d]...", static_cast<int>(g_GatePort)));
  SendCorvaneMsg(SG_STARTOK, Format("启动H5游网关完成[%d]...", static_cast<int>(g_GatePort)));
  if (boInherited_) TakeOver();
}

std::string SessionsText(int64_t n) {
  return Format("%d session%s", n, n == 1 ? "" : "s");
}

std::string TMainForm::LogDirectory(uint16_t port) {
  return "./Log/" + std::to_string(port) + "/";
}

void TMainForm::StartFailed(const std::string& why) {
  std::fprintf(stderr, "tavrelh5: cannot start: %s\n", why.c_str());
  exitCode_ = 1;
  CloseNow();
}

void TMainForm::ArmStartTimer() {
  startTimerEnabled_ = true;
  StartTimer.expires_after(kStartTimerInterval);
  StartTimer.async_wait([this](const boost::system::error_code& ec) {
    if (ec || !startTimerEnabled_) return;
    StartTimerTimer();
  });
}

void TMainForm::StartTimerTimer() {
  startTimerEnabled_ = false;
  if (g_boStarted) {
    boClose = true;
    Close();
    return;
  }
  g_boStarted = true;
  StartService(false);
}

void TMainForm::StartService(bool boTakeOver) {
  try {
    if (!g_TavrelSocket) {
      auto link = std::make_unique<TGameLink>(io_);
      gameLink_ = link.get();
      g_TavrelSocket = std::make_unique<TTavrelSocket>(io_, std::move(link));
    }
    if (!timerRunEnabled_) {
      TimerRun.expires_after(kRunTimerInterval);
      ArmRunTimer();
    }
    MainOutMessage("#初始化游戏网关.....");
    // A start that failed may be tried again: the front end that listens stays.
    std::unique_ptr<TWsFrontEnd> frontEnd;
    if (!g_TavrelSocket->FrontEnd()) {
      frontEnd = std::make_unique<TWsFrontEnd>(io_, *g_TavrelSocket);
      wsFrontEnd_ = frontEnd.get();
      // Accepting waits for the state the listener's clients resume to.
      if (wsInherited_ >= 0) {
        frontEnd->Lib().AdoptListener(std::exchange(wsInherited_, -1));
        frontEnd->Lib().PauseAccepting(true);
      }
    }
    g_TavrelSocket->Open(std::move(frontEnd));
    if (!boTakeOver) NotifyReady();
  } catch (const std::exception& e) {
    g_boStarted = false;
    boCheckServerFail = false;
    MainOutError("[Exception] StartService");
    MainOutMessage(e.what());
    // A supervisor sees a failed start only as an exit; a control program
    // may still send GS_QUIT to try again.
    if (g_dwCorvaneHandle == 0) StartFailed(e.what());
  }
}

// The tick keeps a fixed rate: a message waits for at most one tick on its
// way in and one on its way out, so a slow tick must not push the next ones.
// A tick that overran by more than a period is not made up for.
void TMainForm::ArmRunTimer() {
  timerRunEnabled_ = true;
  TimerRun.async_wait([this](const boost::system::error_code& ec) {
    if (ec || !timerRunEnabled_) return;
    TimerRunTimer();
    if (!timerRunEnabled_) return;
    const auto now = std::chrono::steady_clock::now();
    auto next = TimerRun.expiry() + kRunTimerInterval;
    if (next < now) next = now;
    TimerRun.expires_at(next);
    ArmRunTimer();
  });
}

void TMainForm::ResumeRunTimer() {
  if (timerRunEnabled_) return;
  TimerRun.expires_after(kRunTimerInterval);
  ArmRunTimer();
}

void TMainForm::TimerRunTimer() {
  try {
    ShowMainLogMsg();
  } catch (const std::exception&) {
    MainOutError("[Exception]ShowMainLogMsg..");
  }
  if (!g_TavrelSocket) return;
  try {
    g_TavrelSocket->Run();
    const uint64_t now = GetTickCount64();
    if (now - dwSendMsgBytesTime > kStatusIntervalMs) {
      dwSendMsgBytesTime = now;
      if (ExpireShowLog(now)) {
        MainOutMessage("Verbose log switched off: on for 10 minutes");
        if (OnShowLog) OnShowLog();
      }
      RefreshStatus();
    }
  } catch (const std::exception&) {
    MainOutError("[Exception]g_TavrelSocket.Run..");
  }
}

void TMainForm::RefreshStatus() {
  int64_t sent = 0, written = 0, size = 0;
  g_TavrelSocket->Link().Figures(sent, written, size);
  const int32_t connections = g_TavrelSocket->GetCount();
  panels_[0] = Format("Port:%d %d/%d/%d[%d] - %s", static_cast<int>(g_GateConfig.nGatePort),
                      connections, g_nSuccessCount, g_nSuccessMax, g_TavrelSocket->GetListCount(),
                      Format(" MsgLis: %d/%d/%d", sent, written, size));
  if (connections > g_nSuccessMax) g_nSuccessMax = connections;
  panels_[1] = g_TavrelSocket->IsConnected() ? "正常运行..." : "连接中断...";
  if (OnStatus) OnStatus();
  NotifyStatus();
}

// Clients can connect from here on: what a supervisor with Type=notify waits for.
void TMainForm::NotifyReady() {
  if (readyNotified_) return;
  readyNotified_ = true;
  notifiedStatus_ = ServiceStatus(*g_TavrelSocket);
  dwNotifyStatusTick_ = GetTickCount64();
  SdNotify("READY=1\n" + notifiedStatus_);
}

void TMainForm::NotifyStatus() {
  if (!readyNotified_ || draining_ || !g_TavrelSocket) return;
  const uint64_t now = GetTickCount64();
  if (now - dwNotifyStatusTick_ < kNotifyStatusIntervalMs) return;
  std::string status = ServiceStatus(*g_TavrelSocket);
  if (status == notifiedStatus_) return;
  dwNotifyStatusTick_ = now;
  notifiedStatus_ = std::move(status);
  SdNotify(notifiedStatus_);
}

void TMainForm::ShowMainLogMsg() {
  const uint64_t now = GetTickCount64();
  if (now - dwShowMainLogTick < kShowLogIntervalMs) return;
  dwShowMainLogTick = now;
  if (g_Logger) {
    for (const TLogNotice& notice : g_Logger->TakeNotices())
      MainOutMessage(notice.text, notice.boError ? ELogPriority::Error : ELogPriority::Info);
  }
  PassLogLines(true);
}

void TMainForm::ClearMemoLog() {
  PassLogLines(false);
  memoLog_.clear();
}

void TMainForm::PassLogLines(bool boToPane) {
  std::vector<ELogPriority> priorities;
  std::vector<std::string> TempLogList = TakeMainLogLines(&priorities);
  if (TempLogList.empty()) return;
  // The logger thread writes standard output: a reader that stalls must not
  // stop the loop.
  // The journal takes each line's priority from its "<N>" prefix.
  std::vector<std::string> prefixed;
  if (journal_) {
    prefixed.reserve(TempLogList.size());
    for (size_t i = 0; i < TempLogList.size(); ++i) {
      prefixed.push_back("<" + std::to_string(static_cast<int>(priorities[i])) + ">" +
                         TempLogList[i]);
    }
  }
  const std::vector<std::string>& out = journal_ ? prefixed : TempLogList;
  if (g_Logger) {
    g_Logger->WriteStdout(out);
  } else {
    for (const std::string& line : out) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  for (const std::string& line : TempLogList) {
    OutErrorLog(line);
    if (!boToPane) continue;
    memoLog_.push_back(line);
    if (OnLogLine) OnLogLine(line);
  }
  if (memoLog_.size() > kMemoLogMaxLines) {
    memoLog_.clear();
    if (OnLogCleared) OnLogCleared();
  }
}

void TMainForm::WatchControlChannel() {
  if (!control_) {
    const int fd = static_cast<int>(g_dwCorvaneHandle);
    if (!IsControlSocket(fd)) return;
    control_ = std::make_unique<boost::asio::posix::stream_descriptor>(io_, fd);
  }
  control_->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                       [this](const boost::system::error_code& ec) {
                         if (ec) return;
                         for (;;) {
                           TControlReceive got = ReceiveControlMessage(control_->native_handle());
                           if (got.status == EControlReceive::Closed) return;
                           if (got.status == EControlReceive::Nothing) break;
                           MyMessage(got.message.wCode);
                         }
                         WatchControlChannel();
                       });
}

void TMainForm::MyMessage(uint16_t wCode) {
  if (wCode == GS_QUIT && !startTimerEnabled_ && !draining_) ArmStartTimer();
}

TMainForm::THealth TMainForm::Health() const {
  if (draining_) return {false, "draining"};
  if (closed_) return {false, "closing"};
  // Not started: the start timer is armed before the first start (and again
  // after a control program's retry); otherwise the start failed.
  if (!g_boStarted || !g_TavrelSocket)
    return {false, startTimerEnabled_ ? "starting" : "start failed"};
  if (!g_TavrelSocket->IsConnected()) return {false, "game server link down"};
  // A balancer should send new players elsewhere while each would get 4004.
  if (!g_TavrelSocket->HasFreeSession()) return {false, "full"};
  return {true, "ok"};
}

void TMainForm::Close() {
  if (closed_ || draining_) return;
  if (handover_) {
    // Draining now would end the sessions being handed over: the image that
    // serves next (this one, when execve fails) drains instead.
    if (!std::exchange(handover_->boDrainAsked, true))
      MainOutMessage("Closing after the hand-over under way");
    return;
  }
  draining_ = true;
  startTimerEnabled_ = false;
  StartTimer.cancel();
  g_boStarted = false;  // no reconnects or keep-alives from here on
  drainDeadline_ = std::chrono::steady_clock::now() + kDrainLimit;
  SdNotify(g_TavrelSocket
               ? "STOPPING=1\nSTATUS=draining " + SessionsText(g_TavrelSocket->GetCount())
               : std::string("STOPPING=1"));
  if (g_TavrelSocket) {
    MainOutMessage(Format("Closing: draining %d connections", g_TavrelSocket->GetCount()));
    g_TavrelSocket->BeginDrain();
  }
  WatchDrain();
}

// The run tick goes on meanwhile, flushing the link and reading from it.
void TMainForm::WatchDrain() {
  if (closed_) return;
  const bool drained = !g_TavrelSocket || g_TavrelSocket->Drained();
  if (drained || std::chrono::steady_clock::now() >= drainDeadline_) {
    if (!drained) {
      MainOutWarning(Format("Drain time is up: %d connections left", g_TavrelSocket->GetCount()));
    }
    CloseNow();
    return;
  }
  DrainTimer.expires_after(kDrainPoll);
  DrainTimer.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) WatchDrain();
  });
}

void TMainForm::CloseNow() {
  if (closed_) return;
  FormDestroy();
  io_.stop();
}

void TMainForm::ReloadSettings() {
  if (closed_ || draining_) return;
  TSettingsReload reload;
  try {
    reload = ::ReloadSettings(configFile_);
  } catch (const std::exception& e) {
    MainOutError(std::string("SIGHUP: settings not reloaded, those in use stay: ") + e.what());
    return;
  }
  for (const std::string& change : reload.changes) MainOutMessage("SIGHUP: " + change);
  for (const std::string& line : reload.waiting) MainOutMessage("SIGHUP: " + line);
  for (const std::string& warning : reload.warnings) MainOutWarning("SIGHUP: " + warning);
  if (reload.boTrustedChanged && g_TavrelSocket)
    g_TavrelSocket->SetTrustedProxies(g_GateConfig.sProxyTrusted);
}

void TMainForm::ReopenLogs() {
  const std::string error = g_Logger ? g_Logger->Reopen() : "";
  if (error.empty())
    MainOutMessage("SIGUSR1: log files reopened");
  else
    MainOutError("SIGUSR1: log files not reopened: " + error);
}

void TMainForm::ReloadTLS() {
  if (closed_ || draining_) return;
  if (!g_boOpenSSL) {
    MainOutMessage("SIGHUP: TLS is off, nothing to reload");
    return;
  }
  std::string why = "the service is not started";
  if (g_TavrelSocket && g_TavrelSocket->ReloadTLS(why)) {
    MainOutMessage("TLS certificate " + g_GateConfig.sCertFile + " and key " +
                   g_GateConfig.sKeyFile + " reloaded for new connections");
  } else {
    MainOutError("TLS reload failed, the old certificate stays in use: " + why);
  }
}

void TMainForm::FormDestroy() {
  closed_ = true;
  // Lines queued since the last drain still reach stdout and the error log.
  dwShowMainLogTick = 0;
  try {
    ShowMainLogMsg();
  } catch (const std::exception&) {
  }
  if (g_Logger) {
    g_Logger->Stop();
    g_Logger.reset();
  }
  timerRunEnabled_ = false;
  startTimerEnabled_ = false;
  TimerRun.cancel();
  StartTimer.cancel();
  DrainTimer.cancel();
  HandoverTimer.cancel();
  memoLog_.clear();
  wsFrontEnd_ = nullptr;
  gameLink_ = nullptr;
  g_TavrelSocket.reset();
  control_.reset();
}

void TMainForm::Button1Click() {
  const std::string zipped = ZlibCompress("1234567890");
  MainOutMessage("Zip Code " + zipped);
  MainOutMessage("UnZip Code " + ZlibDecompress(zipped));
}

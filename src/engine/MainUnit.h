// TMainForm, the process's spine outside the engine: start-up from the
// command line and settings, the 200 ms start timer, the 10 ms run timer
// that drives the engine and drains the main log, the control channel, and
// the drain and teardown. Without a window the "form" keeps what the
// operator sees (the caption, the log pane, the two status panels) for the
// console to show. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "log/uThread_Logger.h"
#include "shared/Share.h"

class TMainForm {
 public:
  static constexpr size_t kMemoLogMaxLines = 500;

  // `args` are the control program's positional arguments; `configFile` the settings file, which
  // is never written when `keepConfigFile` (the operator's, named with --config).
  TMainForm(boost::asio::io_context& io, std::vector<std::string> args,
            std::string configFile = kConfigFileName, bool keepConfigFile = false);
  ~TMainForm();  // FormDestroy
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Start-up; throws what LoadConfig or the log directory throw.
  void FormCreate();
  // A part started beside the form (the console) failed: like a listener that cannot open
  // without a control program, the reason goes to standard error and the form closes at once
  // with exit code 1. Under a control program too: a retry would meet the same settings.
  void StartFailed(const std::string& why);
  // Where the main log and the error logs of a gateway on `port` go.
  static std::string LogDirectory(uint16_t port);
  // The control program's quit: closes within about 200 ms when started, starts again after a
  // failed start.
  void MyMessage(uint16_t wCode);
  // Closing confirmed by the operator, SIGTERM or SIGINT, in every state: the drain (no new
  // connections, close 1001 to every client after what is queued for it, GM_CLOSE for every
  // session, the link queue flushed), then the end, within kDrainLimit however peers behave.
  void Close();
  bool Closed() const { return closed_; }
  // SIGHUP: the settings safe to change at run time, each change logged.
  void ReloadSettings();
  // SIGUSR1 (log rotation): the log files are picked again.
  void ReopenLogs();
  // SIGHUP: new TLS certificate and key for new connections; a failure keeps the old ones.
  void ReloadTLS();
  // The process's exit code once closed: 1 after a failed start without a control program.
  int ExitCode() const { return exitCode_; }

  static constexpr auto kDrainLimit = std::chrono::milliseconds(3500);

  // Whether the gateway can take players now (started, game-server link up),
  // and if not why, in a few words; what the console's health check reports.
  struct THealth {
    bool boServing = false;
    std::string sReason;
  };
  THealth Health() const;
  // True from the start of the drain (Close) on, when the health check fails
  // so that a balancer sends no new players. Tests set it without draining.
  void SetDraining() { draining_ = true; }
  bool Draining() const { return draining_; }

  const std::string& Caption() const { return caption_; }
  const std::string& StatusPanel(int i) const { return panels_[i & 1]; }
  const std::deque<std::string>& MemoLog() const { return memoLog_; }
  // Lines logged before the clear and not yet shown still reach standard
  // output and the journal, but not the cleared pane.
  void ClearMemoLog();

  // Compression self-test: compresses "1234567890" and back, two main-log lines.
  void Button1Click();

  // The console hears of every line shown, of a cleared pane and of status changes.
  std::function<void(const std::string& line)> OnLogLine;
  std::function<void()> OnLogCleared;
  std::function<void()> OnStatus;
  std::function<void()> OnShowLog;  // the verbose log switched itself off

 private:
  void StartTimerTimer();
  void StartService();
  void TimerRunTimer();
  void ShowMainLogMsg();
  void PassLogLines(bool boToPane);
  void RefreshStatus();
  void NotifyReady();
  void NotifyStatus();
  void WatchControlChannel();
  void ArmStartTimer();
  void ArmRunTimer();
  void WatchDrain();
  void CloseNow();
  void FormDestroy();

  boost::asio::io_context& io_;
  std::vector<std::string> args_;
  std::string configFile_;
  bool keepConfigFile_ = false;
  boost::asio::steady_timer StartTimer;
  boost::asio::steady_timer TimerRun;
  boost::asio::steady_timer DrainTimer;
  std::chrono::steady_clock::time_point drainDeadline_;
  bool draining_ = false;
  int exitCode_ = 0;
  bool startTimerEnabled_ = false;
  bool timerRunEnabled_ = false;
  bool boClose = false;
  bool closed_ = false;
  std::unique_ptr<boost::asio::posix::stream_descriptor> control_;
  std::string caption_ = "TavrelH5 x64";
  std::string panels_[2];
  std::deque<std::string> memoLog_;
  uint64_t dwShowMainLogTick = 0;
  const bool journal_ = StdoutIsJournal();  // standard output is systemd's journal
  uint64_t dwSendMsgBytesTime = 0;
  // What the service manager ($NOTIFY_SOCKET) was last told, and when.
  bool readyNotified_ = false;
  std::string notifiedStatus_;
  uint64_t dwNotifyStatusTick_ = 0;
};

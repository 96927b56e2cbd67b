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

class TGameLink;
class TWsFrontEnd;

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

  // The hand-over (SIGUSR2) to a new image of the binary, in this process: `argv` is the whole
  // command line, given again to the binary at the path /proc/self/exe names now, at start.
  void SetImage(std::vector<std::string> argv);
  // The value of the hand-over's variable, when this image was started by one; before
  // FormCreate, which then takes the state over instead of starting afresh.
  void InheritHandover(std::string value);
  // SIGUSR2: stop accepting, write the link out, save the state into a sealed memfd, close
  // every client with 1012 and execve; ignored with a line while draining or handing over.
  void HandOver();
  bool HandingOver() const { return handover_ != nullptr; }
  // The console's listening socket passed by the hand-over, when it listens on `port`
  // (else it is closed); -1 when none. Once.
  int TakeConsoleListener(uint16_t port);
  // Signals that arrived while the images changed, held blocked across execve: a SIGUSR2 is
  // dropped with a line, the others are delivered now.
  void ReleaseHeldSignals();
  // Set by the console while it listens.
  std::function<void(bool pause)> OnPauseConsole;
  std::function<int()> ConsoleListener;

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
  void TimerRunTimer();
  void ShowMainLogMsg();
  void PassLogLines(bool boToPane);
  void RefreshStatus();
  void NotifyReady();
  void NotifyStatus();
  void WatchControlChannel();
  void ArmStartTimer();
  void ArmRunTimer();
  void ResumeRunTimer();
  void WatchDrain();
  void CloseNow();
  void FormDestroy();
  // The hand-over's steps, in order, on the loop (MainUnitHandover.cpp).
  void HandOverWriteLink();
  void HandOverSave();
  void HandOverWaitClosed();
  void HandOverExec();
  void HandOverFailed(const std::string& why);
  // The new image's start on what the old one passed.
  void TakeOver();
  void StartService(bool boTakeOver);

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

  // The hand-over. The front end and the link are the engine's; these name
  // the ones start-up made, for as long as the engine lives.
  TWsFrontEnd* wsFrontEnd_ = nullptr;
  TGameLink* gameLink_ = nullptr;
  std::vector<std::string> argv_;
  std::string exePath_;
  std::string inherited_;  // the variable's value
  bool boInherited_ = false;
  int consoleInherited_ = -1;
  int wsInherited_ = -1;  // the WebSocket listener StartService adopts, paused
  uint16_t consoleInheritedPort_ = 0;
  struct THandoverRun {
    uint64_t nStopNs = 0;  // accepting stopped (steady clock)
    std::chrono::steady_clock::time_point deadline;
    int memfd = -1;
    size_t nStateBytes = 0;
    uint64_t nSaveStartNs = 0, nSavedNs = 0, nSealedNs = 0;  // for the line before execve
    bool boDrainAsked = false;  // SIGTERM or the like meanwhile: the next image drains
  };
  std::unique_ptr<THandoverRun> handover_;
  boost::asio::steady_timer HandoverTimer;
};

// "1 session", "412 sessions": a count as the status lines and the log say it.
std::string SessionsText(int64_t n);

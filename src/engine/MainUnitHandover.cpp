// TMainForm's hand-over (SIGUSR2): the old image's steps up to execve, the
// way back when execve fails, and the new image's start on what it was
// passed. Every step runs on the loop; the waits are timers, not sleeps.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "engine/GameSocket.h"
#include "engine/MainUnit.h"
#include "engine/WsFrontEnd.h"
#include "log/uThread_Logger.h"
#include "platform/HandoverFds.h"
#include "platform/SystemdNotify.h"
#include "platform/wslib.h"
#include "shared/Share.h"
#include "shared/Tick.h"

namespace {
// The link queue's write-out, and the clients' close frames, each get this
// long at most; what is left of the queue crosses in the state unsent. The
// close wait counts in the pause, and a client that does not answer its
// close loses nothing by a short one: its resume replays what it lacks.
constexpr auto kLinkWriteLimit = std::chrono::seconds(1);
constexpr auto kCloseFramesLimit = std::chrono::milliseconds(100);
constexpr auto kPoll = std::chrono::milliseconds(1);
// Test hook: flips the state's byte at this offset (modulo its size) before
// sealing, as a state from another version or a damaged one would read.
constexpr const char* kTestFlipVariable = "TAVREL_TEST_HANDOVER_FLIP_BYTE";

int32_t LiveSessions(TTavrelSocket& engine) {
  int32_t n = 0;
  engine.ForEachSession([&n](const TSessionInfo& s) { n += s.Live() ? 1 : 0; });
  return n;
}

std::string MonotonicUsec() {
  return std::to_string(MonotonicNanos() / 1000);
}
}  // namespace

THandoverStats g_HandoverStats;

void TMainForm::SetImage(std::vector<std::string> argv) {
  argv_ = std::move(argv);
  exePath_ = SelfExePath();
}

void TMainForm::InheritHandover(std::string value) {
  inherited_ = std::move(value);
  boInherited_ = true;
}

int TMainForm::TakeConsoleListener(uint16_t port) {
  const int fd = std::exchange(consoleInherited_, -1);
  if (fd < 0 || consoleInheritedPort_ == port) return fd;
  MainOutMessage(Format("Console: the passed listener is on port %d, the settings say %d",
                        static_cast<int>(consoleInheritedPort_), static_cast<int>(port)));
  ::close(fd);
  return -1;
}

void TMainForm::ReleaseHeldSignals() {
  if (TakePendingSignal(SIGUSR2)) MainOutWarning("SIGUSR2 ignored: a hand-over was under way");
  UnblockGatewaySignals();
}

// --- the old image -----------------------------------------------------------

void TMainForm::HandOver() {
  if (draining_ || closed_) {
    MainOutWarning("SIGUSR2 ignored: the gateway is draining");
    return;
  }
  if (handover_) {
    MainOutWarning("SIGUSR2 ignored: a hand-over is under way");
    return;
  }
  const char* why = nullptr;
  if (!g_boStarted || !g_TavrelSocket || !wsFrontEnd_ || wsFrontEnd_->Lib().ListenDescriptor() < 0)
    why = "the gateway is not started";
  else if (!ConsoleListener || ConsoleListener() < 0)
    why = "the console is not listening";
  else if (exePath_.empty() || argv_.empty())
    why = "the path of the binary is unknown";
  if (why) {
    MainOutWarning(std::string("SIGUSR2 ignored: ") + why);
    return;
  }
  handover_ = std::make_unique<THandoverRun>();
  handover_->nStopNs = MonotonicNanos();
  handover_->deadline = std::chrono::steady_clock::now() + kLinkWriteLimit;
  // The kernel queues new connections for the next image meanwhile.
  wsFrontEnd_->Lib().PauseAccepting(true);
  OnPauseConsole(true);
  const int32_t sessions = LiveSessions(*g_TavrelSocket);
  SdNotify("RELOADING=1\nMONOTONIC_USEC=" + MonotonicUsec() + "\nSTATUS=handing over " +
           SessionsText(sessions));
  MainOutMessage("SIGUSR2: handing over " + SessionsText(sessions) + " to " + exePath_);
  // After the rest of this turn and the client messages already read (a transport thread's
  // too), whose handling may still queue frames for the link.
  wsFrontEnd_->Lib().BeginHandover([this] {
    if (handover_) HandOverWriteLink();
  });
}

void TMainForm::HandOverWriteLink() {
  TServerLink& link = *gameLink_;
  link.Flush();
  if (link.Connected() && link.QueuedBytes() > 0 &&
      std::chrono::steady_clock::now() < handover_->deadline) {
    HandoverTimer.expires_after(kPoll);
    HandoverTimer.async_wait([this](const boost::system::error_code& ec) {
      if (!ec && handover_) HandOverWriteLink();
    });
    return;
  }
  if (link.Connected() && link.QueuedBytes() > 0) {
    MainOutWarning(
        Format("Hand-over: %d bytes for the game server not written within 1 s, "
               "passed on unsent",
               link.QueuedBytes()));
  }
  HandOverSave();
}

void TMainForm::HandOverSave() {
  // From here on nothing may move: the run tick, and the link, whose bytes
  // from the game server now wait in the socket for the next image.
  timerRunEnabled_ = false;
  TimerRun.cancel();
  gameLink_->Hold(true);
  // The close frames go first, so that the clients' replies come while the
  // state is written: nothing sent to them from here on counts (the engine
  // hears nothing of them now, and their replay windows hold what they may
  // lack).
  const auto closing = std::chrono::steady_clock::now();
  wsFrontEnd_->Lib().CloseAllForHandover(ECloseCode::ServiceRestart);
  std::string state;
  std::string why;
  handover_->nSaveStartNs = MonotonicNanos();
  try {
    state = g_TavrelSocket->SaveHandover(handover_->nStopNs, why);
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (state.empty()) {
    HandOverFailed("the state could not be written: " + why);
    return;
  }
  if (const char* flip = std::getenv(kTestFlipVariable); flip && !state.empty())
    state[std::strtoull(flip, nullptr, 10) % state.size()] ^= 0x20;
  handover_->nSavedNs = MonotonicNanos();
  handover_->memfd = WriteSealedMemfd(state, why);
  handover_->nSealedNs = MonotonicNanos();
  if (handover_->memfd < 0) {
    HandOverFailed("the state could not be written: " + why);
    return;
  }
  handover_->nStateBytes = state.size();
  handover_->deadline =
      std::max(closing + kCloseFramesLimit, std::chrono::steady_clock::now() + kPoll * 20);
  HandOverWaitClosed();
}

void TMainForm::HandOverWaitClosed() {
  if (wsFrontEnd_->Lib().LiveConnections() > 0 &&
      std::chrono::steady_clock::now() < handover_->deadline) {
    HandoverTimer.expires_after(kPoll);
    HandoverTimer.async_wait([this](const boost::system::error_code& ec) {
      if (!ec && handover_) HandOverWaitClosed();
    });
    return;
  }
  HandOverExec();
}

void TMainForm::HandOverExec() {
  THandoverFds fds;
  fds.ws = wsFrontEnd_->Lib().ListenDescriptor();
  fds.console = ConsoleListener ? ConsoleListener() : -1;
  fds.link = gameLink_->Connected() ? gameLink_->Descriptor() : -1;
  fds.state = handover_->memfd;
  fds.nStopNs = handover_->nStopNs;
  fds.nOk = g_HandoverStats.nOk;
  fds.nRefused = g_HandoverStats.nRefused;
  fds.nFailed = g_HandoverStats.nFailed;
  fds.nPauseNs = g_HandoverStats.nPauseNs;
  fds.nNextConn = wsFrontEnd_->Lib().NextConnectionId();
  const THandoverRun& run = *handover_;
  const auto ms = [](uint64_t from, uint64_t to) {
    return Format("%.1f", static_cast<double>(to - from) / 1e6);
  };
  const uint64_t now = MonotonicNanos();
  MainOutMessage(
      Format("Hand-over: state of %d bytes sealed, %d clients left open, %s ms since "
             "accepting stopped (link written out %s ms, state saved %s ms, sealed %s "
             "ms, then the last clients closed %s ms); executing %s",
             run.nStateBytes, wsFrontEnd_->Lib().LiveConnections(), ms(run.nStopNs, now),
             ms(run.nStopNs, run.nSaveStartNs), ms(run.nSaveStartNs, run.nSavedNs),
             ms(run.nSavedNs, run.nSealedNs), ms(run.nSealedNs, now), exePath_));
  // The lines so far reach the files and standard output before the image goes.
  dwShowMainLogTick = 0;
  ShowMainLogMsg();
  if (g_Logger) g_Logger->Stop();
  sigset_t before;
  BlockGatewaySignals(before);
  if (handover_->boDrainAsked) ::raise(SIGTERM);  // pending: for whichever image serves next
  std::string why;
  {
    std::vector<int> pass = {fds.ws, fds.console, fds.state};
    if (fds.link >= 0) pass.push_back(fds.link);
    std::vector<int> keep;
    if (g_dwCorvaneHandle != 0) keep.push_back(static_cast<int>(g_dwCorvaneHandle));
    const TExecInheritance inheritance(pass, keep);
    fds.nExecNs = MonotonicNanos();
    why = inheritance.Ok()
              ? "execve " + exePath_ + ": " +
                    ExecImage(exePath_, argv_,
                              std::string(kHandoverVariable) + "=" + FormatHandoverFds(fds))
              : inheritance.Why();
  }
  // Still here: the flags are back as they were; so are the signals.
  if (g_Logger) g_Logger->Start();
  RestoreSignalMask(before);
  HandOverFailed(why);
}

void TMainForm::HandOverFailed(const std::string& why) {
  MainOutError("Hand-over failed, this image goes on serving: " + why);
  ++g_HandoverStats.nFailed;
  if (handover_->memfd >= 0) ::close(handover_->memfd);
  const bool drain = handover_->boDrainAsked;
  handover_.reset();
  HandoverTimer.cancel();
  gameLink_->Hold(false);
  // The clients closed with 1012 resume to this image: their sessions wait
  // detached, or end with GM_CLOSE when resume is off.
  wsFrontEnd_->Lib().AbandonHandover();
  wsFrontEnd_->Lib().PauseAccepting(false);
  if (OnPauseConsole) OnPauseConsole(false);
  ResumeRunTimer();
  SdNotify("READY=1\n" + notifiedStatus_);
  if (drain) Close();
}

// --- the new image -----------------------------------------------------------

void TMainForm::TakeOver() {
  THandoverFds fds;
  std::string why;
  bool usable = ParseHandoverFds(inherited_, fds, why);
  g_HandoverStats = {fds.nOk, fds.nRefused, fds.nFailed, fds.nPauseNs};
  const auto bad = [&usable, &why](const std::string& what) {
    if (usable) why = what;
    usable = false;
  };
  // Each descriptor is used only as what it was said to be; one that is not
  // is left alone, as it may be anything.
  uint16_t wsPort = 0;
  std::string problem;
  if (fds.ws >= 0 && !CheckListeningSocket(fds.ws, wsPort, problem)) {
    bad("ws: " + problem);
    fds.ws = -1;
  }
  uint16_t consolePort = 0;
  if (fds.console >= 0 && !CheckListeningSocket(fds.console, consolePort, problem)) {
    bad("console: " + problem);
    fds.console = -1;
  }
  if (fds.link >= 0 && !CheckConnectedSocket(fds.link, problem)) {
    bad("link: " + problem);
    fds.link = -1;
  }
  TSealedState state;
  if (fds.state >= 0) {
    if (state.Map(fds.state, kMaxHandoverStateBytes, problem)) {
      ::close(fds.state);
    } else {
      bad("state: " + problem);
    }
  }
  if (fds.console >= 0) {
    consoleInherited_ = fds.console;
    consoleInheritedPort_ = consolePort;
  }
  if (fds.ws >= 0) {
    if (wsPort == g_GatePort) {
      wsInherited_ = fds.ws;
    } else {
      MainOutMessage(Format("Hand-over: the passed listener is on port %d, the settings say %d",
                            static_cast<int>(wsPort), static_cast<int>(g_GatePort)));
      ::close(fds.ws);
    }
  }
  g_boStarted = true;
  StartService(true);
  if (!g_TavrelSocket || !wsFrontEnd_) {
    if (fds.link >= 0) ::close(fds.link);
    return;  // the start failed and said why
  }
  bool linked = false;
  if (fds.link >= 0) {
    linked = gameLink_->Adopt(fds.link);
    if (!linked) bad("link: the passed socket cannot be used");
  }
  bool restored = false;
  const uint64_t restoreStart = MonotonicNanos();
  if (usable) {
    // The restored sessions' handles are the old image's connection numbers:
    // a new connection must not take one of them.
    if (fds.nNextConn > 0 && fds.nNextConn <= UINT32_MAX)
      wsFrontEnd_->Lib().SetNextConnectionId(static_cast<TWsConnId>(fds.nNextConn));
    try {
      restored =
          g_TavrelSocket->RestoreHandover(state.Bytes(), g_GateConfig.nResumeGraceSeconds > 0, why);
    } catch (const std::exception& e) {
      why = e.what();
    }
  }
  const uint64_t now = MonotonicNanos();
  if (restored) {
    const THandoverSummary& summary = g_TavrelSocket->HandoverSummary();
    TWsLib& lib = wsFrontEnd_->Lib();
    if (summary.nNextHandle > lib.NextConnectionId()) lib.SetNextConnectionId(summary.nNextHandle);
    const uint64_t stop = summary.nStopAcceptNs > 0 ? summary.nStopAcceptNs : fds.nStopNs;
    const uint64_t pauseNs = stop > 0 && now > stop ? now - stop : 0;
    ++g_HandoverStats.nOk;
    g_HandoverStats.nPauseNs = pauseNs;
    // The old image's execve time comes with the variable: one from a clock
    // ahead of this one says nothing.
    const std::string sinceExec =
        fds.nExecNs > 0 && fds.nExecNs <= now
            ? Format(", %s ms after execve",
                     Format("%.1f", static_cast<double>(now - fds.nExecNs) / 1e6))
            : std::string();
    MainOutMessage(Format("Hand-over: state of %d bytes restored in %s ms%s", state.Bytes().size(),
                          Format("%.1f", static_cast<double>(now - restoreStart) / 1e6),
                          sinceExec));
    MainOutMessage(Format("Handed over: %d sessions (%d detached), %s, paused %d ms",
                          summary.nSessions, summary.nDetached, linked ? "link kept" : "link down",
                          pauseNs / 1000000));
  } else {
    ++g_HandoverStats.nRefused;
    MainOutError("Hand-over state not usable, starting afresh: " + why);
    // The game server sees the link drop, as on a restart, and the link
    // comes back as on any start.
    if (linked) gameLink_->DropNow("the hand-over's state was not usable");
  }
  wsFrontEnd_->Lib().PauseAccepting(false);
  NotifyReady();
}

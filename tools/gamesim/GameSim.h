// The scriptable test game server: listens for gateway links, logs every
// frame it receives as one line on stdout, follows the sessions, answers
// logins (user index, GM_SPEED, GM_SENDMAGICINFO), sends GM_CHECKSERVER
// periodically, and sends whatever its command sources (stdin, a script,
// control connections) tell it to. In load mode it also generates per-user
// messages and broadcasts at set rates, and it always echoes the load
// tool's marked messages. Everything runs on one io_context thread; the
// object owns its link server (GateServer), control connections
// (ControlConn), command sources and the load driver (LoadDriver).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "gamesim/ControlConn.h"
#include "gamesim/FrameLog.h"
#include "gamesim/LoadDriver.h"
#include "gamesim/SimCommand.h"
#include "testkit/GateServer.h"
#include "testkit/SessionTable.h"

namespace gamesim {

struct Options {
  std::string Addr = "127.0.0.1";
  uint16_t Port = 5000;
  bool Control = false;
  uint16_t ControlPort = 0;
  std::string Script;
  bool ReadStdin = true;
  int CheckServerMs = 2000;  // 0: never
  int ProbeMs = 0;           // GM_RECEIVE_OK probes; 0: only on command
  // Sent at login: walk, run, hit, spell intervals, attack and magic global
  // cooldowns, punish delay, punish threshold.
  int Speed[8] = {600, 600, 900, 900, 900, 900, 5, 200};
  std::string MagicInfo = "1=1000#0#0;2=1500#300#1";  // empty: not sent
  bool AutoLogin = true;                              // user index, speed and magic info at login
  bool Quiet = false;                                 // no recv/send line per frame (load runs)
  LoadSpec Load;                                      // load mode from the start
};

class GameSim : private GateServerEvents {
 public:
  GameSim(boost::asio::io_context& Io, Options Opts);
  ~GameSim();
  GameSim(const GameSim&) = delete;
  GameSim& operator=(const GameSim&) = delete;

  // Binds the listeners, prints "listening on <port>" (and "control on
  // <port>"), starts the timers and the command sources. Throws on failure.
  void Start();
  void Stop();

 private:
  class Source;
  struct Dest {
    int Link;
    int32_t Slot;
    int32_t Handle;
    uint16_t User;
  };
  // What a command left to do: nothing (done, maybe with an error), or a
  // wait that completes later.
  struct Outcome {
    std::string Error;
    int WaitMs = -1;     // >= 0: pause the source this long
    int WaitLinks = 0;   // > 0: pause until this many links are up
    int WaitLogins = 0;  // > 0: pause until this many logins
    int TimeoutMs = 0;
  };

  void Print(const std::string& Line);
  void DoAcceptControl();
  void StartStdin();
  void ArmCheckServer();
  void ArmProbe();

  // Link events.
  void OnLinkUp(int LinkId) override;
  void OnFrame(int LinkId, const Frame& F) override;
  void OnGarbage(int LinkId, size_t Skipped) override;
  void OnLinkDown(int LinkId) override;
  // What a received frame changes in the session table (and the probes).
  FrameEffect ApplyFrame(int LinkId, const Frame& F);
  void SendLoginSetup(const Session& S);

  // Sending.
  bool SendFrame(int LinkId, std::string Bytes);
  int SendAll(const std::string& Bytes);  // every link; returns how many
  bool ResolveTargets(const Target& To, std::vector<Dest>& Out, std::string& Error);

  // Commands.
  void Submit(const std::shared_ptr<Source>& From, std::string Line);
  void Pump(const std::shared_ptr<Source>& From);
  Outcome Execute(const Command& C, Source& From);
  Outcome Execute(const cmd::Data& C, Source& From);
  Outcome Execute(const cmd::SendMsg& C, Source& From);
  Outcome Execute(const cmd::SendRefMsg& C, Source& From);
  Outcome Execute(const cmd::SendGuildMsg& C, Source& From);
  Outcome Execute(const cmd::SendExample& C, Source& From);
  Outcome Execute(const cmd::Kick& C, Source& From);
  Outcome Execute(const cmd::Close& C, Source& From);
  Outcome Execute(const cmd::Speed& C, Source& From);
  Outcome Execute(const cmd::UserIndex& C, Source& From);
  Outcome Execute(const cmd::MagicInfo& C, Source& From);
  Outcome Execute(const cmd::CheckServer& C, Source& From);
  Outcome Execute(const cmd::ReceiveOk& C, Source& From);
  Outcome Execute(const cmd::Frame& C, Source& From);
  Outcome Execute(const cmd::Raw& C, Source& From);
  Outcome Execute(const cmd::Split& C, Source& From);
  Outcome Execute(const cmd::DropLink& C, Source& From);
  Outcome Execute(const cmd::Wait& C, Source& From);
  Outcome Execute(const cmd::WaitLink& C, Source& From);
  Outcome Execute(const cmd::WaitLogin& C, Source& From);
  Outcome Execute(const cmd::Sessions& C, Source& From);
  Outcome Execute(const cmd::Echo& C, Source& From);
  Outcome Execute(const cmd::Load& C, Source& From);
  Outcome Execute(const cmd::Help& C, Source& From);
  Outcome Execute(const cmd::Quit& C, Source& From);
  Outcome SendToTargets(const Target& To, uint16_t Ident, const std::string& Payload, bool Text);

  boost::asio::io_context& io_;
  Options opts_;
  GateServer server_;
  boost::asio::ip::tcp::acceptor controlAcceptor_;
  boost::asio::steady_timer checkTimer_;
  boost::asio::steady_timer probeTimer_;
  SessionTable sessions_;
  std::vector<std::shared_ptr<Source>> sources_;
  std::shared_ptr<boost::asio::posix::stream_descriptor> stdin_;
  std::shared_ptr<std::function<void()>> stdinRead_;
  std::vector<std::weak_ptr<ControlConn>> controls_;
  int splitPieces_ = 0;  // > 0: the next frame goes out in pieces
  int splitGapMs_ = 0;
  std::map<int, uint64_t> probeSent_;  // link -> tick of the last probe
  bool stopped_ = false;
  LoadDriver load_;
};

}  // namespace gamesim

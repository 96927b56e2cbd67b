#include "gamesim/GameSim.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>

#include "gamesim/LoadProtocol.h"
#include "samples/DocExamples.h"

namespace gamesim {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

uint64_t NowMs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

}  // namespace

// ---------------------------------------------------------------------------
// A command source: its own queue, paused by its own waits.

class GameSim::Source {
 public:
  Source(asio::io_context& Io, std::string SourceName,
         std::function<void(const std::string&)> ReplyTo, bool AckEach)
      : Name(std::move(SourceName)), Reply(std::move(ReplyTo)), Ack(AckEach), Timer(Io) {}

  std::string Name;
  std::function<void(const std::string&)> Reply;
  bool Ack;  // "ok" after each command
  std::deque<std::string> Lines;
  bool Busy = false;
  asio::steady_timer Timer;
};

// ---------------------------------------------------------------------------
// GameSim

GameSim::GameSim(asio::io_context& Io, Options Opts)
    : io_(Io),
      opts_(std::move(Opts)),
      server_(Io, *this),
      controlAcceptor_(Io),
      checkTimer_(Io),
      probeTimer_(Io),
      load_(Io, server_.Links(), sessions_, [this](int LinkId) {
        Print("link " + std::to_string(LinkId) + " send queue over cap, dropped");
        OnLinkDown(LinkId);
      }) {}

GameSim::~GameSim() {
  Stop();
}

void GameSim::Print(const std::string& Line) {
  std::fwrite(Line.data(), 1, Line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void GameSim::Start() {
  // The script is read whole before anything runs, so a bad path fails start-up.
  std::shared_ptr<Source> script;
  if (!opts_.Script.empty()) {
    std::ifstream in(opts_.Script);
    if (!in) throw std::runtime_error("cannot read script " + opts_.Script);
    script = std::make_shared<Source>(
        io_, "script", [this](const std::string& line) { Print(line); }, false);
    for (std::string line; std::getline(in, line);) script->Lines.push_back(line);
    sources_.push_back(script);
  }
  Print("listening on " + std::to_string(server_.Listen(opts_.Addr, opts_.Port)));
  if (opts_.Control) {
    const tcp::endpoint ep(asio::ip::make_address(opts_.Addr), opts_.ControlPort);
    controlAcceptor_.open(ep.protocol());
    controlAcceptor_.set_option(tcp::acceptor::reuse_address(true));
    controlAcceptor_.bind(ep);
    controlAcceptor_.listen();
    Print("control on " + std::to_string(controlAcceptor_.local_endpoint().port()));
    DoAcceptControl();
  }
  ArmCheckServer();
  ArmProbe();
  if (opts_.Load.Active()) load_.Start(opts_.Load);
  if (script) asio::post(io_, [this, script] { Pump(script); });
  if (opts_.ReadStdin) StartStdin();
}

void GameSim::Stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ec;
  server_.Stop();
  controlAcceptor_.close(ec);
  checkTimer_.cancel();
  probeTimer_.cancel();
  load_.Stop();
  for (auto& weak : controls_)
    if (auto conn = weak.lock()) conn->Close();
  for (auto& src : sources_) src->Timer.cancel();
  if (stdin_) {
    stdin_->close(ec);
    stdin_.reset();
    stdinRead_.reset();
    // The reader shared the terminal's file description; give it back blocking.
    const int flags = ::fcntl(STDIN_FILENO, F_GETFL, 0);
    if (flags >= 0) ::fcntl(STDIN_FILENO, F_SETFL, flags & ~O_NONBLOCK);
  }
}

void GameSim::OnLinkUp(int LinkId) {
  Print("link " + std::to_string(LinkId) + " up " + server_.Find(LinkId)->Peer());
}

void GameSim::DoAcceptControl() {
  controlAcceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (stopped_) return;
    if (!ec) {
      auto conn = std::make_shared<ControlConn>(std::move(socket));
      std::weak_ptr<ControlConn> weak = conn;
      auto src = std::make_shared<Source>(
          io_, "control",
          [weak](const std::string& line) {
            if (auto c = weak.lock()) c->Send(line);
          },
          true);
      controls_.push_back(weak);
      conn->Start([this, src](std::string line) { Submit(src, std::move(line)); });
    }
    DoAcceptControl();
  });
}

void GameSim::StartStdin() {
  auto src = std::make_shared<Source>(
      io_, "stdin", [this](const std::string& line) { Print(line); }, false);
  sources_.push_back(src);
  const int fd = ::dup(STDIN_FILENO);
  if (fd < 0) return;
  auto descriptor = std::make_shared<asio::posix::stream_descriptor>(io_);
  boost::system::error_code assignEc;
  descriptor->assign(fd, assignEc);
  if (assignEc) {
    // Not pollable (a regular file or /dev/null): it can be read at once.
    ::close(fd);
    for (std::string line; std::getline(std::cin, line);) src->Lines.push_back(line);
    asio::post(io_, [this, src] { Pump(src); });
    return;
  }
  stdin_ = descriptor;
  auto buf = std::make_shared<asio::streambuf>(kMaxLineBytes);
  auto read = std::make_shared<std::function<void()>>();
  *read = [this, src, descriptor, buf, weakRead = std::weak_ptr(read)] {
    asio::async_read_until(
        *descriptor, *buf, '\n',
        [this, src, descriptor, buf, weakRead](boost::system::error_code ec, size_t n) {
          if (stopped_) return;
          if (ec) {
            // End of input: run what is left of a last unterminated line.
            if (ec == asio::error::eof && buf->size() > 0) Submit(src, TakeLine(*buf, buf->size()));
            if (ec == asio::error::not_found) Print("error: stdin line too long");
            return;
          }
          Submit(src, TakeLine(*buf, n));
          if (auto again = weakRead.lock()) (*again)();
        });
  };
  stdinRead_ = read;
  (*read)();
}

void GameSim::ArmCheckServer() {
  if (opts_.CheckServerMs <= 0 || stopped_) return;
  checkTimer_.expires_after(std::chrono::milliseconds(opts_.CheckServerMs));
  checkTimer_.async_wait([this](boost::system::error_code ec) {
    if (ec || stopped_) return;
    SendAll(BuildFrame(GM_CHECKSERVER, 0, 0, 0, ""));
    ArmCheckServer();
  });
}

void GameSim::ArmProbe() {
  if (opts_.ProbeMs <= 0 || stopped_) return;
  probeTimer_.expires_after(std::chrono::milliseconds(opts_.ProbeMs));
  probeTimer_.async_wait([this](boost::system::error_code ec) {
    if (ec || stopped_) return;
    Source none(io_, "probe", nullptr, false);
    Execute(cmd::ReceiveOk{}, none);
    ArmProbe();
  });
}

// ---------------------------------------------------------------------------
// Received frames

void GameSim::OnFrame(int LinkId, const Frame& F) {
  const TMsgHeader& h = F.Header;
  // The load tool's marked messages are answered before anything is logged.
  if (h.wIdent == GM_H5DATA && F.Payload.size() >= sizeof(TDefaultMessage)) {
    int32_t ident;
    std::memcpy(&ident, F.Payload.data() + offsetof(TDefaultMessage, Ident), sizeof ident);
    if (ident == loadproto::kEchoIdent) {
      if (GateLink* link = server_.Find(LinkId)) load_.Echo(*link, h, F.Payload);
      if (opts_.Quiet) return;
    }
  }
  const FrameEffect effect = ApplyFrame(LinkId, F);
  if (!opts_.Quiet) Print(DescribeReceived(LinkId, F, effect));
  if (effect.NewLogin && opts_.AutoLogin) SendLoginSetup(*effect.NewLogin);
}

FrameEffect GameSim::ApplyFrame(int LinkId, const Frame& F) {
  const TMsgHeader& h = F.Header;
  FrameEffect effect;
  switch (h.wIdent) {
    case GM_OPEN:
      sessions_.Open(LinkId, h.nSocket, h.wGSocketIdx, F.Payload.substr(0, F.Payload.find('\0')));
      break;
    case GM_CLOSE:
      sessions_.Close(LinkId, h.wGSocketIdx);
      break;
    case GM_RECEIVE_OK:
      if (auto it = probeSent_.find(LinkId); it != probeSent_.end()) {
        effect.RttMs = int64_t(NowMs() - it->second);
        probeSent_.erase(it);
      }
      break;
    case GM_H5DATA: {
      Session& s = sessions_.Touch(LinkId, h.nSocket, h.wGSocketIdx);
      if (!s.LoggedIn && ParseLoginText(F.Payload, effect.Login)) {
        s.LoggedIn = true;
        s.Account = effect.Login.Account;
        s.CharName = effect.Login.CharName;
        s.UserId = effect.Login.UserId;
        effect.NewLogin = &s;
      }
      break;
    }
    default:
      break;
  }
  return effect;
}

void GameSim::OnGarbage(int LinkId, size_t Skipped) {
  Print("garbage link=" + std::to_string(LinkId) + " skipped=" + std::to_string(Skipped));
}

void GameSim::OnLinkDown(int LinkId) {
  if (!server_.DropLink(LinkId)) return;
  sessions_.DropLink(LinkId);
  probeSent_.erase(LinkId);
  Print("link " + std::to_string(LinkId) + " down");
}

void GameSim::SendLoginSetup(const Session& S) {
  Session* s = sessions_.Find(S.Link, S.Handle);
  if (!s) return;
  const uint16_t index = sessions_.AssignUserIndex(*s);
  SendFrame(s->Link, BuildFrame(GM_SERVERUSERINDEX, s->Slot, s->Handle, index, ""));
  SendFrame(s->Link, BuildFrame(GM_DATA, s->Slot, s->Handle, index,
                                MessagePayload(SpeedMessage(opts_.Speed))));
  if (!opts_.MagicInfo.empty())
    SendFrame(s->Link, BuildFrame(GM_SENDMAGICINFO, 0, 0, 0, MagicInfoPayload(opts_.MagicInfo)));
}

// ---------------------------------------------------------------------------
// Sending

bool GameSim::SendFrame(int LinkId, std::string Bytes) {
  GateLink* link = server_.Find(LinkId);
  if (!link) return false;
  TMsgHeader header;
  uint32_t code = 0;
  if (Bytes.size() >= sizeof(header)) {
    std::memcpy(&header, Bytes.data(), sizeof(header));
    code = header.dwCode;
  }
  if (opts_.Quiet) {
  } else if (code == TAVRELCODE) {
    Print("send " + DescribeHeader(LinkId, header));
  } else {
    Print("send raw link=" + std::to_string(LinkId) + " bytes=" + std::to_string(Bytes.size()));
  }
  const int pieces = splitPieces_;
  splitPieces_ = 0;
  if (!link->Send(std::move(Bytes), pieces, splitGapMs_)) {
    Print("link " + std::to_string(LinkId) + " send queue over " + std::to_string(kMaxLinkQueue) +
          " bytes, dropped");
    OnLinkDown(LinkId);
    return false;
  }
  return true;
}

int GameSim::SendAll(const std::string& Bytes) {
  std::vector<int> ids;
  for (auto& [id, link] : server_.Links()) ids.push_back(id);
  int sent = 0;
  for (int id : ids) sent += SendFrame(id, Bytes) ? 1 : 0;
  return sent;
}

bool GameSim::ResolveTargets(const Target& To, std::vector<Dest>& Out, std::string& Error) {
  if (To.All) {
    for (Session* s : sessions_.All())
      if (server_.Links().count(s->Link))
        Out.push_back({s->Link, s->Slot, s->Handle, s->UserIndex});
    if (Out.empty()) Error = "no sessions";
    return Out.empty() ? false : true;
  }
  if (Session* s = sessions_.FindHandle(To.Link, To.Handle)) {
    Out.push_back({s->Link, s->Slot, s->Handle, s->UserIndex});
    return true;
  }
  // A handle the gateway never announced still gets its frame, so that
  // tests can address sessions that do not exist.
  const int link =
      To.Link != 0 ? To.Link : (server_.Links().empty() ? 0 : server_.Links().begin()->first);
  if (!server_.Links().count(link)) {
    Error = "no gateway link";
    return false;
  }
  Print("note: handle " + std::to_string(To.Handle) + " has no session");
  Out.push_back({link, 0, To.Handle, 0});
  return true;
}

GameSim::Outcome GameSim::SendToTargets(const Target& To, uint16_t Ident,
                                        const std::string& Payload, bool Text) {
  Outcome out;
  std::vector<Dest> dests;
  if (!ResolveTargets(To, dests, out.Error)) return out;
  for (const Dest& d : dests)
    SendFrame(d.Link, BuildFrame(Ident, d.Slot, d.Handle, d.User, Payload, Text));
  return out;
}

// ---------------------------------------------------------------------------
// Commands

void GameSim::Submit(const std::shared_ptr<Source>& From, std::string Line) {
  From->Lines.push_back(std::move(Line));
  Pump(From);
}

void GameSim::Pump(const std::shared_ptr<Source>& From) {
  while (!From->Busy && !From->Lines.empty() && !stopped_) {
    const std::string line = std::move(From->Lines.front());
    From->Lines.pop_front();
    ParseResult parsed = ParseCommand(line);
    if (!parsed.Error.empty()) {
      From->Reply("error: " + parsed.Error);
      continue;
    }
    if (!parsed.Cmd) continue;
    Outcome out;
    try {
      out = Execute(*parsed.Cmd, *From);
    } catch (const std::exception& e) {
      out.Error = e.what();
    }
    if (stopped_) return;
    if (!out.Error.empty()) {
      From->Reply("error: " + out.Error);
      continue;
    }
    if (out.WaitMs >= 0) {
      From->Busy = true;
      From->Timer.expires_after(std::chrono::milliseconds(out.WaitMs));
      From->Timer.async_wait([this, From](boost::system::error_code ec) {
        if (ec || stopped_) return;
        From->Busy = false;
        if (From->Ack) From->Reply("ok");
        Pump(From);
      });
      return;
    }
    if (out.WaitLinks > 0 || out.WaitLogins > 0) {
      From->Busy = true;
      const uint64_t deadline = NowMs() + uint64_t(out.TimeoutMs);
      auto poll = std::make_shared<std::function<void()>>();
      *poll = [this, From, out, deadline, weakPoll = std::weak_ptr(poll)] {
        const bool done =
            (out.WaitLinks > 0 && server_.Links().size() >= size_t(out.WaitLinks)) ||
            (out.WaitLogins > 0 && sessions_.LoggedInCount() >= size_t(out.WaitLogins));
        if (done || NowMs() >= deadline) {
          From->Busy = false;
          if (!done)
            From->Reply("error: timeout");
          else if (From->Ack)
            From->Reply("ok");
          Pump(From);
          return;
        }
        From->Timer.expires_after(std::chrono::milliseconds(10));
        From->Timer.async_wait([this, From, poll = weakPoll.lock()](boost::system::error_code ec) {
          if (ec || stopped_ || !poll) return;
          (*poll)();
        });
      };
      (*poll)();
      return;
    }
    if (From->Ack) From->Reply("ok");
  }
}

GameSim::Outcome GameSim::Execute(const Command& C, Source& From) {
  return std::visit([&](const auto& c) { return Execute(c, From); }, C);
}

GameSim::Outcome GameSim::Execute(const cmd::Data& C, Source&) {
  if (C.IsText) return SendToTargets(C.To, GM_DATA, TextPayload(C.Text), true);
  return SendToTargets(C.To, GM_DATA, MessagePayload(C.Msg), false);
}

GameSim::Outcome GameSim::Execute(const cmd::SendMsg& C, Source&) {
  Outcome out;
  const std::string frame = C.IsText ? BuildFrame(GM_SENDMSG, 0, 0, 0, TextPayload(C.Text), true)
                                     : BuildFrame(GM_SENDMSG, 0, 0, 0, MessagePayload(C.Msg));
  if (SendAll(frame) == 0) out.Error = "no gateway link";
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::SendRefMsg& C, Source&) {
  Outcome out;
  std::vector<int> ids;
  for (auto& [id, link] : server_.Links()) ids.push_back(id);
  for (int id : ids) {
    std::string list = C.List;
    if (C.AllSlots) {
      list.clear();
      for (Session* s : sessions_.All()) {
        if (s->Link != id) continue;
        if (!list.empty()) list.push_back('/');
        list += std::to_string(s->Slot);
      }
    }
    SendFrame(id, BuildFrame(GM_SENDREFMSG, 0, 0, 0, RefMsgPayload(C.Msg, list)));
  }
  if (ids.empty()) out.Error = "no gateway link";
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::SendGuildMsg& C, Source&) {
  Outcome out;
  if (SendAll(BuildFrame(GM_SENDGUILDMSG, 0, 0, 0, GuildMsgPayload(C.Msg, C.Guild))) == 0)
    out.Error = "no gateway link";
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::SendExample& C, Source&) {
  Outcome out;
  std::vector<Dest> dests;
  if (!ResolveTargets(C.To, dests, out.Error)) return out;
  try {
    for (const std::string& name :
         C.Name.empty() ? samples::ExampleNames() : std::vector<std::string>{C.Name}) {
      const samples::ExampleMessage example = samples::BuildExample(name);
      const Message msg{example.Header, example.Body, true, false};
      for (const Dest& d : dests) {
        if (example.Broadcast)
          SendFrame(d.Link,
                    BuildFrame(GM_SENDREFMSG, 0, 0, 0, RefMsgPayload(msg, std::to_string(d.Slot))));
        else
          SendFrame(d.Link, BuildFrame(GM_DATA, d.Slot, d.Handle, d.User, MessagePayload(msg)));
      }
    }
  } catch (const std::exception& e) {
    out.Error = e.what();
  }
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::Kick& C, Source&) {
  Message kick;
  kick.Header.Ident = SM_KICK;
  return SendToTargets(C.To, GM_DATA, MessagePayload(kick), false);
}

GameSim::Outcome GameSim::Execute(const cmd::Close& C, Source&) {
  return SendToTargets(C.To, GM_CLOSE, "", false);
}

GameSim::Outcome GameSim::Execute(const cmd::Speed& C, Source&) {
  Message speed = SpeedMessage(C.HasValues ? C.Values : opts_.Speed);
  speed.HasBody = C.HasBody;
  speed.Body = C.Body;
  return SendToTargets(C.To, GM_DATA, MessagePayload(speed), false);
}

GameSim::Outcome GameSim::Execute(const cmd::UserIndex& C, Source&) {
  Outcome out;
  std::vector<Dest> dests;
  if (!ResolveTargets(C.To, dests, out.Error)) return out;
  for (const Dest& d : dests) {
    if (Session* s = sessions_.Find(d.Link, d.Handle)) s->UserIndex = uint16_t(C.Index);
    SendFrame(d.Link, BuildFrame(GM_SERVERUSERINDEX, d.Slot, d.Handle, uint16_t(C.Index), ""));
  }
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::MagicInfo& C, Source&) {
  Outcome out;
  if (SendAll(BuildFrame(GM_SENDMAGICINFO, 0, 0, 0, MagicInfoPayload(C.Table))) == 0)
    out.Error = "no gateway link";
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::CheckServer&, Source&) {
  Outcome out;
  if (SendAll(BuildFrame(GM_CHECKSERVER, 0, 0, 0, "")) == 0) out.Error = "no gateway link";
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::ReceiveOk&, Source&) {
  Outcome out;
  std::vector<int> ids;
  for (auto& [id, link] : server_.Links()) ids.push_back(id);
  for (int id : ids) {
    probeSent_[id] = NowMs();
    SendFrame(id, BuildFrame(GM_RECEIVE_OK, 0, 0, 0, ""));
  }
  if (ids.empty()) out.Error = "no gateway link";
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::Frame& C, Source&) {
  Outcome out;
  std::string frame;
  switch (C.LengthMode) {
    case cmd::Frame::Auto:
      frame = BuildFrame(C.Ident, C.Socket, C.Handle, C.User, C.Payload);
      break;
    case cmd::Frame::TextLength:
      frame = BuildFrame(C.Ident, C.Socket, C.Handle, C.User, TextPayload(C.Payload), true);
      break;
    case cmd::Frame::Fixed:
      frame = BuildFrame(C.Ident, C.Socket, C.Handle, C.User, C.Length, C.Payload);
      break;
  }
  if (SendAll(frame) == 0) out.Error = "no gateway link";
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::Raw& C, Source&) {
  Outcome out;
  if (SendAll(C.Bytes) == 0) out.Error = "no gateway link";
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::Split& C, Source&) {
  splitPieces_ = C.Pieces;
  splitGapMs_ = C.GapMs;
  return {};
}

GameSim::Outcome GameSim::Execute(const cmd::DropLink& C, Source&) {
  Outcome out;
  std::vector<int> ids;
  for (auto& [id, link] : server_.Links())
    if (C.Link == 0 || C.Link == id) ids.push_back(id);
  if (ids.empty()) out.Error = "no such link";
  for (int id : ids) OnLinkDown(id);
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::Wait& C, Source&) {
  Outcome out;
  out.WaitMs = C.Ms;
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::WaitLink& C, Source&) {
  Outcome out;
  out.WaitLinks = 1;
  out.TimeoutMs = C.TimeoutMs;
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::WaitLogin& C, Source&) {
  Outcome out;
  out.WaitLogins = C.Count;
  out.TimeoutMs = C.TimeoutMs;
  return out;
}

GameSim::Outcome GameSim::Execute(const cmd::Sessions&, Source& From) {
  for (Session* s : sessions_.All()) {
    From.Reply("session link=" + std::to_string(s->Link) + " handle=" + std::to_string(s->Handle) +
               " slot=" + std::to_string(s->Slot) + " user=" + std::to_string(s->UserIndex) +
               " addr=" + EscapeText(s->Addr) + " login=" + (s->LoggedIn ? "1" : "0") +
               " account=" + EscapeText(s->Account) + " char=" + EscapeText(s->CharName) +
               " uid=" + EscapeText(s->UserId));
  }
  return {};
}

GameSim::Outcome GameSim::Execute(const cmd::Echo& C, Source&) {
  Print(C.Text);  // a marker in the frame log, whoever asked
  return {};
}

GameSim::Outcome GameSim::Execute(const cmd::Help&, Source& From) {
  std::string_view text = CommandHelp();
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    From.Reply(std::string(text.substr(0, nl)));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
  }
  return {};
}

GameSim::Outcome GameSim::Execute(const cmd::Quit&, Source&) {
  Print("bye");
  Stop();
  io_.stop();
  return {};
}

GameSim::Outcome GameSim::Execute(const cmd::Load& C, Source& From) {
  if (C.Stats) {
    From.Reply(load_.Stats());
    return {};
  }
  load_.Start(C.Spec);
  From.Reply("load " + (C.Spec.Active() ? DescribeLoadSpec(C.Spec) : std::string("off")));
  return {};
}

}  // namespace gamesim

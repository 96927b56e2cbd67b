#include "conform/ClientCheck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "conform/PeerCheck.h"
#include "testkit/GateServer.h"
#include "testkit/SessionTable.h"

namespace conform {

namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testkit::BuildFrame;
using testkit::Frame;

// The gateway's default ConnectOutTime.
constexpr auto kLoginTimeout = 15s;
// More than the gateway's slots: the table cannot grow past this.
constexpr size_t kMaxPlayers = 4096;
constexpr size_t kRecord = sizeof(TDefaultMessage);
// Sent at login: walk, run, hit and spell intervals (ms), attack and spell
// cooldowns (ms), punishment (s) and its threshold (ms; queue mode).
constexpr int kSpeed[8] = {600, 600, 900, 900, 900, 900, 5, 200};
constexpr const char* kMagicInfo = "1=1000#0#0;2=1500#300#1";

constexpr const char* kOpened = "session-opened";
constexpr const char* kLogin = "login-text";
constexpr const char* kEnters = "enters-game";
constexpr const char* kForm = "message-form";
constexpr const char* kIdents = "client-idents-known";
constexpr const char* kDirection = "move-direction";
constexpr const char* kPace = "keeps-pace";
constexpr const char* kResume = "resume-keeps-session";

struct Player {
  int32_t Slot = 0;
  Clock::time_point Opened;
  bool LoggedIn = false;
  bool InGame = false;
  std::string UserId;
};

class ClientCheck : private testkit::GateServerEvents {
 public:
  ClientCheck(asio::io_context& Io, PeerOptions Opts)
      : io_(Io), opts_(std::move(Opts)), server_(Io, *this), end_(Io) {
    const struct {
      const char* Rule;
      Level Lvl;
      const char* Skip;
    } rules[] = {{kOpened, Level::Must, ""},
                 {kLogin, Level::Must, ""},
                 {kEnters, Level::Must, ""},
                 {kForm, Level::Must, "no message after a login"},
                 {kIdents, Level::Should, "no message after a login"},
                 {kDirection, Level::Should, "no walk, run, hit or spell"},
                 {kPace, Level::Must, "no paced action (walk, run, turn, butcher, hit, spell)"},
                 {kResume, Level::Should,
                  "no second login of a kept player; a resume itself leaves no trace on the link"}};
    for (const auto& r : rules) report_.Declare(r.Rule, r.Lvl, r.Skip);
  }

  // Listens and says on which port; throws when it cannot.
  void Start() {
    const uint16_t port = server_.Listen(opts_.Addr, opts_.Port);
    std::printf("listening on %u\n", unsigned(port));
    std::fflush(stdout);
    end_.expires_after(std::chrono::seconds(opts_.Seconds));
    end_.async_wait([this](boost::system::error_code Ec) {
      if (!Ec) Stop();
    });
  }

  int Finish() {
    if (!report_.Tested(kOpened))
      report_.Broke(kOpened,
                    linked_ ? "no client session within the run" : "the gateway never connected");
    for (const auto& [handle, p] : players_) {
      if (!p.LoggedIn || p.InGame) continue;
      if (Clock::now() - p.Opened > kLoginTimeout)
        report_.Broke(kEnters, "handle %d not in the game %s after it opened", handle,
                      SecondsSince(p.Opened).c_str());
      report_.Unobserved(kEnters, "the run ended before the client entered the game");
    }
    report_.Unobserved(kLogin, "no login text arrived");
    report_.Unobserved(kEnters, "no login text arrived");
    return report_.Print();
  }

 private:
  void Stop() {
    if (stopping_) return;
    stopping_ = true;
    end_.cancel();
    server_.Stop();
    io_.stop();
  }

  void OnLinkUp(int) override { linked_ = true; }
  void OnGarbage(int, size_t) override {}
  void OnLinkDown(int LinkId) override { server_.DropLink(LinkId); }

  void OnFrame(int LinkId, const Frame& F) override {
    if (stopping_) return;
    const int32_t handle = F.Header.wGSocketIdx;
    const auto it = players_.find(handle);
    switch (F.Header.wIdent) {
      case GM_OPEN:
        if (players_.size() < kMaxPlayers) {
          Player& p = players_[handle] = Player{};
          p.Slot = F.Header.nSocket;
          p.Opened = Clock::now();
        }
        report_.Held(kOpened);
        break;
      case GM_H5DATA:
        // A session opened before conform listened is not followed.
        if (it == players_.end()) break;
        if (it->second.LoggedIn)
          OnMessage(handle, it->second, F.Payload);
        else
          OnLogin(LinkId, handle, it->second, F.Payload);
        break;
      case GM_CLOSE:
        if (it == players_.end()) break;
        if (!it->second.LoggedIn)
          report_.Unobserved(kLogin,
                             "a session closed without a login text (the gateway "
                             "closes a connection whose first message is not one)");
        else if (!it->second.InGame)
          report_.Broke(kEnters, "handle %d closed %s after it opened, never in the game", handle,
                        SecondsSince(it->second.Opened).c_str());
        players_.erase(it);
        if (players_.empty() && loggedIn_) Stop();
        break;
      default:
        break;
    }
  }

  void OnLogin(int LinkId, int32_t Handle, Player& P, const std::string& Payload) {
    testkit::LoginText login;
    const char* why = nullptr;
    if (!testkit::ParseLoginText(Payload, login) || !login.Text.starts_with("*#"))
      why = "not a login text";
    else if (std::count(login.Text.begin(), login.Text.end(), '/') != 9)
      why = "not ten fields";
    else if (login.Account.empty() || login.CharName.empty() || login.UserId.empty())
      why = "an empty account, character name or user id (fields 1 to 3)";
    if (why)
      report_.Broke(kLogin, "handle %d: %s: %s", Handle, why, Sample(Payload).c_str());
    else
      report_.Held(kLogin);
    P.LoggedIn = loggedIn_ = true;
    P.UserId = login.UserId;
    for (const auto& [other, q] : players_)
      if (other != Handle && q.LoggedIn && !P.UserId.empty() && q.UserId == P.UserId)
        report_.Broke(kResume, "user id %s logged in anew on handle %d while handle %d was kept",
                      Sample(P.UserId).c_str(), Handle, other);

    lastIndex_ = uint16_t(lastIndex_ % 65535 + 1);
    server_.Send(LinkId, BuildFrame(GM_SERVERUSERINDEX, P.Slot, Handle, lastIndex_, ""));
    server_.Send(LinkId, BuildFrame(GM_DATA, P.Slot, Handle, lastIndex_,
                                    testkit::MessagePayload(testkit::SpeedMessage(kSpeed))));
    server_.Send(LinkId,
                 BuildFrame(GM_SENDMAGICINFO, 0, 0, 0, testkit::MagicInfoPayload(kMagicInfo)));
  }

  void OnMessage(int32_t Handle, Player& P, const std::string& Payload) {
    if (Payload.size() < kRecord)
      return report_.Broke(kForm, "a GM_H5DATA payload of %zu bytes, shorter than a record",
                           Payload.size());
    TDefaultMessage m;
    std::memcpy(&m, Payload.data(), sizeof m);
    const std::string name = MessageName(m.Ident);
    const size_t body = Payload.size() > kRecord ? Payload.size() - kRecord - 1 : 0;
    if (m.nLength == int32_t(body) && (Payload.size() == kRecord || Payload.back() == '\0'))
      report_.Held(kForm);
    else
      report_.Broke(kForm, "%s: record nLength %d in a payload of %zu bytes", name.c_str(),
                    m.nLength, Payload.size());
    switch (m.Ident) {
      case CM_H5BACKXY:
        return report_.Broke(kPace, "the gateway punished handle %d %s after it opened", Handle,
                             SecondsSince(P.Opened).c_str());
      case CM_LOGINNOTICEOK:
        if (P.InGame) break;
        P.InGame = true;
        if (Clock::now() - P.Opened <= kLoginTimeout)
          report_.Held(kEnters);
        else
          report_.Broke(kEnters, "CM_LOGINNOTICEOK %s after the session opened, past 15 s",
                        SecondsSince(P.Opened).c_str());
        break;
      case CM_WALK:
      case CM_RUN:
        CheckDirection(name, m.Tag, "Tag");
        report_.Held(kPace);
        break;
      case CM_HIT:
      case CM_SPELL:
        CheckDirection(name, uint32_t(m.Recog) >> 16, "the high half of Recog (JSON dir)");
        report_.Held(kPace);
        break;
      case CM_TURN:
      case CM_BUTCH:
        report_.Held(kPace);
        break;
      default:
        break;
    }
    if (FindIdentName(kClientIdentNames, m.Ident))
      report_.Held(kIdents);
    else
      report_.Broke(kIdents, "ident %d is not one the gateway knows (agreed with the game server?)",
                    m.Ident);
  }

  // The reference client's fields; others may be agreed with a game server.
  void CheckDirection(const std::string& Name, int64_t Dir, const char* Field) {
    if (Dir >= 0 && Dir <= 7)
      report_.Held(kDirection);
    else
      report_.Broke(kDirection, "%s with direction %lld in %s, not 0 to 7", Name.c_str(),
                    static_cast<long long>(Dir), Field);
  }

  asio::io_context& io_;
  PeerOptions opts_;
  Report report_;
  testkit::GateServer server_;
  asio::steady_timer end_;
  std::map<int32_t, Player> players_;  // open sessions by socket handle
  uint16_t lastIndex_ = 0;
  bool linked_ = false;
  bool loggedIn_ = false;
  bool stopping_ = false;
};

}  // namespace

int RunClientCheck(const std::vector<std::string>& Args) {
  PeerOptions opts;
  opts.Port = 5000;
  opts.Seconds = 60;
  std::string error;
  if (!ParsePeerOptions(Args, opts, error)) {
    std::fprintf(stderr, "tavrel-conform client: %s\n", error.c_str());
    return 2;
  }
  asio::io_context io;
  ClientCheck check(io, opts);
  try {
    check.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrel-conform client: cannot listen on %s:%u: %s\n", opts.Addr.c_str(),
                 unsigned(opts.Port), e.what());
    return 2;
  }
  io.run();
  return check.Finish();
}

}  // namespace conform

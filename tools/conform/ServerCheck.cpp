#include "conform/ServerCheck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "conform/PeerCheck.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "testkit/GateLink.h"
#include "translate/ConvertTable.h"
#include "translate/Zlib.h"

namespace conform {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testkit::BuildFrame;
using testkit::Frame;

// The one session conform opens, and a handle it sends a frame for without
// opening it, as a gateway back from a link loss does.
constexpr int32_t kSlot = 0, kHandle = 42, kStraySlot = 1, kStrayHandle = 4242;
constexpr auto kConnectTimeout = 3s;
constexpr auto kKeepAlive = 2s;
// Frames written before the game server read the GM_CLOSE are no fault.
constexpr auto kCloseGrace = 500ms;
// Only keep-alives and answers go out: a game server that reads none of
// them does not make conform grow.
constexpr size_t kMaxQueued = 1u << 20;
constexpr int32_t kRecord = sizeof(TDefaultMessage);

constexpr const char* kLinkAccepted = "link-accepted";
constexpr const char* kLinkKept = "link-kept";
constexpr const char* kWellFormed = "frames-well-formed";
constexpr const char* kIdents = "frame-idents-handled";
constexpr const char* kHandleRule = "session-handle-known";
constexpr const char* kForgotten = "closed-session-forgotten";
constexpr const char* kStrayClosed = "unknown-handle-closed";
constexpr const char* kDataForm = "data-length-form";
constexpr const char* kNoBang = "text-line-without-bang";
constexpr const char* kConvert = "translated-bodies-convert";
constexpr const char* kBodyPart = "translated-with-body-part";
constexpr const char* kDecimal = "speed-filter-decimal";
constexpr const char* kUserIndex = "userindex-without-payload";
constexpr const char* kRefLength = "refmsg-length-positive";
constexpr const char* kRefForm = "refmsg-form";
constexpr const char* kBroadcastLength = "broadcast-record-length";

// Whether a client of the ident gets JSON on the per-user path.
bool ConvertsToJson(int32_t nIdent) {
  for (const TConvertRow& row : ConvertRows())
    if (row.nIdent == nIdent) return row.Form == TBodyForm::Json && (row.nPaths & kPerUser);
  return false;
}

class ServerCheck : private testkit::GateLinkEvents {
 public:
  ServerCheck(asio::io_context& Io, PeerOptions Opts)
      : io_(Io),
        opts_(std::move(Opts)),
        socket_(Io),
        connect_(Io),
        keepAlive_(Io),
        close_(Io),
        end_(Io) {
    const struct {
      const char* Rule;
      Level Lvl;
      const char* Skip;
    } rules[] = {
        {kLinkAccepted, Level::Must, ""},
        {kLinkKept, Level::Must, ""},
        {kWellFormed, Level::Must, "no frame received"},
        {kIdents, Level::Should, "no frame received"},
        {kHandleRule, Level::Must, "no session frame received"},
        {kForgotten, Level::Should, ""},
        {kStrayClosed, Level::Should, ""},
        {kDataForm, Level::Must, "no GM_DATA or GM_SENDMSG received"},
        {kNoBang, Level::Must, "no text line received"},
        {kConvert, Level::Must, "no translated message received"},
        {kBodyPart, Level::Should, "no GM_DATA of an ident the gateway converts to JSON"},
        {kDecimal, Level::Must, "no GM_SPEED or GM_FILTERMSG with a body received"},
        {kUserIndex, Level::Must, "no GM_SERVERUSERINDEX received"},
        {kRefLength, Level::Must, "no GM_SENDREFMSG received"},
        {kRefForm, Level::Must, "no GM_SENDREFMSG received"},
        {kBroadcastLength, Level::Must, "no GM_SENDMSG or GM_SENDGUILDMSG message received"}};
    for (const auto& r : rules) report_.Declare(r.Rule, r.Lvl, r.Skip);
  }

  void Start(const tcp::endpoint& To) {
    start_ = Clock::now();
    end_.expires_after(std::chrono::seconds(opts_.Seconds));
    end_.async_wait([this](boost::system::error_code Ec) {
      if (!Ec) Stop();
    });
    connect_.expires_after(std::min<Clock::duration>(kConnectTimeout, end_.expiry() - start_));
    connect_.async_wait([this](boost::system::error_code Ec) {
      // The connect then fails with operation_aborted.
      if (!Ec) socket_.close(Ec);
    });
    socket_.async_connect(To, [this](boost::system::error_code Ec) { OnConnect(Ec); });
  }

  int Finish() {
    if (!link_ && !report_.Tested(kLinkAccepted))
      report_.Broke(kLinkAccepted, "no connection within the run");
    if (!link_) {
      for (const char* rule : {kLinkKept, kStrayClosed, kForgotten})
        report_.Unobserved(rule, "no link");
    } else if (!linkLost_) {
      report_.Held(kLinkKept);
      // Only a link that lasted the run gave the game server all that time.
      if (!report_.Tested(kStrayClosed))
        report_.Broke(kStrayClosed,
                      "no GM_CLOSE for handle %d, which got a GM_H5DATA without being opened",
                      kStrayHandle);
    }
    report_.Unobserved(kStrayClosed, "the link ended early");
    if (closeSent_ && Clock::now() - closedAt_ > kCloseGrace) report_.Held(kForgotten);
    report_.Unobserved(kForgotten, "the run ended before the session's GM_CLOSE and its grace");
    return report_.Print();
  }

 private:
  void OnConnect(boost::system::error_code Ec) {
    connect_.cancel();
    if (stopping_) return;
    if (Ec) {
      report_.Broke(
          kLinkAccepted, "connect to %s:%u: %s", opts_.Addr.c_str(), unsigned(opts_.Port),
          Ec == asio::error::operation_aborted ? "no answer in time" : Ec.message().c_str());
      return Stop();
    }
    report_.Held(kLinkAccepted);
    socket_.set_option(tcp::no_delay(true), Ec);
    testkit::GateLinkEvents& events = *this;
    link_ = std::make_shared<testkit::GateLink>(events, 1, std::move(socket_));
    link_->Start();
    KeepAlive();
    Send(BuildFrame(GM_OPEN, kSlot, kHandle, 0, testkit::TextPayload("127.0.0.1")));
    Send(BuildFrame(GM_H5DATA, kSlot, kHandle, 0,
                    testkit::TextPayload("#1*#conform/Conform/conform-uid/1/0/0/0/0/0/0!")));
    testkit::Message msg;
    msg.Header.Ident = CM_LOGINNOTICEOK;
    Send(BuildFrame(GM_H5DATA, kSlot, kHandle, 0, testkit::MessagePayload(msg)));
    msg.Header.Ident = CM_HEART;
    Send(BuildFrame(GM_H5DATA, kStraySlot, kStrayHandle, 0, testkit::MessagePayload(msg)));
    // Late enough for the answers to the login, early enough to see whether
    // the game server goes quiet for the session afterwards.
    close_.expires_after(std::chrono::milliseconds(opts_.Seconds * 600));
    close_.async_wait([this](boost::system::error_code E) {
      if (E || stopping_) return;
      Send(BuildFrame(GM_CLOSE, kSlot, kHandle, 0, ""));
      closeSent_ = true;
      closedAt_ = Clock::now();
    });
  }

  void KeepAlive() {
    Send(BuildFrame(GM_CHECKCLIENT, 0, 0, 0, ""));
    keepAlive_.expires_after(kKeepAlive);
    keepAlive_.async_wait([this](boost::system::error_code Ec) {
      if (!Ec && !stopping_) KeepAlive();
    });
  }

  void Send(std::string Bytes) {
    if (link_ && !stopping_ && link_->Queued() < kMaxQueued) link_->Send(std::move(Bytes), 1, 0);
  }

  void Stop() {
    if (stopping_) return;
    stopping_ = true;
    for (asio::steady_timer* t : {&connect_, &keepAlive_, &close_, &end_}) t->cancel();
    boost::system::error_code ignored;
    socket_.close(ignored);
    if (link_) link_->Close();
    io_.stop();
  }

  void OnFrame(int, const Frame& F) override {
    if (stopping_) return;
    report_.Held(kWellFormed);
    const TMsgHeader& h = F.Header;
    switch (h.wIdent) {
      case GM_CHECKSERVER:
      case GM_SENDMAGICINFO:
        break;
      case GM_RECEIVE_OK:
        Send(BuildFrame(GM_RECEIVE_OK, 0, 0, 0, ""));
        break;
      case GM_CLOSE:
        CheckHandle(h);
        if (h.wGSocketIdx == kStrayHandle) report_.Held(kStrayClosed);
        break;
      case GM_DATA:
        CheckHandle(h);
        CheckMessage("GM_DATA", F);
        break;
      case GM_SERVERUSERINDEX:
        CheckHandle(h);
        if (h.nLength == 0)
          report_.Held(kUserIndex);
        else
          report_.Broke(kUserIndex,
                        "GM_SERVERUSERINDEX with nLength %d: the index is wUserListIndex",
                        h.nLength);
        break;
      case GM_SENDMSG:
        CheckMessage("GM_SENDMSG", F);
        break;
      case GM_SENDREFMSG:
        CheckRefMsg(F);
        break;
      case GM_SENDGUILDMSG:
        CheckGuildMsg(F);
        break;
      default:
        return report_.Broke(kIdents, "%s (%u): the gateway skips it",
                             testkit::IdentName(h.wIdent).c_str(), unsigned(h.wIdent));
    }
    report_.Held(kIdents);
  }

  void OnGarbage(int, size_t Skipped) override {
    report_.Broke(kWellFormed,
                  "%zu bytes skipped: no magic 55 AA 55 AA, or a header announcing over 16 MiB",
                  Skipped);
  }

  void OnLinkDown(int) override {
    if (stopping_) return;
    linkLost_ = true;
    report_.Broke(kLinkKept, "the game server ended the link after %s",
                  SecondsSince(start_).c_str());
    Stop();
  }

  void CheckHandle(const TMsgHeader& H) {
    const std::string ident = testkit::IdentName(H.wIdent);
    if (H.wGSocketIdx == kHandle) {
      report_.Held(kHandleRule);
      if (closeSent_ && H.wIdent != GM_CLOSE && Clock::now() - closedAt_ > kCloseGrace)
        report_.Broke(kForgotten, "%s for handle %d %s after the gateway closed it", ident.c_str(),
                      kHandle, SecondsSince(closedAt_).c_str());
    } else if (H.wGSocketIdx == kStrayHandle && H.wIdent == GM_CLOSE) {
      report_.Held(kHandleRule);
    } else {
      report_.Broke(kHandleRule, "%s for handle %d, which the gateway never opened", ident.c_str(),
                    H.wGSocketIdx);
    }
  }

  // GM_DATA and GM_SENDMSG share their payload forms.
  void CheckMessage(const char* Ident, const Frame& F) {
    const int32_t n = F.Header.nLength;
    const std::string_view p = F.Payload;
    const bool perUser = F.Header.wIdent == GM_DATA;
    if (n < 0) {
      report_.Held(kDataForm);
      // Per user the line ends at a zero byte; a broadcast forwards all but
      // the final byte.
      const std::string_view line = perUser ? p.substr(0, p.find('\0')) : p.substr(0, p.size() - 1);
      if (line.find('!') == line.npos)
        report_.Held(kNoBang);
      else
        report_.Broke(kNoBang, "%s text line %s holds '!', which ends the line for the client",
                      Ident, Sample(line).c_str());
      return;
    }
    if (n < kRecord)
      return report_.Broke(kDataForm, "%s with nLength %d: the gateway sends nothing for 0 to 35",
                           Ident, n);
    TDefaultMessage m;
    std::memcpy(&m, p.data(), sizeof m);
    const std::string name = MessageName(m.Ident);
    if (n > kRecord && p.back() != '\0')
      report_.Broke(kDataForm, "%s %s: the byte after the body is not a zero (a body byte lost?)",
                    Ident, name.c_str());
    else
      report_.Held(kDataForm);
    const std::string_view body = n > kRecord ? p.substr(kRecord, n - kRecord - 1) : "";
    if (!perUser) {
      // The record goes out as it is, and the client cuts the stream by it.
      if (m.nLength == int32_t(body.size()))
        report_.Held(kBroadcastLength);
      else
        report_.Broke(kBroadcastLength, "GM_SENDMSG %s: record nLength %d, body %zu bytes",
                      name.c_str(), m.nLength, body.size());
    } else if (n > kRecord && (m.Ident == GM_SPEED || m.Ident == GM_FILTERMSG)) {
      std::string_view digits = body;
      if (m.Ident == GM_SPEED && digits.starts_with('-')) digits.remove_prefix(1);
      const char* allowed = m.Ident == GM_SPEED ? "0123456789" : "0123456789,";
      if (body.empty() || (!digits.empty() && digits.find_first_not_of(allowed) == digits.npos))
        report_.Held(kDecimal);
      else
        report_.Broke(kDecimal, "%s body %s is not plain decimal text", name.c_str(),
                      Sample(body).c_str());
    } else if (const TConvertBody convert = PerUserConverter(m.Ident); convert && n > kRecord) {
      CheckConversion(Ident, convert, m, body);
      if (ConvertsToJson(m.Ident)) report_.Held(kBodyPart);
    } else if (convert && ConvertsToJson(m.Ident)) {
      // SM_MAGICCON's JSON comes from the record, but only with a body part.
      report_.Broke(kBodyPart,
                    "%s %s as a header alone reaches the client as the bare record, without JSON: "
                    "send the record and a zero byte",
                    Ident, name.c_str());
    }
  }

  void CheckGuildMsg(const Frame& F) {
    const int32_t n = F.Header.nLength;
    if (n <= kRecord)
      return report_.Broke(kBroadcastLength, "GM_SENDGUILDMSG with nLength %d: no guild, dropped",
                           n);
    TDefaultMessage m;
    std::memcpy(&m, F.Payload.data(), sizeof m);
    const std::string_view text = std::string_view(F.Payload).substr(kRecord, n - kRecord - 1);
    const size_t bar = text.find('|');
    const size_t body = bar == text.npos ? 0 : text.size() - bar - 1;
    const std::string name = MessageName(m.Ident);
    if (bar == 0 || text.empty())
      report_.Broke(kBroadcastLength, "GM_SENDGUILDMSG %s: no guild id, dropped", name.c_str());
    else if (m.nLength != int32_t(body))
      report_.Broke(kBroadcastLength, "GM_SENDGUILDMSG %s: record nLength %d, body %zu bytes",
                    name.c_str(), m.nLength, body);
    else
      report_.Held(kBroadcastLength);
  }

  void CheckRefMsg(const Frame& F) {
    const int32_t n = F.Header.nLength;
    if (n <= 0)
      return report_.Broke(kRefLength, "GM_SENDREFMSG with nLength %d: the gateway drops it", n);
    report_.Held(kRefLength);
    std::string_view text = F.Payload;
    auto fail = [&](const std::string& why) {
      report_.Broke(kRefForm, "GM_SENDREFMSG: %s", why.c_str());
    };
    if (text.back() != '\0') return fail("the text does not end with a zero byte");
    text.remove_suffix(1);
    if (text.size() < DEFBLOCKSIZE || std::any_of(text.begin(), text.begin() + DEFBLOCKSIZE,
                                                  [](char c) { return c < '<' || c > '{'; }))
      return fail("not 48 characters of 6-bit record text first: " + Sample(text.substr(0, 48)));
    const std::string_view data = text.substr(DEFBLOCKSIZE);
    const size_t slash = data.find('/');
    if (slash == data.npos) return fail("no '/' and slot list after the body");
    if (slash == 0) return fail("an empty body (\"empty\" stands for none)");
    int slots = 0;
    for (std::string_view list = data.substr(slash + 1); !list.empty();) {
      const std::string_view token = list.substr(0, list.find('/'));
      list.remove_prefix(std::min(list.size(), token.size() + 1));
      if (token.empty()) continue;
      if (token.size() > 3 || token.find_first_not_of("0123456789") != token.npos)
        return fail("slot list token " + Sample(token) + " is not a slot number 0 to 999");
      ++slots;
    }
    if (slots == 0) return fail("no recipient slot listed");
    report_.Held(kRefForm);
    const TDefaultMessage m = DecodeMessage(text.substr(0, DEFBLOCKSIZE));
    const std::string_view body = data.substr(0, slash);
    if (const TConvertBody convert = BroadcastConverter(m.Ident); convert && body != "empty")
      CheckConversion("GM_SENDREFMSG", convert, m, body);
  }

  // Inflated first, as the gateway does.
  void CheckConversion(const char* Ident, TConvertBody Convert, TDefaultMessage M,
                       std::string_view Body) {
    const std::string name = MessageName(M.Ident);
    try {
      std::string inflated;
      if (M.nIsZlib != 0) Body = inflated = ZlibDecompress(Body, kMaxGatePayload);
      if (Convert(M, Body).empty() && !Body.empty())
        report_.Broke(kConvert, "%s %s: a body of %zu bytes converts to nothing", Ident,
                      name.c_str(), Body.size());
      else
        report_.Held(kConvert);
    } catch (const std::exception& e) {
      report_.Broke(kConvert, "%s %s: %s (the gateway drops it)", Ident, name.c_str(), e.what());
    }
  }

  asio::io_context& io_;
  PeerOptions opts_;
  Report report_;
  tcp::socket socket_;
  std::shared_ptr<testkit::GateLink> link_;
  asio::steady_timer connect_, keepAlive_, close_, end_;
  Clock::time_point start_, closedAt_;
  bool closeSent_ = false;
  bool linkLost_ = false;
  bool stopping_ = false;
};

}  // namespace

int RunServerCheck(const std::vector<std::string>& Args) {
  PeerOptions opts;
  opts.Seconds = 5;
  std::string error;
  if (ParsePeerOptions(Args, opts, error) && opts.Port == 0) error = "--port N is required";
  boost::system::error_code ec;
  const asio::ip::address addr = asio::ip::make_address(opts.Addr, ec);
  if (error.empty() && ec) error = "--addr needs an IP address";
  if (!error.empty()) {
    std::fprintf(stderr, "tavrel-conform server: %s\n", error.c_str());
    return 2;
  }
  asio::io_context io;
  ServerCheck check(io, opts);
  check.Start(tcp::endpoint(addr, opts.Port));
  io.run();
  return check.Finish();
}

}  // namespace conform

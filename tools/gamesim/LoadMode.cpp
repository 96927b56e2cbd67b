#include "gamesim/LoadMode.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "gamesim/LoadProtocol.h"
#include "protocol/EDcode.h"
#include "samples/SampleRecords.h"
#include "testkit/GateCodec.h"

namespace gamesim {

namespace {

constexpr const char* kKindNames[kLoadKinds] = {"text", "opaque", "logon", "abil", "items"};
constexpr size_t kMaxBodySize = 60000;  // below the gateway's client message limit after encoding

// Offsets of the fields patched per send: the frame header's routing, and
// the game message's Recog right behind it.
constexpr size_t kSocketAt = offsetof(TMsgHeader, nSocket);
constexpr size_t kHandleAt = offsetof(TMsgHeader, wGSocketIdx);
constexpr size_t kUserAt = offsetof(TMsgHeader, wUserListIndex);
constexpr size_t kRecogAt = sizeof(TMsgHeader) + offsetof(TDefaultMessage, Recog);

template <typename T>
void Poke(std::string& Out, size_t At, T Value) {
  std::memcpy(Out.data() + At, &Value, sizeof Value);
}

bool ToNumber(std::string_view Text, double& Out) {
  const char* end = Text.data() + Text.size();
  auto [p, ec] = std::from_chars(Text.data(), end, Out);
  return ec == std::errc() && p == end && std::isfinite(Out) && Out >= 0;
}

bool ToSize(std::string_view Text, size_t& Out, size_t Max) {
  const char* end = Text.data() + Text.size();
  auto [p, ec] = std::from_chars(Text.data(), end, Out);
  return ec == std::errc() && p == end && Out <= Max;
}

Message LoadMessage(int32_t Ident, std::string Body) {
  Message m;
  m.Header.Ident = Ident;
  m.Header.nSessionID = loadproto::kLoadMark;
  m.Body = std::move(Body);
  m.HasBody = true;
  return m;
}

std::string Padded(std::string Bytes, size_t Size) {
  std::string out;
  out.reserve(Size);
  while (out.size() < Size) out.append(Bytes, 0, std::min(Bytes.size(), Size - out.size()));
  return out;
}

}  // namespace

const char* LoadKindName(LoadKind Kind) {
  return kKindNames[static_cast<size_t>(Kind)];
}

bool ParseLoadSpec(std::string_view Text, LoadSpec& Out, std::string& Error) {
  LoadSpec spec;
  while (!Text.empty()) {
    const size_t space = Text.find_first_of(" \t");
    const std::string_view word = Text.substr(0, space);
    Text = space == std::string_view::npos ? std::string_view() : Text.substr(space + 1);
    if (word.empty()) continue;
    if (word == "off") continue;
    const size_t eq = word.find('=');
    const std::string_view key = word.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? "" : word.substr(eq + 1);
    bool ok = true;
    if (key == "rate") {
      ok = ToNumber(value, spec.UserRate);
    } else if (key == "heavy") {
      ok = ToNumber(value, spec.HeavyRate);
    } else if (key == "bcast") {
      ok = ToNumber(value, spec.BroadcastRate);
    } else if (key == "ref") {
      ok = ToNumber(value, spec.RefRate);
    } else if (key == "size") {
      ok = ToSize(value, spec.OpaqueSize, kMaxBodySize);
    } else if (key == "text") {
      ok = ToSize(value, spec.TextSize, kMaxBodySize);
    } else if (key == "bsize") {
      ok = ToSize(value, spec.BroadcastSize, kMaxBodySize);
    } else if (key == "maxqueue") {
      ok = ToSize(value, spec.MaxLinkQueue, size_t(1) << 30);
    } else if (key == "mix") {
      spec.Mix.fill(0);
      for (const std::string_view item : testkit::ListItems(value)) {
        const size_t colon = item.find(':');
        const std::string_view name = item.substr(0, colon);
        size_t weight = 1;
        if (colon != std::string_view::npos) ok = ToSize(item.substr(colon + 1), weight, 1000);
        const size_t k = testkit::IndexOfName(kKindNames, name);
        if (k == kLoadKinds) {
          Error = "unknown kind " + std::string(name) + " (text, opaque, logon, abil, items)";
          return false;
        }
        spec.Mix[k] = int(weight);
        if (!ok) break;
      }
    } else {
      Error = "unknown setting " + std::string(word);
      return false;
    }
    if (!ok) {
      Error = "bad value in " + std::string(word);
      return false;
    }
  }
  if (spec.UserRate > 0 && !testkit::AnyWeight(spec.Mix)) {
    Error = "mix has no kind with a weight";
    return false;
  }
  Out = spec;
  return true;
}

std::string DescribeLoadSpec(const LoadSpec& Spec) {
  auto num = [](double v) {
    char buf[32];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, p);
  };
  std::string mix;
  for (size_t k = 0; k < kLoadKinds; ++k) {
    if (Spec.Mix[k] <= 0) continue;
    if (!mix.empty()) mix += ',';
    mix += std::string(kKindNames[k]) + ":" + std::to_string(Spec.Mix[k]);
  }
  return "rate=" + num(Spec.UserRate) + " mix=" + mix + " size=" + std::to_string(Spec.OpaqueSize) +
         " text=" + std::to_string(Spec.TextSize) + " heavy=" + num(Spec.HeavyRate) +
         " bcast=" + num(Spec.BroadcastRate) + " bsize=" + std::to_string(Spec.BroadcastSize) +
         " ref=" + num(Spec.RefRate) + " maxqueue=" + std::to_string(Spec.MaxLinkQueue);
}

// ---------------------------------------------------------------------------

void RateClock::Start(double PerSecond, uint64_t NowUs, uint64_t MaxLagUs) {
  rate_ = PerSecond;
  startUs_ = NowUs;
  taken_ = 0;
  dropped_ = 0;
  maxLag_ = uint64_t(PerSecond * double(MaxLagUs) / 1e6) + 1;
}

uint64_t RateClock::Take(uint64_t NowUs) {
  if (rate_ <= 0 || NowUs < startUs_) return 0;
  const uint64_t due = uint64_t(rate_ * double(NowUs - startUs_) / 1e6);
  if (due <= taken_) return 0;
  uint64_t n = due - taken_;
  if (n > maxLag_) {
    dropped_ += n - maxLag_;
    n = maxLag_;
  }
  taken_ = due;
  return n;
}

// ---------------------------------------------------------------------------

LoadFrames::LoadFrames(const LoadSpec& Spec) : textSize_(Spec.TextSize) {
  const std::string logon = samples::LogonRecordBytes();
  auto frame = [](Message Msg) {
    return BuildFrame(GM_DATA, 0, 0, 0, MessagePayload(std::move(Msg)));
  };
  user_[size_t(LoadKind::Opaque)] =
      frame(LoadMessage(loadproto::kOpaqueIdent, Padded(logon, Spec.OpaqueSize)));
  user_[size_t(LoadKind::Logon)] = frame(LoadMessage(SM_LOGON, logon));
  user_[size_t(LoadKind::Abil)] = frame(LoadMessage(SM_ABILITY, samples::AbilSheetText()));
  user_[size_t(LoadKind::Items)] = frame(LoadMessage(SM_BAGITEMS, samples::ItemListText()));
  Message bcast =
      LoadMessage(loadproto::kBroadcastIdent,
                  Padded(EncodeString("{\"Msg\":\"load broadcast\",\"FColor\":255,\"BColor\":22}"),
                         Spec.BroadcastSize));
  broadcast_ = BuildFrame(GM_SENDMSG, 0, 0, 0, MessagePayload(std::move(bcast)));
}

void LoadFrames::AppendUser(std::string& Out, LoadKind Kind, int32_t Slot, int32_t Handle,
                            uint16_t User, uint32_t Seq) const {
  const size_t at = Out.size();
  if (Kind == LoadKind::Text) {
    Out += BuildFrame(GM_DATA, Slot, Handle, User, TextPayload(loadproto::TextLine(Seq, textSize_)),
                      true);
    return;
  }
  Out += user_[size_t(Kind)];
  Poke(Out, at + kSocketAt, Slot);
  Poke(Out, at + kHandleAt, Handle);
  Poke(Out, at + kUserAt, User);
  Poke(Out, at + kRecogAt, Seq);
}

void LoadFrames::AppendBroadcast(std::string& Out, uint32_t Seq) const {
  const size_t at = Out.size();
  Out += broadcast_;
  Poke(Out, at + kRecogAt, Seq);
}

void LoadFrames::AppendRefMsg(std::string& Out, uint32_t Seq, std::string_view SlotList) {
  Message hit = LoadMessage(SM_HIT, samples::HitRecordText());
  hit.Header.Recog = int32_t(Seq);
  Out += BuildFrame(GM_SENDREFMSG, 0, 0, 0, RefMsgPayload(std::move(hit), SlotList));
}

}  // namespace gamesim

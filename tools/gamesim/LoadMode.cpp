#include "gamesim/LoadMode.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "gamesim/GateCodec.h"
#include "gamesim/LoadProtocol.h"
#include "protocol/EDcode.h"
#include "translate/ActorRecords.h"
#include "translate/ItemRecords.h"

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
      std::string_view items = value;
      while (ok && !items.empty()) {
        const size_t comma = items.find(',');
        const std::string_view item = items.substr(0, comma);
        items = comma == std::string_view::npos ? std::string_view() : items.substr(comma + 1);
        const size_t colon = item.find(':');
        const std::string_view name = item.substr(0, colon);
        size_t weight = 1;
        if (colon != std::string_view::npos) ok = ToSize(item.substr(colon + 1), weight, 1000);
        size_t k = 0;
        while (k < kLoadKinds && name != kKindNames[k]) ++k;
        if (k == kLoadKinds) {
          Error = "unknown kind " + std::string(name) + " (text, opaque, logon, abil, items)";
          return false;
        }
        spec.Mix[k] = int(weight);
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
  bool anyWeight = false;
  for (int w : spec.Mix) anyWeight |= w > 0;
  if (spec.UserRate > 0 && !anyWeight) {
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

KindPicker::KindPicker(const std::array<int, kLoadKinds>& Weights) : weights_(Weights) {
  for (int w : weights_) total_ += w > 0 ? w : 0;
}

LoadKind KindPicker::Next() {
  size_t best = 0;
  for (size_t k = 0; k < kLoadKinds; ++k) {
    if (weights_[k] <= 0) continue;
    current_[k] += weights_[k];
    if (weights_[best] <= 0 || current_[k] > current_[best]) best = k;
  }
  current_[best] -= total_;
  return static_cast<LoadKind>(best);
}

// ---------------------------------------------------------------------------

LoadFrames::LoadFrames(const LoadSpec& Spec) : textSize_(Spec.TextSize) {
  const std::string logon = LogonRecordBytes();
  auto frame = [](Message Msg) {
    return BuildFrame(GM_DATA, 0, 0, 0, MessagePayload(std::move(Msg)));
  };
  user_[size_t(LoadKind::Opaque)] =
      frame(LoadMessage(loadproto::kOpaqueIdent, Padded(logon, Spec.OpaqueSize)));
  user_[size_t(LoadKind::Logon)] = frame(LoadMessage(SM_LOGON, logon));
  user_[size_t(LoadKind::Abil)] = frame(LoadMessage(SM_ABILITY, AbilSheetText()));
  user_[size_t(LoadKind::Items)] = frame(LoadMessage(SM_BAGITEMS, ItemListText()));
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
  Message hit = LoadMessage(SM_HIT, HitRecordText());
  hit.Header.Recog = int32_t(Seq);
  Out += BuildFrame(GM_SENDREFMSG, 0, 0, 0, RefMsgPayload(std::move(hit), SlotList));
}

// ---------------------------------------------------------------------------
// Bodies: records filled the way a busy game server fills them, with GBK
// names, so that the gateway's conversions do their full work.

std::string LogonRecordBytes() {
  TCharDescRcd r;
  std::memset(&r, 0, sizeof r);
  r.m_sUserID.Assign("LoadPlayer0001");
  r.m_wRaceServer = 0;
  r.boIsPlayer = 1;
  r.WalkCurrSpeed = 600;
  r.RunCurrSpeed = 600;
  r.AttackCurrSpeed = 900;
  r.MagicCurrSpeed = 900;
  r.sex = 1;
  r.Hair = 2;
  r.Job = 1;
  r.weaponID = 1201;
  r.clothID = 2301;
  r.boHaveGuild = 1;
  r.GuildID.Assign("G000123");
  r.GuildName.Assign("\xcc\xec\xcf\xc2\xb5\xda\xd2\xbb");  // 天下第一
  r.Rank = 3;
  r.RankName.Assign("\xd4\xaa\xc0\xcf");  // 元老
  r.nLevel = 86;
  r.Hp = 12345;
  r.MaxHp = 15000;
  r.Name.Assign("\xc0\xcb\xd7\xd3\xd1\xe0\xc7\xe0");  // 浪子燕青
  r.Color = 255;
  for (int i = 0; i < 4; ++i) {
    r.icons[i].nID = uint8_t(i + 1);
    r.icons[i].iX = int16_t(10 * i);
    r.icons[i].iY = -5;
    r.icons[i].sEffSrc.Assign("effect/icon_" + std::to_string(i) + ".png");
  }
  r.Effect.sUserID.Assign("LoadPlayer0001");
  for (int i = 0; i < 3; ++i) {
    r.Effect.EffectList[i].sEffId.Assign("fx" + std::to_string(i));
    r.Effect.EffectList[i].iFrameCount = 8;
    r.Effect.EffectList[i].iSpeed = 100;
    r.Effect.EffectList[i].iOverTime = 1700000000000ll + i;
  }
  r.nBigTipId = 7;
  r.HorseAppr = 5;
  r.Mp = 800;
  r.MaxMp = 1000;
  r.nServerID = 1;
  return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

std::string AbilSheetText() {
  TAbilNet a;
  std::memset(&a, 0, sizeof a);
  a.job = 2;
  a.sex = 1;
  a.relevel = 3;
  unsigned char* stats = reinterpret_cast<unsigned char*>(&a) + offsetof(TAbilNet, level);
  for (int i = 0; i < 113; ++i) {
    const int64_t v = 1000 + 37 * i;
    std::memcpy(stats + 8 * i, &v, sizeof v);
  }
  a.sInfoEx.Assign("\xd5\xbd\xca\xbf Lv.3");  // 战士
  a.HeroBagCount = 40;
  for (int j = 0; j < 50; j += 5) a.CustAbil[j] = 10 * j + 1;
  a.nAdvBagSize = 20;
  return EncodeBuffer(&a, sizeof a);
}

std::string ItemListText() {
  std::string body;
  for (int i = 0; i < 20; ++i) {
    TUserItem_Gate g;
    std::memset(&g, 0, sizeof g);
    TUserItem& it = g.Item;
    it.MakeIndex = 100000 + i;
    it.wIndex = 300 + i;
    it.Dura = 5000 + i;
    it.DuraMax = 7000;
    for (int v = 0; v < 4; ++v) it.IntValue[v * 3 + i % 3] = 5 + v * i;
    it.btWhere = int8_t(i % 13);
    it.nOverLap = 1;
    TItemExtend& x = it.Ext.Info;
    if (i % 2 == 0) x.Sockets[i % 10] = 1;
    if (i % 4 == 0) {
      x.Bars[0].btOpenAndType = 0x83;
      x.Bars[0].wCur = 10;
      x.Bars[0].wMax = 100;
      x.Bars[0].Name.Assign("\xbb\xf0");  // 火
    }
    if (i % 3 == 0) g.ItemBind.sBindName.Assign("\xcd\xc0\xc1\xfa");  // 屠龙
    g.ExAbilRec.Group[0].sTitle.Assign("\xcc\xd7\xd7\xb0");           // 套装
    g.ExAbilRec.Group[0].Attrs[0].nID = 10;
    g.ExAbilRec.Group[0].Attrs[0].nValue = 100;
    if (!body.empty()) body += '/';
    body += EncodeBuffer(&g, sizeof g);
  }
  return body;
}

std::string HitRecordText() {
  TMsgHitRcd h;
  std::memset(&h, 0, sizeof h);
  h.sUserID.Assign("LoadPlayer0001");
  h.btDir = 3;
  h.wMagicId = 12;
  h.nTargetX = 100;
  h.nTargetY = 200;
  h.sTargetID.Assign("Monster42");
  return EncodeBuffer(&h, sizeof h);
}

}  // namespace gamesim

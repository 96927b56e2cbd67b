#include "samples/SampleRecords.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "protocol/EDcode.h"
#include "translate/ActorRecords.h"
#include "translate/ItemRecords.h"

namespace samples {

std::string ShapedBody(TBodyShape shape, const TRecordInfo& info,
                       const std::vector<std::string>& records) {
  const bool one =
      shape == TBodyShape::Record || shape == TBodyShape::RecordText || shape == TBodyShape::Parts;
  if (one && records.size() != 1) throw std::runtime_error("a body of one record takes one record");
  if (shape == TBodyShape::Record) return records[0];
  if (shape == TBodyShape::RecordText) return EncodeBuffer(records[0].data(), records[0].size());
  std::string joined;
  const auto join = [&joined](std::string_view text) {
    if (!joined.empty()) joined += '/';
    joined += text;
  };
  if (shape == TBodyShape::Parts) {
    for (const TFieldInfo& f : info.Fields)
      join(EncodeBuffer(records[0].data() + f.nOffset, std::size_t{f.nSize} * f.nCount));
    return joined;
  }
  if (shape == TBodyShape::DecimalList) {
    for (const std::string& rec : records) {
      const TFieldInfo& f = info.Fields[0];
      join(std::to_string(
          WideValue(reinterpret_cast<const unsigned char*>(rec.data()) + f.nOffset, f.Type)));
    }
    return EncodeBuffer(joined.data(), joined.size());
  }
  for (const std::string& rec : records) join(EncodeBuffer(rec.data(), rec.size()));
  if (shape == TBodyShape::RecordList) return EncodeBuffer(joined.data(), joined.size());
  if (shape == TBodyShape::TextList) return joined;
  throw std::runtime_error("the shape has no records in its body");
}

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

// Every stat set, some custom abilities, a GBK note converted per call.
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
  a.HitSpeed = -2;
  a.sInfoEx.Assign("\xd5\xbd\xca\xbf Lv.3 / guild hall");  // GBK text, converted per call
  a.HeroBagCount = 40;
  a.HeroLuck = 12;
  for (int j = 0; j < 50; j += 5) a.CustAbil[j] = 10 * j + 1;
  a.nAdvBagSize = 20;
  a.NatIonId = 2;
  return EncodeBuffer(&a, sizeof a);
}

// Items as a bag holds them: a few values, a bar or sockets on some, two
// groups of extra abilities with GBK titles, a binding on every third.
std::vector<std::string> ItemTexts() {
  std::vector<std::string> texts;
  for (int i = 0; i < 20; ++i) {
    TUserItem_Gate g;
    std::memset(&g, 0, sizeof g);
    TUserItem& it = g.Item;
    it.MakeIndex = 100000 + i;
    it.wIndex = 300 + i;
    it.Dura = 5000 + i;
    it.DuraMax = 7000;
    for (int v = 0; v < 4; ++v) it.IntValue[v * 3 + i % 3] = 5 + v * i;
    it.btWhere = static_cast<int8_t>(i % 13);
    it.nOverLap = 1;
    it.btAddVale[i % 20] = i + 1;
    TItemExtend& x = it.Ext.Info;
    if (i % 2 == 0) x.Sockets[i % 10] = 1;
    if (i % 4 == 0) {
      x.Bars[0].btOpenAndType = 0x83;
      x.Bars[0].wCur = 10;
      x.Bars[0].wMax = 100;
      x.Bars[0].Name.Assign("\xbb\xf0");  // 火
    }
    x.UpgradeCount = static_cast<uint8_t>(i % 5);
    if (i % 3 == 0) g.ItemBind.sBindName.Assign("\xcd\xc0\xc1\xfa");  // 屠龙
    TItemExAbilRec& ex = g.ExAbilRec;
    for (int k = 0; k < 2; ++k) {
      ex.Group[k].sTitle.Assign("\xcc\xd7\xd7\xb0");  // 套装
      ex.Group[k].nColor = 3;
      for (int j = 0; j < 2; ++j) {
        ex.Group[k].Attrs[j].nID = 10 + j;
        ex.Group[k].Attrs[j].nValue = 100 * (j + 1);
        ex.Group[k].Attrs[j].nPos = static_cast<uint16_t>(j);
      }
    }
    ex.sGName.Assign("Set");
    ex.NewAbil[0].nID = 1;
    ex.NewAbil[0].nValue = 5;
    texts.push_back(EncodeBuffer(&g, sizeof g));
  }
  return texts;
}

std::string ItemListText() {
  std::string body;
  for (const std::string& text : ItemTexts()) {
    if (!body.empty()) body += '/';
    body += text;
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

}  // namespace samples

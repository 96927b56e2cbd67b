#include "translate/ProcessPacketUnit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/EDcode.h"

namespace {

// A record built byte by byte at the documented offsets, little-endian.
class Bytes {
 public:
  explicit Bytes(std::size_t size) : b_(size, '\0') {}

  Bytes& U8(std::size_t off, uint8_t v) { return Put(off, v, 1); }
  Bytes& U16(std::size_t off, uint16_t v) { return Put(off, v, 2); }
  Bytes& I16(std::size_t off, int16_t v) { return Put(off, static_cast<uint16_t>(v), 2); }
  Bytes& I32(std::size_t off, int32_t v) { return Put(off, static_cast<uint32_t>(v), 4); }
  Bytes& U32(std::size_t off, uint32_t v) { return Put(off, v, 4); }
  Bytes& I64(std::size_t off, int64_t v) { return Put(off, static_cast<uint64_t>(v), 8); }
  Bytes& Text(std::size_t off, std::string_view s) {
    b_.at(off) = static_cast<char>(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) b_.at(off + 1 + i) = s[i];
    return *this;
  }
  const std::string& str() const { return b_; }
  std::string Encoded() const { return EncodeBuffer(b_.data(), b_.size()); }

 private:
  Bytes& Put(std::size_t off, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b_.at(off + i) = static_cast<char>(v >> (8 * i));
    return *this;
  }
  std::string b_;
};

// ---------------------------------------------------------------------------
// CovertCharDesc

// Every field set, so that a branch that writes a member it should not is seen.
Bytes ActorBase() {
  Bytes b(2023);
  b.Text(0, "U1").U16(51, 65535);
  b.I32(57, 600).I32(61, 300).I32(65, 900).I32(69, 800).I32(73, 1);
  b.U8(78, 2).U8(79, 3);
  b.I32(82, 12).I32(86, 11).I32(90, 14).I32(94, 15).I32(98, 13).I32(102, 4);
  b.Text(109, "G1").Text(150, "Guild").I32(201, 3).Text(205, "Boss").Text(216, "Sabuk");
  b.Text(228, "M1").I32(279, 50).I64(283, 5000000000).I64(291, -2).Text(299, "Bob");
  b.I32(400, 255).I32(404, 2).I32(408, 6).I32(416, 1);
  b.Text(1591, "O1").I32(1693, 8).Text(1697, "Stall").U32(1749, 0xFFFFFFFFu).U8(1753, 9);
  b.I32(1754, 7).I32(1759, 31).I32(1763, 32).I32(1767, 33).U8(1822, 34);
  b.I32(1823, 16).I32(1827, 17).Text(1835, "ns").Text(1855, "S1").Text(1906, "D1");
  b.I64(1957, 1000).I64(1965, -1);
  // Fields the client never sees.
  b.U8(1974, 1).I32(1975, 91).I64(1995, 92).I64(2003, 93).I32(2011, 94).I32(2019, 95);
  return b;
}

constexpr std::string_view kData =
    R"("data":[50,5000000000,-2,255,6,1,8,4294967295],"WarZone":2,"STID":"S1","DearID":"D1")";

std::string Desc(const Bytes& b) {
  return ConvertCharDescBody(b.str());
}

TEST(CovertCharDesc, PlayerWithEveryOptionalMember) {
  Bytes b = ActorBase();
  b.U8(53, 1).U8(108, 1).U8(77, 2).U8(80, 1);  // player; cg 1 + 2 + 4
  b.I32(1831, 5).I32(1846, 21).I32(1850, 0);
  b.U8(107, 1).U8(106, 1).Text(1771, "Rider").U8(227, 1).I32(412, 12);
  b.U8(420, 1).U8(421, 2).I16(422, -3).I16(424, 4).Text(426, "fx/a.png").U8(477, 5);
  b.U8(478, 7).U8(479, 6);
  b.U8(481, 0xFF).Text(486, "skip");  // iEffType -1
  b.U8(541, 0).U8(540, 3);            // empty sEffSrc
  b.U8(1020, 9).Text(1026, "b");
  b.Text(1080, "Owner");
  b.Text(1111, "e1").I32(1122, 10).I32(1126, 99).I32(1130, 2).I32(1134, 3).I64(1138, 77);
  b.I32(1146, 1).I32(1150, -5).I32(1154, 6).U8(1158, 1);
  b.Text(1255, "e4");
  b.I32(1554, 5);  // the last effect has no id: left out
  b.U8(1758, 3).U8(1854, 1).U8(1973, 2);

  EXPECT_EQ(Desc(b),
            std::string(R"({"info":["U1","Bob",1,2,3],"sp":[600,300,900,800],)"
                        R"("id":[11,12,13,14,15,16,17],"cg":7,"me":5,"idEx":[21,0],)"
                        R"("state":[4,"Stall","Sabuk","9"],"guild":["G1","Guild",3,"Boss"],)"
                        R"("horse":[31,32,33,34,"Rider"],"InternalForce":1000,)"
                        R"("MaxInternalForce":18446744073709551615,"ms":["M1"],)") +
                std::string(kData) +
                R"(,"title":{"t1":12},"icons":[{"iId":1,"sEffSrc":"fx/a.png","iDrop":5,)"
                R"("iX":-3,"iY":4,"iEff":2,"after":6},{"iId":9,"sEffSrc":"b","iDrop":0,"iX":0,)"
                R"("iY":0,"iEff":0,"after":0}],"Effect":[{"iUserId":"Owner","sEffSrc":"e1",)"
                R"("iFrame":10,"iCount":2,"iStartTime":3,"iBehind":1,"offsetX":-5,"offsetY":6},)"
                R"({"iUserId":"Owner","sEffSrc":"e4","iFrame":0,"iCount":0,"iStartTime":0,)"
                R"("iBehind":0,"offsetX":0,"offsetY":0}],"nationid":3,"nPlayerPk":1,"cs":2})");
}

TEST(CovertCharDesc, PlayerWithNoOptionalMember) {
  Bytes b = ActorBase();
  b.U8(53, 1).U8(55, 1).U8(1748, 1);  // player wins over monster and hero
  b.U8(81, 1).U8(1753, 5).I32(1831, -1).I32(1846, -1);
  const std::string expected = R"({"info":["U1","Bob",1,2,3],"sp":[600,300,900,800],)"
                               R"("id":[11,12,13],"state":[4,"Stall","","5"],)"
                               R"("horse":[31,32,33,34],"InternalForce":1000,)"
                               R"("MaxInternalForce":18446744073709551615,)" +
                               std::string(kData) + "}";
  EXPECT_EQ(Desc(b), expected);
  // The excess of a longer body is dropped.
  EXPECT_EQ(ConvertCharDescBody(b.str() + std::string(40, '\x7f')), expected);
}

TEST(CovertCharDesc, HeroHasTwoElementGuildWithoutAGuild) {
  Bytes b = ActorBase();
  b.U8(1748, 1).U8(54, 1);  // hero wins over summoned monster
  EXPECT_EQ(Desc(b), R"({"info":["U1","Bob",1,2,3],"sp":[600,300],"id":[11,12,13,14,15,16,17],)"
                     R"("guild":["G1","Guild"],"InternalForce":1000,)"
                     R"("MaxInternalForce":18446744073709551615,)" +
                         std::string(kData) + "}");
}

TEST(CovertCharDesc, MonstersAndGuildObjects) {
  Bytes summoned = ActorBase();
  summoned.U8(54, 1).U8(55, 1).Text(1642, "Master");
  EXPECT_EQ(Desc(summoned), R"({"info":["U1","Bob",1,2,3],"sp":[600,300],"id":[11,12,13,14,15],)"
                            R"("NoShow":"ns","ow":["O1","Master"],)" +
                                std::string(kData) + "}");

  Bytes monster = ActorBase();  // no owner name: no "ow" although OwnerID is set
  monster.U8(55, 1).U8(227, 1);
  EXPECT_EQ(Desc(monster), R"({"info":["U1","Bob"],"sp":[600,300],"id":[11,12,13],"rs":65535,)"
                           R"("bigtip":7,"NoShow":"ns","ms":["M1"],)" +
                               std::string(kData) + "}");

  Bytes guild = ActorBase();
  guild.U8(56, 1).Text(1642, "Master");
  EXPECT_EQ(Desc(guild), R"({"info":["U1","Bob"],"sp":[600,300],"id":[11,12,13],"rs":65535,)"
                         R"("ow":["O1","Master"],"bigtip":7,"NoShow":"ns",)" +
                             std::string(kData) + "}");

  EXPECT_EQ(Desc(ActorBase()),
            R"({"info":["U1","Bob"],"sp":[600,300],"id":[11,12,13],)" + std::string(kData) + "}");
}

TEST(CovertCharDesc, ShortBodyReadsAsZeros) {
  EXPECT_EQ(ConvertCharDescBody(std::string("\x02U1", 3)),
            R"({"info":["U1",""],"sp":[0,0],"id":[0,0,0],"data":[0,0,0,0,0,0,0,0],)"
            R"("WarZone":0,"STID":"","DearID":""})");
}

// ---------------------------------------------------------------------------
// Brief, icons, combat

TEST(CovertCharBrief, TextsAreConvertedEscapedAndCut) {
  Bytes b(704);
  b.U8(51, 255);  // length byte beyond the 50-byte field
  for (int i = 0; i < 50; ++i) b.U8(52 + i, 'x');
  b.I32(102, 40).I32(106, 7).I32(110, 1);
  b.Text(114, "\xd5\xbd\xca\xbf\"\\\x01\t/");  // 战士 in GBK, then specials
  b.U8(315, 1).Text(316, "g").Text(357, "gn").I32(408, 2).Text(412, "r");
  b.U8(423, 1).Text(424, "c").Text(436, "m").Text(487, "mn");
  b.U8(538, 2).I32(539, 3).Text(543, "st").I32(594, 5).Text(598, "s").Text(649, "d");
  b.I32(700, 9);
  EXPECT_EQ(ConvertCharBriefBody(b.str()),
            R"({"UserID":")" + std::string(50, 'x') +
                R"(","Color":7,"WarZone":1,"nLevel":40,"Name":")"
                "\xe6\x88\x98\xe5\xa3\xab"
                R"(\"\\\u0001\t/","ShenMiRen":2,"pklv":3,"nationid":5,"guildid":"g",)"
                R"("GuildName":"gn","Rank":2,"RankName":"r","castlename":"c","MasterId":"",)"
                R"("MasterName":"","STID":"s","DearID":"d"})");

  b.U8(51, 1).U8(315, 0).U8(435, 1);  // castle without guild: no castle name
  EXPECT_EQ(ConvertCharBriefBody(b.str()),
            R"({"UserID":"x","Color":7,"WarZone":1,"nLevel":40,"Name":")"
            "\xe6\x88\x98\xe5\xa3\xab"
            R"(\"\\\u0001\t/","ShenMiRen":2,"pklv":3,"nationid":5,"MasterId":"m",)"
            R"("MasterName":"mn","STID":"s","DearID":"d"})");
}

TEST(CovertIconsMsg, IconsOnlyWhenOneQualifies) {
  Bytes b(711);
  b.Text(0, "u");
  b.U8(51 + 60 * 4 + 1, 0xFF).Text(51 + 60 * 4 + 6, "neg");  // iEffType -1
  b.U8(51 + 60 * 5, 8);                                      // no sEffSrc
  EXPECT_EQ(ConvertIconsMsgBody(b.str()), R"({"UserID":"u"})");

  b.U8(51 + 60 * 10, 4).U8(51 + 60 * 10 + 1, 127).Text(51 + 60 * 10 + 6, "z");
  b.U8(51 + 60 * 10 + 59, 1);
  EXPECT_EQ(ConvertIconsMsgBody(b.str()),
            R"({"UserID":"u","icons":[{"iId":4,"sEffSrc":"z","iDrop":0,"iX":0,"iY":0,)"
            R"("iEff":127,"after":1}]})");
}

TEST(CombatConverters, DamageMagiconSpellHitStruck) {
  Bytes dmg(61);
  dmg.Text(0, "d").U16(51, 65535);
  EXPECT_EQ(ConvertDamageBody(dmg.str()), R"({"UserID":"d","Id":65535})");
  dmg.I64(53, -3);
  EXPECT_EQ(ConvertDamageBody(dmg.str()), R"({"UserID":"d","Id":65535})");
  dmg.I64(53, 1099511627776);
  EXPECT_EQ(ConvertDamageBody(dmg.str()), R"({"UserID":"d","Id":65535,"Power":1099511627776})");

  TDefaultMessage h;
  h.Recog = -1;
  h.Param = 2;
  EXPECT_EQ(ConverMagicon(h), R"({"Id":-1,"Flag":2})");

  Bytes spell(73);
  spell.Text(0, "s").U8(51, 7).I32(52, 300).U8(56, 9).I32(57, 100).I32(61, -1);
  EXPECT_EQ(ConvertMagicSpellText(spell.Encoded()),
            R"({"UserID":"s","Dir":7,"MagicID":300,"MagicEffect":9,"X":100,"Y":-1,)"
            R"("ScriptEffect":0})");
  spell.I32(65, 11).I32(69, 4);
  EXPECT_EQ(ConvertMagicSpellText(spell.Encoded()),
            R"({"UserID":"s","Dir":7,"MagicID":300,"MagicEffect":9,"X":100,"Y":-1,)"
            R"("ScriptEffect":11,"ActionId":4})");

  Bytes hit(121);
  hit.Text(0, "h").U8(51, 3).U16(52, 65535).I32(54, 10).I32(58, 20).I32(113, 1);
  EXPECT_EQ(ConvertHitMsgText(hit.Encoded()),
            R"({"UserID":"h","Dir":3,"X":10,"Y":20,"MagicID":65535,"ScriptEffect":1})");
  hit.Text(62, "t").I32(117, 2);
  EXPECT_EQ(ConvertHitMsgText(hit.Encoded()),
            R"({"UserID":"h","Dir":3,"X":10,"Y":20,"MagicID":65535,"ScriptEffect":1,)"
            R"("TargetUserID":"t","ActionId":2})");

  Bytes hp(158);
  hp.I64(0, -1).I64(8, 100).I64(16, 5).I64(24, 6).I64(32, 7).I64(40, 8).I64(48, 9);
  hp.Text(56, "u");
  h.Tag = 3;  // high word 0: no "Struck"
  h.Series = -1;
  EXPECT_EQ(ConvertStruckText(h, hp.Encoded()),
            R"({"Hp":18446744073709551615,"MaxHp":100,"Mp":5,"MaxMp":6,"Damage":7,"Magic":3,)"
            R"("InternalForce":8,"MaxInternalForce":9,"UserID":"u"})");
  h.Tag = 0x0005FFFF;
  h.Series = 2;
  hp.Text(107, "a");
  EXPECT_EQ(ConvertStruckText(h, hp.Encoded()),
            R"({"Hp":18446744073709551615,"MaxHp":100,"Mp":5,"MaxMp":6,"Damage":7,)"
            R"("Magic":65535,"InternalForce":8,"MaxInternalForce":9,"Struck":5,"Weapon":2,)"
            R"("UserID":"u","AttackUserID":"a"})");
}

// ---------------------------------------------------------------------------
// Abilities

TEST(ConverAbil, EveryMemberInTheClientsOrder) {
  Bytes b(1717);
  b.U8(0, 1).U8(1, 2).U16(2, 65535);
  for (std::size_t off = 4; off < 908; off += 8) b.I64(off, static_cast<int64_t>(off));
  b.I64(12, -5).I64(244, -5).I64(364, -1);  // ac1, HitSpeed, Abil39
  b.Text(908, "info").U8(1109, 10).U16(1110, 65535).U8(1112, 1).U8(1113, 1);
  b.I64(1114 + 8 * 3, 7).I64(1114 + 8 * 49, -1);  // CustAbil 203 and 249
  b.I64(1514, 99);                                // CustJobAbil: not sent
  b.U8(1706, 3).U8(1707, 1).U8(1709, 4).U8(1710, 1).U8(1711, 1).I32(1712, 5).U8(1716, 1);
  EXPECT_EQ(
      ConverAbil(b.Encoded()),
      R"({"job":1,"sex":2,"relevel":65535,"level":4,"ac1":18446744073709551611,"ac2":20,)"
      R"("mac1":28,"mac2":36,"dc1":44,"dc2":52,"mc1":60,"mc2":68,"sc1":76,"sc2":84,"hp":92,)"
      R"("mp":100,"maxhp":108,"maxmp":116,"exp":124,"maxexp":132,"weight":140,"maxweight":148,)"
      R"("wearweight":156,"maxwearweight":164,"handweight":172,"maxhandweight":180,)"
      R"("antimagic":188,"hitPoint":196,"SpeedPoint":204,"AntiPoison":212,"PoisonRecover":220,)"
      R"("HealthRecover":228,"SpellRecover":236,"HitSpeed":-5,"SuperExp":252,"MaxSuperExp":260,)"
      R"("BjRate":268,"BjPoint":276,"Abil25":284,"Abil26":292,"Abil27":300,"Abil28":308,)"
      R"("Abil29":316,"Abil30":324,"Abil31":332,"Abil32":340,"Abil34":348,"Abil38":356,)"
      R"("Abil39":-1,"Abil42":372,"Abil43":380,"Abil44":388,"Abil60":396,"Abil61":404,)"
      R"("Abil62":412,"Abil71":420,"Abil72":428,"Abil73":436,"Abil74":444,"Abil75":452,)"
      R"("Abil76":460,"Abil77":468,"Abil78":476,"Abil79":484,"Abil80":492,"Abil81":500,)"
      R"("Abil82":508,"Abil83":516,"Abil84":524,"Abil85":532,"Abil86":540,"Abil87":548,)"
      R"("Abil88":556,"Abil89":564,"Abil90":572,"Abil91":580,"Abil35":588,"Abil37":596,)"
      R"("Abil54":604,"Abil55":612,"Abil56":620,"Abil57":628,"Abil58":636,"Abil59":644,)"
      R"("Abil45":652,"Abil46":660,"Abil47":668,"Abil48":676,"Abil49":684,"Abil50":692,)"
      R"("Abil51":700,"Abil65":716,"Abil66":724,"Abil67":732,"Abil68":740,"Abil69":748,)"
      R"("Abil33":756,"Abil70":764,"Abil23":772,"Abil24":780,"Abil36":788,"Abil52":708,)"
      R"("InternalForce":820,"MaxInternalForce":828,"InternalEXP":836,"MaxInternalEXP":844,)"
      R"("InternalLevel":852,"Abil101":860,"Abil102":868,"Abil104":876,"Abil103":884,)"
      R"("GedangRate":796,"GedangPower":804,"MagicShield":812,"MaxDZXYValue":900,"Abil105":892,)"
      R"("InfoEx":"info","HeroBagCount":10,"MakeHero":1,"HeroLuck":65535,"QorvItemBoxOpened":1,)"
      R"("nAdvBagSize":3,"IsCastle":1,"IsAdminCastle":0,"nationid":4,"IsKuaFu":1,)"
      R"("CustAbil":[[203,7],[249,-1]]})");

  const std::string zeros = ConverAbil(Bytes(1717).Encoded());
  EXPECT_EQ(zeros.find("CustAbil"), std::string::npos);
  EXPECT_TRUE(zeros.ends_with(R"("nationid":0,"IsKuaFu":0})")) << zeros;
}

Bytes Naked(uint16_t first, int32_t speed) {
  Bytes b(24);
  for (int i = 0; i < 7; ++i) b.U16(2 * i, static_cast<uint16_t>(first + i));
  b.U8(14, static_cast<uint8_t>(first + 7)).U8(15, 0xEE).I32(16, speed);
  b.U8(20, static_cast<uint8_t>(first + 9)).U8(21, 0xEE).U8(22, 0xEE).U8(23, 0xEE);
  return b;
}

TEST(ConverAdjustBouns, PartsInBodyOrderMembersInClientOrder) {
  Bytes adjust(53);
  adjust.U32(0, 4294967295u);
  for (uint32_t i = 1; i < 12; ++i) adjust.U32(4 * i, i + 1);
  adjust.U8(48, 13).I32(49, -14);
  const std::string body = Naked(1, -9).Encoded() + "/" + Naked(11, 19).Encoded() + "/" +
                           Naked(21, 29).Encoded() + "/" + adjust.Encoded();
  EXPECT_EQ(ConverAdjustBouns(-3, body),
            R"({"m_nBonusPoint":-3,)"
            R"("BonusAbil":{"DC":11,"MC":12,"SC":13,"AC":14,"MAC":15,"HP":16,"MP":17,"Hit":18,)"
            R"("Speed":19,"X2":20},)"
            R"("BonusTick":{"DC":1,"MC":2,"SC":3,"AC":4,"MAC":5,"HP":6,"MP":7,"Hit":8,)"
            R"("Speed":-9,"X2":10},)"
            R"("NakedAbil":{"DC":21,"MC":22,"SC":23,"AC":24,"MAC":25,"HP":26,"MP":27,"Hit":28,)"
            R"("Speed":29,"X2":30},)"
            R"("m_AdjustAbil":{"DC1":4294967295,"DC2":2,"MC1":3,"MC2":4,"SC1":5,"SC2":6,)"
            R"("AC1":7,"AC2":8,"MAC1":9,"MAC2":10,"HP":11,"MP":12,"Hit":13,"Speed":-14}})");

  // Missing parts read as zeros.
  const std::string zero = R"({"DC":0,"MC":0,"SC":0,"AC":0,"MAC":0,"HP":0,"MP":0,"Hit":0,)"
                           R"("Speed":0,"X2":0})";
  EXPECT_EQ(ConverAdjustBouns(0, Naked(1, -9).Encoded()),
            R"({"m_nBonusPoint":0,"BonusAbil":)" + zero +
                R"(,"BonusTick":{"DC":1,"MC":2,"SC":3,"AC":4,"MAC":5,"HP":6,"MP":7,"Hit":8,)"
                R"("Speed":-9,"X2":10},"NakedAbil":)" +
                zero +
                R"(,"m_AdjustAbil":{"DC1":0,"DC2":0,"MC1":0,"MC2":0,"SC1":0,"SC2":0,"AC1":0,)"
                R"("AC2":0,"MAC1":0,"MAC2":0,"HP":0,"MP":0,"Hit":0,"Speed":0}})");
}

}  // namespace
